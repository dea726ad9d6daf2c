#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/PtyPair.h"
#include "link/SerialLink.h"
#include "tests/TempDir.h"

namespace zq {

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

class LinkTest : public ::testing::Test {
protected:
    void TearDown() override { link.Close(); }
    PtyPair pty;
    CSerialLink link;
};

TEST_F(LinkTest, OpenSetsTheSpeedAnd8N1)
{
    ASSERT_EQ(link.Open(pty.path(), 4800), LINK_OK);
    EXPECT_EQ(pty.speed(), static_cast<speed_t>(B4800));
    termios tio{};
    tcgetattr(pty.master(), &tio);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(tio.c_cflag & PARENB);
    EXPECT_FALSE(tio.c_cflag & CSTOPB);
    ASSERT_EQ(link.Open(pty.path(), 115200), LINK_OK);
    EXPECT_EQ(pty.speed(), static_cast<speed_t>(B115200));
}

TEST_F(LinkTest, OpenFailures)
{
    EXPECT_EQ(link.Open("/dev/zq-no-such-port", 115200), LINK_UNAVAILABLE);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(link.LastOpenError(), PortError::NotFound);

    EXPECT_EQ(link.Open(pty.path(), 12345), LINK_UNAVAILABLE);
    EXPECT_EQ(link.LastOpenError(), PortError::BadSpeed);
    EXPECT_FALSE(link.IsOpen());

    // Speed 0: refused, and the line settings are left as they were.
    ASSERT_EQ(link.Open(pty.path(), 4800), LINK_OK);
    link.Close();
    EXPECT_EQ(link.Open(pty.path(), 0), LINK_NO_BAUD);
    EXPECT_EQ(pty.speed(), static_cast<speed_t>(B4800));
    link.Close();
    EXPECT_FALSE(link.IsOpen());
}

TEST_F(LinkTest, NamesThatAreNoSerialLineAreRefused)
{
    TempDir dir;
    WriteFile(dir.file("plain"), {1, 2, 3});
    const std::string hostile[] = {
        "",
        dir.file("plain"),
        dir.path(),
        "/dev/null",
        std::string(5000, 'x'),
        "name with spaces",
        "\xEC\xA0\x80\xFF",
        std::string("tty\0S0", 6),
    };
    for (const std::string& name : hostile) {
        EXPECT_EQ(link.Open(name, 115200), LINK_UNAVAILABLE) << name.substr(0, 40);
        EXPECT_FALSE(link.IsOpen());
    }
}

TEST_F(LinkTest, ASecondLinkCannotOpenAHeldPort)
{
    ASSERT_EQ(link.Open(pty.path(), 115200), LINK_OK);
    CSerialLink other;
    EXPECT_EQ(other.Open(pty.path(), 115200), LINK_UNAVAILABLE);
    EXPECT_EQ(other.LastOpenError(), PortError::Busy);
    link.Close();
    EXPECT_EQ(other.Open(pty.path(), 115200), LINK_OK);
    other.Close();
}

TEST_F(LinkTest, ClosedLinkReportsUnavailable)
{
    uint8_t b = 0x77;
    uint8_t block[4] = {};
    EXPECT_EQ(link.ReadByte(&b), LINK_UNAVAILABLE);
    EXPECT_EQ(link.ReadBlock(block, 3), LINK_UNAVAILABLE);
    EXPECT_EQ(link.WriteByte(1), LINK_UNAVAILABLE);
    EXPECT_EQ(link.WriteBlock(block, 3), LINK_UNAVAILABLE);
    EXPECT_EQ(b, 0x77);
    // The waits still keep their deadline on a closed link.
    const auto t0 = Clock::now();
    EXPECT_FALSE(link.WaitByte(80, &b));
    EXPECT_GE(MsSince(t0), 75);
    link.Close();
    link.Close();
}

TEST_F(LinkTest, BytesBothWays)
{
    ASSERT_EQ(link.Open(pty.path(), 115200), LINK_OK);
    EXPECT_EQ(link.WriteByte(0x53), LINK_OK);
    // Four bytes: a count of 4 once read as LINK_WRITE_FAILED.
    const uint8_t block[4] = {1, 2, 3, 4};
    size_t written = 0;
    EXPECT_EQ(link.WriteBlock(block, 4, &written), LINK_OK);
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(pty.receive(5, 1000), (std::vector<uint8_t>{0x53, 1, 2, 3, 4}));

    pty.send({0xAA});
    uint8_t b = 0;
    EXPECT_EQ(link.ReadByte(&b), LINK_OK);
    EXPECT_EQ(b, 0xAA);
}

TEST_F(LinkTest, WaitBlockTakesAShortReplyAndLeavesTheRest)
{
    ASSERT_EQ(link.Open(pty.path(), 115200), LINK_OK);
    pty.send({0x52, 0x44});
    uint8_t dst[3] = {0x20, 0x20, 0x20};
    EXPECT_TRUE(link.WaitBlock(100, dst, 3));
    EXPECT_EQ(dst[0], 0x52);
    EXPECT_EQ(dst[1], 0x44);
    EXPECT_EQ(dst[2], 0x20);
}

TEST_F(LinkTest, OversizedBlockReadsNothing)
{
    ASSERT_EQ(link.Open(pty.path(), 115200), LINK_OK);
    pty.send({1, 2, 3});
    std::vector<uint8_t> dst(200, 0xEE);
    EXPECT_EQ(link.ReadBlock(dst.data(), 133), LINK_READ_EMPTY);
    EXPECT_EQ(dst[0], 0xEE);
    EXPECT_EQ(link.ReadBlock(dst.data(), 132), LINK_OK);
    EXPECT_EQ(dst[0], 1);
}

TEST_F(LinkTest, ReadTimeOuts)
{
    ASSERT_EQ(link.Open(pty.path(), 115200), LINK_OK);
    uint8_t b = 0;
    EXPECT_FALSE(link.WaitByte(0, &b));

    // Nothing comes: a read of 3 bytes gives up after about 10 * 3 + 50 ms.
    uint8_t dst[3];
    auto t0 = Clock::now();
    EXPECT_EQ(link.ReadBlock(dst, 3), LINK_READ_EMPTY);
    long ms = MsSince(t0);
    EXPECT_GE(ms, 75);
    EXPECT_LT(ms, 1000);

    // A wait of 200 ms keeps its deadline within about one read.
    t0 = Clock::now();
    EXPECT_FALSE(link.WaitByte(200, &b));
    ms = MsSince(t0);
    EXPECT_GE(ms, 195);
    EXPECT_LT(ms, 1200);

    // A byte that comes in the middle of a wait ends it early.
    std::thread late([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        pty.send({0x06});
    });
    t0 = Clock::now();
    EXPECT_TRUE(link.WaitByte(2000, &b));
    ms = MsSince(t0);
    late.join();
    EXPECT_EQ(b, 0x06);
    EXPECT_LT(ms, 1500);
}

TEST_F(LinkTest, IntervalTimeOutEndsAReadAfterTheFirstBytes)
{
    ASSERT_EQ(link.Open(pty.path(), 115200), LINK_OK);
    pty.send({1, 2});
    uint8_t dst[132];
    const auto t0 = Clock::now();
    // 132 bytes would allow 1370 ms in all; the quiet line after two bytes
    // ends the read after the 50 ms interval.
    EXPECT_EQ(link.ReadBlock(dst, 132), LINK_OK);
    EXPECT_LT(MsSince(t0), 700);
}

TEST_F(LinkTest, PurgeKeepsWhatWasWrittenAndDropsWhatCameIn)
{
    ASSERT_EQ(link.Open(pty.path(), 115200), LINK_OK);
    pty.send({0x99, 0x98});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(link.WriteByte(0x06), LINK_OK);
    link.Purge();
    EXPECT_EQ(pty.receive(1, 500), std::vector<uint8_t>{0x06});
    uint8_t b = 0;
    EXPECT_EQ(link.ReadByte(&b), LINK_READ_EMPTY);

    // The same on Close: discovery writes its replies and closes at once.
    EXPECT_EQ(link.WriteByte(0xFE), LINK_OK);
    link.Close();
    EXPECT_EQ(pty.receive(1, 500), std::vector<uint8_t>{0xFE});
}

TEST_F(LinkTest, WaitsSurviveATickCounterWrap)
{
    static uint32_t base = 0;
    base = 0xFFFFFFFFu - 30 - SystemTickCount();
    link.SetTickSource([] { return SystemTickCount() + base; });
    ASSERT_EQ(link.Open(pty.path(), 115200), LINK_OK);
    uint8_t b;
    const auto t0 = Clock::now();
    EXPECT_FALSE(link.WaitByte(150, &b));
    const long ms = MsSince(t0);
    EXPECT_GE(ms, 145);
    EXPECT_LT(ms, 1000);
}

TEST_F(LinkTest, CancelEndsWaitsAndStopsWrites)
{
    std::atomic<bool> cancel{false};
    link.SetCancelFlag(&cancel);
    ASSERT_EQ(link.Open(pty.path(), 115200), LINK_OK);
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        cancel = true;
    });
    uint8_t b;
    const auto t0 = Clock::now();
    EXPECT_FALSE(link.WaitByte(5000, &b));
    later.join();
    EXPECT_LT(MsSince(t0), 2000);
    EXPECT_NE(link.WriteByte(1), LINK_OK);
    EXPECT_TRUE(pty.receive(1, 100).empty());
}

TEST_F(LinkTest, HangUpEndsReadsWithoutSpinning)
{
    PtyPair pair;
    CSerialLink other;
    ASSERT_EQ(other.Open(pair.path(), 115200), LINK_OK);
    pair.closeSlave();
    pair.closeMaster();
    uint8_t b;
    const auto t0 = Clock::now();
    const std::clock_t cpu0 = std::clock();
    EXPECT_FALSE(other.WaitByte(300, &b));
    EXPECT_TRUE(other.LineLost());
    EXPECT_GE(MsSince(t0), 290);
    // A spinning wait would use the whole 300 ms of one core.
    EXPECT_LT(static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC, 0.2);
    other.Close();
}

} // namespace

}  // namespace zq
