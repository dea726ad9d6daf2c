// The station as every front end shows it: between the station's threads and
// a window or the command line, it writes each download's record before
// anyone hears of the end, keeps the totals, words each ending (the cause of
// a failure, a hint after a success) and, for a window, runs the station on
// a thread of its own and stops it. The front ends only draw what it tells.
#pragma once

#include <atomic>
#include <map>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "station/FlashDevices.h"
#include "forward/Forwarder.h"
#include "image/ImageSnapshot.h"
#include "record/Record.h"
#include "release/Job.h"
#include "station/Station.h"

namespace zq {

// Downloads are counted by how they ended; a unit retried is one device
// with several downloads.
struct StationTotals {
    unsigned written = 0;
    unsigned failed = 0;
    unsigned cancelled = 0;
    unsigned inFlight = 0;
    unsigned devices = 0;    // units whose first download has ended
    bool unrecorded = false; // a record could not be written: no new device is taken

    unsigned Downloads() const { return written + failed + cancelled; }
};

// A download's end as a front end shows it.
struct DeviceEnding {
    DeviceOutcome outcome;
    std::string cause; // why it failed, in words ("interrupted" when cancelled); empty on success
    std::string note;  // what a tile keeps: the cause of a failure, or a hint after a success
    std::string hint;  // a hint after a success that was not told before it (a slow line)
    std::string record; // the record's line, as written
    bool recorded = true;
    StationTotals totals; // the station's totals, this ending counted
};

// What a front end hears, on the station's threads: it marshals them to its
// own. OnPort, OnFound and OnProgress are the station's own events.
class SessionEvents {
public:
    virtual ~SessionEvents() = default;
    virtual void OnPort(const PortInfo& /*port*/, PortPhase /*phase*/) {}
    // A download begins; totals count it in flight.
    virtual void OnFound(const std::string& /*port*/, const StationTotals& /*totals*/) {}
    virtual void OnProgress(const std::string& /*port*/, const StageReport& /*report*/) {}
    // Before a download through an adapter that will slow it: the hint to show.
    virtual void OnHint(const std::string& /*port*/, const std::string& /*hint*/) {}
    // After the record was written (or could not be).
    virtual void OnEnded(const DeviceEnding& /*ending*/) {}
    // The station's thread's last act, when the session runs it (Start).
    virtual void OnStationEnded(StationEnd /*end*/) {}
    // What the forwarding has to say (a receiver away, a token refused).
    virtual void OnForwarding(const std::string& /*text*/) {}
};

// A release as downloads take it: the image sent and what its records say
// of it. A station following a channel swaps it between downloads.
struct StationRelease {
    ImageSnapshot image;
    RecordTags tags;     // the job's, the channel's and its version; the slot is each device's
    int64_t expires = 0; // seconds since 1970 after which no download may start with it; 0: never
};

class CStationSession : private PortEvents {
public:
    // log may be null (no record kept); it must outlive the session.
    CStationSession(const ImageSnapshot& image, SessionEvents& events, CRecordLog* log);
    ~CStationSession() override;
    CStationSession(const CStationSession&) = delete;
    CStationSession& operator=(const CStationSession&) = delete;

    // Runs the station on the calling thread until stop is set, the count is
    // reached, or a record failed.
    StationEnd Run(StationOptions options, const std::atomic<bool>& stop);
    // Flashes the device on each port at once (--all), each already answered
    // on its port; cancel ends them.
    void FlashAll(const std::vector<PortInfo>& ports, const std::atomic<bool>* cancel);

    // For a window: the station on a thread of its own, at a raised priority
    // (the line tolerates only short gaps between bytes). false, with why,
    // when no thread could be had.
    bool Start(StationOptions options, std::string& why);
    // Downloads in flight are cancelled; each ends, with its record, before
    // OnStationEnded.
    void Stop() { stop_ = true; }
    // After OnStationEnded: the thread is gone at once.
    void Join();
    bool Running() const { return thread_.joinable(); }
    // Paused, the station answers no new device and arms no port again;
    // downloads in flight finish. Resumed, it goes on as before.
    void Pause(bool paused) { paused_ = paused; }
    bool Paused() const { return paused_.load(); }
    // The operator's retry of the unit that failed on port (CStation::Retry);
    // false when the station runs no such unit.
    bool Retry(const std::string& port);

    StationTotals Totals() const;
    // After a run that ended NoThread: the port unheard and why, in words.
    std::string EndWhy() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return endWhy_;
    }
    // Each record, once on the disk, goes to the receiver as well, store and
    // forward, on a thread of its own; it goes on after the station stops
    // until the session is gone. false, with why, when it cannot begin.
    bool Forward(const ForwardConfig& config, const std::string& logPath, std::string& why);
    // Records in the log not yet delivered; 0 without forwarding.
    size_t ForwardPending() const { return forwarder_ ? forwarder_->Pending() : 0; }
    // What every record tells of its job, station and slot (each device's
    // from its port among fixture); set before the station runs.
    void SetRecordTags(const RecordTags& tags, const std::vector<JobSlot>& fixture)
    {
        tags_ = tags;
        fixture_ = fixture;
    }

    // The release each download from now on takes (a download in flight
    // ends with the one it began with); null: no new download starts. On any
    // thread. Until it is first called, the image and tags given above.
    void SetRelease(std::shared_ptr<const StationRelease> release);
    // The release the next download takes; null before SetRelease, or when
    // none may start. On any thread.
    std::shared_ptr<const StationRelease> Release() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return release_;
    }

private:
    void OnPort(const PortInfo& port, PortPhase phase) override { events_.OnPort(port, phase); }
    bool TakeImage(const std::string& port, std::shared_ptr<const ImageSnapshot>& image) override;
    void OnFound(const std::string& port) override;
    void OnProgress(const std::string& port, const StageReport& report) override
    {
        events_.OnProgress(port, report);
    }
    void OnAdapter(const std::string& port, const PortInfo& adapter, int latencyMs) override;
    bool OnEnded(const DeviceOutcome& outcome) override;

    const ImageSnapshot& image_;
    SessionEvents& events_;
    CRecordLog* log_;
    RecordTags tags_;
    std::vector<JobSlot> fixture_;
    mutable std::mutex mutex_;
    StationTotals totals_;
    // Held from counting an event into the totals until it is told: each
    // front end hears the totals in the order they were counted, so that
    // none goes back (a counter read as reset, in flight read as none).
    std::mutex telling_;
    std::mutex stationMutex_;
    CStation* station_ = nullptr; // while Run runs it
    std::string endWhy_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> paused_{false};
    std::unique_ptr<CForwarder> forwarder_;
    std::thread thread_;
    // Under mutex_: the release set, and the one each port's download took.
    bool released_ = false;
    std::shared_ptr<const StationRelease> release_;
    std::map<std::string, std::shared_ptr<const StationRelease>> taken_;
};

}  // namespace zq
