// The station served over HTTP: GET /api/v1/station tells what the windows'
// board shows, GET /metrics the same for a Prometheus scrape, GET
// /api/v1/events streams what --json prints (server-sent events), and POST
// /api/v1/pause, /api/v1/resume and /api/v1/retry?port=NAME steer it with a
// bearer token. It hears
// the session's events on the station's threads, passes each on at once to
// the view that hears them too, and answers on threads of its own: nothing
// a client does can hold up a download.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "serve/EventHub.h"
#include "serve/ServeMetrics.h"
#include "serve/ServiceNotice.h"
#include "station/StationBoard.h"
#include "station/StationSession.h"

namespace httplib {
struct Request;
struct Response;
} // namespace httplib

namespace zq {

class CBoundedServer;

// The release channel a station follows, as a scrape or the status reads it.
struct ServedChannel {
    std::string url;
    uint64_t version = 0;  // the targets version of the release in force; 0: none
    std::string job;       // its job's name
    int64_t expires = 0;   // seconds since 1970 when it stops being in force; 0: none
    int64_t checked = 0;   // when the last refresh ended
    int64_t confirmed = 0; // when a refresh last succeeded; 0: never
    std::string error;     // of the last refresh, in words; empty when it succeeded
};

struct ServeSetup {
    std::string host = "127.0.0.1";
    uint16_t port = 0;       // 0: one the system picks
    std::string token;       // empty: control is off, pause and resume refused
    std::string station;     // the job's station, or this host's name
    std::string version;
    const ImageSnapshot* image = nullptr;
    const Job* job = nullptr;
    std::string signedBy;    // the fingerprint of the key that released the job; empty: not checked
    std::string releasedBy;  // the same in the board's words, "eng (d4294048...)"
    unsigned lotWritten = 0; // the lot's units the record held when the run began
    const std::atomic<bool>* stop = nullptr; // set: the station is stopping
    // The yield page of the station's record file as it is now; false
    // without a record to read. Unset: the station keeps none.
    std::function<bool(std::string& page)> report;
    // The file report reads: its page is made again only once the file
    // changes. Empty: made for each request.
    std::string reportFile;
    // Records not yet delivered, where the forwarder is not the session's
    // (the command line forwards beside it). Unset: the session's.
    std::function<size_t()> pending;
    // The channel as it stands now, taken on the server's threads. Unset:
    // the station follows none.
    std::function<ServedChannel()> channel;
};

class CStationServer : private SessionEvents {
public:
    // next hears every event as it comes, before this server draws it.
    CStationServer(ServeSetup setup, SessionEvents& next);
    ~CStationServer() override;
    CStationServer(const CStationServer&) = delete;
    CStationServer& operator=(const CStationServer&) = delete;

    // What the session is to tell.
    SessionEvents& Events() { return *this; }
    // Bound and answering; pause and resume go to session. false, with why.
    bool Listen(CStationSession& session, std::string& why);
    uint16_t Port() const { return port_; }
    // The station's closing totals, streamed as --json prints them.
    void Summary(const StationTotals& totals);
    // The station tells the tiles' order as it reads its ports, and its loop
    // beats the service manager's watchdog, when it has one.
    void Steer(StationOptions& options);

private:
    void OnPort(const PortInfo& port, PortPhase phase) override;
    void OnFound(const std::string& port, const StationTotals& totals) override;
    void OnProgress(const std::string& port, const StageReport& report) override;
    void OnHint(const std::string& port, const std::string& hint) override;
    void OnEnded(const DeviceEnding& ending) override;
    void OnForwarding(const std::string& text) override;

    void Route();
    // The board brought up to date; under boardMutex_.
    void Drain();
    std::string State() const;
    std::string Status();
    size_t Pending() const;
    std::string Metrics();
    // The bearer token checked; false with the response said.
    bool Allowed(const httplib::Request& request, httplib::Response& response) const;
    void Command(const httplib::Request& request, httplib::Response& response, bool pause);
    void Retry(const httplib::Request& request, httplib::Response& response);
    void Stream(httplib::Response& response);
    void Report(httplib::Response& response);
    void RouteRest();
    // Progress goes out at most ten times a second a port, and at each new stage.
    bool ProgressDue(const std::string& port, const StageReport& report);
    // Once, as soon as the stop is seen, or with the summary.
    void TellStopping();
    // The service manager's STATUS=, from totals the events told.
    void TellStatus(const StationTotals* totals);

    ServeSetup setup_;
    SessionEvents& next_;
    CStationSession* session_ = nullptr;
    std::unique_ptr<CBoundedServer> server_;
    uint16_t port_ = 0;
    std::thread listener_;

    std::mutex boardMutex_;
    CStationBoard board_;
    CServeTally tally_;
    CEventHub hub_;
    CServiceNotice notice_;
    std::mutex totalsMutex_;
    StationTotals totals_; // the session's, as its events last told them
    // The report's last page, and the record file as it was when it was made.
    std::mutex reportMutex_;
    std::string reportMadeOf_;
    std::string reportPage_;
    std::mutex progressMutex_;
    std::map<std::string, std::pair<Stage, std::chrono::steady_clock::time_point>> progressSent_;

    // Drains the board now and then, so that its queue never grows while no
    // one asks.
    std::mutex drainMutex_;
    std::condition_variable drainWake_;
    bool ending_ = false;
    std::atomic<bool> toldStopping_{false};
    std::thread drainer_;
};

}  // namespace zq
