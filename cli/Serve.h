// The station served over HTTP while --watch runs (Linux; elsewhere --serve
// is refused before anything is opened).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "cli/Jobs.h"
#include "cli/ServeOptions.h"
#include "station/StationSession.h"

namespace zq {

class CServedStation {
public:
    virtual ~CServedStation() = default;
    // What the session tells: the view hears it all, and so does the server.
    virtual SessionEvents& Events() = 0;
    // Answering once true, where says at what address; false, with why.
    virtual bool Listen(CStationSession& session, std::string& where, std::string& why) = 0;
    // The station's closing totals, streamed as --json prints them.
    virtual void Summary(const StationTotals& totals) = 0;
    // What the station's own loop owes the service manager (its watchdog).
    virtual void Steer(StationOptions& options) = 0;
};

// False where this system has no server.
bool CanServe();
// The server for image and run, telling view every event; its report is
// of the record file at recordPath (empty: none), and pending counts what
// the run's forwarder has yet to deliver (unset: the session's forwarder).
std::unique_ptr<CServedStation> ServeStation(const ServeOptions& serve, const ImageSnapshot& image,
                                             const JobRun& run, const std::string& recordPath,
                                             const std::atomic<bool>* stop, SessionEvents& view,
                                             std::function<size_t()> pending = {});

}  // namespace zq
