#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/PtyPair.h"
#include "link/SerialLink.h"

namespace zq {

namespace {

// A device on a pty master that sends its beacon (or other bytes first)
// until it hears three replies, and records the line speed as they arrive.
class Beaconer {
public:
    Beaconer(PtyPair& pty, std::vector<uint8_t> prelude, bool beacon = true)
        : pty_(pty), prelude_(std::move(prelude)), beacon_(beacon), thread_([this] { Run(); })
    {
    }
    ~Beaconer()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    // What the device heard, once it has heard expected bytes (or 3 s went
    // by): the tool's replies reach the master through the kernel's queue,
    // on no clock of ours, so a fixed wait would read too few under load.
    std::vector<uint8_t> received(size_t expected = 0)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (heard_.load() < expected && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        // A little longer, for a byte too many to be heard as well.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        return received_;
    }
    std::vector<speed_t> speeds() const { return speeds_; }

private:
    void Run()
    {
        size_t next = 0;
        while (!stop_) {
            if (next < prelude_.size())
                pty_.send({prelude_[next++]});
            else if (beacon_)
                pty_.send({0xFD});
            const auto got = pty_.receive(1, 15);
            for (uint8_t b : got) {
                received_.push_back(b);
                speeds_.push_back(pty_.speed());
            }
            heard_ = received_.size();
        }
    }
    PtyPair& pty_;
    std::vector<uint8_t> prelude_;
    bool beacon_;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> heard_{0};
    std::vector<uint8_t> received_;
    std::vector<speed_t> speeds_;
    std::thread thread_;
};

PortSource Ports(std::vector<std::string> names)
{
    return [names] {
        std::vector<PortInfo> out;
        for (const auto& n : names)
            out.push_back({n, "", ""});
        return out;
    };
}

TEST(Discovery, NoPortsOpensNothing)
{
    CSerialLink link;
    link.SetPortSource(Ports({}));
    EXPECT_EQ(link.FindDevice(0xFD, 4800), LINK_NO_PORTS);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_TRUE(link.LastDiscovery().empty());
}

TEST(Discovery, SilentPortThenDevice)
{
    PtyPair silent, device;
    Beaconer dev(device, {});
    CSerialLink link;
    link.SetPortSource(Ports({silent.path(), device.path()}));
    EXPECT_EQ(link.FindDevice(0xFD, 4800), LINK_OK);
    EXPECT_EQ(link.FoundPort(), device.path());
    EXPECT_FALSE(link.IsOpen());
    ASSERT_EQ(link.LastDiscovery().size(), 2u);
    EXPECT_FALSE(link.LastDiscovery()[0].beacon);
    EXPECT_TRUE(link.LastDiscovery()[1].beacon);
    const auto got = dev.received(3);
    EXPECT_EQ(got, (std::vector<uint8_t>{0xFE, 0xFE, 0xFE}));
    for (speed_t s : dev.speeds())
        EXPECT_EQ(s, static_cast<speed_t>(B4800));
    // Nothing was sent to the silent port.
    EXPECT_TRUE(silent.receive(1, 50).empty());
}

TEST(Discovery, OtherBytesBeforeTheBeaconAreDiscarded)
{
    PtyPair device;
    Beaconer dev(device, {0x11, 0x22, 0x33});
    CSerialLink link;
    link.SetPortSource(Ports({device.path()}));
    EXPECT_EQ(link.FindDevice(0xFD, 4800), LINK_OK);
    ASSERT_EQ(link.LastDiscovery().size(), 1u);
    EXPECT_GE(link.LastDiscovery()[0].bytesHeard, 1u);
}

TEST(Discovery, ChatterWithoutBeaconIsNotADevice)
{
    PtyPair noisy;
    Beaconer dev(noisy, std::vector<uint8_t>(200, 0x55), false);
    CSerialLink link;
    link.SetPortSource(Ports({noisy.path()}));
    EXPECT_EQ(link.FindDevice(0xFD, 4800), LINK_UNAVAILABLE);
    EXPECT_EQ(link.LastDiscovery()[0].bytesHeard, 5u);
    link.Close();
    EXPECT_TRUE(dev.received().empty());
}

TEST(Discovery, HeldPortIsSkipped)
{
    PtyPair held, device;
    CSerialLink holder;
    ASSERT_EQ(holder.Open(held.path(), 4800), LINK_OK);
    Beaconer dev(device, {});
    CSerialLink link;
    link.SetPortSource(Ports({held.path(), "/dev/zq-missing", device.path()}));
    EXPECT_EQ(link.FindDevice(0xFD, 4800), LINK_OK);
    EXPECT_EQ(link.FoundPort(), device.path());
    ASSERT_EQ(link.LastDiscovery().size(), 3u);
    EXPECT_EQ(link.LastDiscovery()[0].openError, PortError::Busy);
    EXPECT_EQ(link.LastDiscovery()[1].openError, PortError::NotFound);
    holder.Close();
}

TEST(Discovery, FirstEnumeratedDeviceWins)
{
    PtyPair first, second;
    Beaconer a(first, {}), b(second, {});
    CSerialLink link;
    link.SetPortSource(Ports({first.path(), second.path()}));
    EXPECT_EQ(link.FindDevice(0xFD, 4800), LINK_OK);
    EXPECT_EQ(link.FoundPort(), first.path());
    EXPECT_EQ(a.received(3).size(), 3u);
    EXPECT_TRUE(b.received().empty());
}

long MsSince(std::chrono::steady_clock::time_point t0)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
}

// Every port gets its five waits of 100 ms, all of them at the same time:
// one port after another, eight silent ports alone would take 4 s.
TEST(Discovery, PortsAreHeardTogetherInOneWindow)
{
    std::vector<std::unique_ptr<PtyPair>> silent(8);
    std::vector<std::string> names;
    for (auto& p : silent) {
        p = std::make_unique<PtyPair>();
        names.push_back(p->path());
    }
    {
        CSerialLink link;
        link.SetPortSource(Ports(names));
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(link.FindDevice(0xFD, 4800), LINK_UNAVAILABLE);
        const long ms = MsSince(t0);
        EXPECT_GE(ms, 5 * 100 - 20);
        EXPECT_LT(ms, 1500);
        EXPECT_EQ(link.LastDiscovery().size(), 8u);
    }
    // A device behind them all is found within the same window, and none of
    // the ports that lost is written to.
    PtyPair device;
    Beaconer dev(device, {});
    names.push_back(device.path());
    CSerialLink link;
    link.SetPortSource(Ports(names));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(link.FindDevice(0xFD, 4800), LINK_OK);
    EXPECT_LT(MsSince(t0), 1500);
    EXPECT_EQ(link.FoundPort(), device.path());
    EXPECT_EQ(link.LastDiscovery().size(), 9u);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(dev.received(3), (std::vector<uint8_t>{0xFE, 0xFE, 0xFE}));
    for (auto& p : silent)
        EXPECT_TRUE(p->receive(1, 20).empty());
}

// Runs body in a child that, like a process that has used up its threads,
// may start one thread more and no other: the kernel's own limit on a
// user's tasks (RLIMIT_NPROC), under a user id of its own that nothing else
// runs as, so that the count is the child's alone. Root is not held to the
// limit, hence the other user. Meanwhile a device beacons on device, from a
// thread started after the fork: a child forked from a process with threads
// may not start threads under TSan. The child's exit status, or 128 + the
// signal that ended it (std::terminate: SIGABRT).
int WithOneThreadToSpare(const std::function<int()>& body, PtyPair& device)
{
    const pid_t child = fork();
    if (child == 0) {
        constexpr uid_t kUid = 1999999999;
        if (setgroups(0, nullptr) != 0 || setgid(kUid) != 0 || setuid(kUid) != 0)
            _exit(100);
        // A sanitizer may start a thread of its own along with the first
        // thread a process starts (TSan does): one thread started, and gone
        // from the kernel's count, before counting, so that the thread to
        // spare is the code's.
        pid_t tid = 0;
        std::thread([&tid] { tid = static_cast<pid_t>(syscall(SYS_gettid)); }).join();
        const std::string gone = "/proc/self/task/" + std::to_string(tid);
        for (int i = 0; i < 2000 && access(gone.c_str(), F_OK) == 0; ++i)
            usleep(1000);
        // Every task of this process is now kUid's.
        rlim_t tasks = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
            (void)entry;
            ++tasks;
        }
        const rlimit limit{tasks + 1, tasks + 1};
        if (setrlimit(RLIMIT_NPROC, &limit) != 0)
            _exit(101);
        _exit(body());
    }
    if (child < 0)
        return -1;
    Beaconer beacons(device, {});
    int status = 0;
    if (waitpid(child, &status, 0) != child)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Discovery runs on the worker of a dialog or a station: a thread the
// system will not give must not end the program. The ports that got a
// thread, and the one discovery listens on itself, are heard; a port left
// without one is told as an I/O error on it.
TEST(Discovery, APortTheSystemGivesNoThreadIsToldAndTheOthersAreHeard)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to run as a user of its own under a task limit";
    PtyPair first, second, third;
    for (PtyPair* p : {&first, &second, &third})
        ASSERT_EQ(chmod(p->path().c_str(), 0666), 0);
    // Ports in list order: this thread, one more thread, none left for the
    // third. Bits of the exit status: what went otherwise.
    const auto discover = [&](const std::vector<std::string>& order, const std::string& device) {
        return [order, device] {
            CSerialLink link;
            link.SetPortSource(Ports(order));
            const LinkStatus found = link.FindDevice(0xFD, 4800);
            const auto& heard = link.LastDiscovery();
            int code = 0;
            if (order.back() == device) { // its port had no thread: not heard
                if (found != LINK_UNAVAILABLE || heard.size() != 3 || heard[2].openError != PortError::Io)
                    code |= 1;
                if (heard.size() == 3 &&
                    (heard[0].openError != PortError::None || heard[1].openError != PortError::None))
                    code |= 2;
            } else if (found != LINK_OK || link.FoundPort() != device) {
                code |= 4;
            }
            return code;
        };
    };
    const std::string a = first.path(), b = second.path(), c = third.path();
    std::vector<int> status;
    status.push_back(WithOneThreadToSpare(discover({a, b, c}, b), second));
    status.push_back(WithOneThreadToSpare(discover({a, c, b}, b), second));
    ASSERT_NE(status[0], 100) << "could not become another user";
    ASSERT_NE(status[0], 101) << "could not set the task limit";
    EXPECT_EQ(status, (std::vector<int>{0, 0})) << "134: std::terminate; 1, 2: the unheard port; 4: not found";
}

} // namespace

}  // namespace zq
