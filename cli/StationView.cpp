#include "cli/StationView.h"

#include <cinttypes>
#include <ctime>

#include "download/Causes.h"
#include "cli/Console.h"
#include "platform/Format.h"
#include "record/RecordSchema.h"
#include "station/StationJson.h"

namespace zq {

namespace {

// Live rows and JSON progress are drawn at most this often (per port for JSON).
constexpr auto kDrawEvery = std::chrono::milliseconds(100);

} // namespace

CStationView::CStationView(Mode mode, std::FILE* out)
    : mode_(mode), out_(out)
{
    if (mode_ == Mode::Live && !EnableCursorControl(out_))
        mode_ = Mode::Lines;
}

std::string CStationView::Who(const std::string& port) const
{
    const std::string label = SlotLabel(fixture_, port);
    return label.empty() ? port : label + " (" + port + ")";
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
    std::string text = "  " + Who(port) + "  " + StageWord(r.stage);
    if (r.blocks) {
        text += Format("  block %u/%u  %3u%%", r.done, r.blocks, unsigned(uint64_t(r.done) * 100 / r.blocks));
        if (r.stage == Stage::Sending && r.bytesPerS > 0)
            text += Format("  %.0f B/s", r.bytesPerS);
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
        Print(Who(port.name) + ": not there\n");
    else if (phase == PortPhase::Listening)
        Print(Who(port.name) + ": listening\n");
}

void CStationView::OnFound(const std::string& port, const StationTotals& /*totals*/)
{
    std::lock_guard<std::mutex> lock(mutex_);
    busy_[port] = Row();
    if (mode_ == Mode::Json) {
        Json(FoundJson(port));
        return;
    }
    if (mode_ == Mode::Lines)
        Print(Who(port) + ": device found\n");
    else if (mode_ == Mode::Live)
        Redraw();
}

void CStationView::OnProgress(const std::string& port, const StageReport& report)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Row& row = busy_[port];
    const Clock::time_point now = Clock::now();
    const bool newStage = row.last.stage != report.stage;
    row.last = report;
    if (mode_ == Mode::Json) {
        if (!newStage && now - row.lastJson < kDrawEvery)
            return;
        row.lastJson = now;
        Json(ProgressJson(port, report));
    } else if (mode_ == Mode::Live && now - lastDraw_ >= kDrawEvery) {
        Redraw();
    }
}

void CStationView::OnHint(const std::string& port, const std::string& hint)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (mode_ == Mode::Json)
        Json(HintJson(port, hint));
    else
        Print(Who(port) + ":   " + hint + "\n", stderr);
}

void CStationView::OnEnded(const DeviceEnding& e)
{
    const DeviceOutcome& o = e.outcome;
    std::lock_guard<std::mutex> lock(mutex_);
    busy_.erase(o.port);
    if (mode_ == Mode::Json) {
        Json(ResultJson(e.record));
        if (!e.recorded)
            std::fprintf(stderr, "zerquill-flash: %s: the record could not be written\n", o.port.c_str());
        return;
    }
    const std::string who = Who(o.port);
    std::string lines, errors;
    if (o.success)
        lines = Format("%s: %s (%.1f s)\n", who.c_str(), kNoticeSuccess, o.seconds);
    else if (o.cancelled)
        lines = who + ": cancelled\n";
    else
        errors = who + ": " + o.notice + "\n" + who + ":   " + e.cause + "\n";
    // A lost line is a unit gone; any other failure holds the unit.
    if (!o.success && !o.cancelled && !o.failure.lineLost && !held_.empty())
        errors += who + ":   " + held_ + "\n";
    if (!e.hint.empty())
        errors += who + ":   " + e.hint + "\n";
    if (!e.recorded)
        errors += who + ": the record could not be written\n";
    if (!lines.empty())
        Print(lines);
    if (!errors.empty())
        Print(errors, stderr);
}

void CStationView::Summary(const StationTotals& totals)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (mode_ == Mode::Json) {
        Json(SummaryJson(totals));
        return;
    }
    // The written and the failed are downloads; a unit retried is one device.
    const unsigned devices = totals.devices, downloads = totals.Downloads();
    std::string line = Counted(devices, "device");
    if (downloads != devices)
        line += ", " + Counted(downloads, "download");
    line += Format(": %u written, %u failed", totals.written, totals.failed);
    if (totals.cancelled)
        line += Format(", %u cancelled", totals.cancelled);
    Print(line + "\n");
}

}  // namespace zq
