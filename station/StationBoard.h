// The station as a window shows it: one tile a port, in the order the
// system lists them, each with what it is doing, its download's progress,
// the words beneath it and its counters; the totals; the alerts. It runs the
// session for the window and takes its events on the station's threads; the
// window drains them on its own thread and draws what changed. Both station
// windows draw this one board.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "release/OpenedJob.h"
#include "station/LatencyFix.h"
#include "station/StationSession.h"

namespace zq {

enum class TileState {
    Waiting,     // the station is not running
    Listening,   // open, waiting for a device
    Unavailable, // listed but not open, or gone from the list
    Flashing,
    Success,
    Failed,
    Cancelled,
    Busy,   // there, but another program holds it
    Denied, // there, but refused for lack of permission
};

// "listening", "Success Download!", "permission denied", ...
const char* TileWords(TileState state);

struct TileView {
    PortInfo port;         // as the system last described it
    std::string label;     // a job's slot; empty without a job
    TileState state = TileState::Waiting;
    bool gone = false;     // not in the system's list: greyed, counters kept
    StageReport progress;  // while flashing; where it ended after
    std::string note;      // beneath it: a failure's cause, a hint, a refusal's fix
    std::string noteWhole; // a refusal's whole text, where the note is its fix alone
    bool alarm = false;    // the note tells of a fault
    unsigned written = 0;
    unsigned failed = 0;
    bool ended = false;    // a download has ended here: its time is shown
    double lastSeconds = 0;
    // The latency fix under a slow-adapter hint: its command runs, it has
    // run to its end, and how its last run went (shown until the next
    // download).
    bool fixing = false;
    bool fixed = false;
    std::string fixWords;
    // Its unit failed and the station holds it, neither flashed again nor
    // taken for another, until it is taken away or retried.
    bool held = false;

    bool Refused() const { return state == TileState::Busy || state == TileState::Denied; }
    // The operator may retry its unit: it failed, the station holds it and
    // its port is there.
    bool Retryable() const { return state == TileState::Failed && held && !gone; }
    // "block 3 / 120", with "(clearing)" or "(starting)" before the blocks
    // and the refusals so far; "starting" before the first report.
    std::string BlockWords() const;
    // "written 2   failed 1   last 6.9 s".
    std::string Counters(const char* gap = "   ") const;
    // The fix this tile offers: after a success whose note is the hint about
    // the adapter's latency timer, while the port is there and the fix
    // neither runs nor has run to its end; none during a download, whose
    // adapter the fix may restart.
    std::optional<LatencyFix> Fix() const;
    // What the words beneath show: the fix's run, where there is one, else
    // the note.
    // the note, after a held unit's failure with what to do first.
    std::string NoteShown() const;
};

// What a drain changed, for the window to draw.
struct BoardChanges {
    std::vector<std::string> tiles; // ports whose tile changed
    bool order = false;             // tiles came, went or moved
    bool totals = false;
    bool alert = false;             // Alert() has new words
    bool ended = false;             // the station has ended; Finish() next
    StationEnd end = StationEnd::Stopped;

    bool Any() const { return !tiles.empty() || order || totals || alert || ended; }
};

// What Start needs: the image (a job's pinned one with a job), where the
// records go and where the list of ports comes from.
struct BoardStart {
    const ImageSnapshot* image = nullptr;
    const OpenedJob* job = nullptr; // null: every port, no lot
    std::string recordPath;
    PortSource portSource;          // the system's when empty
    std::vector<std::string> ports; // named (--ports), listened on without a job's slots
};

class CStationBoard : private SessionEvents {
public:
    // wake is called on a station's thread when an event waits to be
    // drained; progress does not wake: the window takes it on its timer.
    explicit CStationBoard(std::function<void()> wake);
    ~CStationBoard() override;
    CStationBoard(const CStationBoard&) = delete;
    CStationBoard& operator=(const CStationBoard&) = delete;

    // Opens the record, counts the lot, begins forwarding and starts the
    // station. false, with Alert() saying why, when it cannot.
    bool Start(const BoardStart& start);
    // For a front end that runs the session itself and tells this board its
    // events (the command line's station served to a browser): the run's
    // job, the image's blocks and the lot's units the record held, as Start
    // would take them.
    void Mirror(const Job* job, uint32_t blocks, unsigned lotWritten);
    // Downloads in flight are cancelled, each recorded, before the end.
    void Stop();
    bool Running() const { return session_ && session_->Running(); }
    bool Stopping() const { return stopping_; }

    // On the window's thread: applies what the station told since the last
    // drain.
    BoardChanges Drain();
    // After the drain that told the end: the thread joined, the record
    // closed; tiles of ports that left go with their counters, the others
    // wait for the next Start.
    BoardChanges Finish();
    // While idle: tiles for the system's ports, those not listed gone.
    BoardChanges FollowList(const std::vector<PortInfo>& listed);
    // While idle: the slots of the job chosen for the next Start, whose
    // labels the idle tiles wear (none: no job).
    void ShowChosenSlots(std::vector<JobSlot> fixture);

    // What the session tells the board; a test may tell it too.
    SessionEvents& Events() { return *this; }
    // The port list as the station reads it, for a board that mirrors a
    // station it does not run: the list's order is the tiles' order. On
    // any thread.
    void StationListed(const std::vector<PortInfo>& ports);
    // source (the system's list when unset), telling this board each list it
    // reads: the board learns the list's order, and which ports left it,
    // from the station's own look at the list.
    PortSource ListedHere(PortSource source);

    const std::vector<std::string>& Order() const { return order_; }
    const TileView* Find(const std::string& port) const;
    const StationTotals& Totals() const { return totals_; }
    // "Written 2", "Failed 0", ["Cancelled 1"], "In flight 1", ["lot7: 2 of 3"], ["4 to forward"].
    std::vector<std::string> TotalsWords() const;
    // The newest of what the operator must read: the record, the lot, the
    // forwarding; empty when all is well.
    const std::string& Alert() const { return alert_; }
    // The run's job, if any, and its lot's units written, this run's counted.
    const Job* RunJob() const { return job_ ? &*job_ : nullptr; }
    unsigned LotWritten() const { return lotWritten_ + totals_.written; }
    void ClearAlert() { alert_.clear(); }

    // The window runs a tile's latency fix, and tells how it ended.
    BoardChanges FixStarted(const std::string& port);
    BoardChanges FixEnded(const std::string& port, const FixOutcome& outcome);
    // The operator retries a tile's unit (TileView::Retryable): its next
    // beacon starts its next attempt. A mirror's station is retried through
    // the function it was given (SetRetry).
    BoardChanges Retry(const std::string& port);
    void SetRetry(std::function<bool(const std::string&)> retry) { retry_ = std::move(retry); }

private:
    struct Event {
        enum class Kind { List, Port, Found, Hint, Ended, Forwarding, StationEnded } kind;
        explicit Event(Kind k) : kind(k) {}
        PortInfo port;
        PortPhase phase = PortPhase::Absent;
        std::vector<PortInfo> listed;
        StationTotals totals;
        std::string text;
        DeviceEnding ending;
        StageReport last; // the download's last report, where it ended
        StationEnd end = StationEnd::Stopped;
    };

    void OnPort(const PortInfo& port, PortPhase phase) override;
    void OnFound(const std::string& port, const StationTotals& totals) override;
    void OnProgress(const std::string& port, const StageReport& report) override;
    void OnHint(const std::string& port, const std::string& hint) override;
    void OnEnded(const DeviceEnding& ending) override;
    void OnStationEnded(StationEnd end) override;
    void OnForwarding(const std::string& text) override;
    void Post(Event event);
    std::unique_ptr<CStationSession> MakeSession(const BoardStart& start, CRecordLog& log);
    void ShowSlots();

    TileView& TileFor(const PortInfo& port, BoardChanges& changes);
    void Apply(const Event& event, BoardChanges& changes);
    void ApplyPhase(const PortInfo& port, PortPhase phase, BoardChanges& changes);
    void ApplyEnding(const Event& event, BoardChanges& changes);
    void ApplyList(const std::vector<PortInfo>& listed, BoardChanges& changes);
    static void Touch(BoardChanges& changes, const std::string& port);

    std::function<void()> wake_;
    std::mutex mutex_;
    std::vector<Event> events_;
    std::map<std::string, StageReport> progress_; // the latest report of each port

    std::unique_ptr<CRecordLog> log_;
    std::unique_ptr<CStationSession> session_;
    std::optional<Job> job_;  // the running (or last) run's job
    std::vector<JobSlot> chosenSlots_; // while idle: the next run's
    uint32_t blocks_ = 0;
    unsigned lotWritten_ = 0; // the lot's units the record held at Start
    std::string recordPath_;
    bool stopping_ = false;
    bool unrecorded_ = false;

    std::map<std::string, TileView> tiles_;
    std::vector<std::string> order_;
    bool mirroring_ = false; // Mirror(): the session is not this board's
    std::function<bool(const std::string&)> retry_; // a mirror's way to retry
    StationTotals totals_;
    std::string alert_;
};

}  // namespace zq
