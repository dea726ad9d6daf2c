// Port names and folders a technician's machine really has: names with
// spaces and bytes outside ASCII, very long paths, things in /dev that are
// no serial line, and an executable folder of that kind holding DB.bin.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <climits>
#include <fstream>
#include <future>
#include <sstream>

#include "devsim/DevSim.h"
#include "devsim/SimRig.h"
#include "tests/faults/FaultKit.h"
#include "tests/PtyPair.h"
#include "tests/TempDir.h"

extern char** environ;

namespace zq {

using namespace devsim;


namespace {

// Makes every component of a long path below root; returns the whole path.
std::string MakeDeepFolder(const std::string& root, const std::vector<std::string>& parts)
{
    std::string path = root;
    for (const auto& p : parts) {
        path += "/" + p;
        if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
            throw std::runtime_error("mkdir " + path + ": " + std::strerror(errno));
    }
    return path;
}

// A long path through folders with spaces and non-ASCII names: about 1200
// bytes, far past the 260 the Windows build lives with.
std::vector<std::string> HostileParts()
{
    std::vector<std::string> parts = {"with spaces", "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC", "latin1 \xE9\xFF"};
    for (int i = 0; i < 5; ++i)
        parts.push_back(std::string(200, static_cast<char>('a' + i)) + " \xD0\xB6");
    return parts;
}

class HostileNames : public ::testing::Test {
protected:
    TempDir dir;
    PtyPair pty;
};

TEST_F(HostileNames, ARealPortReachedThroughAStrangePathOpens)
{
    const std::string folder = MakeDeepFolder(dir.path(), HostileParts());
    const std::string link = folder + "/tty with \xC3\xBC and spaces";
    ASSERT_EQ(symlink(pty.path().c_str(), link.c_str()), 0);
    ASSERT_GT(link.size(), 1000u);
    CSerialLink serial;
    ASSERT_EQ(serial.Open(link, 115200), LINK_OK);
    EXPECT_EQ(pty.speed(), static_cast<speed_t>(B115200));
    EXPECT_EQ(serial.WriteByte(0x5A), LINK_OK);
    EXPECT_EQ(pty.receive(1, 500), std::vector<uint8_t>{0x5A});
    serial.Close();
}

TEST_F(HostileNames, MoreThingsThatAreNoSerialLineAreRefused)
{
    const std::string fifo = dir.file("a fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string dangling = dir.file("dangling");
    ASSERT_EQ(symlink("/dev/zq-nothing-here", dangling.c_str()), 0);
    const std::string tooLong = dir.path() + "/" + std::string(PATH_MAX, 'p');
    struct Case {
        std::string name;
        PortError error;
    } cases[] = {
        {fifo, PortError::NotSerial},
        {"/dev/zero", PortError::NotSerial},
        {"/dev/urandom", PortError::NotSerial},
        {dangling, PortError::NotFound},
        {"ttyZQ no such port", PortError::NotFound}, // looked for under /dev
        {dir.path() + "/" + std::string(300, 'n'), PortError::Io}, // one component past NAME_MAX
        {tooLong, PortError::BadName},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 60));
        CSerialLink serial;
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(serial.Open(c.name, 115200), LINK_UNAVAILABLE);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2)) << "a FIFO must not block";
        if (c.error == PortError::Io)
            EXPECT_NE(serial.LastOpenError(), PortError::None);
        else
            EXPECT_EQ(serial.LastOpenError(), c.error);
        EXPECT_FALSE(serial.IsOpen());
        uint8_t b = 0;
        EXPECT_EQ(serial.ReadByte(&b), LINK_UNAVAILABLE);
    }
}

TEST_F(HostileNames, DiscoveryWalksPastHostileEntriesToTheDevice)
{
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::string> names = {
        "", dir.path(), "/dev/null", fifo, std::string(5000, 'x'), "name with spaces", "\xEC\xA0\x80\xFF",
        pty.path()};
    CSerialLink serial;
    serial.SetPortSource([names] {
        std::vector<PortInfo> out;
        for (const auto& n : names)
            out.push_back({n, "", ""});
        return out;
    });
    std::thread beacon([&] {
        for (int i = 0; i < 100; ++i) {
            pty.send({0xFD});
            if (!pty.receive(3, 20).empty())
                break;
        }
    });
    EXPECT_EQ(serial.FindDevice(0xFD, 4800), LINK_OK);
    beacon.join();
    EXPECT_EQ(serial.FoundPort(), pty.path());
    ASSERT_EQ(serial.LastDiscovery().size(), names.size());
    for (size_t i = 0; i + 1 < names.size(); ++i)
        EXPECT_NE(serial.LastDiscovery()[i].openError, PortError::None) << i;
    EXPECT_FALSE(serial.IsOpen());
}

#if defined(ZQ_FLASH_EXE)
// The command-line front end copied into a long, non-ASCII folder finds the
// DB.bin beside it, and runs a whole download with it.
TEST(HostilePaths, ExecutableFolderWithAStrangeLongPathFindsItsImage)
{
    TempDir dir;
    const std::string folder = MakeDeepFolder(dir.path(), HostileParts());
    const std::string exe = folder + "/zerquill-flash";
    {
        std::ifstream in(ZQ_FLASH_EXE, std::ios::binary);
        std::ofstream out(exe, std::ios::binary);
        out << in.rdbuf();
    }
    ASSERT_EQ(chmod(exe.c_str(), 0755), 0);
    const std::vector<uint8_t> img = MakeImage(65536 + 128 * 3, 2, 9);
    WriteFile(folder + "/DB.bin", img);

    CSimRig sim{DevSimOptions()};
    const std::string port = sim.Path();

    const std::string outPath = dir.file("out.txt");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // Started from elsewhere, so the working folder cannot stand in for the
    // executable's.
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<std::string> args = {exe, "--port", port};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    const DevSimReport rep = sim.Finish();
    std::ifstream outFile(outPath);
    std::stringstream out;
    out << outFile.rdbuf();
    ASSERT_TRUE(WIFEXITED(status)) << out.str();
    EXPECT_EQ(WEXITSTATUS(status), 0) << out.str();
    EXPECT_NE(out.str().find("Success Download!"), std::string::npos) << out.str();
    EXPECT_EQ(CompareWithImage(rep, img), "");
}
#endif

} // namespace

}  // namespace zq
