// What the command line shows while a download runs: a line redrawn in place
// on a terminal, plain time-stamped lines otherwise, nothing with --quiet.
// It follows the worker's stage reports; the bar's positions are the
// dialogs' business.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "download/DownloadHost.h"

namespace zq {

class CProgressView : public ProgressSink {
public:
    enum class Mode { Live, Lines, Quiet };

    // Hints (an adapter that will slow the download) go to hints.
    CProgressView(Mode mode, std::FILE* out, std::FILE* hints, std::string imagePath);

    // ProgressSink
    void SetRange(uint32_t /*maximum*/) override {}
    void SetPos(uint32_t /*position*/) override {}
    void OnStage(const StageReport& report) override;
    void OnAdapter(const PortInfo& port, int latencyMs) override;

    // The port list discovery is about to walk, and each port as it is tried.
    void PortsListed(size_t count);
    void Probing(const std::string& port);
    // Ends the live line; on success, one line on what was written where.
    void Finish(bool success, const std::string& port);

    uint32_t Blocks() const { return last_.blocks; }
    uint32_t BlocksDone() const { return last_.done; }

private:
    using Clock = std::chrono::steady_clock;
    double Seconds(Clock::time_point t) const;
    void Enter(Stage stage);
    void Line(const std::string& text);
    // A line that stays: above the live line on a terminal, time-stamped off one.
    void Keep(const std::string& text);
    void Redraw(bool force);
    // Takes the live line off the screen, the cursor left at its start.
    void Wipe();
    std::string BlockFigures(bool withRate) const;

    Mode mode_;
    std::FILE* out_;
    std::FILE* hints_;
    std::string imagePath_;
    Clock::time_point start_;
    Clock::time_point lastDraw_{};
    size_t drawnWidth_ = 0;
    bool cursorControl_ = false;

    StageReport last_;     // the worker's latest report
    Stage stage_ = Stage::Searching;
    bool entered_ = false; // a stage has been reported: the image is read
    size_t portCount_ = 0;
    size_t portIndex_ = 0;
    std::string probing_;
    bool finished_ = false;
    unsigned lastTenth_ = 0;
};

}  // namespace zq
