#include "StationView.h"

#include <cinttypes>
#include <ctime>

#include <nlohmann/json.hpp>

#include "Causes.h"
#include "Console.h"
#include "Text.h"

namespace {

// Live rows and JSON progress are drawn at most this often (per port for JSON).
constexpr auto kDrawEvery = std::chrono::milliseconds(100);

const char* PhaseWord(Stage stage)
{
    switch (stage) {
    case Stage::Searching: return "finding";
    case Stage::Found: return "found";
    case Stage::Handshake: return "handshake";
    case Stage::Header: return "header";
    case Stage::Count: return "count";
    case Stage::Clearing: return "clearing";
    case Stage::Sending: return "sending";
    case Stage::Closing: return "closing";
    }
    return "";
}

std::string Dump(const nlohmann::json& j) { return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

} // namespace

CStationView::CStationView(Mode mode, std::FILE* out, const ImageSnapshot& image, CRecordLog* log)
    : mode_(mode), out_(out), image_(image), log_(log)
{
    if (mode_ == Mode::Live && !EnableCursorControl(out_))
        mode_ = Mode::Lines;
}

void CStationView::Json(const std::string& line)
{
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
}

void CStationView::Say(const std::string& text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (mode_ != Mode::Json)
        Print(text + "\n");
}

void CStationView::Fail(const std::string& text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Print(text + "\n", stderr);
}

// Lines that stay on the screen, printed above the live rows; failures and
// hints go to stderr (to), which on a terminal shares the screen.
void CStationView::Print(const std::string& lines, std::FILE* to)
{
    if (!to)
        to = out_;
    if (mode_ != Mode::Live) {
        std::fputs(lines.c_str(), to);
        std::fflush(to);
        return;
    }
    if (drawnRows_) {
        std::fprintf(out_, "\x1b[%zuA\r\x1b[J", drawnRows_);
        std::fflush(out_);
    }
    drawnRows_ = 0;
    std::fputs(lines.c_str(), to);
    std::fflush(to);
    Redraw();
}

std::string CStationView::RowText(const std::string& port, const Row& row) const
{
    const StageReport& r = row.last;
    std::string text = "  " + port + "  " + PhaseWord(r.stage);
    if (r.blocks) {
        text += Format("  block %u/%u  %3u%%", r.done, r.blocks, unsigned(uint64_t(r.done) * 100 / r.blocks));
        const double secs = std::chrono::duration<double>(Clock::now() - row.dataStart).count();
        if (r.stage == Stage::Sending && r.done > 0 && secs > 0)
            text += Format("  %.0f B/s", r.done * double(zq::kBlockSize) / secs);
    }
    return text;
}

void CStationView::Redraw()
{
    std::string text;
    if (drawnRows_)
        text += "\x1b[" + std::to_string(drawnRows_) + "A\r\x1b[J";
    // Never wider than the terminal: a wrapped row would break the count of
    // rows to go back over.
    const int columns = TerminalColumns(out_);
    for (const auto& entry : busy_) {
        std::string row = RowText(entry.first, entry.second);
        if (columns > 1 && row.size() >= size_t(columns))
            row.resize(size_t(columns) - 1);
        text += row + "\n";
    }
    drawnRows_ = busy_.size();
    lastDraw_ = Clock::now();
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
}

void CStationView::OnPort(const PortInfo& port, PortPhase phase)
{
    std::lock_guard<std::mutex> lock(mutex_);
    // On a terminal too: nothing else would say why a port never listens.
    if (phase == PortPhase::Denied || phase == PortPhase::Busy) {
        if (mode_ == Mode::Lines || mode_ == Mode::Live) {
            const PortError error = phase == PortPhase::Denied ? PortError::AccessDenied : PortError::Busy;
            Print(DescribePortRefusal(port.name, error) + "\n", stderr);
        }
        return;
    }
    if (mode_ != Mode::Lines)
        return;
    if (phase == PortPhase::Absent)
        Print(port.name + ": not there\n");
    else if (phase == PortPhase::Listening)
        Print(port.name + ": listening\n");
}

void CStationView::OnFound(const std::string& port)
{
    std::lock_guard<std::mutex> lock(mutex_);
    busy_[port] = Row();
    if (mode_ == Mode::Json) {
        Json(Dump({{"event", "found"}, {"time", IsoUtc(std::time(nullptr))}, {"port", port}}));
        return;
    }
    if (mode_ == Mode::Lines)
        Print(port + ": device found\n");
    else if (mode_ == Mode::Live)
        Redraw();
}

void CStationView::OnProgress(const std::string& port, const StageReport& report)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Row& row = busy_[port];
    const Clock::time_point now = Clock::now();
    if (report.stage == Stage::Sending && report.done == 0 && !report.refusal)
        row.dataStart = now;
    const bool newStage = row.last.stage != report.stage;
    row.last = report;
    if (mode_ == Mode::Json) {
        if (!newStage && now - row.lastJson < kDrawEvery)
            return;
        row.lastJson = now;
        Json(Dump({{"event", "progress"},
                   {"port", port},
                   {"phase", PhaseWord(report.stage)},
                   {"block", report.done},
                   {"blocks", report.blocks},
                   {"refused", report.refused}}));
    } else if (mode_ == Mode::Live && now - lastDraw_ >= kDrawEvery) {
        Redraw();
    }
}

void CStationView::OnAdapter(const std::string& port, const PortInfo& adapter, int latencyMs)
{
    const std::string hint = LatencyHint(adapter, latencyMs);
    if (hint.empty())
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (mode_ == Mode::Json)
        Json(Dump({{"event", "hint"}, {"port", port}, {"latency_ms", latencyMs}, {"text", hint}}));
    else
        Print(port + ":   " + hint + "\n", stderr);
}

bool CStationView::OnEnded(const DeviceOutcome& o)
{
    const std::string cause =
        o.success ? std::string() : DescribeFailure(o.failure, o.discovery, image_.path);
    const std::string record = RecordLine(o, image_, cause, tags_);
    const bool recorded = !log_ || log_->Append(record);

    std::lock_guard<std::mutex> lock(mutex_);
    busy_.erase(o.port);
    if (o.success)
        ++written_;
    else if (o.cancelled)
        ++cancelled_;
    else
        ++failed_;
    unrecorded_ = unrecorded_ || !recorded;
    const std::string hint = o.success ? SlowLineHint(o.dataBytesPerS, o.latencyMs) : std::string();

    if (mode_ == Mode::Json) {
        nlohmann::json event = nlohmann::json::parse(record);
        event["event"] = "result";
        Json(Dump(event));
        if (!recorded)
            std::fprintf(stderr, "zerquill-flash: %s: the record could not be written\n", o.port.c_str());
        return recorded;
    }
    std::string lines, errors;
    if (o.success)
        lines = Format("%s: %s (%.1f s)\n", o.port.c_str(), kNoticeSuccess, o.seconds);
    else if (o.cancelled)
        lines = o.port + ": cancelled\n";
    else
        errors = o.port + ": " + o.notice + "\n" + o.port + ":   " + cause + "\n";
    if (!hint.empty())
        errors += o.port + ":   " + hint + "\n";
    if (!recorded)
        errors += o.port + ": the record could not be written\n";
    if (!lines.empty())
        Print(lines);
    if (!errors.empty())
        Print(errors, stderr);
    return recorded;
}

void CStationView::Summary()
{
    std::lock_guard<std::mutex> lock(mutex_);
    const unsigned devices = written_ + failed_ + cancelled_;
    if (mode_ == Mode::Json) {
        Json(Dump({{"event", "summary"},
                   {"devices", devices},
                   {"written", written_},
                   {"failed", failed_},
                   {"cancelled", cancelled_},
                   {"unrecorded", unrecorded_}}));
        return;
    }
    std::string line = Format("%u device%s: %u written, %u failed", devices, devices == 1 ? "" : "s", written_,
                              failed_);
    if (cancelled_)
        line += Format(", %u cancelled", cancelled_);
    Print(line + "\n");
}
