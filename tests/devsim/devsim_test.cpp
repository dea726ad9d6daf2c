// The device simulator, driven from the tool's end of a real pty with plain
// termios calls, the way the updater reaches it.
#include "devsim/DevSim.h"
#include "protocol/Protocol.h"
#include "devsim/SimRig.h"
#include "tests/PtyPair.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace zq {

using namespace devsim;


namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

using zq::ACK;
using zq::NAK;
const Bytes SYN = zq::TokenBytes(zq::kSyn), DBW = zq::TokenBytes(zq::kDbw), RDY = zq::TokenBytes(zq::kRdy);
const Bytes CLR = zq::TokenBytes(zq::kClr), END = zq::TokenBytes(zq::kEnd);

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// An image: header word, magic, then `blocks` data blocks of varied bytes.
Bytes MakeImage(uint16_t word, unsigned blocks)
{
    Bytes img(65536 + 128 * blocks, 0);
    img[0] = static_cast<uint8_t>(word);
    img[1] = static_cast<uint8_t>(word >> 8);
    img[2] = 0x53, img[3] = 0x44, img[4] = 0x44, img[5] = 0x42;
    for (size_t i = 65536; i < img.size(); ++i)
        img[i] = static_cast<uint8_t>(i * 7 + i / 128);
    return img;
}

Bytes Block(const Bytes& img, unsigned k) { return Bytes(img.begin() + 65536 + 128 * k, img.begin() + 65536 + 128 * (k + 1)); }

uint8_t Xor(const Bytes& b)
{
    uint8_t c = 0;
    for (uint8_t x : b)
        c ^= x;
    return c;
}

// The tool's side of the line: the pty slave opened by path.
class ToolPort {
public:
    ~ToolPort() { Close(); }

    // purge: empty the input queue as the updater's open does.
    void Open(const std::string& path, speed_t speed, bool purge = true)
    {
        Close();
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd_, 0) << path;
        SetSpeed(speed);
        if (purge) {
            ASSERT_EQ(::tcflush(fd_, TCIFLUSH), 0);
        }
    }
    void SetSpeed(speed_t speed)
    {
        termios tio{};
        ASSERT_EQ(::tcgetattr(fd_, &tio), 0);
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, speed);
        ::cfsetospeed(&tio, speed);
        ASSERT_EQ(::tcsetattr(fd_, TCSANOW, &tio), 0);
    }
    // Drops unread input first, as the updater's close does.
    void Close()
    {
        if (fd_ >= 0) {
            ::tcflush(fd_, TCIFLUSH);
            ::close(fd_);
        }
        fd_ = -1;
    }
    void Write(const Bytes& b)
    {
        size_t done = 0;
        while (done < b.size()) {
            const ssize_t n = ::write(fd_, b.data() + done, b.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                FAIL() << "write: " << errno;
        }
        ::tcdrain(fd_);
    }
    // Up to want bytes: waits firstMs for the first, then gapMs between bytes.
    Bytes Read(size_t want, int firstMs, int gapMs = 50)
    {
        Bytes out;
        int wait = firstMs;
        while (out.size() < want) {
            pollfd p{fd_, POLLIN, 0};
            const int r = ::poll(&p, 1, wait);
            if (r <= 0)
                break;
            if (p.revents & (POLLHUP | POLLERR)) {
                hungUp_ = true;
                break;
            }
            uint8_t buf[256];
            const ssize_t n = ::read(fd_, buf, std::min(sizeof buf, want - out.size()));
            if (n <= 0) {
                hungUp_ = n == 0 || errno == EIO;
                if (hungUp_)
                    break;
                continue;
            }
            out.insert(out.end(), buf, buf + n);
            wait = gapMs;
        }
        return out;
    }
    bool HungUp() const { return hungUp_; }

private:
    int fd_ = -1;
    bool hungUp_ = false;
};

// Listens at 4800 for the beacon and answers it; replySpeed lets a test
// answer at the wrong speed.
bool Discover(ToolPort& port, const std::string& path, speed_t replySpeed = B4800)
{
    port.Open(path, B4800);
    for (int i = 0; i < 50; ++i) {
        const Bytes b = port.Read(1, 100);
        if (b.size() == 1 && b[0] == 0xFD) {
            if (replySpeed != B4800) {
                port.SetSpeed(replySpeed);
                // The simulator proves a wrong speed only once it has seen it
                // in force on a quiet line.
                ::usleep(30000);
            }
            port.Write({0xFE, 0xFE, 0xFE});
            // At the wrong speed, stay a moment so that the device reads the
            // reply before the port is reopened at another speed.
            if (replySpeed != B4800)
                ::usleep(100000);
            port.Close();
            return true;
        }
    }
    return false;
}

// A small tool following the updater's exchange, to drive the simulator
// through whole downloads.
struct ToolRun {
    bool ok = false;
    std::string failedAt;
    std::vector<Bytes> headerEchoes;
    std::vector<Bytes> countEchoes;
    Bytes blockReplies;
    unsigned progress = 0;
    bool hungUp = false;
};

struct ToolQuirks {
    int badChecksumBlock = -1; // sent once with a wrong checksum
};

ToolRun RunTool(const std::string& path, const Bytes& img, ToolQuirks q = {})
{
    ToolRun run;
    ToolPort port;
    auto fail = [&](const char* at) {
        run.failedAt = at;
        run.hungUp = port.HungUp();
        return run;
    };
    if (!Discover(port, path))
        return fail("discovery");
    port.Open(path, B115200);
    port.Write(SYN);
    if (port.Read(3, 500) != SYN)
        return fail("syn");
    port.Write(DBW);
    if (port.Read(3, 500) != RDY)
        return fail("dbw");

    const unsigned blocks = static_cast<unsigned>((img.size() - 65536) / 128);
    auto word = [&](uint16_t v, std::vector<Bytes>& echoes) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            port.Write({static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)});
            Bytes e = port.Read(2, 300);
            echoes.push_back(e);
            if (e.empty()) {
                if (attempt == 4)
                    return false;
                continue;
            }
            e.resize(2, 0);
            if ((e[1] << 8 | e[0]) == v) {
                port.Write({ACK});
                return true;
            }
            port.Write({NAK});
        }
        return true; // five wrong echoes: on without ACK
    };
    if (!word(static_cast<uint16_t>(img[0] | img[1] << 8), run.headerEchoes))
        return fail("header");
    if (!word(static_cast<uint16_t>(blocks), run.countEchoes))
        return fail("count");

    port.Write(CLR);
    for (;;) {
        const Bytes b = port.Read(1, 1000);
        if (b.empty())
            return fail("clr");
        if (b[0] == ACK)
            break;
        ++run.progress;
    }
    port.Write(END);
    if (port.Read(3, 500) != RDY)
        return fail("end");

    int refusedInARow = 0;
    bool corrupted = false;
    for (unsigned k = 0; k < blocks;) {
        Bytes b = Block(img, k);
        uint8_t c = Xor(b);
        if (static_cast<int>(k) == q.badChecksumBlock && !corrupted) {
            c ^= 0x01;
            corrupted = true;
        }
        b.push_back(c);
        port.Write(b);
        const Bytes r = port.Read(1, 1000);
        if (r.empty())
            return fail("block");
        run.blockReplies.push_back(r[0]);
        if (r[0] == ACK) {
            refusedInARow = 0;
            ++k;
        } else if (++refusedInARow > 4) {
            return fail("block");
        }
    }
    port.Write(END);
    const Bytes r = port.Read(1, 500);
    if (r != Bytes{ACK})
        return fail("final");
    run.ok = true;
    return run;
}


DevSimOptions Quick()
{
    DevSimOptions o;
    o.silenceMs = 1500;
    return o;
}

std::string TempPath(const char* name)
{
    return std::string(::testing::TempDir()) + "devsim-" + std::to_string(::getpid()) + "-" + name;
}

Bytes ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The complete download of a one-block image, every byte checked both ways.
// The session's report once it ended by itself; running past the bound is a
// failure.
DevSimReport Finish(CSimRig& sim, int boundMs = 10000)
{
    const DevSimReport report = sim.Wait(boundMs);
    if (sim.Overran())
        ADD_FAILURE() << "session still running after " << boundMs << " ms";
    return report;
}

TEST(DevSim, CompleteDownloadByteForByte)
{
    const Bytes img = MakeImage(0x0008, 1);
    DevSimOptions opt = Quick();
    opt.outFile = TempPath("out.bin");
    std::remove(opt.outFile.c_str());
    CSimRig sim(opt);

    ToolPort port;
    ASSERT_TRUE(Discover(port, sim.Path()));
    // No purge here: stale beacons left for the tool would show up first.
    port.Open(sim.Path(), B115200, false);
    Bytes block = Block(img, 0);
    block.push_back(Xor(block));
    const std::vector<std::pair<Bytes, Bytes>> script = {
        {SYN, SYN},          {DBW, RDY},   {{0x08, 0x00}, {0x08, 0x00}}, {{ACK}, {}}, {{0x01, 0x00}, {0x01, 0x00}},
        {{ACK}, {}},         {CLR, {ACK}}, {END, RDY},                   {block, {ACK}},
        {END, {ACK}},
    };
    for (const auto& [out, in] : script) {
        port.Write(out);
        EXPECT_EQ(port.Read(in.size(), 500), in);
    }
    port.Close();

    const DevSimReport rep = Finish(sim);
    EXPECT_TRUE(rep.completed) << rep.endedAt;
    EXPECT_EQ(rep.endedAt, "completed");
    EXPECT_TRUE(rep.sawBeaconReply);
    EXPECT_EQ(rep.headerWord, 0x0008);
    EXPECT_EQ(rep.count, 1);
    EXPECT_EQ(rep.data, Block(img, 0));
    EXPECT_EQ(rep.blocks, 1u);
    EXPECT_EQ(rep.acksReceived, 2u);
    EXPECT_EQ(rep.nakReceived, 0u);
    EXPECT_TRUE(rep.speedErrors.empty()) << rep.speedErrors.front();

    Bytes toolBytes = {0xFE, 0xFE, 0xFE};
    for (const auto& step : script)
        toolBytes.insert(toolBytes.end(), step.first.begin(), step.first.end());
    EXPECT_EQ(rep.received, toolBytes);

    // Beacons first, then exactly the device's answers.
    size_t beacons = 0;
    while (beacons < rep.sent.size() && rep.sent[beacons] == 0xFD)
        ++beacons;
    EXPECT_GE(beacons, 1u);
    Bytes deviceBytes;
    for (const auto& step : script)
        deviceBytes.insert(deviceBytes.end(), step.second.begin(), step.second.end());
    EXPECT_EQ(Bytes(rep.sent.begin() + static_cast<long>(beacons), rep.sent.end()), deviceBytes);

    EXPECT_EQ(ReadFile(opt.outFile), Block(img, 0));
    EXPECT_EQ(CompareWithImage(rep, img), "");
    Bytes other = img;
    other[65536 + 100] ^= 0x40;
    EXPECT_NE(CompareWithImage(rep, other).find("offset 65636"), std::string::npos) << CompareWithImage(rep, other);
    std::remove(opt.outFile.c_str());
}

TEST(DevSim, ReportsBytesSentAtTheWrongSpeedAndStopsPromptly)
{
    CSimRig sim(Quick());
    ToolPort port;
    ASSERT_TRUE(Discover(port, sim.Path(), B115200)); // the reply should go at 4800
    port.Open(sim.Path(), B4800);                      // and the exchange at 115200
    ::usleep(30000);
    port.Write(SYN);
    EXPECT_EQ(port.Read(3, 500), SYN);

    const auto t0 = Clock::now();
    sim.Sim().Stop();
    const DevSimReport rep = Finish(sim);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));
    EXPECT_FALSE(rep.completed);
    EXPECT_NE(rep.endedAt.find("stopped"), std::string::npos) << rep.endedAt;
    ASSERT_EQ(rep.speedErrors.size(), 2u) << FormatSummary(rep);
    EXPECT_NE(rep.speedErrors[0].find("discovery"), std::string::npos) << rep.speedErrors[0];
    EXPECT_NE(rep.speedErrors[0].find("at 115200"), std::string::npos) << rep.speedErrors[0];
    EXPECT_NE(rep.speedErrors[1].find("SYN"), std::string::npos) << rep.speedErrors[1];
    EXPECT_NE(rep.speedErrors[1].find("at 4800"), std::string::npos) << rep.speedErrors[1];
}

// A device busy elsewhere reads the beacon reply only after the tool has
// switched to 115200: the reply went out at 4800 all the same, and a
// correct tool must not be blamed for the simulator's late read.
TEST(DevSim, AReplyReadLateAfterTheSpeedChangedIsNoSpeedError)
{
    DevSimOptions opt = Quick();
    opt.readLagMs = 60;
    CSimRig sim(opt);
    ToolPort port;
    port.Open(sim.Path(), B4800);
    Bytes beacon;
    for (int i = 0; i < 50 && beacon != Bytes{0xFD}; ++i)
        beacon = port.Read(1, 100);
    ASSERT_EQ(beacon, Bytes{0xFD});
    port.Write({0xFE, 0xFE, 0xFE});
    port.SetSpeed(B115200); // no reopen, no flush: nothing but the speed tells
    ::usleep(30000);
    port.Write(SYN);
    EXPECT_EQ(port.Read(3, 1000), SYN);
    sim.Sim().Stop();
    const DevSimReport rep = Finish(sim);
    EXPECT_TRUE(rep.sawBeaconReply);
    EXPECT_EQ(rep.speedErrorCount, 0u) << FormatSummary(rep);
    // Counted, and said only when asked: most runs have such bytes.
    EXPECT_EQ(rep.speedUnchecked, 3u) << FormatSummary(rep, true);
    EXPECT_EQ(FormatSummary(rep).find("could not be checked"), std::string::npos) << FormatSummary(rep);
    EXPECT_NE(FormatSummary(rep, true).find("note: 3 bytes read only after the tool had changed the line's speed"),
              std::string::npos)
        << FormatSummary(rep, true);
}

// One of a thing is said as one, more as more: the faults and the summary.
TEST(DevSim, CountsAgreeWithTheirNouns)
{
    DevSimOptions opt;
    opt.headerEcho = {DevSimEcho::Wrong, 1};
    opt.refusals = {{4, 1}, {7, 2}};
    EXPECT_EQ(DescribeFaults(opt), (std::vector<std::string>{"header word echo wrong for the first 1 attempt",
                                   "block 4 refused 1 time with 0x15", "block 7 refused 2 times with 0x15"}));
    DevSimReport rep;
    rep.sawBeaconReply = true;
    rep.headerAttempts = 1;
    EXPECT_NE(FormatSummary(rep).find("(1 attempt), block count 0 (0 attempts)"), std::string::npos);
}

TEST(DevSim, RefusedBlocksAndChecksumErrorsAreResentAndCounted)
{
    const Bytes img = MakeImage(0x0123, 3);
    DevSimOptions opt = Quick();
    opt.refusals.push_back({1, 2});
    opt.refusalByte = 0x33;
    CSimRig sim(opt);
    ToolQuirks q;
    q.badChecksumBlock = 2;
    const ToolRun run = RunTool(sim.Path(), img, q);
    EXPECT_TRUE(run.ok) << run.failedAt;
    EXPECT_EQ(run.blockReplies, (Bytes{ACK, 0x33, 0x33, ACK, 0x33, ACK}));

    const DevSimReport rep = Finish(sim);
    EXPECT_TRUE(rep.completed) << rep.endedAt;
    EXPECT_EQ(rep.refusals, 2u);
    EXPECT_EQ(rep.checksumErrors, 1u);
    EXPECT_EQ(rep.deliveries, 6u);
    EXPECT_EQ(rep.blocks, 3u);
    EXPECT_EQ(CompareWithImage(rep, img), "");
}

TEST(DevSim, EchoFaultsForTheFirstAttempts)
{
    const Bytes img = MakeImage(0x0042, 2);
    {
        DevSimOptions opt = Quick();
        opt.headerEcho = {DevSimEcho::Wrong, 2};
        opt.countEcho = {DevSimEcho::Missing, 1};
        CSimRig sim(opt);
        const ToolRun run = RunTool(sim.Path(), img);
        EXPECT_TRUE(run.ok) << run.failedAt;
        EXPECT_EQ(run.headerEchoes, (std::vector<Bytes>{{0xBD, 0x00}, {0xBD, 0x00}, {0x42, 0x00}}));
        EXPECT_EQ(run.countEchoes, (std::vector<Bytes>{{}, {0x02, 0x00}}));
        const DevSimReport rep = Finish(sim);
        EXPECT_TRUE(rep.completed) << rep.endedAt;
        EXPECT_EQ(rep.nakReceived, 2u);
        EXPECT_EQ(rep.headerAttempts, 3u);
        EXPECT_EQ(rep.countAttempts, 2u);
        EXPECT_EQ(CompareWithImage(rep, img), "");
    }
    {
        // Five wrong echoes: the tool goes on to the count without ACK, and
        // the device follows it.
        DevSimOptions opt = Quick();
        opt.headerEcho = {DevSimEcho::Wrong, 5};
        CSimRig sim(opt);
        const ToolRun run = RunTool(sim.Path(), img);
        EXPECT_TRUE(run.ok) << run.failedAt;
        EXPECT_EQ(run.headerEchoes.size(), 5u);
        const DevSimReport rep = Finish(sim);
        EXPECT_TRUE(rep.completed) << rep.endedAt;
        EXPECT_EQ(rep.nakReceived, 5u);
        EXPECT_EQ(rep.count, 2);
        EXPECT_EQ(rep.data.size(), 256u);
    }
}

// A line that went keeps its number: its name leads nowhere, not to the
// next pty made (another test's device, which a station still listening by
// that name would answer).
TEST(DevSim, AGoneLinesNameLeadsNowhere)
{
    std::string gone;
    {
        CSimRig rig{DevSimOptions()};
        gone = rig.Path();
    }
    CSimRig next{DevSimOptions()};
    EXPECT_NE(next.Path(), gone);
    EXPECT_NE(::access(gone.c_str(), F_OK), 0) << gone;
    {
        PtyPair pty;
        gone = pty.path();
    }
    PtyPair other;
    EXPECT_NE(other.path(), gone);
}

TEST(DevSim, HangUpClosesTheLine)
{
    const Bytes img = MakeImage(0x0001, 3);
    DevSimOptions opt = Quick();
    opt.hangupBlock = 1;
    CSimRig sim(opt);
    const ToolRun run = RunTool(sim.Path(), img);
    EXPECT_FALSE(run.ok);
    EXPECT_EQ(run.failedAt, "block");
    EXPECT_TRUE(run.hungUp);
    EXPECT_EQ(run.blockReplies, Bytes{ACK});

    const DevSimReport rep = Finish(sim);
    EXPECT_FALSE(rep.completed);
    EXPECT_TRUE(rep.hungUp);
    EXPECT_EQ(rep.endedAt, "hung up at block 1");
    EXPECT_EQ(rep.data, Block(img, 0));
    EXPECT_FALSE(sim.Sim().LineOpen());
    // The tool has closed too: the name leads nowhere, not to the next pty.
    DevSimPty next;
    std::string error;
    ASSERT_TRUE(OpenDevSimPty(next, error)) << error;
    EXPECT_NE(next.slavePath, sim.Path()) << "the hung-up line's number went to another pty";

    const auto t0 = Clock::now();
    sim.Start();
    const DevSimReport again = Finish(sim);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(500));
    EXPECT_FALSE(again.sawBeaconReply);
    EXPECT_NE(again.endedAt.find("line closed"), std::string::npos) << again.endedAt;
}

// A session the tool gave up on ends after the silence, and the next one
// beacons again.
TEST(DevSim, SilenceEndsTheSessionAndTheNextOneBeaconsAgain)
{
    const Bytes img = MakeImage(0x0010, 1);
    DevSimOptions opt = Quick();
    opt.silenceMs = 300;
    opt.silentAt = DevSimStep::Syn;
    CSimRig sim(opt);
    const ToolRun first = RunTool(sim.Path(), img);
    EXPECT_EQ(first.failedAt, "syn");
    const DevSimReport rep = Finish(sim, 3000);
    EXPECT_FALSE(rep.completed);
    EXPECT_NE(rep.endedAt.find("silent at syn"), std::string::npos) << rep.endedAt;
    EXPECT_EQ(rep.received, Cat({{0xFE, 0xFE, 0xFE}, SYN}));

    sim.Start();
    const ToolRun second = RunTool(sim.Path(), img);
    EXPECT_EQ(second.failedAt, "syn"); // found the beacon again
    const DevSimReport rep2 = Finish(sim, 3000);
    EXPECT_TRUE(rep2.sawBeaconReply);
    EXPECT_EQ(rep2.received, Cat({{0xFE, 0xFE, 0xFE}, SYN}));
}

TEST(DevSim, PacedLineTakesAtLeastTheLineTime)
{
    const Bytes img = MakeImage(0x0000, 8);
    DevSimOptions opt = Quick();
    opt.pace = true;
    CSimRig sim(opt);
    const ToolRun run = RunTool(sim.Path(), img);
    EXPECT_TRUE(run.ok) << run.failedAt;
    const DevSimReport rep = Finish(sim);
    EXPECT_TRUE(rep.completed) << rep.endedAt;
    // 8 blocks of 129 bytes in and one ACK out each, 86.8 us a byte at 115200.
    EXPECT_GE(rep.exchangeSeconds, 8 * 130 * 86.8e-6);
}

// The program: path on the first line of stdout, --expect decides the exit status.
int RunProgram(const std::vector<std::string>& args, const Bytes& img, std::string& err)
{
    int out[2], errp[2];
    if (::pipe(out) != 0 || ::pipe(errp) != 0)
        return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, errp[1], 2);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    posix_spawn_file_actions_addclose(&fa, errp[0]);
    std::vector<std::string> all = {ZQ_DEVSIM_EXE};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, ZQ_DEVSIM_EXE, &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(errp[1]);
    if (rc != 0)
        return -1;

    std::string line;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n')
        line += c;
    ::close(out[0]);
    const ToolRun run = RunTool(line, img);
    EXPECT_TRUE(run.ok) << run.failedAt << " on '" << line << "'";

    char buf[4096];
    ssize_t n;
    while ((n = ::read(errp[0], buf, sizeof buf)) > 0)
        err.append(buf, static_cast<size_t>(n));
    ::close(errp[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(DevSimProgram, ExpectComparesWithTheImage)
{
    const Bytes img = MakeImage(0x0005, 2);
    const std::string good = TempPath("good.bin");
    const std::string bad = TempPath("bad.bin");
    Bytes other = img;
    other[65536 + 200] ^= 1;
    std::ofstream(good, std::ios::binary).write(reinterpret_cast<const char*>(img.data()), static_cast<long>(img.size()));
    std::ofstream(bad, std::ios::binary).write(reinterpret_cast<const char*>(other.data()), static_cast<long>(other.size()));

    std::string err;
    EXPECT_EQ(RunProgram({"--expect", good, "--silence-ms", "1000"}, img, err), 0) << err;
    EXPECT_NE(err.find("data matches image"), std::string::npos) << err;
    err.clear();
    EXPECT_EQ(RunProgram({"--expect", bad, "--silence-ms", "1000"}, img, err), 1) << err;
    EXPECT_NE(err.find("data do not match image"), std::string::npos) << err;
    std::remove(good.c_str());
    std::remove(bad.c_str());
}

} // namespace

}  // namespace zq
