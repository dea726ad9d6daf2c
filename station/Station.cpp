#include "station/Station.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace zq {

namespace {

using Clock = std::chrono::steady_clock;

// How long a listener waits for a byte before it looks at the clock and
// at its port's place in the list again.
constexpr uint32_t kListenSliceMs = 100;
// How soon a port that could not be opened is tried again: a by-path name
// appears the moment udev has made it.
constexpr uint32_t kReopenMs = 250;

} // namespace

struct CStation::Slot {
    PortInfo info;
    bool named = false;
    // In the system's list; named ports count as listed, their opening tells.
    std::atomic<bool> listed{true};
    PortPhase phase = PortPhase::Absent;
    bool announced = false;
    std::atomic<bool> done{false}; // its listener has ended: its port left
    std::thread thread;
};

CStation::CStation(const ImageSnapshot& image, PortEvents& events, StationOptions options)
    : image_(image), events_(events), options_(std::move(options))
{
    if (!options_.portSource)
        options_.portSource = ListSystemPorts;
}

CStation::~CStation()
{
    cancel_ = true;
    for (auto& slot : slots_)
        if (slot->thread.joinable())
            slot->thread.join();
}

void CStation::SetPhase(Slot& slot, PortPhase phase)
{
    if (slot.announced && slot.phase == phase)
        return;
    slot.phase = phase;
    slot.announced = true;
    events_.OnPort(slot.info, phase);
}

bool CStation::Cancelled() const { return cancel_.load() || (stop_ && stop_->load()); }

void CStation::Pause(uint32_t ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return Cancelled(); });
}

void CStation::AddSlot(const PortInfo& port, bool named)
{
    slots_.push_back(std::make_unique<Slot>());
    Slot& slot = *slots_.back();
    slot.info = port;
    slot.named = named;
    slot.thread = std::thread([this, &slot] { Listen(slot); });
}

bool CStation::BeginDownload()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!taking_ || Cancelled() || (options_.count != 0 && started_ >= options_.count) ||
        (options_.lot != 0 && succeeded_ + inFlight_ >= options_.lot))
        return false;
    ++started_;
    ++inFlight_;
    return true;
}

void CStation::EndDownload(const DeviceOutcome& outcome)
{
    bool kept;
    {
        std::lock_guard<std::mutex> lock(ending_);
        kept = events_.OnEnded(outcome);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    --inFlight_;
    ++ended_;
    if (outcome.success)
        ++succeeded_;
    if (!kept)
        taking_ = false;
    changed_.notify_all();
}

void CStation::Listen(Slot& slot)
{
    const std::string& name = slot.info.name;
    CSerialLink link;
    link.SetCancelFlag(&cancel_);
    // A port is flashed once per arrival of a device. Until its device has
    // gone, its beacons are only a sign that it is still there: a device
    // left in boot mode by a failure would otherwise be flashed again and
    // again; plugging it in again retries.
    bool armed = true;
    PortInfo described = slot.info;
    Clock::time_point lastBeacon = Clock::now();
    auto gone = [&] {
        link.Close();
        armed = true;
        SetPhase(slot, PortPhase::Absent);
    };
    while (!Cancelled()) {
        // A port that left the list takes its thread with it; it gets a new
        // one if it comes back.
        if (!slot.listed.load()) {
            gone();
            break;
        }
        if (!link.IsOpen()) {
            if (link.Open(name, zq::kProbeBaud) != LINK_OK) {
                // A refusal is told apart from an absence: joining a group
                // or closing the other program mends it, waiting does not.
                const PortError error = link.LastOpenError();
                link.Close();
                armed = true;
                SetPhase(slot, error == PortError::AccessDenied ? PortPhase::Denied
                               : error == PortError::Busy       ? PortPhase::Busy
                                                                : PortPhase::Absent);
                Pause(kReopenMs);
                continue;
            }
            // Described now, not between the reply and the exchange, where
            // the device waits.
            described = slot.named ? DescribePort(name) : slot.info;
            SetPhase(slot, armed ? PortPhase::Listening : PortPhase::Flashed);
        }
        uint8_t byte = 0;
        if (!link.WaitByte(kListenSliceMs, &byte)) {
            if (link.LineLost()) {
                gone();
                continue;
            }
            if (!armed && Clock::now() - lastBeacon >= std::chrono::milliseconds(zq::kDeviceGoneMs)) {
                armed = true;
                SetPhase(slot, PortPhase::Listening);
            }
            continue;
        }
        if (byte != zq::DEVICE_BEACON)
            continue;
        lastBeacon = Clock::now();
        if (!armed || !BeginDownload())
            continue;
        // The device is answered after the beacon that was heard, as a
        // discovery answers it, and the download goes on from the exchange.
        link.AnswerBeacon();
        SetPhase(slot, PortPhase::Flashing);
        events_.OnFound(name);
        CPortProgress progress(events_, name);
        DeviceOutcome outcome = DownloadToDevice(image_, described, stop_, &progress, true);
        if (outcome.device.description.empty() && outcome.device.hardwareId.empty())
            outcome.device = slot.info;
        EndDownload(outcome);
        // An adapter that vanished mid-download (brown-out, a loose hub) and
        // came back under the same name holds a device that has not been
        // flashed: its line being lost is its device going.
        if (outcome.failure.lineLost) {
            gone();
            continue;
        }
        armed = false;
        lastBeacon = Clock::now();
        SetPhase(slot, PortPhase::Flashed);
    }
    link.Close();
    std::lock_guard<std::mutex> lock(mutex_);
    slot.done = true;
    changed_.notify_all();
}

StationEnd CStation::Run(const std::atomic<bool>& stop)
{
    stop_ = &stop;
    const bool followList = options_.ports.empty();
    for (const std::string& name : options_.ports)
        AddSlot(PortInfo{name, std::string(), std::string()}, true);

    StationEnd end = StationEnd::Stopped;
    Clock::time_point nextList = Clock::now();
    for (;;) {
        if (followList && Clock::now() >= nextList) {
            nextList = Clock::now() + std::chrono::milliseconds(zq::kPortListPollMs);
            FollowList(options_.portSource());
        }
        // Asleep until a download ends, a listener ends, or the list is due;
        // a stop is seen by the listeners within their slice, and they say so.
        std::unique_lock<std::mutex> lock(mutex_);
        const bool ended = changed_.wait_until(
            lock, followList ? nextList : Clock::now() + std::chrono::hours(1), [&] {
                return stop.load() || Counted() || (!taking_ && inFlight_ == 0) ||
                       std::any_of(slots_.begin(), slots_.end(), [](const auto& s) { return s->done.load(); });
            });
        if (!ended)
            continue;
        if (stop.load()) {
            end = StationEnd::Stopped;
            break;
        }
        if (Counted()) {
            end = StationEnd::Counted;
            break;
        }
        if (!taking_ && inFlight_ == 0) {
            end = StationEnd::Unrecorded;
            break;
        }
        lock.unlock();
        Reap();
    }
    // Stopped: downloads in flight are cancelled and end as such, each
    // heard through OnEnded before the threads are gone.
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cancel_ = true;
    }
    changed_.notify_all();
    for (auto& slot : slots_)
        if (slot->thread.joinable())
            slot->thread.join();
    return end;
}

bool CStation::Counted() const
{
    return (options_.count != 0 && ended_ >= options_.count) || (options_.lot != 0 && succeeded_ >= options_.lot);
}

void CStation::Reap()
{
    for (auto it = slots_.begin(); it != slots_.end();) {
        if ((*it)->done.load()) {
            (*it)->thread.join();
            it = slots_.erase(it);
        } else {
            ++it;
        }
    }
}

void CStation::FollowList(const std::vector<PortInfo>& listed)
{
    Reap();
    for (auto& slot : slots_) {
        const bool present = std::any_of(listed.begin(), listed.end(),
                                         [&](const PortInfo& p) { return p.name == slot->info.name; });
        slot->listed = present;
    }
    for (const PortInfo& port : listed) {
        const bool known = std::any_of(slots_.begin(), slots_.end(),
                                       [&](const auto& slot) { return slot->info.name == port.name; });
        if (!known)
            AddSlot(port, false);
    }
}

}  // namespace zq
