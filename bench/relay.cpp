// zq-relay: a null-modem cable with a UART at each end, between two ptys.
// Each direction moves one byte per byte-time (10 bits at 8N1), back to back
// as a real line does, optionally held back by a fixed latency (a USB
// adapter's latency timer). With --follow the byte-time follows the speed the
// program on the first pty set, and is copied onto the second line, so a
// device simulator there sees the speed the tool chose.
//
//   zq-relay [--baud N | --follow] [--latency-us US] [--connect PATH]
//
// Prints the first pty's path, then (without --connect) the second's, one a
// line, and relays until killed.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>


namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

int64_t NowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd& operator=(Fd&& o) noexcept
    {
        std::swap(fd_, o.fd_);
        return *this;
    }
    int get() const { return fd_; }

private:
    int fd_ = -1;
};

[[noreturn]] void Die(const char* what)
{
    std::fprintf(stderr, "zq-relay: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

void MakeRaw(int fd)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        Die("tcgetattr");
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        Die("tcsetattr");
}

void SetNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        Die("fcntl");
}

// A new pty: the master we relay on, and our own descriptor of the slave,
// which keeps the master readable while the program on it has it closed.
void NewPty(Fd& master, Fd& slave, std::string& path)
{
    int m = -1, s = -1;
    char name[128] = {};
    if (openpty(&m, &s, name, nullptr, nullptr) != 0)
        Die("openpty");
    master = Fd(m);
    slave = Fd(s);
    path = name;
    MakeRaw(s);
    SetNonBlocking(m);
}

uint32_t BaudOf(speed_t s)
{
    static const struct {
        speed_t s;
        uint32_t baud;
    } kTable[] = {{B1200, 1200},   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},
                  {B19200, 19200}, {B38400, 38400}, {B57600, 57600},   {B115200, 115200},
                  {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    for (const auto& e : kTable)
        if (e.s == s)
            return e.baud;
    return 0;
}

// One direction of the cable.
struct Lane {
    int from = -1, to = -1;
    struct Pending {
        uint8_t b;
        int64_t at;
        speed_t speed; // not a byte: the far end's speed changes here
    };
    std::deque<Pending> queue;
    int64_t lineFreeAt = 0; // when the transmitter finishes its current byte
    uint64_t moved = 0;
    // How late our wake-ups hand bytes over, against their due time.
    int64_t lateSumNs = 0, lateMaxNs = 0;
    uint64_t deliveries = 0;

    // Takes what the sender wrote; each byte occupies the line for one
    // byte-time after the previous one, and arrives `latency` after that.
    bool Take(int64_t byteNs, int64_t latencyNs)
    {
        uint8_t buf[4096];
        for (;;) {
            const ssize_t n = ::read(from, buf, sizeof buf);
            if (n > 0) {
                const int64_t now = NowNs();
                for (ssize_t i = 0; i < n; ++i) {
                    const int64_t start = lineFreeAt > now ? lineFreeAt : now;
                    lineFreeAt = start + byteNs;
                    queue.push_back({buf[i], lineFreeAt + latencyNs, 0});
                }
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            // EIO: the program on a pty we did not create closed it.
            return n < 0 && (errno == EAGAIN || errno == EIO);
        }
    }

    // The far end changes speed after the bytes already on the line, as a
    // UART reprogrammed between two bytes would.
    void QueueSpeed(speed_t speed)
    {
        queue.push_back({0, queue.empty() ? 0 : queue.back().at, speed});
    }

    bool SpeedDue(int64_t now) const { return !queue.empty() && queue.front().speed && queue.front().at <= now; }

    // Hands over every byte whose time has come.
    void Deliver(int64_t now)
    {
        while (SpeedDue(now)) {
            termios tio{};
            if (tcgetattr(to, &tio) == 0) {
                cfsetispeed(&tio, queue.front().speed);
                cfsetospeed(&tio, queue.front().speed);
                (void)tcsetattr(to, TCSANOW, &tio);
            }
            queue.pop_front();
        }
        uint8_t buf[4096];
        size_t n = 0;
        for (const Pending& p : queue) {
            if (p.at > now || n == sizeof buf || p.speed)
                break;
            buf[n++] = p.b;
        }
        size_t done = 0;
        while (done < n) {
            const ssize_t w = ::write(to, buf + done, n - done);
            if (w > 0) {
                done += size_t(w);
                continue;
            }
            if (w < 0 && errno == EINTR)
                continue;
            break; // full (or nobody there): try again at the next wake-up
        }
        if (done) {
            const int64_t late = now - queue.front().at;
            lateSumNs += late;
            lateMaxNs = late > lateMaxNs ? late : lateMaxNs;
            ++deliveries;
        }
        moved += done;
        queue.erase(queue.begin(), queue.begin() + long(done));
    }
};

} // namespace

int main(int argc, char** argv)
{
    uint32_t fixedBaud = 0;
    bool follow = false;
    int64_t latencyNs = 0;
    std::string connect;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--baud" && v) {
            fixedBaud = uint32_t(std::strtoul(v, nullptr, 10));
            ++i;
        } else if (a == "--follow") {
            follow = true;
        } else if (a == "--latency-us" && v) {
            latencyNs = int64_t(std::strtoll(v, nullptr, 10)) * 1000;
            ++i;
        } else if (a == "--connect" && v) {
            connect = v;
            ++i;
        } else {
            std::fprintf(stderr,
                         "usage: zq-relay [--baud N | --follow] [--latency-us US] [--connect PATH]\n"
                         "  --baud N         pace both directions at N bit/s, 10 bits a byte (default 115200)\n"
                         "  --follow         pace at the speed set on the first pty, copied to the second line\n"
                         "  --latency-us US  hold each byte US microseconds more before it is delivered\n"
                         "  --connect PATH   the second line is this existing port (a simulator's pty),\n"
                         "                   not a new pty\n");
            return 2;
        }
    }
    if (!follow && fixedBaud == 0)
        fixedBaud = 115200;

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    // Wake-ups a byte-time apart need a timer that is not rounded up by 50 us.
    (void)prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);

    Fd aMaster, aSlave, bLine, bSlave;
    std::string aPath, bPath;
    NewPty(aMaster, aSlave, aPath);
    if (connect.empty()) {
        NewPty(bLine, bSlave, bPath);
    } else {
        const int fd = ::open(connect.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0)
            Die(connect.c_str());
        bLine = Fd(fd);
        MakeRaw(fd);
    }
    std::printf("%s\n", aPath.c_str());
    if (connect.empty())
        std::printf("%s\n", bPath.c_str());
    std::fflush(stdout);

    Lane ab, ba;
    ab.from = aMaster.get();
    ab.to = bLine.get();
    ba.from = bLine.get();
    ba.to = aMaster.get();

    speed_t copied = 0;
    uint32_t baud = fixedBaud;
    // Looked at just before taking the first pty's bytes, so that bytes
    // written after a speed change travel at the new speed.
    auto followSpeed = [&] {
        if (!follow)
            return;
        termios tio{};
        if (tcgetattr(aMaster.get(), &tio) != 0)
            return;
        const speed_t s = cfgetospeed(&tio);
        if (s != copied && BaudOf(s)) {
            copied = s;
            baud = BaudOf(s);
            ab.QueueSpeed(s);
        }
    };
    auto byteNs = [&] { return baud ? int64_t(10) * 1000000000 / baud : int64_t(0); };
    while (!g_stop) {
        const int64_t now = NowNs();
        ab.Deliver(now);
        ba.Deliver(now);
        int64_t next = now + 100 * 1000000;
        for (const Lane* l : {&ab, &ba})
            if (!l->queue.empty() && l->queue.front().at < next)
                next = l->queue.front().at;
        if (next < now)
            next = now;

        pollfd p[2] = {{aMaster.get(), POLLIN, 0}, {bLine.get(), POLLIN, 0}};
        const int64_t wait = next - now;
        timespec ts{time_t(wait / 1000000000), long(wait % 1000000000)};
        const int r = ppoll(p, 2, &ts, nullptr);
        if (r < 0 && errno != EINTR)
            Die("ppoll");
        if (r > 0) {
            // A closed peer reports POLLHUP without data: that must not spin.
            bool hung = false;
            if (p[0].revents & POLLIN) {
                followSpeed();
                ab.Take(byteNs(), latencyNs);
            } else if (p[0].revents & POLLHUP)
                hung = true;
            if (p[1].revents & POLLIN)
                ba.Take(byteNs(), latencyNs);
            else if (p[1].revents & POLLHUP)
                hung = true;
            if (hung) {
                timespec pause{0, 1000000};
                nanosleep(&pause, nullptr);
            }
        }
    }
    for (const Lane* l : {&ab, &ba})
        std::fprintf(stderr, "zq-relay: %s %llu bytes in %llu deliveries, late by %.1f us on average, %.1f us at most\n",
                     l == &ab ? "first to second" : "second to first", (unsigned long long)l->moved,
                     (unsigned long long)l->deliveries, l->deliveries ? l->lateSumNs / 1e3 / double(l->deliveries) : 0.0,
                     l->lateMaxNs / 1e3);
    return 0;
}
