#include "link/SerialPort.h"

#include "protocol/Protocol.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <utility>

#if defined(__linux__)
#include <linux/serial.h>
#endif

namespace zq {

namespace {

using zq::kConstantMs;
using zq::kPerByteMs;
constexpr uint32_t kIntervalMs = zq::kReadIntervalMs;

uint64_t NowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

PortError FromErrno(int err)
{
    switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
        return PortError::NotFound;
    case EBUSY:
    case EWOULDBLOCK:
        return PortError::Busy;
    case EACCES:
    case EPERM:
        return PortError::AccessDenied;
    case EISDIR:
    case ENOTTY:
        return PortError::NotSerial;
    default:
        return PortError::Io;
    }
}

bool SpeedConstant(uint32_t baud, speed_t* out)
{
    static const struct {
        uint32_t baud;
        speed_t constant;
    } kSpeeds[] = {
        {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
        {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
        {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
        {57600, B57600}, {115200, B115200}, {230400, B230400},
#if defined(B460800)
        {460800, B460800},
#endif
#if defined(B921600)
        {921600, B921600},
#endif
    };
    for (const auto& s : kSpeeds) {
        if (s.baud == baud) {
            *out = s.constant;
            return true;
        }
    }
    return false;
}

// FTDI and similar adapters otherwise hold received bytes for their latency
// timer (16 ms by default), which alone halves the block rate. Ptys and
// drivers without the ioctl simply say no; that is fine.
void AskForLowLatency(int fd)
{
#if defined(__linux__)
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) == 0) {
        ss.flags |= ASYNC_LOW_LATENCY;
        (void)ioctl(fd, TIOCSSERIAL, &ss);
    }
#else
    (void)fd;
#endif
}

// What write(2) says when the line itself has gone.
bool LineGone(int err) { return err == EIO || err == ENXIO || err == ENODEV || err == EPIPE; }

void Drain(int fd)
{
    while (tcdrain(fd) != 0 && errno == EINTR) {
    }
}

} // namespace

PortError SerialPort::OpenDevice(const std::string& name)
{
    Close();
    lost_ = false;
    osError_ = 0;
    if (name.empty() || name.find('\0') != std::string::npos || name.size() >= PATH_MAX)
        return PortError::BadName;
    path_ = name.find('/') == std::string::npos ? "/dev/" + name : name;

    int raw;
    do {
        raw = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0)
        return Refused(FromErrno(errno), errno);
    COsHandle fd(raw);

    termios tio{};
    if (tcgetattr(raw, &tio) != 0) // a regular file, /dev/null, a FIFO: opened fine, but not a line
        return Refused(PortError::NotSerial, errno);
    // TIOCEXCL keeps out other users, but not root: the lock does.
    if (ioctl(raw, TIOCEXCL) != 0)
        return Refused(FromErrno(errno), errno);
    int rc;
    do {
        rc = ::flock(raw, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        return Refused(errno == EWOULDBLOCK ? PortError::Busy : FromErrno(errno), errno);
    handle_ = std::move(fd);
    return PortError::None;
}

PortError SerialPort::Configure(uint32_t baud)
{
    if (!IsOpen())
        return PortError::Io;
    const int fd = static_cast<int>(handle_.Get());
    speed_t speed;
    if (!SpeedConstant(baud, &speed))
        return PortError::BadSpeed;
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return PortError::Io;
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
#if defined(CRTSCTS)
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0)
        return PortError::BadSpeed;
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        return PortError::Io;
    // tcsetattr succeeds if any one setting took: make sure the speed did.
    termios check{};
    if (tcgetattr(fd, &check) != 0)
        return PortError::Io;
    if (cfgetospeed(&check) != speed)
        return PortError::BadSpeed;
    AskForLowLatency(fd);
    // Only the input queue: on a pty an output flush also throws away what
    // the peer has not read yet, such as discovery's three replies written
    // just before this port was closed and opened again at full speed.
    if (tcflush(fd, TCIFLUSH) != 0)
        return PortError::Io;
    return PortError::None;
}

size_t SerialPort::Read(uint8_t* dst, size_t count)
{
    if (!IsOpen() || count == 0)
        return 0;
    const int fd = static_cast<int>(handle_.Get());
    const uint64_t start = NowMs();
    const uint64_t total = start + kPerByteMs * count + kConstantMs;
    size_t got = 0;
    uint64_t lastByte = 0;
    for (;;) {
        const uint64_t now = NowMs();
        uint64_t deadline = total;
        if (got > 0 && lastByte + kIntervalMs < deadline)
            deadline = lastByte + kIntervalMs;
        if (now >= deadline)
            break;
        pollfd pfd{fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(deadline - now));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (ready == 0)
            break;
        int err = 0;
        if (pfd.revents & POLLIN) {
            const ssize_t n = ::read(fd, dst + got, count - got);
            if (n > 0) {
                got += static_cast<size_t>(n);
                lastByte = NowMs();
                if (got == count)
                    break;
                continue;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            err = n < 0 ? errno : 0;
        }
        // The line is gone (hang-up, unplugged adapter): say so, and since a
        // driver that fails at once would have the waits spin, spend the
        // read's time-out as a quiet line would.
        Lost(err);
        if (got == 0) {
            const uint64_t left = total > NowMs() ? total - NowMs() : 0;
            timespec ts{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000L};
            while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
            }
        }
        break;
    }
    return got;
}

size_t SerialPort::Write(const uint8_t* src, size_t count)
{
    if (!IsOpen() || count == 0)
        return 0;
    const int fd = static_cast<int>(handle_.Get());
    const uint64_t deadline = NowMs() + kPerByteMs * count + kConstantMs;
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, src + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            if (LineGone(errno))
                Lost(errno);
            break;
        }
        const uint64_t now = NowMs();
        if (now >= deadline)
            break;
        pollfd pfd{fd, POLLOUT, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(deadline - now));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) {
            Lost(0);
            break;
        }
    }
    return done;
}

void SerialPort::Purge()
{
    if (!IsOpen())
        return;
    const int fd = static_cast<int>(handle_.Get());
    // Emptying the output queue right after a write destroys bytes not yet
    // sent (a pty drops the ACK the device is waiting for): let them leave,
    // then empty only what came in.
    Drain(fd);
    (void)tcflush(fd, TCIFLUSH);
}

void SerialPort::Close()
{
    if (!IsOpen())
        return;
    const int fd = static_cast<int>(handle_.Get());
    Drain(fd); // discovery writes its three replies and closes at once
    (void)tcflush(fd, TCIFLUSH);
    // The exclusive flag outlives us while someone else (a simulator) keeps
    // the line open, and would lock the next non-root open out.
    (void)ioctl(fd, TIOCNXCL);
    handle_.Reset();
}

uint32_t SystemTickCount()
{
    return static_cast<uint32_t>(NowMs());
}

void WaitLineTime(uint32_t microseconds)
{
    timespec ts{static_cast<time_t>(microseconds / 1000000u), static_cast<long>(microseconds % 1000000u) * 1000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void YieldBriefly()
{
    timespec ts{0, 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace zq
