#include "station/StationSession.h"

#include <ctime>
#include <system_error>

#include "download/Causes.h"
#include "platform/ThreadPriority.h"

namespace zq {

CStationSession::CStationSession(const ImageSnapshot& image, SessionEvents& events, CRecordLog* log)
    : image_(image), events_(events), log_(log)
{
}

CStationSession::~CStationSession()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

StationEnd CStationSession::Run(StationOptions options, const std::atomic<bool>& stop)
{
    if (!options.hold)
        options.hold = &paused_;
    CStation station(image_, *this, std::move(options));
    {
        std::lock_guard<std::mutex> lock(stationMutex_);
        station_ = &station;
    }
    struct Unset {
        CStationSession& self;
        ~Unset()
        {
            std::lock_guard<std::mutex> lock(self.stationMutex_);
            self.station_ = nullptr;
        }
    } unset{*this};
    const StationEnd end = station.Run(stop);
    std::lock_guard<std::mutex> lock(mutex_);
    endWhy_ = end == StationEnd::NoThread ? station.Why() : std::string();
    return end;
}

bool CStationSession::Retry(const std::string& port)
{
    std::lock_guard<std::mutex> lock(stationMutex_);
    return station_ && station_->Retry(port);
}

void CStationSession::FlashAll(const std::vector<PortInfo>& ports, const std::atomic<bool>* cancel)
{
    FlashDevices(image_, ports, cancel, *this, true);
}

bool CStationSession::Start(StationOptions options, std::string& why)
{
    if (thread_.joinable()) {
        why = "the station is running";
        return false;
    }
    stop_ = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        totals_.inFlight = 0;
        totals_.unrecorded = false;
    }
    try {
        thread_ = std::thread([this, options] {
            RaiseThreadPriority();
            StationEnd end = StationEnd::Stopped;
            try {
                end = Run(options, stop_);
            } catch (const std::system_error&) {
                // No thread for a port: what ran has ended and is recorded.
                end = StationEnd::Stopped;
            }
            events_.OnStationEnded(end);
        });
    } catch (const std::system_error&) {
        why = "no thread to be had";
        return false;
    }
    return true;
}

bool CStationSession::Forward(const ForwardConfig& config, const std::string& logPath, std::string& why)
{
    auto forwarder = std::make_unique<CForwarder>(config, [this](const std::string& text) { events_.OnForwarding(text); });
    if (!forwarder->Start(logPath, why))
        return false;
    forwarder_ = std::move(forwarder);
    if (log_) {
        CForwarder* f = forwarder_.get();
        log_->OnAppended([f] { f->Notify(); });
    }
    return true;
}

void CStationSession::Join()
{
    if (thread_.joinable())
        thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    totals_.inFlight = 0;
}

StationTotals CStationSession::Totals() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return totals_;
}

void CStationSession::OnFound(const std::string& port)
{
    std::lock_guard<std::mutex> telling(telling_);
    StationTotals totals;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++totals_.inFlight;
        totals = totals_;
    }
    events_.OnFound(port, totals);
}

void CStationSession::SetRelease(std::shared_ptr<const StationRelease> release)
{
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    release_ = std::move(release);
}

bool CStationSession::TakeImage(const std::string& port, std::shared_ptr<const ImageSnapshot>& image)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!released_)
        return true;
    // A release past its expiry is not started with, even before the next
    // refresh says so.
    if (!release_ || (release_->expires && release_->expires <= static_cast<int64_t>(std::time(nullptr))))
        return false;
    taken_[port] = release_;
    // The image lives as long as the release that holds it.
    image = std::shared_ptr<const ImageSnapshot>(release_, &release_->image);
    return true;
}

void CStationSession::OnAdapter(const std::string& port, const PortInfo& adapter, int latencyMs)
{
    const std::string hint = LatencyHint(adapter, latencyMs);
    if (!hint.empty())
        events_.OnHint(port, hint);
}

// A unit flashed without its record is worse than one not flashed: the
// record is on the disk before anyone hears of the end, and one that cannot
// be written stops the station taking devices.
bool CStationSession::OnEnded(const DeviceOutcome& o)
{
    DeviceEnding ending;
    ending.outcome = o;
    // A cancelled download's record says "interrupted"; its tile says nothing more.
    if (o.success) {
        ending.hint = SlowLineHint(o.device, o.dataBytesPerS, o.latencyMs);
        ending.note = HintAfterSuccess(o.device, o.latencyMs, o.dataBytesPerS);
    }
    std::shared_ptr<const StationRelease> taken;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = taken_.find(o.port);
        if (it != taken_.end()) {
            taken = it->second;
            taken_.erase(it);
        }
    }
    const ImageSnapshot& image = taken ? taken->image : image_;
    if (!o.success)
        ending.cause = DescribeFailure(o.failure, o.discovery, image.path);
    if (!o.success && !o.cancelled)
        ending.note = ending.cause;
    RecordTags tags = taken ? taken->tags : tags_;
    tags.slot = SlotLabel(fixture_, o.port);
    ending.record = RecordLine(o, image, ending.cause, tags);
    ending.recorded = !log_ || log_->Append(ending.record);
    std::lock_guard<std::mutex> telling(telling_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (o.attempt <= 1)
            ++totals_.devices;
        if (o.success)
            ++totals_.written;
        else if (o.cancelled)
            ++totals_.cancelled;
        else
            ++totals_.failed;
        if (totals_.inFlight > 0)
            --totals_.inFlight;
        totals_.unrecorded = totals_.unrecorded || !ending.recorded;
        ending.totals = totals_;
    }
    events_.OnEnded(ending);
    return ending.recorded;
}

}  // namespace zq
