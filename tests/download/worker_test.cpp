#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <cstdio>

#include "tests/WorkerHarness.h"

namespace zq {

namespace {

using zq::ACK;
using zq::NAK;

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<Step> Blocks(const Bytes& image, uint32_t x)
{
    std::vector<Step> steps;
    for (uint32_t k = 0; k < x; ++k)
        steps.push_back({BlockWithSum(image, k), {ACK}});
    steps.push_back({END, {ACK}});
    return steps;
}

std::vector<Step> Join(std::vector<Step> a, const std::vector<Step>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class WorkerTest : public ::testing::Test {
protected:
    Bytes Image(size_t length, uint16_t n)
    {
        Bytes img = MakeImage(length, n);
        WriteFile(dir.file("DB.bin"), img);
        return img;
    }
    void Run(TestHost& host)
    {
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(DownloadThreadProc(&host), 0u);
        elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - t0)
                        .count();
        ASSERT_EQ(host.notices.size(), 1u) << "exactly one notice per download";
        if (host.notices[0] != "Success Download!")
            std::fprintf(stderr, "download failed at step %d, block %u\n",
                         static_cast<int>(host.failure.step), host.failure.block);
    }
    // The port is closed when another link can take it.
    void ExpectPortReleased()
    {
        CSerialLink probe;
        EXPECT_EQ(probe.Open(pty.path(), 115200), LINK_OK);
        probe.Close();
    }
    TempDir dir;
    PtyPair pty;
    long elapsedMs = 0;
};

// A stage report in a few words: "Header 1", "Sending 3 refused 0x15", ...
std::vector<std::string> Stages(const std::vector<StageReport>& reports)
{
    static const char* const kNames[] = {"Searching", "Found", "Handshake", "Header",
                                         "Count",     "Clearing", "Sending", "Closing"};
    std::vector<std::string> out;
    for (const StageReport& r : reports) {
        std::string s = kNames[static_cast<int>(r.stage)];
        switch (r.stage) {
        case Stage::Searching: s += " X=" + std::to_string(r.blocks); break;
        case Stage::Header:
        case Stage::Count: s += " " + std::to_string(r.attempt); break;
        case Stage::Clearing: s += " " + std::to_string(r.clrSteps); break;
        case Stage::Sending:
            s += " " + std::to_string(r.done);
            if (r.refusal) {
                char b[8];
                std::snprintf(b, sizeof b, "0x%02X", r.refusalByte);
                s += " refused " + std::string(b) + " (" + std::to_string(r.refused) + ")";
            }
            break;
        default: break;
        }
        out.push_back(s);
    }
    return out;
}

TEST_F(WorkerTest, CompleteExampleByteForByte)
{
    const Bytes img = Image(65536 + 128, 0x0008);
    ScriptedDevice dev(pty, Join(Opening(8, 1), Blocks(img, 1)));
    TestHost host(dir.file("DB.bin"), {pty.path()});
    Run(host);
    EXPECT_EQ(host.notices[0], "Success Download!");
    EXPECT_EQ(dev.received(), Cat({SYN, DBW, {0x08, 0x00}, {ACK}, {0x01, 0x00}, {ACK}, CLR, END,
                                   BlockWithSum(img, 0), END}));
    EXPECT_TRUE(dev.discovered());
    EXPECT_FALSE(dev.wrongSpeed());
    EXPECT_EQ(host.ranges, std::vector<uint32_t>{41});
    EXPECT_EQ(host.positions, (std::vector<uint32_t>{5, 10, 17, 20, 23, 25, 27, 30, 32, 33, 35, 37,
                                                     40, 40, 41}));
    EXPECT_EQ(Stages(host.stages), (std::vector<std::string>{"Searching X=1", "Found", "Handshake", "Header 1",
                                                            "Count 1", "Clearing 0", "Sending 0", "Sending 1",
                                                            "Closing"}));
    EXPECT_FALSE(host.link().IsOpen());
    EXPECT_FALSE(host.file().IsOpen());
    EXPECT_TRUE(host.fileOpenAtNotice) << "the file is closed after the notice";
    ExpectPortReleased();
}

// An adapter holds the beacons the device sent before it heard the reply:
// they come after the reopening, ahead of the echo, and are not the echo.
TEST_F(WorkerTest, BeaconsAheadOfTheSynEchoAreSkipped)
{
    const Bytes img = Image(65536 + 128, 0x0008);
    std::vector<Step> steps = Join(Opening(8, 1), Blocks(img, 1));
    steps[0].reply = Cat({{0xFD, 0xFD, 0xFD, 0xFD}, SYN});
    ScriptedDevice dev(pty, steps);
    TestHost host(dir.file("DB.bin"), {pty.path()});
    Run(host);
    EXPECT_EQ(host.notices[0], "Success Download!");
    EXPECT_EQ(dev.received(), Cat({SYN, DBW, {0x08, 0x00}, {ACK}, {0x01, 0x00}, {ACK}, CLR, END,
                                   BlockWithSum(img, 0), END}));
}

TEST_F(WorkerTest, ManyBlocksAndProgressBytes)
{
    const uint32_t x = 600; // E = 1
    const Bytes img = Image(65536 + 128 * x + 77, 3);
    ScriptedDevice dev(pty, Join(Opening(3, x, {0x01, 0x15, 0x99, ACK}), Blocks(img, x)));
    TestHost host(dir.file("DB.bin"), {pty.path()});
    Run(host);
    EXPECT_EQ(host.notices[0], "Success Download!");
    EXPECT_EQ(dev.stalledAt(), -1);
    EXPECT_EQ(host.ranges, std::vector<uint32_t>{x + 1 + 40});
    // 33, then one step per progress byte, 38, 40, 43, then blocks.
    ASSERT_GT(host.positions.size(), 20u);
    const std::vector<uint32_t> clr(host.positions.begin() + 9, host.positions.begin() + 16);
    EXPECT_EQ(clr, (std::vector<uint32_t>{33, 34, 35, 36, 38, 40, 43}));
    EXPECT_EQ(host.positions[16], 43u);       // block 0 acknowledged: m + 40
    EXPECT_EQ(host.positions.end()[-2], 3 + 39 + x); // last block
    EXPECT_EQ(host.positions.back(), x + 1 + 40);
    const std::vector<std::string> stages = Stages(host.stages);
    ASSERT_GT(stages.size(), 9u);
    EXPECT_EQ(std::vector<std::string>(stages.begin() + 5, stages.begin() + 10),
              (std::vector<std::string>{"Clearing 0", "Clearing 1", "Clearing 2", "Clearing 3", "Sending 0"}));
}

TEST_F(WorkerTest, ZeroBlocksGoesStraightToEnd)
{
    Image(65536, 0);
    ScriptedDevice dev(pty, Join(Opening(0, 0), {{END, {ACK}}}));
    TestHost host(dir.file("DB.bin"), {pty.path()});
    Run(host);
    EXPECT_EQ(host.notices[0], "Success Download!");
    EXPECT_EQ(host.positions.back(), 40u);
}

TEST_F(WorkerTest, EchoAttempts)
{
    // Four wrong echoes then a right one: NAK four times, then ACK.
    {
        Image(65536 + 128 * 40, 0x0102);
        std::vector<Step> steps{{SYN, SYN}, {DBW, RDY}};
        for (int i = 0; i < 4; ++i) {
            steps.push_back({{0x02, 0x01}, {0x02, 0x07}});
            steps.push_back({{NAK}, {}});
        }
        steps.push_back({{0x02, 0x01}, {0x02, 0x01}});
        steps.push_back({{ACK}, {}});
        steps.push_back({{40, 0}, {}}); // the count phase follows the ACK
        ScriptedDevice dev(pty, steps);
        TestHost host(dir.file("DB.bin"), {pty.path()});
        Run(host);
        EXPECT_EQ(dev.stalledAt(), -1);
        EXPECT_EQ(host.notices[0], "Fail Download!"); // the script ends there
    }
    // Five wrong echoes fail: no ACK, and nothing more is sent.
    {
        PtyPair p2;
        Image(65536 + 128 * 40, 0x0102);
        std::vector<Step> steps{{SYN, SYN}, {DBW, RDY}};
        for (int i = 0; i < 5; ++i) {
            steps.push_back({{0x02, 0x01}, {0x03, 0x01}});
            steps.push_back({{NAK}, {}});
        }
        ScriptedDevice dev(p2, steps);
        TestHost host(dir.file("DB.bin"), {p2.path()});
        Run(host);
        EXPECT_EQ(host.notices[0], "Fail Download!");
        EXPECT_EQ(host.failure.step, FailStep::HeaderEcho);
        EXPECT_EQ(dev.stalledAt(), -1);
        EXPECT_EQ(dev.received().size(), 6u + 15) << "nothing after the fifth NAK";
        EXPECT_EQ(host.positions.back(), 0u);
    }
}

TEST_F(WorkerTest, SilentEchoFiveTimesFails)
{
    Image(65536 + 128 * 40, 0x0102);
    ScriptedDevice dev(pty, {{SYN, SYN}, {DBW, RDY}, {{0x02, 0x01}, {}}, {{0x02, 0x01}, {}},
                             {{0x02, 0x01}, {}}, {{0x02, 0x01}, {}}, {{0x02, 0x01}, {}}});
    TestHost host(dir.file("DB.bin"), {pty.path()});
    Run(host);
    EXPECT_EQ(host.notices[0], "Fail Download!");
    EXPECT_EQ(host.failure.step, FailStep::HeaderEcho);
    EXPECT_EQ(dev.received().size(), 6u + 10);
}

TEST_F(WorkerTest, OneByteEchoMatchesASmallValue)
{
    // The buffer is zeroed before each attempt, so a lone low byte matches.
    const Bytes img = Image(65536 + 128 * 2, 0x0005);
    auto steps = Opening(5, 2);
    steps[2].reply = {0x05};
    steps[4].reply = {0x02};
    ScriptedDevice dev(pty, Join(steps, Blocks(img, 2)));
    TestHost host(dir.file("DB.bin"), {pty.path()});
    Run(host);
    EXPECT_EQ(host.notices[0], "Success Download!");
}

TEST_F(WorkerTest, HandshakeFaults)
{
    struct Case {
        const char* name;
        std::vector<Step> steps;
        FailStep step;
    } cases[] = {
        {"SYN changed", {{SYN, {0x53, 0x58, 0x4E}}}, FailStep::SynEcho},
        {"SYN short", {{SYN, {0x53, 0x59}}}, FailStep::SynEcho},
        // Beacons still in flight are skipped only ahead of the echo.
        {"beacon inside the echo", {{SYN, {0x53, 0xFD, 0x59, 0x4E}}}, FailStep::SynEcho},
        {"other byte ahead of the echo", {{SYN, {0x00, 0x53, 0x59, 0x4E}}}, FailStep::SynEcho},
        {"only beacons", {{SYN, {0xFD, 0xFD, 0xFD}}}, FailStep::SynEcho},
        {"no RDY", {{SYN, SYN}, {DBW, {}}}, FailStep::DbwReady},
        {"no RDY after CLR",
         {{SYN, SYN}, {DBW, RDY}, {{1, 0}, {1, 0}}, {{ACK}, {}}, {{1, 0}, {1, 0}}, {{ACK}, {}},
          {CLR, {ACK}}, {END, {0x52, 0x44, 0x58}}},
         FailStep::ClrReady},
        {"silent CLR",
         {{SYN, SYN}, {DBW, RDY}, {{1, 0}, {1, 0}}, {{ACK}, {}}, {{1, 0}, {1, 0}}, {{ACK}, {}},
          {CLR, {0x01, 0x01}}},
         FailStep::ClrProgress},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        PtyPair p;
        Image(65536 + 128, 1);
        ScriptedDevice dev(p, c.steps);
        TestHost host(dir.file("DB.bin"), {p.path()});
        Run(host);
        EXPECT_EQ(host.notices[0], "Fail Download!");
        EXPECT_EQ(host.failure.step, c.step);
        EXPECT_EQ(dev.stalledAt(), -1);
        // Nothing is sent after the failing step.
        size_t expected = 0;
        for (const auto& s : c.steps)
            expected += s.expect.size();
        EXPECT_EQ(dev.received().size(), expected);
        EXPECT_EQ(host.positions.back(), 0u);
        EXPECT_FALSE(host.link().IsOpen());
        EXPECT_FALSE(host.file().IsOpen());
    }
}

TEST_F(WorkerTest, RefusedBlocks)
{
    const Bytes img = Image(65536 + 128 * 3, 1);
    // Block 1 refused four times, then taken: sent five times in all.
    {
        auto steps = Opening(1, 3);
        steps.push_back({BlockWithSum(img, 0), {ACK}});
        for (int i = 0; i < 4; ++i)
            steps.push_back({BlockWithSum(img, 1), {NAK}});
        steps.push_back({BlockWithSum(img, 1), {ACK}});
        steps.push_back({BlockWithSum(img, 2), {ACK}});
        steps.push_back({END, {ACK}});
        ScriptedDevice dev(pty, steps);
        TestHost host(dir.file("DB.bin"), {pty.path()});
        Run(host);
        EXPECT_EQ(host.notices[0], "Success Download!");
        EXPECT_EQ(dev.stalledAt(), -1);
        // Refused block 1 shows m + 39 + 1 = 40 meanwhile.
        const std::vector<uint32_t> tail(host.positions.end() - 8, host.positions.end());
        EXPECT_EQ(tail, (std::vector<uint32_t>{40, 40, 40, 40, 40, 41, 42, 43}));
        const std::vector<std::string> stages = Stages(host.stages);
        EXPECT_EQ(std::vector<std::string>(stages.end() - 8, stages.end()),
                  (std::vector<std::string>{"Sending 1", "Sending 1 refused 0x15 (1)", "Sending 1 refused 0x15 (2)",
                                            "Sending 1 refused 0x15 (3)", "Sending 1 refused 0x15 (4)", "Sending 2",
                                            "Sending 3", "Closing"}));
    }
    // A fifth refusal in a row fails, and nothing more is sent.
    {
        PtyPair p;
        auto steps = Opening(1, 3);
        for (int i = 0; i < 5; ++i)
            steps.push_back({BlockWithSum(img, 0), {0x33}});
        ScriptedDevice dev(p, steps);
        TestHost host(dir.file("DB.bin"), {p.path()});
        Run(host);
        EXPECT_EQ(host.notices[0], "Fail Download!");
        EXPECT_EQ(host.failure.step, FailStep::BlockRefused);
        EXPECT_EQ(host.failure.block, 0u);
        EXPECT_EQ(dev.stalledAt(), -1);
        EXPECT_EQ(dev.received().size(), 18u + 5 * 129);
    }
}

TEST_F(WorkerTest, FinalAnswerMustBeAck)
{
    const Bytes img = Image(65536 + 128, 1);
    auto steps = Join(Opening(1, 1), Blocks(img, 1));
    steps.back().reply = {0x15};
    ScriptedDevice dev(pty, steps);
    TestHost host(dir.file("DB.bin"), {pty.path()});
    Run(host);
    EXPECT_EQ(host.notices[0], "Fail Download!");
    EXPECT_EQ(host.failure.step, FailStep::FinalAck);
}

TEST_F(WorkerTest, Checksums)
{
    Bytes img = Image(65536 + 256, 1);
    std::fill(img.begin() + 65536, img.begin() + 65536 + 128, 0x20);
    std::fill(img.begin() + 65536 + 128, img.end(), 0x00);
    img[65536 + 128] = 0x01;
    WriteFile(dir.file("DB.bin"), img);
    auto steps = Opening(1, 2);
    Bytes b0(128, 0x20), b1(128, 0);
    b1[0] = 1;
    b0.push_back(0x00);
    b1.push_back(0x01);
    steps.push_back({b0, {ACK}});
    steps.push_back({b1, {ACK}});
    steps.push_back({END, {ACK}});
    ScriptedDevice dev(pty, steps);
    TestHost host(dir.file("DB.bin"), {pty.path()});
    Run(host);
    EXPECT_EQ(host.notices[0], "Success Download!");
}

TEST_F(WorkerTest, ImageProblemsSendNothing)
{
    // No file: "File Open Failed" and the bar untouched.
    {
        TestHost host(dir.file("missing.bin"), {pty.path()});
        Run(host);
        EXPECT_EQ(host.notices[0], "File Open Failed");
        EXPECT_TRUE(host.positions.empty());
        EXPECT_TRUE(host.ranges.empty());
        EXPECT_EQ(host.failure.step, FailStep::ImageOpen);
    }
    // Refused image: failure before any serial activity.
    {
        Bytes img = MakeImage(65536 + 128, 1);
        img[2] = 0x73;
        WriteFile(dir.file("DB.bin"), img);
        pty.send({0xFD, 0xFD, 0xFD});
        TestHost host(dir.file("DB.bin"), {pty.path()});
        Run(host);
        EXPECT_EQ(host.notices[0], "Fail Download!");
        EXPECT_EQ(host.failure.step, FailStep::ImageRefused);
        EXPECT_EQ(host.failure.refusal, ImageRefusal::BadMagic);
        EXPECT_EQ(host.positions, std::vector<uint32_t>{0});
        EXPECT_TRUE(pty.receive(1, 200).empty());
        EXPECT_FALSE(host.file().IsOpen());
    }
}

TEST_F(WorkerTest, DiscoveryFailures)
{
    Image(65536 + 128, 1);
    TestHost none(dir.file("DB.bin"));
    none.UsePorts({});
    Run(none);
    EXPECT_EQ(none.notices[0], "Fail Download!");
    EXPECT_EQ(none.failure.step, FailStep::NoPorts);

    TestHost silent(dir.file("DB.bin"), {pty.path()});
    Run(silent);
    EXPECT_EQ(silent.failure.step, FailStep::NoDevice);
    EXPECT_FALSE(silent.link().IsOpen());
    ExpectPortReleased();
}

TEST_F(WorkerTest, HangUpMidTransferFailsPromptly)
{
    const Bytes img = Image(65536 + 128 * 10, 1);
    ScriptedDevice dev(pty, Join(Opening(1, 10), Blocks(img, 10)));
    dev.hangUpAt = 8 + 4; // block 4 arrives, no answer, line gone
    TestHost host(dir.file("DB.bin"), {pty.path()});
    Run(host);
    EXPECT_EQ(host.notices[0], "Fail Download!");
    EXPECT_EQ(host.failure.step, FailStep::BlockSilent);
    EXPECT_EQ(host.failure.block, 4u);
    EXPECT_FALSE(host.link().IsOpen());
    EXPECT_LT(elapsedMs, 8000);
}

// What was checked is what the device gets: the file truncated after the
// check (before CLR, so a failing read would leave the device cleared), or
// overwritten in place while the blocks flow, changes nothing that is sent.
TEST_F(WorkerTest, AFileChangedDuringTheDownloadChangesNothingSent)
{
    const std::string path = dir.file("DB.bin");
    const Bytes other = MakeImage(65536 + 128 * 4, 1, 99);
    struct Change {
        const char* what;
        uint32_t atPosition; // 33: CLR sent; 41: block 1 acknowledged
        std::function<void()> act;
    };
    const Change changes[] = {
        {"truncated", 33, [&] { ASSERT_EQ(truncate(path.c_str(), 1000), 0); }},
        {"overwritten", 41, [&] { WriteFile(path, other); }},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.what);
        PtyPair line;
        const Bytes img = Image(65536 + 128 * 4, 1);
        ScriptedDevice dev(line, Join(Opening(1, 4), Blocks(img, 4)));
        TestHost host(path, {line.path()});
        host.onPos = [&](uint32_t position) {
            if (position == change.atPosition)
                change.act();
        };
        Run(host);
        EXPECT_EQ(host.notices[0], "Success Download!");
        EXPECT_EQ(dev.stalledAt(), -1) << "the device got other bytes than the checked image's";
    }
}

// A device that acknowledges without reading: once the line's buffers are
// full a block goes out only in part. That is the line's fault, said as
// such, and no later acknowledgement counts a part of a block as written.
TEST_F(WorkerTest, ABlockTheLineTakesOnlyInPartFailsAsSuch)
{
    const uint16_t x = 2000; // far more than a pty holds unread
    const Bytes img = Image(65536 + 128 * size_t(x), 1);
    // The acknowledgements come after the purge that follows RDY.
    ScriptedDevice dev(pty, Join(Opening(1, x), {{{}, Bytes(x + 1, ACK), 200}}));
    TestHost host(dir.file("DB.bin"), {pty.path()});
    Run(host);
    EXPECT_EQ(host.notices[0], "Fail Download!");
    EXPECT_EQ(host.failure.step, FailStep::BlockWrite);
    EXPECT_LT(host.failure.wrote, 129u);
    EXPECT_GT(host.failure.block, 0u);
    EXPECT_LT(host.failure.block, x);
}

TEST_F(WorkerTest, CancelStopsTheDownloadAndSendsNothingMore)
{
    Image(65536 + 128 * 4, 1);
    ScriptedDevice dev(pty, {{SYN, SYN}, {DBW, RDY}, {{1, 0}, {}, 0}});
    TestHost host(dir.file("DB.bin"), {pty.path()});
    std::thread canceller([&] {
        for (int i = 0; i < 400 && host.positionCount < 7; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        host.cancel = true;
    });
    Run(host);
    canceller.join();
    EXPECT_EQ(host.notices[0], "Fail Download!");
    EXPECT_EQ(host.failure.step, FailStep::Cancelled);
    // SYN, DBW, and at most the first header attempt.
    EXPECT_LE(dev.received().size(), 6u + 2);
    EXPECT_FALSE(host.link().IsOpen());
}

} // namespace

}  // namespace zq
