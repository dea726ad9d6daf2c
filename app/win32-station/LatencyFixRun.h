// Runs a tile's latency fix as administrator: zerquill-flash.exe beside the
// station's own exe, through one UAC prompt, each run on a thread of its own
// that waits for the program and posts the window a message when it has
// ended. The window's thread never waits.
#pragma once

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "station/LatencyFix.h"

namespace zq {

class CLatencyFixRuns {
public:
    // notify gets message (no parameters) when a run has ended.
    CLatencyFixRuns(HWND notify, UINT message) : notify_(notify), message_(message) {}
    // Waits for the runs still going: the program sets a timer and ends.
    ~CLatencyFixRuns();
    CLatencyFixRuns(const CLatencyFixRuns&) = delete;
    CLatencyFixRuns& operator=(const CLatencyFixRuns&) = delete;

    void Start(const LatencyFix& fix);
    // The runs that ended since the last call: their port and how they ended.
    std::vector<std::pair<std::string, FixOutcome>> Ended();

private:
    struct Run {
        std::string port;
        std::thread thread;
        bool done = false;
        FixOutcome outcome;
    };
    void Finish(Run& run, const FixOutcome& outcome);

    HWND notify_;
    UINT message_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Run>> runs_;
};

}  // namespace zq
