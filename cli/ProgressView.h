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
    enum class Phase { Image, Searching, Found, Handshake, Header, Count, Clearing, Sending, Closing };

    // Hints (an adapter that will slow the download) go to hints.
    CProgressView(Mode mode, std::FILE* out, std::FILE* hints, const CSerialLink& link, std::string imagePath);

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

    Phase CurrentPhase() const { return phase_; }
    uint32_t Blocks() const { return blocks_; }
    uint32_t BlocksDone() const { return done_; }

private:
    using Clock = std::chrono::steady_clock;
    double Seconds(Clock::time_point t) const;
    double SendingSeconds() const;
    void Enter(Phase phase);
    void Line(const std::string& text);
    // A line that stays: above the live line on a terminal, time-stamped off one.
    void Keep(const std::string& text);
    void Redraw(bool force);
    std::string BlockFigures(bool withRate) const;

    Mode mode_;
    std::FILE* out_;
    std::FILE* hints_;
    const CSerialLink& link_;
    std::string imagePath_;
    Clock::time_point start_;
    Clock::time_point lastDraw_{};
    size_t drawnWidth_ = 0;
    bool cursorControl_ = false;

    Phase phase_ = Phase::Image;
    uint32_t blocks_ = 0;
    size_t portCount_ = 0;
    size_t portIndex_ = 0;
    std::string probing_;
    uint32_t clrSteps_ = 0;
    bool finished_ = false;
    uint32_t done_ = 0;
    uint32_t refused_ = 0;
    unsigned lastTenth_ = 0;
    Clock::time_point firstBlock_{};
    Clock::time_point lastAck_{};
};

}  // namespace zq
