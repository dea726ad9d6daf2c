#include "link/SerialLink.h"

#include <algorithm>

#include <cstring>
#include <memory>
#include <system_error>
#include <thread>

namespace zq {

namespace {

// How long `bytes` take on a line at `baud`, in microseconds, rounded up.
uint32_t LineTime(size_t bytes, uint32_t baud)
{
    const uint64_t bits = static_cast<uint64_t>(bytes) * zq::kBitsPerByte;
    return static_cast<uint32_t>((bits * 1000000u + baud - 1) / baud);
}

} // namespace

CSerialLink::CSerialLink() : portSource_(ListSystemPorts) {}

// The port is released here too: a link destroyed while open would otherwise
// keep the device locked until the process ends.
CSerialLink::~CSerialLink() = default;

void CSerialLink::SetPortSource(PortSource source)
{
    portSource_ = source ? std::move(source) : PortSource(ListSystemPorts);
}

LinkStatus CSerialLink::Open(const std::string& name, uint32_t baud)
{
    Close();
    lastOpenError_ = port_.OpenDevice(name);
    lastOpenOsError_ = port_.LastOsError();
    LinkStatus result;
    if (baud == 0) {
        // The device stays open, untouched; the next Close or Open releases it.
        result = LINK_NO_BAUD;
    } else if (lastOpenError_ != PortError::None) {
        result = LINK_UNAVAILABLE;
    } else {
        lastOpenError_ = port_.Configure(baud);
        lastOpenOsError_ = port_.LastOsError();
        if (lastOpenError_ != PortError::None) {
            port_.Close();
            result = LINK_UNAVAILABLE;
        } else {
            result = LINK_OK;
            baud_ = baud;
            lineFreeAt_ = {};
        }
    }
    if (observer_)
        observer_->OnOpen(name, baud, result);
    return result;
}

void CSerialLink::Close()
{
    if (!port_.IsOpen())
        return;
    port_.Purge();
    // A driver may call its queue empty while the last bytes still sit in
    // the adapter's FIFO (USB chips do). Closing, and above all reopening
    // at another speed as discovery does, would then cut or garble them:
    // wait until they have had their time on the wire (3 bytes at 4800
    // bit/s are 6.25 ms; 10 bits a byte at 8N1). Only what is still due is
    // waited for: a download cut short mid-image has long sent its blocks.
    const auto now = std::chrono::steady_clock::now();
    if (lineFreeAt_ > now)
        WaitLineTime(static_cast<uint32_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(lineFreeAt_ - now).count()));
    lineFreeAt_ = {};
    port_.Close();
    if (observer_)
        observer_->OnClose();
}

void CSerialLink::Purge() { port_.Purge(); }

void CSerialLink::CountWritten(size_t count)
{
    if (!baud_ || !count)
        return;
    const auto now = std::chrono::steady_clock::now();
    lineFreeAt_ = std::max(lineFreeAt_, now) + std::chrono::microseconds(LineTime(count, baud_));
}

LinkStatus CSerialLink::ReadByte(uint8_t* dst)
{
    if (!port_.IsOpen())
        return LINK_UNAVAILABLE;
    uint8_t byte = 0;
    if (port_.Read(&byte, 1) != 1)
        return LINK_READ_EMPTY;
    *dst = byte;
    if (observer_)
        observer_->OnRead(dst, 1);
    return LINK_OK;
}

size_t CSerialLink::ReadSome(uint8_t* dst, size_t count)
{
    uint8_t buffer[kLinkMaxBlock];
    const size_t got = port_.Read(buffer, count);
    if (got == 0)
        return 0;
    std::memcpy(dst, buffer, got);
    if (observer_)
        observer_->OnRead(dst, got);
    return got;
}

LinkStatus CSerialLink::ReadBlock(uint8_t* dst, size_t count)
{
    if (!port_.IsOpen())
        return LINK_UNAVAILABLE;
    if (count == 0 || count > kLinkMaxBlock)
        return LINK_READ_EMPTY;
    return ReadSome(dst, count) ? LINK_OK : LINK_READ_EMPTY;
}

LinkStatus CSerialLink::WriteByte(uint8_t value)
{
    if (!port_.IsOpen())
        return LINK_UNAVAILABLE;
    if (Cancelled())
        return LINK_WRITE_FAILED; // a cancelled download sends nothing more
    const size_t written = port_.Write(&value, 1);
    CountWritten(written);
    if (observer_ && written)
        observer_->OnWrite(&value, written);
    return written == 1 ? LINK_OK : LINK_WRITE_FAILED;
}

LinkStatus CSerialLink::WriteBlock(const uint8_t* src, size_t count, size_t* written)
{
    if (written)
        *written = 0;
    if (!port_.IsOpen())
        return LINK_UNAVAILABLE;
    if (Cancelled())
        return LINK_WRITE_FAILED;
    const size_t went = port_.Write(src, count);
    CountWritten(went);
    if (observer_ && went)
        observer_->OnWrite(src, went);
    if (written)
        *written = went;
    return went == count ? LINK_OK : LINK_WRITE_FAILED;
}

bool CSerialLink::WaitByte(uint32_t timeoutMs, uint8_t* dst)
{
    const uint32_t start = tick_();
    while (static_cast<uint32_t>(tick_() - start) < timeoutMs) {
        if (Cancelled())
            return false;
        const LinkStatus status = ReadByte(dst);
        if (status == LINK_OK)
            return true;
        if (status == LINK_UNAVAILABLE)
            YieldBriefly(); // a closed link fails at once; do not spin a core
    }
    return false;
}

bool CSerialLink::WaitBlock(uint32_t timeoutMs, uint8_t* dst, size_t count)
{
    const uint32_t start = tick_();
    while (static_cast<uint32_t>(tick_() - start) < timeoutMs) {
        if (Cancelled())
            return false;
        const LinkStatus status = ReadBlock(dst, count);
        if (status == LINK_OK)
            return true;
        if (status == LINK_UNAVAILABLE || count == 0 || count > kLinkMaxBlock)
            YieldBriefly();
    }
    return false;
}

bool CSerialLink::WaitBlockAfter(uint32_t timeoutMs, uint8_t* dst, size_t count, uint8_t stray)
{
    if (count == 0 || count > kLinkMaxBlock)
        return WaitBlock(timeoutMs, dst, count);
    const uint32_t start = tick_();
    size_t got = 0;
    while (got < count && static_cast<uint32_t>(tick_() - start) < timeoutMs) {
        if (Cancelled())
            return false;
        if (!port_.IsOpen()) {
            YieldBriefly();
            continue;
        }
        uint8_t chunk[kLinkMaxBlock];
        const size_t n = ReadSome(chunk, count - got);
        for (size_t i = 0; i < n; ++i) {
            if (got == 0 && chunk[i] == stray)
                continue;
            dst[got++] = chunk[i];
        }
    }
    return got > 0;
}

// One port of a discovery: opened at the probing speed, then listened to on
// a thread of its own for its window, at the same time as every other port.
struct CSerialLink::Listener {
    SerialPort port;
    ProbeResult probe;
    // Set once a port earlier in the list has heard the beacon: this one
    // can no longer win and stops listening.
    std::atomic<bool> outranked{false};
};

void CSerialLink::Listen(Listener& l, uint8_t beacon) const
{
    // The same five waits as a lone port would get: each is a deadline of
    // its own, polled through the driver's short read time-outs.
    for (unsigned attempt = 0; attempt < zq::kProbeAttempts; ++attempt) {
        const uint32_t start = tick_();
        while (static_cast<uint32_t>(tick_() - start) < zq::kProbeAttemptMs) {
            if (Cancelled() || l.outranked.load())
                return;
            uint8_t b = 0;
            if (l.port.Read(&b, 1) != 1)
                continue;
            if (b == beacon) {
                l.probe.beacon = true;
                return;
            }
            ++l.probe.bytesHeard;
            break;
        }
    }
}

std::vector<std::unique_ptr<CSerialLink::Listener>> CSerialLink::ListenTogether(
    const std::vector<PortInfo>& ports, uint8_t beacon, uint32_t baud, bool firstWins, size_t& winner)
{
    // Every port at once, so that the search takes one port's window however
    // many ports there are. Nothing is written to any of them here.
    std::vector<std::unique_ptr<Listener>> listeners;
    for (const PortInfo& info : ports) {
        auto l = std::make_unique<Listener>();
        l->probe.port = info.name;
        PortError error = l->port.OpenDevice(info.name);
        if (error == PortError::None && baud == 0)
            error = PortError::BadSpeed;
        if (error == PortError::None)
            error = l->port.Configure(baud);
        if (error != PortError::None) {
            l->probe.openError = error;
            l->probe.osError = l->port.LastOsError();
            l->port.Close();
        }
        if (observer_)
            observer_->OnOpen(info.name, baud, error == PortError::None ? LINK_OK : LINK_UNAVAILABLE);
        listeners.push_back(std::move(l));
    }

    // With firstWins, the first port in list order to hear the beacon wins:
    // a port that hears it makes every later one stop, while the earlier
    // ones go on to the end of their window.
    std::vector<std::thread> threads;
    std::atomic<size_t> first{listeners.size()};
    auto listen = [&](size_t i) {
        Listen(*listeners[i], beacon);
        if (!listeners[i]->probe.beacon)
            return;
        size_t best = first.load();
        while (i < best && !first.compare_exchange_weak(best, i)) {
        }
        if (firstWins) {
            for (size_t j = i + 1; j < listeners.size(); ++j)
                listeners[j]->outranked = true;
        }
    };
    // This thread listens on the first open port itself, each other port on
    // a thread of its own. A thread the system will not give (std::thread
    // throws std::system_error: out of threads, a process limit) leaves its
    // port unheard, told as an I/O error on it, while the others listen on:
    // an exception here would leave started threads unjoined and end the
    // program.
    threads.reserve(listeners.size());
    size_t own = listeners.size();
    for (size_t i = 0; i < listeners.size(); ++i) {
        if (!listeners[i]->port.IsOpen())
            continue;
        if (own == listeners.size()) {
            own = i;
            continue;
        }
        try {
            threads.emplace_back(listen, i);
        } catch (const std::system_error&) {
            listeners[i]->probe.openError = PortError::Io;
            listeners[i]->port.Close();
        }
    }
    if (own < listeners.size())
        listen(own);
    for (std::thread& t : threads)
        t.join();
    winner = first.load();
    return listeners;
}

std::vector<ProbeResult> CSerialLink::Scan(uint8_t beacon, uint32_t baud, size_t answer)
{
    Close();
    std::vector<ProbeResult> heard;
    size_t first = 0;
    for (const auto& l : ListenTogether(portSource_(), beacon, baud, false, first)) {
        if (answer > 0 && l->probe.beacon) {
            --answer;
            port_ = std::move(l->port);
            baud_ = baud;
            lineFreeAt_ = {};
            AnswerBeacon();
        }
        heard.push_back(l->probe);
    }
    return heard; // every port closed again
}

void CSerialLink::AnswerBeacon()
{
    for (unsigned i = 0; i < zq::kBeaconReplies; ++i)
        WriteByte(BEACON_REPLY);
    // The device may have begun one more beacon before our replies
    // reached it. Give that byte its time on the line as well, so it
    // lands before the reopening at full speed empties the input;
    // after it, it would come in ahead of the SYN echo.
    lineFreeAt_ += std::chrono::microseconds(LineTime(1, baud_));
    Close();
}

void CSerialLink::HandOver(const PortInfo& port)
{
    Close();
    foundPort_ = port.name;
    foundInfo_ = port;
    handedOver_ = true;
}

LinkStatus CSerialLink::FindDevice(uint8_t beacon, uint32_t baud)
{
    Close();
    discovery_.clear();
    if (handedOver_) {
        handedOver_ = false;
        ProbeResult heard;
        heard.port = foundPort_;
        heard.beacon = true;
        discovery_.push_back(heard);
        return LINK_OK;
    }
    // One pass over the list as it stands now; a list that changes while we
    // listen is simply the next download's list.
    const std::vector<PortInfo> ports = portSource_();
    if (ports.empty())
        return LINK_NO_PORTS;
    size_t w = 0;
    std::vector<std::unique_ptr<Listener>> listeners = ListenTogether(ports, beacon, baud, true, w);

    // As a search port by port would tell it: every port up to the one that
    // won, or every port when none did.
    for (size_t i = 0; i < listeners.size() && i <= w; ++i)
        discovery_.push_back(listeners[i]->probe);
    if (w >= listeners.size() || Cancelled())
        return LINK_UNAVAILABLE; // every listener closes its port unwritten

    // Only the winner's port is kept; the others close as they go, unwritten.
    foundPort_ = ports[w].name;
    foundInfo_ = ports[w];
    port_ = std::move(listeners[w]->port);
    baud_ = baud;
    lineFreeAt_ = {};
    if (observer_) {
        const uint8_t heard = beacon;
        observer_->OnRead(&heard, 1);
    }
    listeners.clear();
    AnswerBeacon();
    return LINK_OK;
}

}  // namespace zq
