#include "station/StationController.h"

#include "link/NamedPorts.h"

#include "download/Causes.h"
#include "download/ImageCheck.h"
#include "link/PortAccess.h"
#include "station/RecordPlace.h"

namespace zq {

namespace {

void Fold(BoardChanges& into, const BoardChanges& more)
{
    into.tiles.insert(into.tiles.end(), more.tiles.begin(), more.tiles.end());
    into.order = into.order || more.order;
    into.totals = into.totals || more.totals;
    into.alert = into.alert || more.alert;
}

} // namespace

CStationController::CStationController(std::function<void()> wake, TrustStore trust)
    : trust_(std::move(trust)), board_(std::move(wake))
{
}

bool CStationController::Choose(const std::string& path)
{
    if (!Idle())
        return false;
    source_ = path;
    return ReadSource();
}

bool CStationController::ReadSource()
{
    job_.reset();
    image_ = ImageSnapshot();
    imageOk_ = false;
    imageCause_.clear();
    if (IsJobPath(source_)) {
        auto opened = std::make_unique<OpenedJob>();
        if (!OpenJob(source_, trust_, *opened, imageCause_))
            return false;
        job_ = std::move(opened);
        image_ = job_->image;
    } else if (trust_.Locked()) {
        imageCause_ = JobsOnlyText(trust_) + ": open a job";
        return false;
    } else {
        DownloadFailure failure;
        if (!TakeImageSnapshot(source_, image_, failure)) {
            image_ = ImageSnapshot();
            imageCause_ = DescribeFailure(failure, {}, source_);
            return false;
        }
    }
    imageOk_ = true;
    board_.ShowChosenSlots(job_ ? job_->job.fixture : std::vector<JobSlot>());
    return true;
}

std::vector<std::string> CStationController::Named() const
{
    if (job_ && !job_->job.fixture.empty())
        return job_->job.Ports();
    return ports_;
}

std::string CStationController::EmptyText() const
{
    if (!Idle())
        return "No serial port yet: plug in an adapter.";
    const std::vector<std::string> named = Named();
    if (named.empty())
        return "Start listens on every serial port and flashes each device that arrives.";
    std::string list;
    for (const std::string& name : named) {
        const std::string label = job_ ? SlotLabel(job_->job.fixture, name) : std::string();
        list += (list.empty() ? "" : ", ") + (label.empty() ? name : label + " (" + name + ")");
    }
    return (job_ && !job_->job.fixture.empty() ? "Start listens on the job's slots: " : "Start listens on ") + list +
           ", and flashes each device that arrives.";
}

bool CStationController::ChooseRecord(const std::string& path)
{
    if (!Idle() || path.empty())
        return false;
    chosenRecord_ = path;
    board_.ClearAlert();
    return true;
}

std::string CStationController::RecordPath() const
{
    if (!chosenRecord_.empty())
        return chosenRecord_;
    if (job_ && !job_->job.log.empty())
        return job_->job.log;
    return RecordBeside(source_);
}

bool CStationController::TakesDrop(const std::string& path) const
{
    if (!Idle() || path.empty())
        return false;
    return IsJobPath(path) || (!job_ && !trust_.Locked());
}

bool CStationController::Start()
{
    if (!Idle() || closing_)
        return false;
    if (!ReadSource())
        return false;
    BoardStart start;
    start.image = &image_;
    start.job = job_.get();
    start.recordPath = RecordPath();
    start.portSource = portSource_;
    start.ports = ports_;
    return board_.Start(start);
}

void CStationController::Stop() { board_.Stop(); }

CloseStep CStationController::RequestClose()
{
    // The question is up: its answer decides. Once the station has ended,
    // nothing holds the window.
    if (asking_)
        return CloseStep::Wait;
    if (!board_.Running())
        return CloseStep::Close;
    if (closing_)
        return CloseStep::Wait;
    // After Stop the downloads are being cancelled already: nothing to ask.
    if (board_.Totals().inFlight > 0 && !board_.Stopping()) {
        asking_ = true;
        return CloseStep::Ask;
    }
    return ConfirmClose(true);
}

CloseStep CStationController::ConfirmClose(bool yes)
{
    asking_ = false;
    if (!yes)
        return CloseStep::Wait;
    if (!board_.Running())
        return CloseStep::Close;
    closing_ = true;
    board_.Stop();
    return CloseStep::Wait;
}

BoardChanges CStationController::Drain()
{
    BoardChanges changes = board_.Drain();
    if (changes.ended)
        Fold(changes, board_.Finish());
    return changes;
}

BoardChanges CStationController::FollowList()
{
    if (!Idle())
        return BoardChanges();
    const std::vector<std::string> named = Named();
    if (!named.empty())
        return board_.FollowList(DescribePorts(named));
    return board_.FollowList(portSource_ ? portSource_() : ListSystemPorts());
}

StationState CStationController::State() const
{
    if (closing_)
        return StationState::Closing;
    if (!board_.Running())
        return StationState::Idle;
    return board_.Stopping() ? StationState::Stopping : StationState::Running;
}

}  // namespace zq
