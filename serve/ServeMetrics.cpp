#include "serve/ServeMetrics.h"

#include "record/RecordSchema.h"

#include <cstdio>

namespace zq {

namespace {

// A label's value as the text format wants it.
std::string LabelValue(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string Number(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

void Family(std::string& out, const char* name, const char* type, const char* help)
{
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

} // namespace

// From a download that finds its device at once to one whose device clears
// a large memory first.
const std::vector<double> CServeTally::kBounds = {1, 2, 5, 10, 20, 30, 60, 120, 300, 600};

const char* TileStateName(TileState state)
{
    switch (state) {
    case TileState::Waiting: return "waiting";
    case TileState::Listening: return "listening";
    case TileState::Unavailable: return "unavailable";
    case TileState::Flashing: return "flashing";
    case TileState::Success: return "success";
    case TileState::Failed: return "failed";
    case TileState::Cancelled: return "cancelled";
    case TileState::Busy: return "busy";
    case TileState::Denied: return "denied";
    }
    return "";
}

void CServeTally::Progress(const std::string& port, uint32_t blocksDone)
{
    std::lock_guard<std::mutex> lock(mutex_);
    done_[port] = blocksDone;
}

void CServeTally::Ended(const DeviceOutcome& outcome)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = done_.find(outcome.port);
    if (it != done_.end()) {
        bytes_ += uint64_t(it->second) * blockBytes_;
        done_.erase(it);
    }
    for (size_t i = 0; i < kBounds.size(); ++i)
        if (outcome.seconds <= kBounds[i])
            ++buckets_[i];
    sum_ += outcome.seconds;
    ++count_;
}

std::string CServeTally::Text(const MetricsView& view) const
{
    std::string out;
    const StationTotals& t = view.totals;
    Family(out, "zerquill_downloads_total", "counter", "Downloads ended, by result.");
    // The results in the records' own words, which scripts and the line's
    // server read already: one word for a result wherever it is counted.
    const auto total = [&out](const char* result, unsigned long long n) {
        out += std::string("zerquill_downloads_total{result=\"") + result + "\"} " + std::to_string(n) + "\n";
    };
    total(result::success, t.written);
    total(result::fail, t.failed);
    total(result::cancelled, t.cancelled);
    Family(out, "zerquill_downloads_in_flight", "gauge", "Downloads running now.");
    out += "zerquill_downloads_in_flight " + std::to_string(t.inFlight) + "\n";
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Family(out, "zerquill_download_duration_seconds", "histogram", "Whole downloads, found to ended.");
        for (size_t i = 0; i < kBounds.size(); ++i)
            out += "zerquill_download_duration_seconds_bucket{le=\"" + Number(kBounds[i]) + "\"} " +
                   std::to_string(buckets_[i]) + "\n";
        out += "zerquill_download_duration_seconds_bucket{le=\"+Inf\"} " + std::to_string(count_) + "\n";
        out += "zerquill_download_duration_seconds_sum " + Number(sum_) + "\n";
        out += "zerquill_download_duration_seconds_count " + std::to_string(count_) + "\n";
        Family(out, "zerquill_bytes_sent_total", "counter", "Image bytes of the blocks devices acknowledged.");
        out += "zerquill_bytes_sent_total " + std::to_string(bytes_) + "\n";
    }
    Family(out, "zerquill_records_pending", "gauge", "Records not yet delivered to the receiver.");
    out += "zerquill_records_pending " + std::to_string(view.recordsPending) + "\n";
    if (view.lotUnits) {
        Family(out, "zerquill_lot_written", "gauge", "Units of the job's lot written.");
        out += "zerquill_lot_written " + std::to_string(view.lotWritten) + "\n";
        Family(out, "zerquill_lot_units", "gauge", "Units in the job's lot.");
        out += "zerquill_lot_units " + std::to_string(view.lotUnits) + "\n";
    }
    Family(out, "zerquill_ports", "gauge", "Ports by their state.");
    for (const TileState s : {TileState::Waiting, TileState::Listening, TileState::Unavailable, TileState::Flashing,
                              TileState::Success, TileState::Failed, TileState::Cancelled, TileState::Busy,
                              TileState::Denied}) {
        const auto it = view.ports.find(TileStateName(s));
        out += std::string("zerquill_ports{state=\"") + TileStateName(s) + "\"} " +
               std::to_string(it == view.ports.end() ? 0 : it->second) + "\n";
    }
    // One series a state, the station's at 1: an alert can leave a paused
    // station out.
    Family(out, "zerquill_station_state", "gauge", "The station's state: running, paused or stopping.");
    for (const char* state : {"running", "paused", "stopping"})
        out += std::string("zerquill_station_state{state=\"") + state + "\"} " + (view.state == state ? "1" : "0") + "\n";
    if (view.channel) {
        Family(out, "zerquill_release_version", "gauge", "The targets version of the release in force; 0: none.");
        out += "zerquill_release_version " + std::to_string(view.releaseVersion) + "\n";
        Family(out, "zerquill_release_expires_timestamp_seconds", "gauge",
               "When the release in force stops being in force; 0: none.");
        out += "zerquill_release_expires_timestamp_seconds " + std::to_string(view.releaseExpires) + "\n";
        Family(out, "zerquill_channel_last_success_timestamp_seconds", "gauge",
               "When a refresh of the channel last succeeded; 0: never.");
        out += "zerquill_channel_last_success_timestamp_seconds " + std::to_string(view.channelConfirmed) + "\n";
    }
    Family(out, "zerquill_up", "gauge", "1 while the station serves.");
    out += "zerquill_up{station=\"" + LabelValue(view.station) + "\"} 1\n";
    return out;
}

}  // namespace zq
