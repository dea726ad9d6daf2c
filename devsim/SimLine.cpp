#include "devsim/SimLine.h"

#include "platform/PtyNumber.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace zq {

namespace devsim {

namespace {

constexpr size_t kMaxSpeedMessages = 32;
// While no one holds the pty slave, the master reports EIO and POLLHUP at
// once; look again this often instead of spinning.
constexpr int64_t kAbsentPeerRetryNs = 10 * kNsPerMs;
// While the line is quiet, how often we look at the speed the tool set.
constexpr int64_t kSpeedWatchNs = 5 * kNsPerMs;
constexpr int64_t kQueueSettleNs = 200 * kNsPerMs;

const struct {
    speed_t constant;
    unsigned baud;
} kSpeeds[] = {
    {B0, 0},           {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
    {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},       {B1200, 1200},
    {B1800, 1800},     {B2400, 2400},     {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
    {B38400, 38400},   {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
    {B500000, 500000}, {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000},
};

unsigned BaudOf(speed_t s)
{
    for (const auto& e : kSpeeds)
        if (e.constant == s)
            return e.baud;
    return ~0u;
}

unsigned BaudOfRate(LineRate rate) { return rate == LineRate::Discovery ? kDiscoveryBaud : kExchangeBaud; }

// The termios constant for a speed in bit/s; B0 for one termios lacks.
speed_t SpeedOf(unsigned baud)
{
    for (const auto& e : kSpeeds)
        if (e.baud == baud)
            return e.constant;
    return B0;
}

speed_t SpeedOfRate(LineRate rate) { return SpeedOf(BaudOfRate(rate)); }

timespec ToTimespec(int64_t ns)
{
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}

std::string HexBytes(const uint8_t* data, size_t n, size_t limit)
{
    std::string out;
    char buf[8];
    for (size_t i = 0; i < n && i < limit; ++i) {
        std::snprintf(buf, sizeof buf, "%s0x%02X", i ? " " : "", data[i]);
        out += buf;
    }
    if (n > limit)
        out += " ...";
    return out;
}

} // namespace

int64_t NowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

CSimLine::CSimLine(CUniqueFd line, CUniqueFd keepOpen, bool serialDevice)
    : line_(std::move(line)), keepOpen_(std::move(keepOpen)), serialDevice_(serialDevice)
{
    int p[2];
    if (::pipe2(p, O_NONBLOCK | O_CLOEXEC) == 0) {
        stopRead_.Reset(p[0]);
        stopWrite_.Reset(p[1]);
    } else {
        lastError_ = std::string("pipe2: ") + std::strerror(errno);
    }
    if (line_) {
        const int flags = ::fcntl(line_.Get(), F_GETFL);
        if (flags < 0 || ::fcntl(line_.Get(), F_SETFL, flags | O_NONBLOCK) < 0)
            lastError_ = std::string("fcntl O_NONBLOCK: ") + std::strerror(errno);
        // Packet mode tells us when the tool flushes its port, which it does
        // on every open and close: the sign that the speed may have changed
        // since the bytes we are about to read were written.
        int one = 1;
        if (!serialDevice_ && ::ioctl(line_.Get(), TIOCPKT, &one) == 0)
            packetMode_ = true;
    }
}

CSimLine::~CSimLine()
{
    LetToolTake(NowNs() + 1000 * kNsPerMs);
    // The line goes; its number stays taken, so that no name of it leads to
    // the next pty made.
    line_.Reset();
    if (!serialDevice_)
        HoldPtyNumber(std::move(keepOpen_));
}

void CSimLine::Stop()
{
    stopped_.store(true);
    if (stopWrite_) {
        const char c = 1;
        // A full pipe already wakes every waiter; nothing to do about a failure here.
        (void)!::write(stopWrite_.Get(), &c, 1);
    }
}

int64_t CSimLine::ByteNs() const
{
    // 8N1: a start bit, eight data bits and a stop bit per byte.
    return zq::kBitsPerByte * 1000000000LL / BaudOfRate(rate_);
}

void CSimLine::NoteQuietSpeed()
{
    // The speed first, then the proof that nothing is waiting to be read:
    // whatever comes later was written after this speed was in force.
    const speed_t s = ToolSpeed();
    pollfd pfd{line_.Get(), POLLIN, 0};
    if (::poll(&pfd, 1, 0) == 0)
        quietSpeed_ = s;
}

speed_t CSimLine::ToolSpeed() const
{
    termios tio{};
    if (!serialDevice_ && line_ && ::tcgetattr(line_.Get(), &tio) == 0)
        return ::cfgetospeed(&tio);
    return SpeedOfRate(rate_);
}

bool CSimLine::SetRate(LineRate rate)
{
    rate_ = rate;
    if (!serialDevice_ || !line_)
        return true;
    // The bytes already queued must leave at the speed they were written for.
    while (::tcdrain(line_.Get()) != 0) {
        if (errno != EINTR) {
            Fail("tcdrain", errno);
            return false;
        }
    }
    termios tio{};
    if (::tcgetattr(line_.Get(), &tio) != 0) {
        Fail("tcgetattr", errno);
        return false;
    }
    if (::cfsetispeed(&tio, SpeedOfRate(rate)) != 0 || ::cfsetospeed(&tio, SpeedOfRate(rate)) != 0 ||
        ::tcsetattr(line_.Get(), TCSANOW, &tio) != 0) {
        Fail("setting the line speed", errno);
        return false;
    }
    return true;
}

void CSimLine::BeginSession()
{
    // Whatever the tool left behind from an earlier session is not part of this one.
    quietSpeed_ = ToolSpeed();
    if (line_) {
        uint8_t buf[4096];
        for (;;) {
            const ssize_t n = ::read(line_.Get(), buf, sizeof buf);
            if (n > 0)
                continue;
            if (n < 0 && errno == EINTR)
                continue;
            break;
        }
    }
    input_.clear();
    log_ = LineLog{};
    speedRuns_.clear();
    rxSlot_ = 0;
    txSlot_ = 0;
    step_ = "discovery";
}

LineLog CSimLine::TakeLog()
{
    for (const SpeedRun& r : speedRuns_) {
        const unsigned baud = BaudOf(r.actual);
        const std::string actual = baud == ~0u ? "an unknown speed" : std::to_string(baud) + " bit/s";
        char msg[256];
        std::snprintf(msg, sizeof msg, "%s: %u byte(s) (%s) came at %s, expected %u", r.step.c_str(), r.count,
                      HexBytes(r.bytes.data(), r.bytes.size(), 8).c_str(), actual.c_str(), BaudOfRate(r.expected));
        log_.speedErrors.emplace_back(msg);
    }
    speedRuns_.clear();
    LineLog out = std::move(log_);
    log_ = LineLog{};
    return out;
}

Got CSimLine::Fail(const char* what, int err)
{
    lastError_ = std::string(what) + ": " + std::strerror(err);
    return Got::Closed;
}

void CSimLine::Record(std::vector<uint8_t>& log, uint64_t& total, const uint8_t* data, size_t n) const
{
    total += n;
    if (log.size() < recordLimit_)
        log.insert(log.end(), data, data + std::min(n, recordLimit_ - log.size()));
}

void CSimLine::CheckSpeed(const Pending& p)
{
    if (serialDevice_ || !checkSpeed_ || p.checked)
        return;
    if (p.speed == SpeedOfRate(rate_))
        return;
    if ((p.reopened && rate_ == LineRate::Discovery && p.speed == SpeedOfRate(LineRate::Exchange)) ||
        p.before != p.speed) {
        // The speed changed between the moment the line was last seen empty
        // and our read: the byte may have been written before the change (a
        // beacon reply read only after the tool reopened the port for the
        // exchange) and we cannot tell. Only a speed that held all along is
        // proof.
        ++log_.speedUnsure;
        return;
    }
    ++log_.speedErrorCount;
    if (!speedRuns_.empty()) {
        SpeedRun& last = speedRuns_.back();
        if (last.step == step_ && last.actual == p.speed && last.expected == rate_) {
            if (last.bytes.size() < 8)
                last.bytes.push_back(p.b);
            ++last.count;
            return;
        }
    }
    if (speedRuns_.size() < kMaxSpeedMessages)
        speedRuns_.push_back(SpeedRun{step_, p.speed, rate_, {p.b}, 1});
}

bool CSimLine::TakeIn()
{
    if (!line_)
        return false;
    uint8_t buf[4096];
    bool reopened = false;
    const speed_t before = quietSpeed_;
    // Bounded so that a tool writing without pause cannot keep us here.
    for (int reads = 0; reads < 64; ++reads) {
        // Taken before the read: should it find nothing, any later byte was
        // written after this moment.
        const speed_t speedNow = ToolSpeed();
        const ssize_t n = ::read(line_.Get(), buf, sizeof buf);
        if (n > 0) {
            peerAbsent_ = false;
            const uint8_t* data = buf;
            size_t len = static_cast<size_t>(n);
            if (packetMode_) {
                if (buf[0] != TIOCPKT_DATA) {
                    if (ownFlush_ && (buf[0] & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE)))
                        ownFlush_ = false;
                    else
                        reopened = true;
                    continue;
                }
                ++data;
                --len;
            }
            if (len == 0)
                continue;
            const int64_t t = NowNs();
            // On a pty the master sees the settings the tool gave the slave
            // now: the speed these bytes were sent at, unless the tool changed
            // it after writing them. Judged when each byte is used, against
            // the speed of the step it belongs to.
            const speed_t speed = ToolSpeed();
            const bool afterFlush = reopened;
            reopened = false;
            Record(log_.received, log_.receivedTotal, data, len);
            for (size_t i = 0; i < len; ++i) {
                int64_t at = t;
                if (pace_) {
                    // A byte is there only once its stop bit has passed.
                    rxSlot_ = std::max(rxSlot_, t) + ByteNs();
                    at = rxSlot_;
                }
                input_.push_back(Pending{data[i], at, speed, before, afterFlush, false});
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            peerAbsent_ = false;
            quietSpeed_ = speedNow;
            return true;
        }
        if (!serialDevice_ && (n == 0 || errno == EIO)) {
            // Nobody has the slave open right now; the tool will open it again.
            peerAbsent_ = true;
            return true;
        }
        if (n == 0) {
            lastError_ = "the line hung up";
            return false;
        }
        Fail("read", errno);
        return false;
    }
    return true;
}

Got CSimLine::Poll(int64_t deadline, bool forWrite)
{
    for (;;) {
        if (const Got halted = Halted(); halted != Got::Byte)
            return halted;
        const int64_t now = NowNs();
        if (now >= deadline)
            return Got::Timeout;
        int64_t wait = deadline - now;
        pollfd fds[2] = {{line_.Get(), static_cast<short>(forWrite ? POLLOUT : POLLIN), 0},
                         {stopRead_.Get(), POLLIN, 0}};
        if (peerAbsent_) {
            fds[0].fd = -1;
            wait = std::min(wait, kAbsentPeerRetryNs);
        }
        if (!stopRead_)
            wait = std::min<int64_t>(wait, 20 * kNsPerMs);
        const bool watchSpeed = !forWrite && checkSpeed_ && !serialDevice_ && !peerAbsent_;
        if (watchSpeed)
            wait = std::min(wait, kSpeedWatchNs);
        const timespec ts = ToTimespec(wait);
        const int r = ::ppoll(fds, 2, &ts, nullptr);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return Fail("ppoll", errno);
        }
        if (r == 0 && watchSpeed)
            NoteQuietSpeed();
        if (fds[1].revents)
            return Got::Stopped;
        if (peerAbsent_ && NowNs() < deadline)
            return Got::Byte; // time to try the line again
        if (r > 0 && fds[0].revents)
            return Got::Byte;
    }
}

Got CSimLine::Get(uint8_t& b, int64_t deadline)
{
    for (;;) {
        if (const Got halted = Halted(); halted != Got::Byte)
            return halted;
        const int64_t now = NowNs();
        if (!input_.empty() && input_.front().at <= now) {
            CheckSpeed(input_.front());
            b = input_.front().b;
            input_.pop_front();
            return Got::Byte;
        }
        int64_t wake = deadline;
        if (!input_.empty())
            wake = std::min(wake, input_.front().at);
        if (now >= wake && wake == deadline)
            return Got::Timeout;
        const Got r = Poll(wake, false);
        if (r == Got::Stopped || r == Got::Closed)
            return r;
        if (r == Got::Byte && !TakeInLate())
            return Got::Closed;
    }
}

Got CSimLine::GetMany(uint8_t* out, size_t n, int64_t silenceNs)
{
    // When the byte last taken was due: a Get for the next one would have
    // been called then.
    int64_t at = NowNs();
    size_t got = 0;
    while (got < n) {
        if (const Got halted = Halted(); halted != Got::Byte)
            return halted;
        if (!input_.empty() && input_.front().at <= at + silenceNs) {
            const Pending& p = input_.front();
            at = std::max(at, p.at);
            CheckSpeed(p);
            out[got++] = p.b;
            input_.pop_front();
            continue;
        }
        if (!input_.empty()) {
            // Due after that Get's deadline: it would have timed out.
            const Got w = WaitUntil(at + silenceNs);
            return w == Got::Timeout ? Got::Timeout : w;
        }
        // Nothing here yet: from the moment the last byte was due, wait for
        // the next one as Get does.
        const Got w = WaitUntil(at);
        if (w != Got::Timeout)
            return w;
        const Got r = Get(out[got], NowNs() + silenceNs);
        if (r != Got::Byte)
            return r;
        ++got;
        at = NowNs();
    }
    // The last byte's stop bit has passed before anyone answers it.
    const Got w = WaitUntil(at);
    return w == Got::Timeout ? Got::Byte : w;
}

int64_t CSimLine::Queued(std::vector<uint8_t>& bytes)
{
    bytes.clear();
    if (!TakeIn())
        return 0;
    for (const Pending& p : input_)
        bytes.push_back(p.b);
    return input_.empty() ? 0 : input_.back().at;
}

void CSimLine::Unget(uint8_t b) { input_.push_front(Pending{b, 0, B0, B0, false, true}); }

Got CSimLine::WaitUntil(int64_t deadline)
{
    for (;;) {
        const Got r = Poll(deadline, false);
        if (r != Got::Byte)
            return r;
        if (!TakeInLate())
            return Got::Closed;
    }
}

bool CSimLine::TakeInLate()
{
    if (readLagNs_ > 0)
        SleepUntil(NowNs() + readLagNs_);
    return TakeIn();
}

void CSimLine::SleepUntil(int64_t t)
{
    const timespec ts = ToTimespec(t);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

Got CSimLine::WriteSome(const uint8_t* data, size_t n, size_t& done)
{
    for (;;) {
        const ssize_t w = ::write(line_.Get(), data, n);
        if (w > 0) {
            peerAbsent_ = false;
            Record(log_.sent, log_.sentTotal, data, static_cast<size_t>(w));
            lastWrite_ = NowNs();
            done += static_cast<size_t>(w);
            return Got::Byte;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno == EAGAIN)
            return Got::Timeout;
        if (w < 0 && errno == EIO && !serialDevice_) {
            peerAbsent_ = true;
            return Got::Timeout;
        }
        return Fail("write", w < 0 ? errno : EIO);
    }
}

Got CSimLine::Put(const uint8_t* data, size_t n, int64_t deadline)
{
    size_t done = 0;
    while (done < n) {
        if (const Got halted = Halted(); halted != Got::Byte)
            return halted;
        size_t chunk = n - done;
        if (pace_) {
            // The schedule is absolute: back-to-back bytes follow the previous
            // one's slot, so oversleeping one byte does not slow the next.
            chunk = 1;
            const int64_t now = NowNs();
            txSlot_ = std::max(txSlot_, now) + ByteNs();
            if (!TakeIn())
                return Got::Closed;
            SleepUntil(txSlot_);
        }
        for (;;) {
            const Got r = WriteSome(data + done, chunk, done);
            if (r == Got::Byte)
                break;
            if (r != Got::Timeout)
                return r;
            const Got p = Poll(deadline, true);
            if (p != Got::Byte)
                return p;
        }
    }
    return Got::Byte;
}

Got CSimLine::PutIfRoom(uint8_t b)
{
    if (const Got halted = Halted(); halted != Got::Byte)
        return halted;
    if (pace_) {
        txSlot_ = std::max(txSlot_, NowNs()) + ByteNs();
        SleepUntil(txSlot_);
    }
    size_t done = 0;
    return WriteSome(&b, 1, done);
}

void CSimLine::DropPendingOutput()
{
    if (!line_)
        return;
    if (serialDevice_) {
        (void)::tcflush(line_.Get(), TCOFLUSH);
    } else if (keepOpen_) {
        // On a pty our bytes already sit in the slave's input queue, which only
        // a flush through a slave descriptor reaches; a real port drops what
        // arrives while it is closed, so the tool must not find them either.
        if (::tcflush(keepOpen_.Get(), TCIFLUSH) == 0)
            ownFlush_ = packetMode_;
    }
    txSlot_ = NowNs();
}

void CSimLine::LetToolTake(int64_t deadline)
{
    if (!line_)
        return;
    if (serialDevice_) {
        while (::tcdrain(line_.Get()) != 0 && errno == EINTR) {
        }
        return;
    }
    if (!keepOpen_)
        return;
    // Closing the master hangs the slave up, and a hang-up throws away what
    // the tool has not read yet, our last answer included. What we wrote
    // reaches the slave's queue (where FIONREAD counts it) a moment later,
    // from the kernel's work queue.
    // Under load that work may run late: once our bytes were seen queued,
    // their leaving is the sign; if they never were, the settle time is.
    const int64_t settled = lastWrite_ + kQueueSettleNs;
    bool seenQueued = false;
    for (;;) {
        int pending = 0;
        if (::ioctl(keepOpen_.Get(), FIONREAD, &pending) != 0)
            return;
        seenQueued = seenQueued || pending > 0;
        if (pending == 0 && (seenQueued || NowNs() >= settled))
            return;
        if (stopped_.load() || NowNs() >= deadline)
            return;
        const Got r = Poll(std::min(deadline, NowNs() + kNsPerMs), false);
        if (r == Got::Stopped || r == Got::Closed)
            return;
        if (r == Got::Byte && !TakeIn())
            return;
    }
}

void CSimLine::HangUp()
{
    // The master's close alone hangs the line up, our slave descriptor with
    // it. That descriptor stays: it keeps the pty's number from being given
    // to the next pty made, which a station still listening by this name,
    // or a tool opening it again, would otherwise reach as if it were ours.
    line_.Reset();
    input_.clear();
}

bool OpenSerialLine(const std::string& path, CUniqueFd& out, std::string& error)
{
    CUniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    // TIOCEXCL does not keep root out; the lock does.
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        error = path + ": in use (" + std::strerror(errno) + ")";
        return false;
    }
    if (::ioctl(fd.Get(), TIOCEXCL) != 0) {
        error = path + ": TIOCEXCL: " + std::strerror(errno);
        return false;
    }
    termios tio{};
    if (::tcgetattr(fd.Get(), &tio) != 0) {
        error = path + ": not a serial device (" + std::strerror(errno) + ")";
        return false;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    // With VMIN 0 a read of an empty queue returns 0 even on a non-blocking
    // descriptor, which would look like a hang-up; VMIN 1 gives EAGAIN.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    const speed_t discovery = SpeedOfRate(LineRate::Discovery);
    if (::cfsetispeed(&tio, discovery) != 0 || ::cfsetospeed(&tio, discovery) != 0 ||
        ::tcsetattr(fd.Get(), TCSANOW, &tio) != 0) {
        error = path + ": cannot set " + std::to_string(kDiscoveryBaud) + " 8N1 (" + std::strerror(errno) + ")";
        return false;
    }
    if (::tcflush(fd.Get(), TCIOFLUSH) != 0) {
        error = path + ": tcflush: " + std::strerror(errno);
        return false;
    }
    out = std::move(fd);
    return true;
}

} // namespace devsim

}  // namespace zq
