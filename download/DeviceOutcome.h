// What one device's download came to, as its record and every front end
// tell it, and the tally that gathers the figures from its stage reports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "download/DownloadHost.h"
#include "link/PortList.h"

namespace zq {

struct DeviceOutcome {
    std::string port;
    PortInfo device;                      // the adapter behind the port, where the system tells
    int64_t startedUnix = 0;              // when the download began, seconds since 1970 UTC
    uint32_t refusals = 0;                // blocks the device refused, resends included
    uint32_t clrSteps = 0;                // progress bytes of its CLR phase
    double dataBytesPerS = 0;             // payload rate of the data phase, once it ended
    int latencyMs = -1;                   // the adapter's latency timer when found; -1 unknown
    bool success = false;
    bool cancelled = false;               // stopped by a cancel request, not by the device
    std::string notice;                   // the notice the download ended with
    DownloadFailure failure;              // where it stopped, when it failed
    std::vector<ProbeResult> discovery;   // its own discovery, for the cause
    double seconds = 0;
    // Which unit this was, as a station tells units apart on its port (an
    // opaque id, empty where nobody tells), and which attempt at it: a
    // retried unit's second download is its attempt 2, not a new unit.
    std::string unit;
    unsigned attempt = 1;
};

// Keeps from a download's stage reports what its record needs, passing
// every report and position on to next, if any.
class CStageTally : public ProgressSink {
public:
    explicit CStageTally(ProgressSink* next = nullptr) : next_(next) {}
    void SetRange(uint32_t maximum) override;
    void SetPos(uint32_t position) override;
    void OnStage(const StageReport& report) override;
    void OnAdapter(const PortInfo& port, int latencyMs) override;
    // Refusals, CLR steps, the data phase's rate and the latency timer.
    void Fill(DeviceOutcome& outcome) const;

private:
    ProgressSink* next_;
    int latencyMs_ = -1;
    uint32_t refusals_ = 0;
    uint32_t clrSteps_ = 0;
    double bytesPerS_ = 0;
};

}  // namespace zq
