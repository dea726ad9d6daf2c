// The station: listens on every port that is not busy with a download,
// writing nothing, and flashes each device that arrives, once per arrival.
// Hosts (the command line, the station windows) hear everything through
// PortEvents and show it; nothing of the exchange lives in them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "station/FlashDevices.h"
#include "image/ImageSnapshot.h"
#include "link/PortList.h"
#include "link/SerialLink.h"
#include "protocol/Protocol.h"

namespace zq {

struct StationOptions {
    // Ports named by the operator, each waited for until it exists
    // (/dev/serial/by-path/... appears when its adapter is plugged). Empty:
    // the system's list, followed as ports come and go.
    std::vector<std::string> ports;
    // Where the system's list comes from; the system itself when empty.
    PortSource portSource;
    // Downloads to run before the station ends; 0: until stopped.
    unsigned count = 0;
    // A lot: the station ends once this many downloads have succeeded, and
    // never has more in flight than it still needs, so that no unit beyond
    // the lot is touched. 0: no lot.
    unsigned lot = 0;
    // While set (a line paused from afar): no beacon is answered and no port
    // is armed again; downloads in flight go on to their end. Null: never.
    const std::atomic<bool>* hold = nullptr;
    // Called from the station's own loop every beatMs (a service manager's
    // watchdog: a station whose loop hangs stops calling it). 0: never.
    uint32_t beatMs = 0;
    std::function<void()> beat;
    // How long a flashed device must be silent to count as gone.
    uint32_t goneMs = zq::kDeviceGoneMs;
    // How long a unit whose download failed must be silent to count as taken
    // away; until then, or until it is retried, its port is not armed.
    uint32_t awayMs = zq::kDeviceAwayMs;
};

enum class StationEnd {
    Stopped,    // the stop flag was set; downloads in flight were cancelled
    Counted,    // the count of downloads was reached, or the lot is written
    Unrecorded, // a record could not be kept; downloads in flight finished
    NoThread,   // a port got no thread to listen on (Why()); downloads in flight finished
};

class CStation {
public:
    CStation(const ImageSnapshot& image, PortEvents& events, StationOptions options);
    ~CStation();
    CStation(const CStation&) = delete;
    CStation& operator=(const CStation&) = delete;

    // Runs on the calling thread until stop is set (downloads in flight are
    // cancelled: they send nothing more and end as cancelled), the count is
    // reached, or a record failed; returns when every thread has ended.
    StationEnd Run(const std::atomic<bool>& stop);
    // The operator's retry of the unit that failed on port: its next beacon
    // starts its next attempt. On any thread; false when no unit there
    // waits for one.
    bool Retry(const std::string& port);
    // After Run ended NoThread: which port went unheard, and why, in words.
    std::string Why();

private:
    struct PortThread;

    const ImageSnapshot& image_;
    PortEvents& events_;
    StationOptions options_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<bool> cancel_{false};  // ends every listener
    const std::atomic<bool>* stop_ = nullptr; // Run's: ends every listener and cancels every download
    bool taking_ = true;               // new devices are flashed
    std::string unheard_;              // a port got no thread: the station ends, and why
    unsigned started_ = 0;
    unsigned ended_ = 0;
    unsigned inFlight_ = 0;
    unsigned succeeded_ = 0;
    std::mutex ending_;                // OnEnded one at a time
    std::vector<std::unique_ptr<PortThread>> portThreads_; // changed by Run's thread alone
    std::mutex portsChanging_; // held while it changes them, for Retry's look from another thread

    bool Cancelled() const;
    bool Held() const { return options_.hold && options_.hold->load(); }
    // Sleeps ms, or less once the station ends.
    void Pause(uint32_t ms);
    // Under mutex_.
    bool Counted() const;
    // Port threads whose listener ended are joined and go.
    void Reap();
    void FollowList(const std::vector<PortInfo>& listed);
    // false where the system gives no thread: the station takes no new device
    // and ends once those in flight have.
    bool AddPortThread(const PortInfo& info, bool named);
    void Listen(PortThread& port);
    // Listen's steps: the port opened at the probing speed (false: not yet),
    // the device that beaconed flashed, the device gone.
    bool OpenToListen(PortThread& port, CSerialLink& link);
    void Flash(PortThread& port, CSerialLink& link, const ImageSnapshot& image);
    void ArmForRetry(PortThread& port);
    void Gone(PortThread& port, CSerialLink& link);
    void Rearm(PortThread& port);
    bool BeginDownload();
    void EndDownload(const DeviceOutcome& outcome);
    void SetPhase(PortThread& port, PortPhase phase);
};

}  // namespace zq
