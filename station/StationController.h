// The station window's rules, the same for both windows: what the operator
// may choose while the station is idle (a job or a bare image, the record),
// which drops it takes, Start (the image read and checked once, then fixed
// for the run), Stop, and closing while downloads run. The windows only draw
// the board and the choice, and forward clicks, drops, ticks and close
// requests here.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "release/OpenedJob.h"
#include "station/StationBoard.h"

namespace zq {

enum class StationState {
    Idle,
    Running,
    Stopping, // Stop was pressed: downloads in flight are being cancelled
    Closing,  // the window goes once the station has ended, every record written
};

// What a window does with a request to close it.
enum class CloseStep {
    Close, // nothing runs: close now
    Ask,   // downloads run: ask the operator, then ConfirmClose
    Wait,  // the station ends first (or the question is up already)
};

class CStationController {
public:
    // How often the windows drain the board while the station runs: often
    // enough for a bar to move smoothly, seldom enough that eight devices
    // reporting every block cost the window nothing.
    static constexpr unsigned kTickMs = 80;

    // wake: as the board's, on a station's thread when events wait to be
    // drained (the window posts itself a Drain).
    explicit CStationController(std::function<void()> wake, TrustStore trust = InstalledTrust());
    CStationController(const CStationController&) = delete;
    CStationController& operator=(const CStationController&) = delete;

    // The station's trusted keys; the administrator's unless a test says.
    void SetTrust(TrustStore trust) { trust_ = std::move(trust); }
    bool Locked() const { return trust_.Locked(); }
    // Where the list of ports comes from; the system's when not set.
    void SetPortSource(PortSource source) { portSource_ = std::move(source); }
    // Ports named on the command line (--ports): listened on instead of the
    // system's list, where the job names no slots.
    void SetPorts(std::vector<std::string> names) { ports_ = std::move(names); }
    // What a window without tiles says: what Start listens on, or, running,
    // what it waits for.
    std::string EmptyText() const;

    // A job (.zqjob) and the image it pins, or a bare image, read and
    // checked; while idle only. true: it can be started.
    bool Choose(const std::string& path);
    const std::string& Source() const { return source_; }
    const OpenedJob* Job() const { return job_.get(); }
    const ImageSnapshot& Image() const { return image_; }
    bool ImageOk() const { return imageOk_; }
    // Why the image or job cannot be written, in one line; empty when it can.
    const std::string& ImageCause() const { return imageCause_; }

    // The record the operator chose; while idle only. The board's alert (of
    // the record before) goes.
    bool ChooseRecord(const std::string& path);
    // The operator's, else the job's, else beside the job or image.
    std::string RecordPath() const;

    // A job may always be dropped on an idle station; an image only where no
    // job fixes it and the station is not locked.
    bool TakesDrop(const std::string& path) const;
    // The Image button: a job fixes the image, and a locked station takes
    // jobs only.
    bool TakesImage() const { return Idle() && !job_ && !trust_.Locked(); }

    // Reads the job or image again (the file may have been replaced since it
    // was chosen, and what the window showed is what the devices get), then
    // starts the station on exactly those bytes. false: ImageCause() or the
    // board's Alert() says why.
    bool Start();
    // Downloads in flight are cancelled: they send nothing more and end as
    // cancelled, each with its record, before the station's end arrives.
    void Stop();
    // The window asked to close.
    CloseStep RequestClose();
    // The operator's answer to Ask: Close when the station ended while the
    // question was up, Wait when it is stopping for the window to go, or
    // when the answer was no.
    CloseStep ConfirmClose(bool yes);

    // On a tick or a wake: what changed, drawn by the window. At the
    // station's end (changes.ended) the board is finished as well, and a
    // Closing window goes.
    BoardChanges Drain();
    // While idle: tiles for the ports listed now.
    BoardChanges FollowList();

    StationState State() const;
    bool Idle() const { return State() == StationState::Idle; }
    bool Running() const { return board_.Running(); }
    const CStationBoard& Board() const { return board_; }
    // A tile's retry of the unit that failed on it (TileView::Retryable).
    BoardChanges Retry(const std::string& port) { return board_.Retry(port); }
    // A tile's latency fix (TileView::Fix), run by the window.
    BoardChanges FixStarted(const std::string& port) { return board_.FixStarted(port); }
    BoardChanges FixEnded(const std::string& port, const FixOutcome& outcome) { return board_.FixEnded(port, outcome); }
    // What the session tells the board; a test may tell it too.
    SessionEvents& Events() { return board_.Events(); }

private:
    bool ReadSource();
    // The ports Start will listen on, by name: the job's slots, else those
    // named; empty: the system's list.
    std::vector<std::string> Named() const;

    TrustStore trust_;
    PortSource portSource_;
    std::vector<std::string> ports_;
    std::string source_;
    ImageSnapshot image_; // read by the station's threads while it runs
    bool imageOk_ = false;
    std::string imageCause_;
    std::unique_ptr<OpenedJob> job_; // a job fixes the image, its ports and its lot
    std::string chosenRecord_;       // empty: the default
    bool closing_ = false;
    bool asking_ = false;
    CStationBoard board_;
};

}  // namespace zq
