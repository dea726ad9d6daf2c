// zq-host --image FILE PORT...: the bench's own host, the least a tool can do
// to write an image into a device on each PORT, all at once, one thread a
// line. It proves the bench's simulators and their pacing can carry that many
// lines at full rate without the tool under test. For each port it prints
// "PORT BLOCKS SECONDS BYTES_PER_S", the block phase timed as zerquill-flash
// times it (from the first block written to the last block's ACK read); exit
// status 0 when every device took every block.
//
// No retries, no purges and no echo faults are handled: a harness that needs
// them has already failed as a harness.
#include "protocol/Protocol.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <mutex>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::mutex g_out;

struct Failed {
    std::string what;
};

class Line {
public:
    explicit Line(const std::string& path) : path_(path)
    {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
            throw Failed{std::string("open: ") + std::strerror(errno)};
        termios tio{};
        if (::tcgetattr(fd_, &tio) != 0)
            throw Failed{std::string("tcgetattr: ") + std::strerror(errno)};
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio_ = tio;
        Speed(B4800);
    }
    ~Line()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    // The simulator reads the speed off the pty for every byte it takes.
    void Speed(speed_t s)
    {
        if (::cfsetispeed(&tio_, s) != 0 || ::cfsetospeed(&tio_, s) != 0 || ::tcsetattr(fd_, TCSANOW, &tio_) != 0)
            throw Failed{std::string("tcsetattr: ") + std::strerror(errno)};
    }
    void DropInput() { ::tcflush(fd_, TCIFLUSH); }

    void Write(const uint8_t* p, size_t n)
    {
        while (n > 0) {
            const ssize_t w = ::write(fd_, p, n);
            if (w > 0) {
                p += w;
                n -= static_cast<size_t>(w);
            } else if (w < 0 && errno == EAGAIN) {
                Wait(POLLOUT, 1000);
            } else if (!(w < 0 && errno == EINTR)) {
                throw Failed{std::string("write: ") + std::strerror(errno)};
            }
        }
    }
    void Write(const zq::Token& t) { Write(t.b, 3); }

    void Read(uint8_t* p, size_t n, int timeoutMs, const char* what)
    {
        while (n > 0) {
            const ssize_t r = ::read(fd_, p, n);
            if (r > 0) {
                p += r;
                n -= static_cast<size_t>(r);
            } else if (r < 0 && errno == EAGAIN) {
                if (!Wait(POLLIN, timeoutMs))
                    throw Failed{std::string("no ") + what + " within " + std::to_string(timeoutMs) + " ms"};
            } else if (!(r < 0 && errno == EINTR)) {
                throw Failed{std::string("read: ") + (r == 0 ? "hang-up" : std::strerror(errno))};
            }
        }
    }
    uint8_t Byte(int timeoutMs, const char* what)
    {
        uint8_t b = 0;
        Read(&b, 1, timeoutMs, what);
        return b;
    }
    void Expect(const uint8_t* want, size_t n, int timeoutMs, const char* what)
    {
        uint8_t got[3] = {};
        Read(got, n, timeoutMs, what);
        if (std::memcmp(got, want, n) != 0)
            throw Failed{std::string("wrong ") + what};
    }

private:
    bool Wait(short events, int timeoutMs)
    {
        pollfd p{fd_, events, 0};
        int r;
        while ((r = ::poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
        }
        return r > 0;
    }

    std::string path_;
    int fd_ = -1;
    termios tio_{};
};

// The exchange as the device expects it; the block phase's seconds.
double Download(const std::string& path, const std::vector<uint8_t>& image)
{
    const uint32_t blocks = static_cast<uint32_t>((image.size() - zq::kImageDataOffset) / zq::kBlockSize);
    Line line(path);
    // A device beacons every few ms; five seconds without one is no device.
    for (;;)
        if (line.Byte(5000, "beacon") == zq::DEVICE_BEACON)
            break;
    const uint8_t replies[zq::kBeaconReplies] = {zq::BEACON_REPLY, zq::BEACON_REPLY, zq::BEACON_REPLY};
    line.Write(replies, sizeof replies);
    // The replies must be on the line at 4800 before the speed changes, and a
    // beacon begun meanwhile must have arrived before the input is emptied:
    // four byte-times, as the tool waits.
    std::this_thread::sleep_for(std::chrono::microseconds(4 * zq::kBitsPerByte * 1000000 / zq::kProbeBaud));
    line.DropInput();
    line.Speed(B115200);

    line.Write(zq::kSyn);
    line.Expect(zq::kSyn.b, 3, zq::kEchoMs, "SYN echo");
    line.Write(zq::kDbw);
    line.Expect(zq::kRdy.b, 3, zq::kEchoMs, "RDY");
    const uint8_t words[2][2] = {{image[0], image[1]},
                                 {static_cast<uint8_t>(blocks & 0xFF), static_cast<uint8_t>(blocks >> 8)}};
    for (const auto& w : words) {
        line.Write(w, 2);
        line.Expect(w, 2, zq::kEchoMs, "word echo");
        line.Write(&zq::ACK, 1);
    }
    line.Write(zq::kClr);
    while (line.Byte(zq::kProgressMs, "CLR progress or ACK") != zq::ACK) {
    }
    line.Write(zq::kEnd);
    line.Expect(zq::kRdy.b, 3, zq::kEchoMs, "RDY after CLR");

    uint8_t block[zq::kBlockSize + 1];
    const auto t0 = Clock::now();
    for (uint32_t i = 0; i < blocks; ++i) {
        std::memcpy(block, &image[zq::kImageDataOffset + i * zq::kBlockSize], zq::kBlockSize);
        uint8_t sum = 0;
        for (size_t j = 0; j < zq::kBlockSize; ++j)
            sum ^= block[j];
        block[zq::kBlockSize] = sum;
        line.Write(block, sizeof block);
        if (line.Byte(zq::kBlockAnswerMs, "block ACK") != zq::ACK)
            throw Failed{"block " + std::to_string(i) + " refused"};
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    line.Write(zq::kEnd);
    line.Expect(&zq::ACK, 1, zq::kFinalAckMs, "ACK of the closing END");
    return seconds;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4 || std::strcmp(argv[1], "--image") != 0) {
        std::fprintf(stderr, "usage: zq-host --image FILE PORT...\n");
        return 64;
    }
    std::ifstream in(argv[2], std::ios::binary);
    const std::vector<uint8_t> image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in || image.size() < zq::kImageDataOffset + zq::kBlockSize) {
        std::fprintf(stderr, "zq-host: %s: not an image\n", argv[2]);
        return 2;
    }
    std::vector<std::thread> threads;
    bool allOk = true;
    for (int i = 3; i < argc; ++i) {
        threads.emplace_back([&, path = std::string(argv[i])] {
            try {
                const double s = Download(path, image);
                const uint32_t blocks = static_cast<uint32_t>((image.size() - zq::kImageDataOffset) / zq::kBlockSize);
                std::lock_guard<std::mutex> lock(g_out);
                std::printf("%s %u %.6f %.1f\n", path.c_str(), blocks, s, blocks * double(zq::kBlockSize) / s);
            } catch (const Failed& f) {
                std::lock_guard<std::mutex> lock(g_out);
                std::fprintf(stderr, "zq-host: %s: %s\n", path.c_str(), f.what.c_str());
                allOk = false;
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    return allOk ? 0 : 1;
}
