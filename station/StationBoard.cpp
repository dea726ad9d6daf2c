#include "station/StationBoard.h"

#include <algorithm>
#include <cstdio>

#include "download/Causes.h"
#include "link/PortAccess.h"
#include "station/Lot.h"

namespace zq {

namespace {

// The new list's order; a port that left keeps its place just after the
// port it followed, so a tile does not jump when its adapter is pulled.
std::vector<std::string> MergeOrder(const std::vector<std::string>& old, const std::vector<PortInfo>& listed)
{
    std::vector<std::string> out;
    for (const PortInfo& p : listed)
        if (std::find(out.begin(), out.end(), p.name) == out.end())
            out.push_back(p.name);
    for (size_t i = 0; i < old.size(); ++i) {
        if (std::find(out.begin(), out.end(), old[i]) != out.end())
            continue;
        auto at = i == 0 ? out.begin() : std::find(out.begin(), out.end(), old[i - 1]) + 1;
        out.insert(at, old[i]);
    }
    return out;
}

bool Listed(const std::vector<PortInfo>& listed, const std::string& name)
{
    return std::any_of(listed.begin(), listed.end(), [&](const PortInfo& p) { return p.name == name; });
}

} // namespace

const char* TileWords(TileState state)
{
    switch (state) {
    case TileState::Waiting: return "waiting";
    case TileState::Listening: return "listening";
    case TileState::Unavailable: return "not available";
    case TileState::Flashing: return "flashing";
    case TileState::Success: return kNoticeSuccess;
    case TileState::Failed: return kNoticeFail;
    case TileState::Cancelled: return "cancelled";
    case TileState::Busy: return "busy";
    case TileState::Denied: return "permission denied";
    }
    return "";
}

std::optional<LatencyFix> TileView::Fix() const
{
    // After a success the note is a hint about the adapter's latency timer,
    // or nothing (HintAfterSuccess).
    if (state != TileState::Success || note.empty() || gone || fixing || fixed)
        return std::nullopt;
    return LatencyFixFor(port.name);
}

const char* const kHeldUnitWords = "take the unit away, or retry";
// Before the cause of a failure whose unit has gone from the port.
const char* const kLastWords = "last: ";

std::string TileView::NoteShown() const
{
    if (!fixWords.empty())
        return fixWords;
    return Retryable() ? std::string(kHeldUnitWords) + ": " + note : note;
}

std::string TileView::BlockWords() const
{
    // The image's block count comes with the first report.
    if (progress.blocks == 0)
        return state == TileState::Flashing ? "starting" : "";
    char text[96];
    std::snprintf(text, sizeof text, "block %u / %u", progress.done, progress.blocks);
    std::string words = text;
    if (state != TileState::Flashing)
        return words;
    // Before the blocks the device may spend seconds clearing its memory.
    if (progress.stage == Stage::Clearing)
        words += "  (clearing)";
    else if (progress.stage < Stage::Clearing)
        words += "  (starting)";
    if (progress.refused) {
        std::snprintf(text, sizeof text, "  %u refused", progress.refused);
        words += text;
    }
    return words;
}

std::string TileView::Counters(const char* gap) const
{
    std::string text = "written " + std::to_string(written) + gap + "failed " + std::to_string(failed);
    if (ended) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f s", lastSeconds);
        text += std::string(gap) + "last " + seconds;
    }
    return text;
}

CStationBoard::CStationBoard(std::function<void()> wake) : wake_(std::move(wake)) {}

CStationBoard::~CStationBoard()
{
    // The session's thread tells this board of its end: it goes first.
    session_.reset();
}

// The session for a run, its records tagged with the job and forwarded where
// the job says; null, with alert_ saying why, when forwarding cannot begin.
std::unique_ptr<CStationSession> CStationBoard::MakeSession(const BoardStart& start, CRecordLog& log)
{
    auto session = std::make_unique<CStationSession>(*start.image, static_cast<SessionEvents&>(*this), &log);
    if (!job_)
        return session;
    RecordTags tags;
    tags.job = job_->name;
    tags.station = job_->station;
    tags.signedBy = start.job->signedBy;
    session->SetRecordTags(tags, job_->fixture);
    if (!job_->forwards)
        return session;
    ForwardConfig forward;
    forward.url = job_->forward.url;
    forward.tokenFile = job_->forward.tokenFile;
    std::string why;
    if (!session->Forward(forward, start.recordPath, why)) {
        alert_ = "The records cannot be forwarded: " + why;
        return nullptr;
    }
    return session;
}

bool CStationBoard::Start(const BoardStart& start)
{
    if (Running() || !start.image)
        return false;
    auto log = std::make_unique<CRecordLog>();
    std::string why;
    if (!log->Open(start.recordPath, why)) {
        alert_ = log->InUse() ? why : "The record " + start.recordPath + " cannot be written: " + why;
        return false;
    }
    StationOptions options;
    // A copy: the window may open another job once this run has ended.
    job_.reset();
    if (start.job)
        job_ = start.job->job;
    blocks_ = start.image->blocks;
    recordPath_ = start.recordPath;
    lotWritten_ = 0;
    options.ports = start.ports;
    if (job_ && !job_->fixture.empty())
        options.ports = job_->Ports();
    if (job_) {
        const LotCount lot = CountLot(*job_, start.recordPath, start.image->sha256);
        if (lot.Complete()) {
            alert_ = LotCompleteText(job_->name, lot.written, lot.units);
            return false;
        }
        lotWritten_ = lot.written;
        options.lot = lot.Left();
    }
    options.portSource = ListedHere(start.portSource);
    session_.reset();
    auto session = MakeSession(start, *log);
    if (!session)
        return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
        progress_.clear();
    }
    log_ = std::move(log);
    if (!session->Start(options, why)) {
        log_.reset();
        alert_ = "The station could not start: " + why + ".";
        return false;
    }
    session_ = std::move(session);
    ShowSlots();
    totals_ = StationTotals();
    unrecorded_ = false;
    stopping_ = false;
    alert_.clear();
    return true;
}

// A job's slots are shown in its order, each described as the system
// describes its adapter.
void CStationBoard::ShowSlots()
{
    BoardChanges ignored;
    if (job_)
        for (const JobSlot& slot : job_->fixture)
            TileFor(DescribePort(slot.port), ignored);
    for (auto& [name, tile] : tiles_)
        tile.label = job_ ? SlotLabel(job_->fixture, name) : std::string();
}

void CStationBoard::ShowChosenSlots(std::vector<JobSlot> fixture)
{
    if (Running())
        return;
    chosenSlots_ = std::move(fixture);
    for (auto& [name, tile] : tiles_)
        tile.label = SlotLabel(chosenSlots_, name);
}

void CStationBoard::Mirror(const Job* job, uint32_t blocks, unsigned lotWritten)
{
    job_.reset();
    if (job)
        job_ = *job;
    blocks_ = blocks;
    lotWritten_ = lotWritten;
    mirroring_ = true;
    ShowSlots();
}

void CStationBoard::Stop()
{
    if (!Running() || stopping_)
        return;
    session_->Stop();
    stopping_ = true;
}

BoardChanges CStationBoard::Finish()
{
    BoardChanges changes;
    if (session_)
        session_->Join();
    log_.reset();
    stopping_ = false;
    {
        // Every download has ended: a report left over would only bring a
        // tile back to flashing.
        std::lock_guard<std::mutex> lock(mutex_);
        progress_.clear();
    }
    for (auto it = tiles_.begin(); it != tiles_.end();) {
        TileView& tile = it->second;
        tile.held = false; // no station holds it now
        if (tile.gone) {
            order_.erase(std::find(order_.begin(), order_.end(), it->first));
            it = tiles_.erase(it);
            changes.order = true;
            continue;
        }
        if (tile.state == TileState::Listening || tile.state == TileState::Flashing ||
            tile.state == TileState::Unavailable || tile.Refused()) {
            if (tile.Refused()) {
                tile.note.clear();
                tile.noteWhole.clear();
                tile.alarm = false;
            }
            tile.state = TileState::Waiting;
            Touch(changes, it->first);
        }
        ++it;
    }
    totals_.inFlight = 0;
    changes.totals = true;
    return changes;
}

BoardChanges CStationBoard::FollowList(const std::vector<PortInfo>& listed)
{
    BoardChanges changes;
    if (Running())
        return changes;
    for (auto it = tiles_.begin(); it != tiles_.end();) {
        if (!Listed(listed, it->first)) {
            order_.erase(std::find(order_.begin(), order_.end(), it->first));
            it = tiles_.erase(it);
            changes.order = true;
        } else {
            ++it;
        }
    }
    ApplyList(listed, changes);
    return changes;
}

const TileView* CStationBoard::Find(const std::string& port) const
{
    const auto it = tiles_.find(port);
    return it == tiles_.end() ? nullptr : &it->second;
}

std::vector<std::string> CStationBoard::TotalsWords() const
{
    std::vector<std::string> words{"Written " + std::to_string(totals_.written),
                                   "Failed " + std::to_string(totals_.failed)};
    if (totals_.cancelled)
        words.push_back("Cancelled " + std::to_string(totals_.cancelled));
    words.push_back("In flight " + std::to_string(totals_.inFlight));
    if (job_ && job_->units)
        words.push_back(job_->name + ": " + std::to_string(LotWritten()) + " of " +
                        std::to_string(job_->units));
    if (session_ && session_->ForwardPending())
        words.push_back(std::to_string(session_->ForwardPending()) + " to forward");
    return words;
}

// The session's events, on the station's threads: queued for the window.

void CStationBoard::StationListed(const std::vector<PortInfo>& ports)
{
    Event event(Event::Kind::List);
    event.listed = ports;
    Post(std::move(event));
}

PortSource CStationBoard::ListedHere(PortSource source)
{
    if (!source)
        source = ListSystemPorts;
    return [this, source] {
        std::vector<PortInfo> ports = source();
        StationListed(ports);
        return ports;
    };
}

void CStationBoard::Post(Event event)
{
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        first = events_.empty();
        events_.push_back(std::move(event));
    }
    // One wake for a run of events: the drain takes them all.
    if (first && wake_)
        wake_();
}

void CStationBoard::OnPort(const PortInfo& port, PortPhase phase)
{
    Event event(Event::Kind::Port);
    event.port = port;
    event.phase = phase;
    Post(std::move(event));
}

void CStationBoard::OnFound(const std::string& port, const StationTotals& totals)
{
    Event event(Event::Kind::Found);
    event.port.name = port;
    event.totals = totals;
    Post(std::move(event));
}

void CStationBoard::OnProgress(const std::string& port, const StageReport& report)
{
    std::lock_guard<std::mutex> lock(mutex_);
    progress_[port] = report;
}

void CStationBoard::OnHint(const std::string& port, const std::string& hint)
{
    Event event(Event::Kind::Hint);
    event.port.name = port;
    event.text = hint;
    Post(std::move(event));
}

void CStationBoard::OnEnded(const DeviceEnding& ending)
{
    Event event(Event::Kind::Ended);
    event.port.name = ending.outcome.port;
    event.ending = ending;
    {
        // The last report goes with the end, so the bar shows where it
        // ended; nothing of this download reaches its tile after it.
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = progress_.find(ending.outcome.port);
        if (it != progress_.end()) {
            event.last = it->second;
            progress_.erase(it);
        }
    }
    Post(std::move(event));
}

void CStationBoard::OnStationEnded(StationEnd end)
{
    Event event(Event::Kind::StationEnded);
    event.end = end;
    Post(std::move(event));
}

void CStationBoard::OnForwarding(const std::string& text)
{
    Event event(Event::Kind::Forwarding);
    event.text = text;
    Post(std::move(event));
}

// On the window's thread.

void CStationBoard::Touch(BoardChanges& changes, const std::string& port)
{
    if (std::find(changes.tiles.begin(), changes.tiles.end(), port) == changes.tiles.end())
        changes.tiles.push_back(port);
}

TileView& CStationBoard::TileFor(const PortInfo& port, BoardChanges& changes)
{
    auto it = tiles_.find(port.name);
    if (it == tiles_.end()) {
        TileView tile;
        tile.port = port;
        tile.label = SlotLabel((Running() || mirroring_) && job_ ? job_->fixture : chosenSlots_, port.name);
        it = tiles_.emplace(port.name, std::move(tile)).first;
        if (std::find(order_.begin(), order_.end(), port.name) == order_.end())
            order_.push_back(port.name);
        changes.order = true;
    } else if (!port.description.empty() || !port.hardwareId.empty() || !port.location.empty()) {
        // A name alone says nothing new.
        it->second.port = port;
    }
    Touch(changes, port.name);
    return it->second;
}

BoardChanges CStationBoard::Drain()
{
    std::vector<Event> events;
    std::map<std::string, StageReport> progress;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events.swap(events_);
        progress.swap(progress_);
    }
    BoardChanges changes;
    for (const Event& event : events)
        Apply(event, changes);
    for (const auto& [port, report] : progress) {
        const auto it = tiles_.find(port);
        if (it == tiles_.end() || it->second.state != TileState::Flashing)
            continue;
        it->second.progress = report;
        Touch(changes, port);
    }
    if (session_ && session_->ForwardPending())
        changes.totals = true;
    return changes;
}

void CStationBoard::ApplyList(const std::vector<PortInfo>& listed, BoardChanges& changes)
{
    for (const PortInfo& port : listed) {
        TileView& tile = TileFor(port, changes);
        tile.gone = false;
    }
    for (auto& [name, tile] : tiles_) {
        if (!tile.gone && !Listed(listed, name)) {
            tile.gone = true;
            Touch(changes, name);
        }
    }
    // A mirror's station runs as long as the mirror, with no Finish to clear
    // the ports that left: each goes once idle, or adapters that come back
    // under new names would grow the board without end.
    for (auto it = tiles_.begin(); mirroring_ && it != tiles_.end();) {
        if (Listed(listed, it->first) || it->second.state == TileState::Flashing) {
            ++it;
            continue;
        }
        order_.erase(std::remove(order_.begin(), order_.end(), it->first), order_.end());
        it = tiles_.erase(it);
        changes.order = true;
    }
    const std::vector<std::string> order = MergeOrder(order_, listed);
    if (order != order_) {
        order_ = order;
        changes.order = true;
    }
}

void CStationBoard::ApplyPhase(const PortInfo& port, PortPhase phase, BoardChanges& changes)
{
    TileView& tile = TileFor(port, changes);
    switch (phase) {
    case PortPhase::Absent:
        tile.gone = true;
        if (tile.state == TileState::Waiting || tile.state == TileState::Listening || tile.Refused()) {
            if (tile.Refused()) {
                tile.note.clear();
                tile.noteWhole.clear();
            }
            tile.state = TileState::Unavailable;
        }
        break;
    case PortPhase::Listening:
        tile.gone = false;
        if (tile.state == TileState::Flashing)
            break; // its end is on the way
        tile.noteWhole.clear();
        tile.held = false;
        tile.progress = StageReport();
        // The device has gone (or is retried): a failure stays red, its
        // cause readable, until a device is found there again; the note
        // says it was the last one's.
        if (tile.state == TileState::Failed) {
            if (tile.note.rfind(kLastWords, 0) != 0)
                tile.note = kLastWords + tile.note;
            break;
        }
        if (tile.state != TileState::Listening)
            tile.note.clear();
        tile.alarm = false;
        tile.state = TileState::Listening;
        break;
    case PortPhase::Denied:
    case PortPhase::Busy:
        tile.gone = false;
        if (tile.state == TileState::Flashing)
            break;
        // The tile names its port already: a refusal's fix is enough.
        if (phase == PortPhase::Busy) {
            tile.state = TileState::Busy;
            tile.note = DescribePortRefusal(port.name, PortError::Busy);
            tile.noteWhole = tile.note;
        } else {
            tile.state = TileState::Denied;
            tile.note = PortAccessAdvice(port.name);
            tile.noteWhole = DescribePortRefusal(port.name, PortError::AccessDenied);
        }
        tile.alarm = true;
        tile.progress = StageReport();
        break;
    case PortPhase::Flashing:
    case PortPhase::Flashed: break; // told by Found and Ended
    }
}

void CStationBoard::ApplyEnding(const Event& event, BoardChanges& changes)
{
    const DeviceEnding& e = event.ending;
    const DeviceOutcome& o = e.outcome;
    TileView& tile = TileFor(event.port, changes);
    tile.progress = event.last;
    tile.ended = true;
    tile.lastSeconds = o.seconds;
    tile.noteWhole.clear();
    if (o.success) {
        ++tile.written;
        tile.state = TileState::Success;
        tile.progress.done = tile.progress.blocks = blocks_;
    } else if (o.cancelled) {
        tile.state = TileState::Cancelled;
    } else {
        ++tile.failed;
        tile.state = TileState::Failed;
    }
    // A station holds a unit that failed until it is taken away or retried;
    // one whose line was lost went with it.
    tile.held = tile.state == TileState::Failed && !o.failure.lineLost;
    tile.note = o.cancelled ? std::string() : e.note;
    // After a success the note is the adapter's hint (HintAfterSuccess): the
    // tile shows its fix, the whole hint stays at hand.
    if (o.success && !e.note.empty()) {
        tile.noteWhole = e.note;
        tile.note = SlowAdapterNote(event.port.name);
    }
    tile.alarm = tile.state == TileState::Failed;
    totals_ = e.totals;
    changes.totals = true;
    if (!e.recorded && !unrecorded_) {
        unrecorded_ = true;
        alert_ = "A record could not be written to " + recordPath_ +
                 ": the station takes no new devices; those in flight finish.";
        changes.alert = true;
    }
}

void CStationBoard::Apply(const Event& event, BoardChanges& changes)
{
    switch (event.kind) {
    case Event::Kind::List:
        // A list read by a station that has ended is stale; a mirror's
        // station runs as long as the mirror.
        if (Running() || mirroring_)
            ApplyList(event.listed, changes);
        break;
    case Event::Kind::Port:
        ApplyPhase(event.port, event.phase, changes);
        break;
    case Event::Kind::Found: {
        TileView& tile = TileFor(event.port, changes);
        tile.state = TileState::Flashing;
        tile.gone = false;
        tile.progress = StageReport();
        tile.note.clear();
        tile.noteWhole.clear();
        tile.alarm = false;
        tile.fixed = false;
        tile.fixWords.clear();
        totals_ = event.totals;
        changes.totals = true;
        break;
    }
    case Event::Kind::Hint: {
        TileView& tile = TileFor(event.port, changes);
        if (tile.state == TileState::Flashing) {
            tile.note = event.text;
            tile.alarm = false;
        }
        break;
    }
    case Event::Kind::Ended:
        ApplyEnding(event, changes);
        break;
    case Event::Kind::Forwarding:
        alert_ = event.text;
        changes.alert = true;
        break;
    case Event::Kind::StationEnded:
        changes.ended = true;
        changes.end = event.end;
        if (event.end == StationEnd::Unrecorded) {
            alert_ = unrecorded_ ? alert_ + " The station has stopped."
                                 : "The station stopped: a record could not be written to " + recordPath_ + ".";
            changes.alert = true;
        }
        if (event.end == StationEnd::NoThread && session_) {
            alert_ = "The station stopped: " + session_->EndWhy() + ".";
            changes.alert = true;
        }
        break;
    }
}

BoardChanges CStationBoard::Retry(const std::string& port)
{
    BoardChanges changes;
    const auto it = tiles_.find(port);
    if (it == tiles_.end() || !it->second.Retryable())
        return changes;
    const bool asked = mirroring_ ? retry_ && retry_(port) : Running() && session_->Retry(port);
    if (asked) {
        // The station arms the port and says so (the tile listens then);
        // until then the tile offers nothing more.
        it->second.held = false;
        Touch(changes, port);
    }
    return changes;
}

BoardChanges CStationBoard::FixStarted(const std::string& port)
{
    BoardChanges changes;
    const auto it = tiles_.find(port);
    if (it != tiles_.end()) {
        it->second.fixing = true;
        it->second.fixWords = "setting the latency timer to " + std::to_string(kLatencyFixMs) + " ms...";
        Touch(changes, port);
    }
    return changes;
}

BoardChanges CStationBoard::FixEnded(const std::string& port, const FixOutcome& outcome)
{
    BoardChanges changes;
    const auto it = tiles_.find(port);
    if (it != tiles_.end()) {
        it->second.fixing = false;
        it->second.fixed = FixRan(outcome);
        it->second.fixWords = LatencyFixWords(port, outcome);
        Touch(changes, port);
    }
    return changes;
}

}  // namespace zq
