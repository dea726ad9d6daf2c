#include "cli/ProgressView.h"

#include <filesystem>

#include "download/Causes.h"
#include "cli/Console.h"
#include "platform/Format.h"

namespace zq {

namespace {

std::string MinSec(double seconds)
{
    const unsigned s = seconds < 0 ? 0 : static_cast<unsigned>(seconds + 0.5);
    return Format("%u:%02u", s / 60, s % 60);
}

} // namespace

CProgressView::CProgressView(Mode mode, std::FILE* out, std::FILE* hints, std::string imagePath)
    : mode_(mode), out_(out), hints_(hints), imagePath_(std::move(imagePath)), start_(Clock::now())
{
    if (mode_ == Mode::Live)
        cursorControl_ = EnableCursorControl(out_);
}

void CProgressView::Keep(const std::string& text)
{
    if (mode_ == Mode::Lines) {
        Line(text);
    } else if (mode_ == Mode::Live) {
        std::fprintf(out_, cursorControl_ ? "\r\x1b[K%s\n" : "\r%s\n", text.c_str());
        drawnWidth_ = 0;
        std::fflush(out_);
    }
}

void CProgressView::OnAdapter(const PortInfo& port, int latencyMs)
{
    const std::string hint = LatencyHint(port, latencyMs);
    if (hint.empty())
        return;
    // Off the live line first: on a terminal both streams share the screen.
    Wipe();
    std::fprintf(hints_, "%s\n", hint.c_str());
    std::fflush(hints_);
    Redraw(true);
}

void CProgressView::Wipe()
{
    if (mode_ != Mode::Live || !drawnWidth_)
        return;
    const std::string wipe = cursorControl_ ? "\r\x1b[K" : "\r" + std::string(drawnWidth_, ' ') + "\r";
    std::fputs(wipe.c_str(), out_);
    std::fflush(out_);
    drawnWidth_ = 0;
}

double CProgressView::Seconds(Clock::time_point t) const
{
    return std::chrono::duration<double>(t - start_).count();
}

void CProgressView::PortsListed(size_t count)
{
    portCount_ = count;
    portIndex_ = 0;
    if (mode_ == Mode::Lines && count)
        Line("looking for the device on " + Counted(count, "port"));
}

void CProgressView::Probing(const std::string& port)
{
    if (!entered_ || stage_ != Stage::Searching)
        return;
    ++portIndex_;
    probing_ = port;
    Redraw(true);
}

void CProgressView::OnStage(const StageReport& report)
{
    const StageReport before = last_;
    last_ = report;
    switch (report.stage) {
    case Stage::Searching:
        Keep(Format("image %s: %u blocks (%u bytes of data)", imagePath_.c_str(), report.blocks,
                    report.blocks * zq::kBlockSize));
        Enter(Stage::Searching);
        break;
    case Stage::Found:
        if (mode_ == Mode::Live)
            Keep("device found on " + report.port);
        Enter(Stage::Found);
        break;
    case Stage::Handshake:
    case Stage::Header:
    case Stage::Count:
    case Stage::Closing: Enter(report.stage); break;
    case Stage::Clearing:
        Enter(Stage::Clearing);
        if (report.clrSteps != before.clrSteps)
            Redraw(false);
        break;
    case Stage::Sending:
        Enter(Stage::Sending);
        if (report.refusal) {
            if (mode_ == Mode::Lines && report.resending)
                Line(Format("block %u refused (0x%02X), sending it again", report.done, report.refusalByte));
            Redraw(true);
        } else if (report.done != before.done) {
            if (mode_ == Mode::Lines && report.blocks) {
                const unsigned tenth = static_cast<unsigned>(uint64_t(report.done) * 10 / report.blocks);
                if (tenth > lastTenth_) {
                    lastTenth_ = tenth;
                    Line(BlockFigures(true));
                }
            }
            Redraw(false);
        }
        break;
    }
}

std::string CProgressView::BlockFigures(bool withRate) const
{
    const StageReport& r = last_;
    const unsigned percent = r.blocks ? static_cast<unsigned>(uint64_t(r.done) * 100 / r.blocks) : 0;
    std::string text = Format("%5u/%u blocks %3u%%", r.done, r.blocks, percent);
    if (withRate && r.done > 0 && r.bytesPerS > 0) {
        text += Format("  %6.0f B/s", r.bytesPerS);
        if (r.done < r.blocks)
            text += "  " + MinSec((r.blocks - r.done) * r.dataSeconds / r.done) + " left";
    }
    if (r.refused)
        text += Format("  (%u refused)", r.refused);
    return text;
}

void CProgressView::Enter(Stage stage)
{
    if (entered_ && stage == stage_)
        return;
    entered_ = true;
    stage_ = stage;
    if (mode_ == Mode::Lines) {
        switch (stage) {
        case Stage::Found:
            Line("device found on " + last_.port);
            break;
        case Stage::Handshake:
            Line(Format("handshake at %u bit/s", zq::kDownloadBaud));
            break;
        case Stage::Header:
            Line("header word");
            break;
        case Stage::Count:
            Line("block count");
            break;
        case Stage::Clearing:
            Line("clearing");
            break;
        case Stage::Sending:
            Line(last_.clrSteps ? Format("sending %u blocks (the device cleared in %u steps)", last_.blocks,
                                         last_.clrSteps)
                                : Format("sending %u blocks", last_.blocks));
            break;
        default:
            break;
        }
    }
    Redraw(true);
}

void CProgressView::Line(const std::string& text)
{
    std::fprintf(out_, "[%8.3f s] %s\n", Seconds(Clock::now()), text.c_str());
    std::fflush(out_);
}

void CProgressView::Redraw(bool force)
{
    if (mode_ != Mode::Live)
        return;
    const Clock::time_point now = Clock::now();
    if (!force && now - lastDraw_ < std::chrono::milliseconds(100))
        return;
    lastDraw_ = now;

    // Before the first report the image is being read.
    std::string text = Format("%-10s", finished_ ? "done" : entered_ ? StageWord(stage_) : "image");
    text += BlockFigures(entered_ && stage_ >= Stage::Sending);
    if (entered_ && stage_ == Stage::Searching && !probing_.empty())
        text += Format("  %s (%zu of %zu)", probing_.c_str(), portIndex_, portCount_);
    else if (entered_ && stage_ > Stage::Searching && stage_ < Stage::Sending)
        text += "  on " + last_.port;
    if (entered_ && stage_ == Stage::Clearing && last_.clrSteps)
        text += Format(" (%u steps)", last_.clrSteps);

    // Never wider than the terminal, asked afresh each time (it may have
    // been resized): a wrapped line would start a new line per update.
    const int columns = TerminalColumns(out_);
    if (columns > 1 && text.size() >= size_t(columns))
        text.resize(size_t(columns) - 1);
    const size_t width = text.size();
    if (cursorControl_) {
        text += "\x1b[K";
    } else if (width < drawnWidth_) {
        text.append(drawnWidth_ - width, ' ');
    }
    drawnWidth_ = width;
    std::fprintf(out_, "\r%s", text.c_str());
    std::fflush(out_);
}

void CProgressView::Finish(bool success, const std::string& port)
{
    if (mode_ == Mode::Quiet)
        return;
    if (mode_ == Mode::Live && !success) {
        // Its last state would stand stale above the result ("0:03 left");
        // the cause says where it stopped.
        Wipe();
    } else if (mode_ == Mode::Live) {
        finished_ = true;
        Redraw(true);
        if (drawnWidth_) {
            std::fputc('\n', out_);
            drawnWidth_ = 0;
        }
    }
    if (success) {
        const uint32_t blocks = last_.blocks;
        const double secs = last_.dataSeconds;
        const uint64_t bytes = uint64_t(blocks) * zq::kBlockSize;
        const std::string size = bytes % 1024 == 0 ? Format("%llu KiB", (unsigned long long)(bytes / 1024))
                                                   : Format("%llu bytes", (unsigned long long)bytes);
        const std::string name = std::filesystem::path(imagePath_).filename().string();
        std::string text = Format("wrote %u blocks (%s) of %s to %s in %.1f s", blocks, size.c_str(), name.c_str(),
                                  port.c_str(), Seconds(Clock::now()));
        if (secs > 0)
            text += Format(" (data %.3f s, %.0f B/s)", secs, bytes / secs);
        if (mode_ == Mode::Lines)
            Line(text);
        else
            std::fprintf(out_, "%s\n", text.c_str());
        // Bytes past the last whole block are never sent: say how many.
        if (last_.tailBytes)
            std::fprintf(out_, "note: the last %u bytes of %s are not a whole block and were not sent\n",
                         last_.tailBytes, name.c_str());
    }
    std::fflush(out_);
}

}  // namespace zq
