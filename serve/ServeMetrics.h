// The served station's metrics in Prometheus' text format, and the tally of
// whole downloads (their times and bytes) that only the metrics keep.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "station/StationBoard.h"

namespace zq {

// What a scrape shows of the board, taken under its lock.
struct MetricsView {
    std::string station;
    std::string state; // "running", "paused" or "stopping"
    StationTotals totals;
    size_t recordsPending = 0;
    unsigned lotUnits = 0; // 0: no lot
    unsigned lotWritten = 0;
    std::map<std::string, unsigned> ports; // tiles by their state
    bool channel = false; // a channel is followed: the three below are told
    uint64_t releaseVersion = 0;
    int64_t releaseExpires = 0;
    int64_t channelConfirmed = 0;
};

class CServeTally {
public:
    explicit CServeTally(uint32_t blockBytes) : blockBytes_(blockBytes) {}
    // On the station's threads.
    void Progress(const std::string& port, uint32_t blocksDone);
    void Ended(const DeviceOutcome& outcome);
    // Every metric, the tally's and the view's.
    std::string Text(const MetricsView& view) const;

private:
    const uint32_t blockBytes_;
    mutable std::mutex mutex_;
    std::map<std::string, uint32_t> done_; // blocks acknowledged of each download in flight
    std::vector<uint64_t> buckets_ = std::vector<uint64_t>(kBounds.size(), 0);
    double sum_ = 0;
    uint64_t count_ = 0;
    uint64_t bytes_ = 0;

    static const std::vector<double> kBounds;
};

// The state words of the status and the metrics: "waiting", "listening",
// "unavailable", ...
const char* TileStateName(TileState state);

}  // namespace zq
