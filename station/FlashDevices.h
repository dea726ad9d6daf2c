// Many devices at once: one download per port, each with its own link and
// its own reader of the image snapshot, on a thread of its own. Each device
// sees exactly the single-device exchange: its beacon answered on its port,
// then the exchange at full speed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "DownloadHost.h"
#include "ImageSnapshot.h"
#include "PortList.h"

struct DeviceOutcome {
    std::string port;
    PortInfo device;                      // the adapter behind the port, where the system tells
    int64_t startedUnix = 0;              // when the download began, seconds since 1970 UTC
    uint32_t refusals = 0;                // blocks the device refused, resends included
    uint32_t clrSteps = 0;                // progress bytes of its CLR phase
    double dataBytesPerS = 0;             // payload rate of the data phase, once it ended
    bool success = false;
    std::string notice;                   // the notice the download ended with
    DownloadFailure failure;              // where it stopped, when it failed
    std::vector<ProbeResult> discovery;   // its own discovery, for the cause
    double seconds = 0;
};

// Keeps from a download's stage reports what its record needs, passing
// every report and position on to next, if any.
class CStageTally : public ProgressSink {
public:
    explicit CStageTally(ProgressSink* next = nullptr) : next_(next) {}
    void SetRange(uint32_t maximum) override;
    void SetPos(uint32_t position) override;
    void OnStage(const StageReport& report) override;
    // Refusals, CLR steps and the data phase's rate.
    void Fill(DeviceOutcome& outcome) const;

private:
    ProgressSink* next_;
    uint32_t refusals_ = 0;
    uint32_t clrSteps_ = 0;
    double bytesPerS_ = 0;
    std::chrono::steady_clock::time_point dataStart_{};
};

// Flashes the device on each port, all at once; outcomes in the order of
// ports. onEnded, when set, hears each outcome as its download ends (from
// that download's thread, one at a time). cancel ends every download, which
// then sends nothing more.
std::vector<DeviceOutcome> FlashDevices(const ImageSnapshot& image, const std::vector<std::string>& ports,
                                        const std::atomic<bool>* cancel = nullptr,
                                        std::function<void(const DeviceOutcome&)> onEnded = nullptr);
