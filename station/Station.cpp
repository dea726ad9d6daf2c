#include "station/Station.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "record/Record.h"
#include "download/Causes.h"

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

// One thread per port, listening on it; a download on the port runs on the
// same thread. Everything here but listed and done is its thread's alone.
struct CStation::PortThread {
    PortInfo info;
    bool named = false;
    // In the system's list; named ports count as listed, their opening tells.
    std::atomic<bool> listed{true};
    PortPhase phase = PortPhase::Absent;
    bool announced = false;
    std::atomic<bool> done{false}; // its listener has ended: its port left
    // A port is flashed once per arrival of a device. Until its device has
    // gone, its beacons are only a sign that it is still there: a device
    // left in boot mode by a failure would otherwise be flashed again and
    // again; plugging it in again retries.
    bool armed = true;
    bool left = false; // its device went while the station was held: armed as it goes on
    // Its unit's download failed: not armed again until the unit is taken
    // away or the operator retries it. Read by Retry on another thread.
    std::atomic<bool> failed{false};
    std::atomic<bool> retry{false}; // the operator asked for another attempt
    // The unit on the port and its attempts so far; a retry keeps both.
    std::string unit;
    unsigned attempt = 0;
    bool retrying = false; // armed by a retry: the next download is the same unit's
    PortInfo described; // the adapter as it stood when the port opened
    Clock::time_point lastBeacon;
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
    for (auto& port : portThreads_)
        if (port->thread.joinable())
            port->thread.join();
}

void CStation::SetPhase(PortThread& port, PortPhase phase)
{
    if (port.announced && port.phase == phase)
        return;
    port.phase = phase;
    port.announced = true;
    events_.OnPort(port.info, phase);
}

bool CStation::Cancelled() const { return cancel_.load() || (stop_ && stop_->load()); }

void CStation::Pause(uint32_t ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return Cancelled(); });
}

bool CStation::AddPortThread(const PortInfo& info, bool named)
{
    std::lock_guard<std::mutex> lock(portsChanging_);
    portThreads_.push_back(std::make_unique<PortThread>());
    PortThread& port = *portThreads_.back();
    port.info = info;
    port.named = named;
    try {
        port.thread = std::thread([this, &port] { Listen(port); });
        return true;
    } catch (const std::system_error&) {
        // Out of threads (a process or task limit): a port silently unheard
        // would look like a port without devices. The station ends, loudly,
        // once the downloads in flight have their records.
        portThreads_.pop_back();
        std::lock_guard<std::mutex> lock(mutex_);
        taking_ = false;
        if (unheard_.empty())
            unheard_ = NoListenerText(info.name);
        changed_.notify_all();
        return false;
    }
}

std::string CStation::Why()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return unheard_;
}

bool CStation::BeginDownload()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!taking_ || Cancelled() || Held() || (options_.count != 0 && started_ >= options_.count) ||
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

// A flashed port is armed again once its device has been silent for the
// gone-time, or, after a failure, for the away-time: a unit that restarts
// after a failed download and beacons again is the same unit, and is not
// flashed again by itself. Held, it stays as it is, its tile not listening
// while nothing would be answered; the device that left meanwhile is
// remembered, and the port armed as the line goes on.
void CStation::Rearm(PortThread& port)
{
    const uint32_t quietMs = port.failed.load() || port.retrying ? options_.awayMs : options_.goneMs;
    const bool quiet = Clock::now() - port.lastBeacon >= std::chrono::milliseconds(quietMs);
    if (!port.armed && quiet)
        port.left = true;
    // Armed for a retry, a unit silent that long has gone: what comes next is another.
    if (port.armed && port.retrying && quiet)
        port.retrying = false;
    if (port.retry.load() && !Held())
        ArmForRetry(port);
    if (port.left && !Held()) {
        port.left = false;
        port.armed = true;
        port.failed = false;
        port.retrying = false;
        SetPhase(port, PortPhase::Listening);
    }
}

void CStation::ArmForRetry(PortThread& port)
{
    port.retry = false;
    if (!port.failed.exchange(false))
        return;
    port.armed = true;
    port.left = false;
    port.retrying = true;
    port.lastBeacon = Clock::now();
    SetPhase(port, PortPhase::Listening);
}

bool CStation::Retry(const std::string& name)
{
    std::lock_guard<std::mutex> lock(portsChanging_);
    for (auto& port : portThreads_)
        if (port->info.name == name && !port->done.load() && port->failed.load()) {
            port->retry = true;
            return true;
        }
    return false;
}

void CStation::Gone(PortThread& port, CSerialLink& link)
{
    link.Close();
    port.left = false;
    port.armed = true;
    port.failed = false;
    port.retrying = false;
    SetPhase(port, PortPhase::Absent);
}

bool CStation::OpenToListen(PortThread& port, CSerialLink& link)
{
    const std::string& name = port.info.name;
    if (link.Open(name, zq::kProbeBaud) != LINK_OK) {
        // A refusal is told apart from an absence: joining a group
        // or closing the other program mends it, waiting does not.
        const PortError error = link.LastOpenError();
        link.Close();
        port.armed = true;
        port.failed = false;
        port.retrying = false;
        SetPhase(port, error == PortError::AccessDenied ? PortPhase::Denied
                       : error == PortError::Busy       ? PortPhase::Busy
                                                        : PortPhase::Absent);
        Pause(kReopenMs);
        return false;
    }
    // Described now, not between the reply and the exchange, where
    // the device waits.
    port.described = port.named ? DescribePort(name) : port.info;
    SetPhase(port, port.armed ? PortPhase::Listening : PortPhase::Flashed);
    return true;
}

void CStation::Flash(PortThread& port, CSerialLink& link, const ImageSnapshot& image)
{
    const std::string& name = port.info.name;
    // The device is answered after the beacon that was heard, as a
    // discovery answers it, and the download goes on from the exchange.
    link.AnswerBeacon();
    SetPhase(port, PortPhase::Flashing);
    if (port.retrying) {
        ++port.attempt;
    } else {
        port.unit = NewRecordId();
        port.attempt = 1;
    }
    port.retrying = false;
    events_.OnFound(name);
    CPortProgress progress(events_, name);
    DeviceOutcome outcome = DownloadToDevice(image, port.described, stop_, &progress, true);
    if (outcome.device.description.empty() && outcome.device.hardwareId.empty())
        outcome.device = port.info;
    outcome.unit = port.unit;
    outcome.attempt = port.attempt;
    port.failed = !outcome.success && !outcome.cancelled && !outcome.failure.lineLost;
    EndDownload(outcome);
    // An adapter that vanished mid-download (brown-out, a loose hub) and
    // came back under the same name holds a device that has not been
    // flashed: its line being lost is its device going.
    if (outcome.failure.lineLost) {
        Gone(port, link);
        return;
    }
    port.armed = false;
    port.lastBeacon = Clock::now();
    SetPhase(port, PortPhase::Flashed);
}

void CStation::Listen(PortThread& port)
{
    CSerialLink link;
    link.SetCancelFlag(&cancel_);
    port.armed = true;
    port.described = port.info;
    port.lastBeacon = Clock::now();
    while (!Cancelled()) {
        // A port that left the list takes its thread with it; it gets a new
        // one if it comes back.
        if (!port.listed.load()) {
            Gone(port, link);
            break;
        }
        if (!link.IsOpen() && !OpenToListen(port, link))
            continue;
        uint8_t byte = 0;
        if (!link.WaitByte(kListenSliceMs, &byte)) {
            if (link.LineLost()) {
                Gone(port, link);
                continue;
            }
            Rearm(port);
            continue;
        }
        if (byte != zq::DEVICE_BEACON)
            continue;
        Rearm(port);
        port.lastBeacon = Clock::now();
        if (!port.armed)
            continue;
        // Taken before the beacon is answered: a release swapped later is
        // the next device's, never a part of this one's download.
        std::shared_ptr<const ImageSnapshot> image;
        if (events_.TakeImage(port.info.name, image) && BeginDownload())
            Flash(port, link, image ? *image : image_);
    }
    link.Close();
    std::lock_guard<std::mutex> lock(mutex_);
    port.done = true;
    changed_.notify_all();
}

StationEnd CStation::Run(const std::atomic<bool>& stop)
{
    stop_ = &stop;
    const bool followList = options_.ports.empty();
    for (const std::string& name : options_.ports)
        if (!AddPortThread(PortInfo{name, std::string(), std::string()}, true))
            break;

    StationEnd end = StationEnd::Stopped;
    Clock::time_point nextList = Clock::now();
    Clock::time_point nextBeat = Clock::now();
    for (;;) {
        if (followList && Clock::now() >= nextList) {
            nextList = Clock::now() + std::chrono::milliseconds(zq::kPortListPollMs);
            FollowList(options_.portSource());
        }
        Clock::time_point wake = followList ? nextList : Clock::now() + std::chrono::hours(1);
        if (options_.beat && options_.beatMs) {
            if (Clock::now() >= nextBeat) {
                options_.beat();
                nextBeat = Clock::now() + std::chrono::milliseconds(options_.beatMs);
            }
            wake = std::min(wake, nextBeat);
        }
        // Asleep until a download ends, a listener ends, or the list or the
        // beat is due; a stop is seen by the listeners within their slice,
        // and they say so.
        std::unique_lock<std::mutex> lock(mutex_);
        const bool ended = changed_.wait_until(
            lock, wake, [&] {
                return stop.load() || Counted() || (!taking_ && inFlight_ == 0) ||
                       std::any_of(portThreads_.begin(), portThreads_.end(), [](const auto& p) { return p->done.load(); });
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
            end = unheard_.empty() ? StationEnd::Unrecorded : StationEnd::NoThread;
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
    for (auto& port : portThreads_)
        if (port->thread.joinable())
            port->thread.join();
    return end;
}

bool CStation::Counted() const
{
    return (options_.count != 0 && ended_ >= options_.count) || (options_.lot != 0 && succeeded_ >= options_.lot);
}

void CStation::Reap()
{
    for (auto it = portThreads_.begin(); it != portThreads_.end();) {
        if ((*it)->done.load()) {
            (*it)->thread.join();
            std::lock_guard<std::mutex> lock(portsChanging_);
            it = portThreads_.erase(it);
        } else {
            ++it;
        }
    }
}

void CStation::FollowList(const std::vector<PortInfo>& listed)
{
    Reap();
    for (auto& port : portThreads_) {
        const bool present = std::any_of(listed.begin(), listed.end(),
                                         [&](const PortInfo& p) { return p.name == port->info.name; });
        port->listed = present;
    }
    for (const PortInfo& info : listed) {
        const bool known = std::any_of(portThreads_.begin(), portThreads_.end(),
                                       [&](const auto& port) { return port->info.name == info.name; });
        if (!known && !AddPortThread(info, false))
            break;
    }
}

}  // namespace zq
