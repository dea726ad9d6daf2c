#include "cli/ProgressView.h"

#include <filesystem>

#include "download/Causes.h"
#include "cli/Console.h"
#include "cli/Text.h"

namespace zq {

namespace {

std::string MinSec(double seconds)
{
    const unsigned s = seconds < 0 ? 0 : static_cast<unsigned>(seconds + 0.5);
    return Format("%u:%02u", s / 60, s % 60);
}

const char* PhaseWord(CProgressView::Phase phase)
{
    switch (phase) {
    case CProgressView::Phase::Image: return "image";
    case CProgressView::Phase::Searching: return "searching";
    case CProgressView::Phase::Found: return "found";
    case CProgressView::Phase::Handshake: return "handshake";
    case CProgressView::Phase::Header: return "header";
    case CProgressView::Phase::Count: return "count";
    case CProgressView::Phase::Clearing: return "clearing";
    case CProgressView::Phase::Sending: return "sending";
    case CProgressView::Phase::Closing: return "closing";
    }
    return "";
}

} // namespace

CProgressView::CProgressView(Mode mode, std::FILE* out, std::FILE* hints, const CSerialLink& link,
                             std::string imagePath)
    : mode_(mode), out_(out), hints_(hints), link_(link), imagePath_(std::move(imagePath)), start_(Clock::now())
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
    if (mode_ == Mode::Live && drawnWidth_) {
        const std::string wipe = cursorControl_ ? "\r\x1b[K" : "\r" + std::string(drawnWidth_, ' ') + "\r";
        std::fputs(wipe.c_str(), out_);
        std::fflush(out_);
        drawnWidth_ = 0;
    }
    std::fprintf(hints_, "%s\n", hint.c_str());
    std::fflush(hints_);
    Redraw(true);
}

double CProgressView::Seconds(Clock::time_point t) const
{
    return std::chrono::duration<double>(t - start_).count();
}

double CProgressView::SendingSeconds() const
{
    if (phase_ < Phase::Sending)
        return 0;
    const Clock::time_point end = done_ ? lastAck_ : Clock::now();
    return std::chrono::duration<double>(end - firstBlock_).count();
}

void CProgressView::PortsListed(size_t count)
{
    portCount_ = count;
    portIndex_ = 0;
    if (mode_ == Mode::Lines && count)
        Line(Format("looking for the device on %zu port%s", count, count == 1 ? "" : "s"));
}

void CProgressView::Probing(const std::string& port)
{
    if (phase_ != Phase::Searching)
        return;
    ++portIndex_;
    probing_ = port;
    Redraw(true);
}

void CProgressView::OnStage(const StageReport& report)
{
    switch (report.stage) {
    case Stage::Searching:
        blocks_ = report.blocks;
        Keep(Format("image %s: %u blocks (%u bytes of data)", imagePath_.c_str(), blocks_,
                    blocks_ * zq::kBlockSize));
        Enter(Phase::Searching);
        break;
    case Stage::Found:
        if (mode_ == Mode::Live)
            Keep("device found on " + link_.FoundPort());
        Enter(Phase::Found);
        break;
    case Stage::Handshake: Enter(Phase::Handshake); break;
    case Stage::Header: Enter(Phase::Header); break;
    case Stage::Count: Enter(Phase::Count); break;
    case Stage::Clearing:
        Enter(Phase::Clearing);
        if (report.clrSteps != clrSteps_) {
            clrSteps_ = report.clrSteps;
            Redraw(false);
        }
        break;
    case Stage::Sending:
        if (phase_ < Phase::Sending) {
            firstBlock_ = Clock::now();
            Enter(Phase::Sending);
        }
        if (report.refusal) {
            refused_ = report.refused;
            if (mode_ == Mode::Lines && report.resending)
                Line(Format("block %u refused (0x%02X), sending it again", report.done, report.refusalByte));
            Redraw(true);
        } else if (report.done != done_) {
            done_ = report.done;
            lastAck_ = Clock::now();
            if (mode_ == Mode::Lines && blocks_) {
                const unsigned tenth = static_cast<unsigned>(uint64_t(done_) * 10 / blocks_);
                if (tenth > lastTenth_) {
                    lastTenth_ = tenth;
                    Line(BlockFigures(true));
                }
            }
            Redraw(false);
        }
        break;
    case Stage::Closing: Enter(Phase::Closing); break;
    }
}

std::string CProgressView::BlockFigures(bool withRate) const
{
    const unsigned percent = blocks_ ? static_cast<unsigned>(uint64_t(done_) * 100 / blocks_) : 0;
    std::string text = Format("%5u/%u blocks %3u%%", done_, blocks_, percent);
    const double secs = SendingSeconds();
    if (withRate && done_ > 0 && secs > 0) {
        const double rate = done_ * double(zq::kBlockSize) / secs;
        text += Format("  %6.0f B/s", rate);
        if (done_ < blocks_)
            text += "  " + MinSec((blocks_ - done_) * secs / done_) + " left";
    }
    if (refused_)
        text += Format("  (%u refused)", refused_);
    return text;
}

void CProgressView::Enter(Phase phase)
{
    if (phase == phase_)
        return;
    phase_ = phase;
    if (mode_ == Mode::Lines) {
        switch (phase) {
        case Phase::Found:
            Line("device found on " + link_.FoundPort());
            break;
        case Phase::Handshake:
            Line("handshake at 115200 bit/s");
            break;
        case Phase::Header:
            Line("header word");
            break;
        case Phase::Count:
            Line("block count");
            break;
        case Phase::Clearing:
            Line("clearing");
            break;
        case Phase::Sending:
            Line(clrSteps_ ? Format("sending %u blocks (the device cleared in %u steps)", blocks_, clrSteps_)
                           : Format("sending %u blocks", blocks_));
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

    std::string text = Format("%-10s", finished_ ? "done" : PhaseWord(phase_));
    text += BlockFigures(phase_ >= Phase::Sending);
    if (phase_ == Phase::Searching && !probing_.empty())
        text += Format("  %s (%zu of %zu)", probing_.c_str(), portIndex_, portCount_);
    else if (phase_ > Phase::Searching && phase_ < Phase::Sending)
        text += "  on " + link_.FoundPort();
    if (phase_ == Phase::Clearing && clrSteps_)
        text += Format(" (%u steps)", clrSteps_);

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
    if (mode_ == Mode::Live) {
        finished_ = success;
        Redraw(true);
        if (drawnWidth_) {
            // A failed download leaves its last state on screen: where it stopped.
            std::fputc('\n', out_);
            drawnWidth_ = 0;
        }
    }
    if (success) {
        const double secs = SendingSeconds();
        const uint64_t bytes = uint64_t(blocks_) * zq::kBlockSize;
        const std::string size = bytes % 1024 == 0 ? Format("%llu KiB", (unsigned long long)(bytes / 1024))
                                                   : Format("%llu bytes", (unsigned long long)bytes);
        const std::string name = std::filesystem::path(imagePath_).filename().string();
        std::string text = Format("wrote %u blocks (%s) of %s to %s in %.1f s", blocks_, size.c_str(), name.c_str(),
                                  port.c_str(), Seconds(Clock::now()));
        if (secs > 0)
            text += Format(" (data %.3f s, %.0f B/s)", secs, bytes / secs);
        if (mode_ == Mode::Lines)
            Line(text);
        else
            std::fprintf(out_, "%s\n", text.c_str());
        // Bytes past the last whole block are never sent: say how many.
        std::error_code ec;
        const uint64_t length = std::filesystem::file_size(imagePath_, ec);
        const uint64_t tail = !ec && length > zq::kImageDataOffset ? (length - zq::kImageDataOffset) % zq::kBlockSize : 0;
        if (tail)
            std::fprintf(out_, "note: the last %llu bytes of %s are not a whole block and were not sent\n",
                         (unsigned long long)tail, name.c_str());
    }
    std::fflush(out_);
}

}  // namespace zq
