// Downloads that go wrong on a real pty: the line dies, the port vanishes or
// is taken, the device babbles or floods, the image changes under the tool,
// the port's permissions say no. Each must end in one "Fail Download!" (or
// in success where the fault is harmless), within a bound, with the port
// and the image closed and nothing sent after the point of failure.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <future>
#include <thread>

#include "devsim/DevSim.h"
#include "devsim/SimRig.h"
#include "tests/faults/FaultKit.h"
#include "tests/WorkerHarness.h"

namespace zq {

using namespace devsim;

namespace {

using zq::ACK;
constexpr uint64_t kOpening = 18; // SYN DBW word ACK count ACK CLR END

// Every ending: one notice, the bar where it belongs, port and file closed,
// and the port free for the next program.
void ExpectCleanEnding(TestHost& host, const std::string& portPath, const char* notice)
{
    ASSERT_EQ(host.notices.size(), 1u);
    EXPECT_EQ(host.notices[0], notice);
    if (std::string(notice) == "Fail Download!") {
        EXPECT_EQ(host.lastPosition, 0u);
    }
    EXPECT_FALSE(host.link().IsOpen());
    EXPECT_FALSE(host.file().IsOpen());
    if (!portPath.empty() && access(portPath.c_str(), F_OK) == 0) {
        CSerialLink probe;
        EXPECT_EQ(probe.Open(portPath, 115200), LINK_OK) << "the port is still held";
        probe.Close();
    }
}

// A hang-up: a clean failure at step, told apart from a silent device.
void ExpectHungUpAt(TestHost& host, FailStep step)
{
    ExpectCleanEnding(host, "", "Fail Download!");
    EXPECT_EQ(host.failure.step, step);
    EXPECT_TRUE(host.failure.lineLost) << "a hang-up is a lost line, not a silent device";
}

class FaultTest : public ::testing::Test {
protected:
    Bytes Image(uint32_t blocks, uint16_t n = 1)
    {
        Bytes img = MakeImage(65536 + 128 * blocks, n, blocks + 7);
        WriteFile(dir.file("DB.bin"), img);
        return img;
    }
    TempDir dir;
};

// --- The line dies ---------------------------------------------------------

// A flood must not make the simulator grow either.
DevSimOptions Bounded(DevSimOptions options)
{
    options.recordLimit = 4096;
    return options;
}

TEST_F(FaultTest, HangUpMidHandshake)
{
    Image(3);
    PtyPair pty;
    ScriptedDevice dev(pty, Opening(1, 3));
    dev.hangUpAt = 1; // DBW arrives, then the line is gone
    TestHost host(dir.file("DB.bin"), {pty.path()}, TestHost::Record::CountsOnly);
    const long ms = host.Run();
    ExpectHungUpAt(host, FailStep::DbwReady);
    EXPECT_EQ(host.watch.Total(), 3u + 6u) << "beacon replies, SYN, DBW, and nothing after";
    EXPECT_LT(ms, 5000);
}

TEST_F(FaultTest, HangUpMidBlock)
{
    const Bytes img = Image(4);
    PtyPair pty;
    auto steps = Opening(1, 4);
    steps.push_back({BlockWithSum(img, 0), {ACK}});
    const Bytes b1 = BlockWithSum(img, 1);
    steps.push_back({Bytes(b1.begin(), b1.begin() + 60), {}});
    ScriptedDevice dev(pty, steps);
    dev.hangUpAt = 9; // 60 bytes of block 1 are in, then the line is gone
    TestHost host(dir.file("DB.bin"), {pty.path()}, TestHost::Record::CountsOnly);
    const long ms = host.Run();
    ExpectHungUpAt(host, FailStep::BlockSilent);
    EXPECT_EQ(host.failure.block, 1u);
    // Block 1 went out (the pty took it whole); no block 2, no END.
    EXPECT_LE(host.watch.Total(), 3 + kOpening + 2 * 129);
    EXPECT_LT(ms, 6000);
}

TEST_F(FaultTest, DevsimHangsUpAfterABlock)
{
    Image(6);
    DevSimOptions o;
    o.hangupBlock = 2;
    CSimRig sim(Bounded(o));
    TestHost host(dir.file("DB.bin"), {sim.Path()}, TestHost::Record::CountsOnly);
    const long ms = host.Run();
    const DevSimReport rep = sim.Finish();
    ExpectHungUpAt(host, FailStep::BlockSilent);
    EXPECT_TRUE(rep.hungUp);
    EXPECT_EQ(host.failure.block, 2u);
    EXPECT_EQ(host.watch.Total(), 3 + kOpening + 3 * 129);
    EXPECT_LT(ms, 6000);
}

// --- The port vanishes or is taken ------------------------------------------

TEST_F(FaultTest, PortVanishesBetweenDiscoveryAndOpen)
{
    Image(2);
    auto pty = std::make_unique<PtyPair>();
    const std::string path = pty->path();
    std::promise<void> gone;
    std::thread device([&] {
        // Beacon until the three replies came, then unplug: the master's
        // close takes the slave's node away, and our slave keeps its number
        // from the next pty made, which the tool's open would reach.
        AnswerDiscovery(*pty);
        pty->closeMaster();
        gone.set_value();
    });
    TestHost host(dir.file("DB.bin"), {path}, TestHost::Record::CountsOnly);
    // Discovery's close of the port is the moment between the two opens.
    auto goneFuture = gone.get_future();
    host.watch.onClose = [&](int closes) {
        if (closes == 1)
            goneFuture.wait();
    };
    const long ms = host.Run();
    device.join();
    ExpectCleanEnding(host, "", "Fail Download!");
    EXPECT_EQ(host.failure.step, FailStep::PortOpen);
    EXPECT_NE(host.failure.portError, PortError::None);
    EXPECT_EQ(host.watch.Total(), 3u) << "only the beacon replies reached a line";
    EXPECT_LT(ms, 3000);
}

TEST_F(FaultTest, PortHeldByAnotherLinkOrALock)
{
    Image(1);
    for (int how = 0; how < 2; ++how) {
        SCOPED_TRACE(how == 0 ? "another CSerialLink" : "open + flock");
        PtyPair pty;
        pty.send({0xFD, 0xFD, 0xFD, 0xFD, 0xFD});
        CSerialLink other;
        int lockFd = -1;
        if (how == 0) {
            ASSERT_EQ(other.Open(pty.path(), 9600), LINK_OK);
        } else {
            lockFd = open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            ASSERT_GE(lockFd, 0);
            ASSERT_EQ(flock(lockFd, LOCK_EX | LOCK_NB), 0);
        }
        TestHost host(dir.file("DB.bin"), {pty.path()}, TestHost::Record::CountsOnly);
        const long ms = host.Run();
        ASSERT_EQ(host.notices.size(), 1u);
        EXPECT_EQ(host.notices[0], "Fail Download!");
        EXPECT_EQ(host.failure.step, FailStep::NoDevice);
        ASSERT_EQ(host.link().LastDiscovery().size(), 1u);
        EXPECT_EQ(host.link().LastDiscovery()[0].openError, PortError::Busy);
        EXPECT_EQ(host.watch.Total(), 0u);
        EXPECT_FALSE(host.link().IsOpen());
        EXPECT_FALSE(host.file().IsOpen());
        EXPECT_LT(ms, 2000);
        other.Close();
        if (lockFd >= 0)
            close(lockFd);
    }
}

TEST_F(FaultTest, PortTakenBetweenDiscoveryAndOpen)
{
    Image(2);
    PtyPair pty;
    ScriptedDevice dev(pty, Opening(1, 2));
    TestHost host(dir.file("DB.bin"), {pty.path()}, TestHost::Record::CountsOnly);
    CSerialLink intruder;
    host.watch.onClose = [&](int closes) {
        if (closes == 1)
            intruder.Open(pty.path(), 115200);
    };
    const long ms = host.Run();
    EXPECT_TRUE(intruder.IsOpen());
    intruder.Close();
    ExpectCleanEnding(host, pty.path(), "Fail Download!");
    EXPECT_EQ(host.failure.step, FailStep::PortOpen);
    EXPECT_EQ(host.failure.portError, PortError::Busy);
    EXPECT_EQ(host.watch.Total(), 3u);
    EXPECT_LT(ms, 3000);
}

// --- Noise -----------------------------------------------------------------

TEST_F(FaultTest, NoiseBeforeTheBeaconIsHarmless)
{
    const Bytes img = Image(3);
    DevSimOptions o;
    o.noiseBytes = 2; // fewer than discovery's five attempts
    CSimRig sim(Bounded(o));
    TestHost host(dir.file("DB.bin"), {sim.Path()}, TestHost::Record::CountsOnly);
    host.Run();
    const DevSimReport rep = sim.Finish();
    ExpectCleanEnding(host, sim.Path(), "Success Download!");
    EXPECT_EQ(CompareWithImage(rep, img), "");
}

TEST_F(FaultTest, NoiseInEachPhase)
{
    const Bytes img = Image(2);
    const uint8_t z = 0x7A; // noise
    struct Case {
        const char* name;
        std::vector<Step> steps;
        const char* notice;
        FailStep step;
        uint64_t sent; // bytes after discovery
    };
    auto opening = [&](int index, Bytes reply) {
        auto s = Opening(1, 2);
        s[index].reply = reply;
        return s;
    };
    auto whole = [&](std::vector<Step> s, Bytes b0 = {ACK}, Bytes b1 = {ACK}, Bytes fin = {ACK}) {
        s.push_back({BlockWithSum(img, 0), b0});
        s.push_back({BlockWithSum(img, 1), b1});
        s.push_back({END, fin});
        return s;
    };
    std::vector<Case> cases = {
        {"before the SYN echo", opening(0, Bytes{z, SYN[0], SYN[1], SYN[2]}), "Fail Download!", FailStep::SynEcho, 3},
        // Whatever follows a right reply is purged before the next step.
        {"after the SYN echo", whole(opening(0, Bytes{SYN[0], SYN[1], SYN[2], z, z})), "Success Download!",
         FailStep::None, kOpening + 2 * 129 + 3},
        {"before RDY", opening(1, Bytes{z, RDY[0], RDY[1], RDY[2]}), "Fail Download!", FailStep::DbwReady, 6},
        {"in the CLR phase: progress", whole(opening(6, {z, z, z, ACK})), "Success Download!", FailStep::None,
         kOpening + 2 * 129 + 3},
        {"before RDY after END", opening(7, Bytes{z, RDY[0], RDY[1], RDY[2]}), "Fail Download!", FailStep::ClrReady,
         kOpening},
        // No purge between blocks: the stray byte answers the next block,
        // which is refused once and sent again.
        {"after a block's ACK", whole(Opening(1, 2), {ACK, z}), "Success Download!", FailStep::None, 0},
        {"before the final ACK", whole(Opening(1, 2), {ACK}, {ACK}, {z, ACK}), "Fail Download!",
         FailStep::FinalAck, kOpening + 2 * 129 + 3},
    };
    // The stray-byte case: block 1 twice.
    cases[5].steps = Opening(1, 2);
    cases[5].steps.push_back({BlockWithSum(img, 0), {ACK, z}});
    cases[5].steps.push_back({BlockWithSum(img, 1), {}}); // answered by the stray byte
    cases[5].steps.push_back({BlockWithSum(img, 1), {ACK}});
    cases[5].steps.push_back({END, {ACK}});
    cases[5].sent = kOpening + 3 * 129 + 3;

    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        PtyPair pty;
        ScriptedDevice dev(pty, c.steps);
        TestHost host(dir.file("DB.bin"), {pty.path()}, TestHost::Record::CountsOnly);
        const long ms = host.Run();
        ExpectCleanEnding(host, pty.path(), c.notice);
        EXPECT_EQ(host.failure.step, c.step);
        EXPECT_EQ(dev.stalledAt(), -1);
        EXPECT_EQ(dev.received().size(), c.sent) << "bytes the tool sent after discovery";
        EXPECT_LT(ms, 5000);
    }
}

// --- Floods ----------------------------------------------------------------

TEST_F(FaultTest, FloodInTheClrPhaseStaysBoundedAndEndsOnAck)
{
    // Between the first and the last sample a tool that grew a byte per
    // byte would grow 448 KiB, well beyond the bound below (368 KiB).
    constexpr unsigned kFloodBytes = 512 * 1024;
    const Bytes img = Image(4);
    DevSimOptions o;
    // A count of bytes, not a time: what is measured below needs a flood of
    // a known size, and a slow machine (a sanitizer, a loaded CPU) would send
    // a timed flood too small to tell growth from noise.
    o.floodBytes = kFloodBytes;
    CSimRig sim(Bounded(o));
    TestHost host(dir.file("DB.bin"), {sim.Path()}, TestHost::Record::CountsOnly);
    // Memory every 64 Ki progress bytes: a tool that kept what it reads
    // would grow by at least a byte per byte. Under a sanitizer the live
    // heap is measured (its quarantine and fake stacks swell RSS), else RSS.
    struct Sample {
        uint32_t pos;
        long bytes;
    };
    auto memory = [] {
        const long heap = faults::LiveHeapBytes();
        return heap >= 0 ? heap : faults::StatusField("VmRSS") * 1024;
    };
    std::vector<Sample> samples;
    samples.reserve(1024);
    host.onPos = [&](uint32_t pos) {
        if (pos > 33 && (pos & 0xFFFF) == 0 && samples.size() < samples.capacity())
            samples.push_back({pos, memory()});
    };
    const long ms = host.Run();
    const DevSimReport rep = sim.Finish();
    ExpectCleanEnding(host, sim.Path(), "Success Download!");
    EXPECT_EQ(CompareWithImage(rep, img), "");
    EXPECT_EQ(rep.progressSent, kFloodBytes);
    ASSERT_EQ(samples.size(), kFloodBytes / 0x10000) << rep.progressSent << " bytes";
    const double bytes = samples.back().pos - samples.front().pos;
    const double grown = static_cast<double>(samples.back().bytes - samples.front().bytes);
    std::printf("flood: %u progress bytes; %s %ld kB after %u of them, %ld kB after %u\n", rep.progressSent,
                faults::LiveHeapBytes() >= 0 ? "live heap" : "RSS", samples.front().bytes / 1024,
                samples.front().pos, samples.back().bytes / 1024, samples.back().pos);
    EXPECT_LT(grown, bytes * 0.25 + 256 * 1024) << "memory grows with the flood";
    EXPECT_LT(ms, 15000);
}

TEST_F(FaultTest, EndlessClrFloodEndsOnCancel)
{
    Image(4);
    DevSimOptions o;
    o.floodMs = -1;
    CSimRig sim(Bounded(o));
    TestHost host(dir.file("DB.bin"), {sim.Path()}, TestHost::Record::CountsOnly);
    std::thread canceller([&] {
        // Well into the flood (the bar has moved a few thousand steps), and
        // for a second more.
        for (int i = 0; i < 2000 && host.positionCount.load() < 5000; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        host.cancel = true;
    });
    const auto written = [&] { return host.watch.Total(); };
    const long ms = host.Run();
    canceller.join();
    sim.Finish();
    ExpectCleanEnding(host, sim.Path(), "Fail Download!");
    EXPECT_EQ(host.failure.step, FailStep::Cancelled);
    EXPECT_EQ(written(), 3 + kOpening - 3) << "nothing after CLR";
    EXPECT_GT(host.positionCount.load(), 5000u) << "the flood reached the tool";
    EXPECT_LT(ms, 15000);
}

TEST_F(FaultTest, FloodAfterABlockFailsOnTheRefusalLimit)
{
    const Bytes img = Image(4);
    PtyPair pty;
    std::atomic<bool> stop{false};
    std::atomic<int> blockCopies{0};
    std::thread device([&] {
        AnswerDiscovery(pty);
        for (const Step& s : Opening(1, 4)) {
            if (pty.receive(s.expect.size(), 3000) != s.expect)
                return;
            if (!s.reply.empty())
                pty.send(s.reply);
        }
        // Block 0 arrives; from now on the device only floods, and counts
        // the block copies it is sent while doing so.
        const Bytes b0 = BlockWithSum(img, 0);
        Bytes got;
        const Bytes chunk(64, 0x55);
        while (!stop) {
            pollfd pfd{pty.master(), POLLOUT | POLLIN, 0};
            poll(&pfd, 1, 5);
            if (pfd.revents & POLLOUT)
                (void)!write(pty.master(), chunk.data(), chunk.size());
            if (pfd.revents & POLLIN) {
                uint8_t buf[512];
                const ssize_t n = read(pty.master(), buf, sizeof buf);
                if (n > 0)
                    got.insert(got.end(), buf, buf + n);
                while (got.size() >= b0.size()) {
                    if (Bytes(got.begin(), got.begin() + b0.size()) == b0)
                        ++blockCopies;
                    got.erase(got.begin(), got.begin() + b0.size());
                }
            }
        }
    });
    TestHost host(dir.file("DB.bin"), {pty.path()}, TestHost::Record::CountsOnly);
    const long ms = host.Run();
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // anything late would show
    stop = true;
    device.join();
    ExpectCleanEnding(host, "", "Fail Download!");
    EXPECT_EQ(host.failure.step, FailStep::BlockRefused);
    EXPECT_EQ(host.failure.block, 0u);
    EXPECT_EQ(blockCopies.load(), 5) << "five refusals, then nothing";
    EXPECT_EQ(host.watch.Total(), 3 + kOpening + 5 * 129);
    EXPECT_LT(ms, 5000);
}

// --- The image changes during the download ------------------------------------
// The worker sends the image it checked, held in memory from the check on.

TEST_F(FaultTest, ImageChangesDuringTheDownload)
{
    enum What { Deleted, Emptied, CutToTheHeader, Grown };
    const char* names[] = {"deleted", "emptied", "cut to the header area", "grown"};
    for (What what : {Deleted, Emptied, CutToTheHeader, Grown}) {
        SCOPED_TRACE(names[what]);
        const Bytes img = Image(8);
        const std::string path = dir.file("DB.bin");
        CSimRig sim(Bounded(DevSimOptions{}));
        TestHost host(path, {sim.Path()}, TestHost::Record::CountsOnly);
        bool done = false;
        // Block 2 acknowledged (position m + 42): change the file on the spot.
        host.onPos = [&](uint32_t pos) {
            if (done || pos != 42)
                return;
            done = true;
            switch (what) {
            case Deleted: ASSERT_EQ(unlink(path.c_str()), 0); break;
            case Emptied: ASSERT_EQ(truncate(path.c_str(), 0), 0); break;
            case CutToTheHeader: ASSERT_EQ(truncate(path.c_str(), 65536), 0); break;
            case Grown: {
                FILE* f = std::fopen(path.c_str(), "ab");
                ASSERT_TRUE(f);
                const Bytes more(128 * 5, 0x99);
                std::fwrite(more.data(), 1, more.size(), f);
                std::fclose(f);
                break;
            }
            }
        };
        const long ms = host.Run();
        const DevSimReport rep = sim.Finish();
        EXPECT_TRUE(done);
        EXPECT_LT(ms, 5000);
        // What was checked was read once and is what goes: whatever the
        // file became, the device gets the image as it was at the start.
        ExpectCleanEnding(host, sim.Path(), "Success Download!");
        EXPECT_EQ(CompareWithImage(rep, img), "");
        EXPECT_EQ(rep.blocks, 8u);
    }
}

// --- Permissions -------------------------------------------------------------

TEST_F(FaultTest, PortWithoutPermissionIsRefused)
{
    Image(1);
    PtyPair pty;
    ASSERT_EQ(chmod(pty.path().c_str(), 0), 0);
    pty.send({0xFD, 0xFD, 0xFD, 0xFD, 0xFD});
    // Root opens a mode-000 device anyway, so the download runs in a child
    // that has given up root. The child starts before any thread exists.
    if (geteuid() == 0) {
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        ASSERT_EQ(chmod(dir.file("DB.bin").c_str(), 0644), 0);
    }
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(10);
        TestHost host(dir.file("DB.bin"), {pty.path()}, TestHost::Record::CountsOnly);
        host.Run();
        int code = 0;
        if (host.Notice1() != "Fail Download!")
            code |= 1;
        if (host.failure.step != FailStep::NoDevice)
            code |= 2;
        if (host.link().LastDiscovery().size() != 1 ||
            host.link().LastDiscovery()[0].openError != PortError::AccessDenied)
            code |= 4;
        if (host.link().IsOpen() || host.file().IsOpen() || host.watch.Total() != 0)
            code |= 8;
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 10) << "could not drop root";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: notice, 2: step, 4: not access denied, 8: left open or sent";
    chmod(pty.path().c_str(), 0620);
}

} // namespace

}  // namespace zq
