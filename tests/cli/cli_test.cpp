// zerquill-flash as a technician runs it: the real program, started as a
// process, against the device simulator or plain ptys.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <spawn.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "devsim/DevSim.h"
#include "download/ImageCheck.h"
#include "platform/Sha256.h"
#include "forward/Forwarder.h"
#include "record/Record.h"
#include "devsim/SimRig.h"
#include "tests/Process.h"
#include "tests/PtyPair.h"
#include "tests/Sanitized.h"
#include "tests/cli/Receiver.h"
#include "tests/forward/ForwardKit.h"
#include "tests/TempDir.h"
#include "tests/WaitFor.h"
#include "channel/ChannelWriter.h"

extern char** environ;

namespace zq {

using namespace devsim;


namespace {

using Clock = std::chrono::steady_clock;

Outcome RunFlash(std::vector<std::string> args, int timeoutMs = 20000)
{
    args.insert(args.begin(), ZQ_FLASH_EXE);
    Process p(args);
    return p.Finish(timeoutMs);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        const size_t nl = text.find('\n', start);
        out.push_back(text.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
        if (nl == std::string::npos)
            break;
        start = nl + 1;
    }
    return out;
}

std::string LastLine(const std::string& text, size_t fromEnd = 0)
{
    const auto lines = Lines(text);
    return lines.size() > fromEnd ? lines[lines.size() - 1 - fromEnd] : std::string();
}

// The tool run as nobody, with no supplementary group, from folder (which
// that user must be able to enter). Nobody may see nothing of the clone: it
// may lie in a folder only root enters (a mktemp -d). setpriv still holds
// root's capabilities when it starts the tool, but the tool holds none, so
// a sanitizer's suppressions file named in its options is copied into
// folder, else the sanitizer refuses to start (exit 66), and so is the tool,
// so that nothing it or a sanitizer's symbolizer reads lies in the clone.
std::vector<std::string> AsNobody(const std::string& folder, std::vector<std::string> args)
{
    const std::string exe = folder + "/zerquill-flash";
    std::filesystem::copy_file(ZQ_FLASH_EXE, exe, std::filesystem::copy_options::overwrite_existing);
    std::vector<std::string> command = {"/usr/bin/env"};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
        const char* value = std::getenv(name);
        if (!value)
            continue;
        // key=value pairs, ':' between them.
        std::string options = value;
        const size_t at = options.rfind("suppressions=", 0) == 0 ? 0 : options.find(":suppressions=");
        if (at == std::string::npos)
            continue;
        const size_t from = options.find('=', at) + 1;
        const size_t end = std::min(options.find(':', from), options.size());
        const std::string copy = folder + "/" + name + ".supp";
        std::filesystem::copy_file(options.substr(from, end - from), copy,
                                   std::filesystem::copy_options::overwrite_existing);
        std::filesystem::permissions(copy, std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                               std::filesystem::perms::others_read);
        command.push_back(std::string(name) + "=" + options.replace(from, end - from, copy));
    }
    for (const char* part : {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"})
        command.push_back(part);
    command.push_back(exe);
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteText(const std::string& path, const std::string& text)
{
    WriteFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> DataArea(const std::vector<uint8_t>& image, unsigned blocks)
{
    return std::vector<uint8_t>(image.begin() + 65536, image.begin() + 65536 + 128 * blocks);
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        image = MakeImage(65536 + 128 * kBlocks, 8 * kBlocks, 3);
        imagePath = dir.file("DB.bin");
        WriteFile(imagePath, image);
    }
    // The image as a run takes it, and a download of it that was written:
    // what the record tests put in a record file.
    ImageSnapshot Snapshot() const
    {
        ImageSnapshot snapshot;
        DownloadFailure refused;
        EXPECT_TRUE(TakeImageSnapshot(imagePath, snapshot, refused, ImageShare::SharedRead));
        return snapshot;
    }
    static DeviceOutcome Written()
    {
        DeviceOutcome written;
        written.port = "/dev/ttyUSB0";
        written.success = true;
        written.startedUnix = 1796630400;
        return written;
    }
    static constexpr unsigned kBlocks = 64;
    TempDir dir;
    std::vector<uint8_t> image;
    std::string imagePath;
};

// A pty the tool must leave alone: any open would set 4800 and 8N1 on it.
class UntouchedPty {
public:
    UntouchedPty()
    {
        termios tio{};
        tcgetattr(pty.master(), &tio);
        cfsetspeed(&tio, B9600);
        tcsetattr(pty.master(), TCSANOW, &tio);
    }
    void ExpectUntouched()
    {
        EXPECT_TRUE(pty.receive(1, 300).empty()) << "bytes reached the line";
        EXPECT_EQ(pty.speed(), static_cast<speed_t>(B9600)) << "the port was configured";
    }
    PtyPair pty;
};

// ---- Usage ------------------------------------------------------------

struct UsageCase {
    const char* name;
    std::vector<std::string> args; // PTY and IMG stand for the test's line and image
};
// ctest and -R see the case's name, not its bytes.
void PrintTo(const UsageCase& c, std::ostream* os) { *os << c.name; }

class UsageTest : public ::testing::TestWithParam<UsageCase> {};

// The device for the command line's tests: a session ends 600 ms after the
// tool went quiet, unless a test asks otherwise.
DevSimOptions Cli(DevSimOptions options = DevSimOptions())
{
    options.silenceMs = options.silenceMs == 3000 ? 600 : options.silenceMs;
    return options;
}

TEST_P(UsageTest, WrongCommandLineExits64WithUsageAndTouchesNothing)
{
    TempDir dir;
    WriteFile(dir.file("DB.bin"), MakeImage(65536 + 128, 8));
    UntouchedPty line;
    std::vector<std::string> args;
    for (std::string a : GetParam().args) {
        if (a == "PTY")
            a = line.pty.path();
        if (a == "IMG")
            a = dir.file("DB.bin");
        args.push_back(a);
    }
    const Outcome r = RunFlash(args);
    EXPECT_EQ(r.status, 64);
    // One short line that says what is wrong, not the whole usage.
    EXPECT_EQ(r.err.rfind("zerquill-flash: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("; try --help\n"), std::string::npos) << r.err;
    EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
    EXPECT_EQ(r.out, "");
    line.ExpectUntouched();
}

INSTANTIATE_TEST_SUITE_P(
    Cli, UsageTest,
    ::testing::Values(UsageCase{"UnknownOption", {"--ports", "PTY", "--image", "IMG", "--bogus"}},
                      UsageCase{"MissingValue", {"--ports", "PTY", "--image"}},
                      UsageCase{"PortAndPorts", {"--port", "PTY", "--ports", "PTY", "--image", "IMG"}},
                      UsageCase{"EmptyPortName", {"--ports", "PTY,,PTY", "--image", "IMG"}},
                      UsageCase{"StrayArgument", {"--ports", "PTY", "--image", "IMG", "stray"}},
                      UsageCase{"ValueForAFlag", {"--ports", "PTY", "--image", "IMG", "--quiet=yes"}},
                      UsageCase{"ImageTwice", {"--ports", "PTY", "--image", "IMG", "--image", "IMG"}},
                      UsageCase{"CountZero", {"--watch", "--count", "0", "--ports", "PTY", "--image", "IMG"}},
                      UsageCase{"CountNotANumber", {"--watch", "--count", "3x", "--ports", "PTY", "--image", "IMG"}},
                      UsageCase{"CountWithoutWatch", {"--count", "2", "--ports", "PTY", "--image", "IMG"}},
                      UsageCase{"AllWithWatch", {"--all", "--watch", "--ports", "PTY", "--image", "IMG"}},
                      UsageCase{"JobWithImage", {"--job", "IMG", "--ports", "PTY", "--image", "IMG"}},
                      UsageCase{"SignWithoutKey", {"--sign-job", "IMG", "--ports", "PTY"}},
                      UsageCase{"ForwardWithoutLog", {"--forward", "http://127.0.0.1:9/", "--ports", "PTY", "--image", "IMG"}},
                      UsageCase{"TokenWithoutForward", {"--forward-token-file", "IMG", "--ports", "PTY", "--image", "IMG"}},
                      UsageCase{"HtmlWithoutReport", {"--html", "IMG", "--ports", "PTY", "--image", "IMG"}},
                      UsageCase{"LatencyOutOfRange", {"--set-latency", "PTY", "300"}},
                      UsageCase{"LatencyNotANumber", {"--set-latency", "PTY", "1ms"}},
                      UsageCase{"LatencyWithoutValue", {"--set-latency", "PTY"}},
                      UsageCase{"LatencyNotAlone", {"--ports", "PTY", "--set-latency", "PTY", "1"}}),
    [](const ::testing::TestParamInfo<UsageCase>& info) { return std::string(info.param.name); });

// Every mode tells what it lacks in its own words, the first mistake of a
// line is the one told, and a mode given beside the one that would run is
// checked all the same: --help answers only a line that is valid otherwise.
TEST(Cli, EachModeTellsItsOwnMistakeAndHelpAnswersOnlyAValidLine)
{
    TempDir dir;
    const std::string job = dir.file("new.zqjob");
    const std::string image = dir.file("DB.bin");
    WriteFile(image, MakeImage(65536 + 128, 8));
    const struct {
        std::vector<std::string> args;
        std::string said;
    } cases[] = {
        {{"--make-job", job, "--name", "n"}, "--make-job needs the image (-i FILE) and the job's name (--name NAME)"},
        {{"--make-job", job, "-i", image, "--name", "n", "--units", "0"},
         "--units: \"0\" is not a number of units (1 or more)"},
        {{"--make-job", job, "-i", image, "--name", "n", "--trust", "T", "--key", ""}, "--key needs a file name"},
        {{"--make-job", job, "-i", image, "--name", "", "--trust", "T"}, "--trust goes with --job or --verify-job"},
        {{"--sign-job", job, "--trust", "T"}, "--sign-job needs the private key: --key KEY.pem"},
        {{"--verify-job", job, "--units", "3"}, "--name, --units and --force go with --make-job"},
        {{"--job", job, "--make-job", job}, "--job, --make-job, --sign-job and --verify-job are one at a time"},
        {{"--verify-job", job, "--watch"},
         "--make-job, --sign-job and --verify-job touch no device; they go without --all, --watch, --check"},
        {{"--key", "K", "--trust", "T"}, "--key goes with --make-job or --sign-job"},
        {{"--forward-pending", "--log", "L", "--forward", "http://127.0.0.1:9/", "--check"},
         "--forward-pending flashes nothing: not with --all, --watch or --check"},
        {{"--report", "L", "--log", "L"}, "--report reads a record file and flashes nothing: give it alone"},
        {{"--imgae", image}, "unknown option --imgae (did you mean --image?)"},
        {{"--report", "L", "--html"}, "--html needs the file to write, e.g. --html report.html"},
        {{"--check", "-i"}, "--image needs the image, e.g. -i DB.bin"},
        {{"--watch", "--serv", "80"}, "unknown option --serv (did you mean --serve?)"},
        {{"--wait", "5", "--all", "--json", "--count", "2"}, "--count goes with --watch"},
        {{"--wait", "5", "--all", "--json"}, "--wait is for one download; --watch waits by itself"},
        {{"--report", "L", "--make-job", job, "-i", image, "--help"},
         "--make-job needs the image (-i FILE) and the job's name (--name NAME)"},
        {{"--help", "--forward-pending", "--log", "L", "--forward", "http://127.0.0.1:9/", "--sign-job", job},
         "--sign-job needs the private key: --key KEY.pem"},
    };
    for (const auto& c : cases) {
        const Outcome r = RunFlash(c.args);
        EXPECT_EQ(r.status, 64) << c.said;
        EXPECT_EQ(r.err, "zerquill-flash: " + c.said + "; try --help\n");
        EXPECT_TRUE(r.out.empty()) << c.said << " answered on stdout";
    }
    const Outcome help = RunFlash({"--list-ports", "--make-job", job, "-i", image, "--name", "n", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: zerquill-flash", 0), 0u) << help.out;
    const Outcome version = RunFlash({"--list-ports", "--report", "L", "--version"});
    EXPECT_EQ(version.out, std::string("zerquill-flash ") + ZQ_VERSION + "\n");
    EXPECT_FALSE(std::ifstream(job).good()) << "an answered line runs nothing";
}

// A pty has no node in sysfs: told so, not a path built from its number.
TEST(Cli, SetLatencyOnAPseudoTerminalSaysItHasNoTimer)
{
    PtyPair pty;
    EXPECT_EQ(RunFlash({"--set-latency", pty.path(), "1"}).err, "zerquill-flash: --set-latency: " + pty.path() +
              " is a pseudo-terminal, which has no latency timer (only FTDI adapters have one)\n");
}

TEST(Cli, VersionIsTheProjectsAndOpensNothing)
{
    const Outcome r = RunFlash({"--version", "--ports", "/dev/zq-no-such-port"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("zerquill-flash ") + ZQ_VERSION + "\n");
    EXPECT_EQ(r.err, "");
}

TEST(Cli, HelpGoesToStdoutAndExitsZero)
{
    const Outcome r = RunFlash({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: zerquill-flash", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("--ports"), std::string::npos);
    EXPECT_EQ(r.err, "");
}

// ---- The image ----------------------------------------------------------

TEST_F(CliTest, MissingImageExits2WithFileOpenFailedAndLeavesThePortAlone)
{
    UntouchedPty line;
    const std::string missing = dir.file("nothere.bin");
    const Outcome r = RunFlash({"--ports", line.pty.path(), "--image", missing});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(LastLine(r.err, 1), "File Open Failed") << r.err;
    EXPECT_NE(LastLine(r.err).find("not found"), std::string::npos) << r.err;
    EXPECT_NE(LastLine(r.err).find(missing), std::string::npos) << r.err;
    line.ExpectUntouched();
}

TEST_F(CliTest, ImageThatIsAFolderIsNotAFileOpenSuccess)
{
    UntouchedPty line;
    const Outcome r = RunFlash({"--ports", line.pty.path(), "--image", dir.path(), "--quiet"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(Lines(r.err).at(0), "File Open Failed") << r.err;
    line.ExpectUntouched();
}

TEST_F(CliTest, RefusedImageFailsBeforeAnyPortIsOpened)
{
    image[3] = 'd'; // "SdDB"
    WriteFile(imagePath, image);
    UntouchedPty line;
    const Outcome r = RunFlash({"--ports", line.pty.path(), "--image", imagePath});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(LastLine(r.err, 2), "Fail Download!") << r.err;
    EXPECT_NE(LastLine(r.err, 1).find("wrong magic"), std::string::npos) << r.err;
    EXPECT_EQ(LastLine(r.err), "nothing was sent to the device; this is not a database image: give the image made "
                               "for the device") << r.err;

    // The numbers a person needs to see what is wrong.
    WriteFile(imagePath, MakeImage(70000, 500));
    const Outcome shortImage = RunFlash({"--ports", line.pty.path(), "--image", imagePath});
    EXPECT_EQ(shortImage.status, 3);
    EXPECT_EQ(LastLine(shortImage.err, 1), "image refused: 70000 bytes, header word 500 needs at least 73536")
        << shortImage.err;
    EXPECT_EQ(LastLine(shortImage.err).rfind("nothing was sent to the device; the file ends before", 0), 0u);
    WriteFile(imagePath, {});
    const Outcome empty = RunFlash({"--ports", line.pty.path(), "--image", imagePath, "--check"});
    EXPECT_EQ(empty.status, 3);
    EXPECT_EQ(LastLine(empty.err, 1), "image refused: " + imagePath + " is empty (0 bytes)") << empty.err;
    line.ExpectUntouched();
}

// Another run on another adapter reads the same image under a shared lock;
// a program writing it under an exclusive one keeps every run out.
TEST_F(CliTest, ImageIsSharedWithOtherReadersButNotWithAWriter)
{
    const int other = ::open(imagePath.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_SH | LOCK_NB), 0);
    {
        CSimRig device(Cli());
        const Outcome r = RunFlash({"--ports", device.Path(), "--image", imagePath, "--quiet"});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(device.Finish().data, DataArea(image, kBlocks));
        // The image read once for many devices, and for a record, too.
        CSimRig second(Cli());
        const Outcome all = RunFlash({"--all", "--ports", second.Path(), "--image", imagePath, "--log",
                                      dir.file("records.jsonl")});
        EXPECT_EQ(all.status, 0) << all.out << all.err;
    }
    ASSERT_EQ(::flock(other, LOCK_UN), 0);
    const int writer = ::open(imagePath.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(::flock(writer, LOCK_EX | LOCK_NB), 0);
    UntouchedPty line;
    const Outcome r = RunFlash({"--ports", line.pty.path(), "--image", imagePath});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(LastLine(r.err, 1), "File Open Failed") << r.err;
    EXPECT_NE(LastLine(r.err).find("in use by another program"), std::string::npos) << r.err;
    line.ExpectUntouched();
    ::close(writer);
    ::close(other);
}

// DB.bin beside the executable when no --image is given, as in the dialog.
TEST_F(CliTest, DefaultImageIsTheOneBesideTheExecutable)
{
    const std::string copy = dir.file("zerquill-flash");
    ASSERT_EQ(std::system(("cp '" ZQ_FLASH_EXE "' '" + copy + "'").c_str()), 0);
    CSimRig device(Cli());
    Process p({copy, "--ports", device.Path(), "--quiet"});
    const Outcome r = p.Finish();
    const DevSimReport& report = device.Finish();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "Success Download!\n");
    EXPECT_EQ(report.data, DataArea(image, kBlocks));
    std::remove(imagePath.c_str());
    const Outcome none = Process({copy, "--ports", device.Path(), "--check"}).Finish();
    EXPECT_EQ(LastLine(none.err), "-i FILE (--image FILE) names the image; without it, DB.bin beside this program is "
                                  "written") << none.err;
}

// --check says what would be sent and touches no port; --wait listens until
// a device comes (the operator presses Enter, then powers the device).
TEST_F(CliTest, CheckTouchesNoPortAndWaitListensUntilADeviceComes)
{
    WriteFile(imagePath, MakeImage(65536 + 128 * 3 + 21, 24, 4));
    UntouchedPty line;
    const Outcome check = RunFlash({"--check", "--image", imagePath, "--ports", line.pty.path()});
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_NE(check.out.find("header word 24 (0x0018), 3 blocks of 128 bytes from offset 65536; the last 21 "
                             "bytes are not a whole block and would not be sent"),
              std::string::npos)
        << check.out;
    const std::vector<uint8_t> bytes = MakeImage(65536 + 128 * 3 + 21, 24, 4);
    EXPECT_NE(check.out.find(Sha256Hex(bytes.data(), bytes.size())), std::string::npos) << check.out;
    line.ExpectUntouched();

    const std::string slot = dir.file("slot");
    std::unique_ptr<CSimRig> device;
    std::thread plug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        device = std::make_unique<CSimRig>(Cli());
        (void)::symlink(device->Path().c_str(), slot.c_str());
    });
    const Outcome r = RunFlash({"--wait", "10", "--image", imagePath, "--ports", slot});
    plug.join();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("note: the last 21 bytes of DB.bin are not a whole block and were not sent"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("wrote 3 blocks (384 bytes) of DB.bin to " + slot + " in "), std::string::npos) << r.out;

    PtyPair silent;
    const Outcome none = RunFlash({"--wait", "0.7", "--image", imagePath, "--ports", silent.path()});
    EXPECT_EQ(none.status, 4) << none.err;
    EXPECT_EQ(LastLine(none.err), "no device beaconed within 0.7 s") << none.err;
    EXPECT_TRUE(silent.receive(1, 100).empty()) << "listening wrote to the line";
}

// ---- Downloads ------------------------------------------------------------

TEST_F(CliTest, DownloadToTheDeviceSucceedsAndShowsEachStage)
{
    CSimRig device(Cli());
    const Outcome r = RunFlash({"--ports", device.Path(), "--image", imagePath});
    const DevSimReport& report = device.Finish();
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(report.completed);
    EXPECT_EQ(report.data, DataArea(image, kBlocks));
    EXPECT_EQ(LastLine(r.out), "Success Download!");
    // Not a terminal: plain lines, one per stage and per tenth of the blocks.
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    for (const char* stage : {"looking for the device on 1 port", "device found on", "handshake", "clearing",
                              "sending 64 blocks", " 32/64 blocks  50%", " 64/64 blocks 100%", "wrote 64 blocks"})
        EXPECT_NE(r.out.find(stage), std::string::npos) << stage << "\n" << r.out;
    EXPECT_EQ(r.err, "");
}

TEST_F(CliTest, DeviceBehindSilentPortsIsFoundInListOrder)
{
    PtyPair silent1, silent2;
    CSimRig device(Cli());
    const Outcome r = RunFlash(
        {"--ports", silent1.path() + "," + silent2.path() + "," + device.Path(), "--image", imagePath, "--quiet"});
    device.Finish();
    EXPECT_EQ(r.status, 0) << r.out;
    // Each silent port heard the tool's open and nothing else.
    EXPECT_TRUE(silent1.receive(1, 50).empty());
    EXPECT_EQ(silent1.speed(), static_cast<speed_t>(B4800));
    EXPECT_EQ(silent2.speed(), static_cast<speed_t>(B4800));
}

TEST_F(CliTest, QuietPrintsOnlyTheResult)
{
    CSimRig device(Cli());
    const Outcome r = RunFlash({"--ports", device.Path(), "--image", imagePath, "--quiet"});
    device.Finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Success Download!\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(CliTest, ResentBlocksAreReportedAndTheDownloadGoesOn)
{
    DevSimOptions opt;
    opt.refusals.push_back({5, 4});
    CSimRig device(Cli(opt));
    const Outcome r = RunFlash({"--ports", device.Path(), "--image", imagePath});
    const DevSimReport& report = device.Finish();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(report.data, DataArea(image, kBlocks));
    EXPECT_NE(r.out.find("block 5 refused (0x15), sending it again"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(4 refused)"), std::string::npos) << r.out;
}

struct FaultCase {
    const char* name;
    void (*apply)(DevSimOptions&);
    const char* cause;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class FaultTest : public CliTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, FailedDownloadExits1WithTheCause)
{
    DevSimOptions opt;
    GetParam().apply(opt);
    CSimRig device(Cli(opt));
    const Outcome r = RunFlash({"--ports", device.Path(), "--image", imagePath});
    device.Finish();
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(LastLine(r.err, 1), "Fail Download!") << r.err;
    EXPECT_EQ(LastLine(r.err), GetParam().cause) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cli, FaultTest,
    ::testing::Values(
        FaultCase{"RefusedFiveTimes", [](DevSimOptions& o) { o.refusals.push_back({17, 5}); },
                  "block 17 refused 5 times in a row (device answered 0x15)"},
        FaultCase{"SilentAtBlock",
                  [](DevSimOptions& o) {
                      o.silentAt = DevSimStep::Block;
                      o.silentBlock = 17;
                  },
                  "device stopped answering at block 17"},
        FaultCase{"WrongSynEcho", [](DevSimOptions& o) { o.synEcho = DevSimEcho::Wrong; }, "device echoed SYN as 53 79 4E"},
        FaultCase{"NoRdy", [](DevSimOptions& o) { o.noRdy = true; }, "device did not answer DBW with RDY"},
        FaultCase{"HeaderNeverEchoed",
                  [](DevSimOptions& o) {
                      o.headerEcho.echo = DevSimEcho::Missing;
                      o.headerEcho.attempts = 5;
                  },
                  "device did not echo the header word (5 attempts)"},
        FaultCase{"SilentWhileClearing", [](DevSimOptions& o) { o.silentAt = DevSimStep::Clr; },
                  "device went silent while clearing (nothing for 1 s)"},
        FaultCase{"FinalNak", [](DevSimOptions& o) { o.finalReply = 0x15; },
                  "device answered the closing END with 0x15 instead of ACK"},
        // A pulled adapter, not a silent device.
        FaultCase{"HungUpAtBlock", [](DevSimOptions& o) { o.hangupBlock = 17; },
                  "the device or its adapter was disconnected at block 17"}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// Every device heard in one window is flashed at once; each gets exactly its
// own download, a refusing one fails alone, and a silent port is never
// written to.
TEST_F(CliTest, AllFlashesEveryDeviceHeardAtOnce)
{
    PtyPair silent;
    DevSimOptions refusing;
    refusing.refusals.push_back({2, 5});
    CSimRig good1(Cli()), bad(Cli(refusing)), good2(Cli());
    const std::string logPath = dir.file("records.jsonl");
    const Outcome r = RunFlash({"--all", "--image", imagePath, "--log", logPath, "--ports",
                                silent.path() + "," + good1.Path() + "," + bad.Path() + "," + good2.Path()});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(LastLine(r.out), "3 devices: 2 written, 1 failed") << r.out;
    const std::regex good("(^|\n)" + good1.Path() + ": Success Download! \\(");
    EXPECT_TRUE(std::regex_search(r.out, good)) << r.out;
    EXPECT_NE(r.out.find(good2.Path() + ": Success Download!"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(bad.Path() + ": Fail Download!\n" + bad.Path() +
                         ":   block 2 refused 5 times in a row (device answered 0x15)\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(CompareWithImage(good1.Finish(), image), "");
    EXPECT_EQ(CompareWithImage(good2.Finish(), image), "");
    EXPECT_TRUE(silent.receive(1, 50).empty());

    // One record a device, each line an object naming the image it got.
    std::ifstream in(logPath);
    std::map<std::string, nlohmann::json> records;
    for (std::string line; std::getline(in, line);) {
        const nlohmann::json record = nlohmann::json::parse(line);
        records[record.at("port").get<std::string>()] = record;
        // A pty is no USB adapter: the system has nothing to tell of it.
        EXPECT_TRUE(record.at("usb").is_null()) << line;
    }
    ASSERT_EQ(records.size(), 3u);
    const std::string sha = Sha256Hex(image.data(), image.size());
    for (const CSimRig* rig : {&good1, &good2}) {
        const nlohmann::json& ok = records[rig->Path()];
        EXPECT_EQ(ok["result"], "success");
        EXPECT_EQ(ok["cause"], "");
        EXPECT_EQ(ok["image"]["sha256"], sha);
        EXPECT_EQ(ok["image"]["blocks"], kBlocks);
        EXPECT_GT(ok["bytes_per_s"].get<double>(), 0);
    }
    const nlohmann::json& failed = records[bad.Path()];
    EXPECT_EQ(failed["result"], "fail");
    EXPECT_EQ(failed["step"], "block_refused");
    EXPECT_EQ(failed["refusals"], 5);
    EXPECT_EQ(failed["cause"], "block 2 refused 5 times in a row (device answered 0x15)");
}

TEST_F(CliTest, ALogThatCannotBeWrittenIsRefusedBeforeAnyPortIsTouched)
{
    UntouchedPty line;
    const Outcome r = RunFlash({"--log", dir.file("no-such-folder/records.jsonl"), "--image", imagePath,
                                "--port", line.pty.path()});
    EXPECT_EQ(r.status, 64);
    EXPECT_NE(r.err.find("--log: cannot append to"), std::string::npos) << r.err;
    line.ExpectUntouched();
}

TEST_F(CliTest, NoBeaconNamesEveryPortTried)
{
    PtyPair a, b, c;
    const Outcome r = RunFlash({"--ports", a.path() + "," + b.path() + "," + c.path(), "--image", imagePath});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(LastLine(r.err, 1), "Fail Download!");
    EXPECT_EQ(LastLine(r.err), "no device answered on 3 ports (" + a.path() + ", " + b.path() + ", " + c.path() + ")");
}

TEST_F(CliTest, PortHeldByAnotherProgramIsReportedBusy)
{
    PtyPair held;
    // What another program's exclusive open leaves on the line.
    const int fd = ::open(held.path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    const Outcome r = RunFlash({"--port", held.path(), "--image", imagePath});
    ::close(fd);
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(LastLine(r.err), "port " + held.path() + " is busy (another program has it open)") << r.err;
}

// Where our own words run out, the system's are given.
TEST_F(CliTest, AnOpenErrorOfNoKnownKindSaysWhatTheSystemSaid)
{
    TempDir dir;
    const std::string loop = dir.file("loop");
    ASSERT_EQ(::symlink(loop.c_str(), loop.c_str()), 0);
    const Outcome r = RunFlash({"--port", loop, "--image", imagePath});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(LastLine(r.err), "port " + loop + " could not be opened: " + std::strerror(ELOOP)) << r.err;
}

TEST_F(CliTest, MissingPortIsNamed)
{
    const Outcome r = RunFlash({"--port", "/dev/zq-no-such-port", "--image", imagePath});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(LastLine(r.err, 1), "port /dev/zq-no-such-port not found") << r.err;
    EXPECT_EQ(LastLine(r.err), "zerquill-flash --list-ports shows this system's serial ports") << r.err;
}

// A technician outside the device's group is told which group and how to
// join it, by a single download and by the station alike. Root opens any
// device, so the tool runs as nobody, with no supplementary group.
TEST_F(CliTest, APortOfAGroupTheUserIsNotInNamesTheGroupAndHowToJoinIt)
{
    const group* dialout = getgrnam("dialout");
    if (geteuid() != 0 || !dialout)
        GTEST_SKIP() << "needs root (to hand the pty to dialout and run as nobody) and a group dialout";
    PtyPair pty;
    ASSERT_EQ(::chown(pty.path().c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(::chmod(pty.path().c_str(), 0660), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(imagePath.c_str(), 0644), 0);
    const auto asNobody = [&](std::vector<std::string> args) { return AsNobody(dir.path(), args); };
    const std::string cause = "permission denied on " + pty.path() +
                              ": sudo usermod -aG dialout $USER, then log in again (the group dialout owns the device)";

    const Outcome one = Process(asNobody({"--port", pty.path(), "--image", imagePath})).Finish();
    EXPECT_EQ(one.status, 4);
    EXPECT_EQ(LastLine(one.err), cause) << one.err;

    // The station keeps trying the port; it must say why it never listens.
    Process station(asNobody({"--watch", "--ports", pty.path(), "--image", imagePath}));
    station.Pump(1500);
    EXPECT_NE(station.sofar().err.find(cause + "\n"), std::string::npos) << station.sofar().err;
    EXPECT_EQ(station.sofar().out.find(pty.path() + ": listening"), std::string::npos) << station.sofar().out;
}

// ---- Trace, terminal, interruption ------------------------------------------

// Named commands and answers, one line a block: still every byte the device
// got, in order. The header word's low byte is ACK's value and the count's is
// NAK's: the trace must not call them so.
TEST_F(CliTest, TraceShowsEveryByteBothWaysWithTimes)
{
    image = MakeImage(65536 + 128 * 21, 0x0006, 5);
    WriteFile(imagePath, image);
    DevSimOptions opt;
    opt.headerEcho = {DevSimEcho::Wrong, 1};
    opt.refusals.push_back({1, 1});
    opt.progressBytes = 2;
    CSimRig device(Cli(opt));
    const Outcome r = RunFlash({"--ports", device.Path(), "--image", imagePath, "--trace", "--quiet"});
    const DevSimReport& report = device.Finish();
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "Success Download!\n");
    const std::string& t = r.err;
    const std::string stamp = R"(^ *\d+\.\d{3} ms )";
    auto count = [&](const std::string& pattern) {
        const std::regex re(stamp + pattern, std::regex::multiline);
        return std::distance(std::sregex_iterator(t.begin(), t.end(), re), std::sregex_iterator());
    };
    EXPECT_EQ(count("open " + device.Path() + " at 4800 bit/s: ok$"), 1) << t.substr(0, 3000);
    EXPECT_EQ(count("D>T beacon 0xFD$"), 1);
    EXPECT_EQ(count("T>D beacon reply 0xFE$"), 3);
    EXPECT_EQ(count("open " + device.Path() + " at 115200 bit/s: ok$"), 1);
    for (const char* token : {"SYN", "DBW", "CLR"})
        EXPECT_EQ(count(std::string("T>D ") + token + "$"), 1) << token;
    EXPECT_EQ(count("T>D END$"), 2);
    EXPECT_EQ(count("D>T SYN$"), 1);
    EXPECT_EQ(count("D>T RDY$"), 2);
    EXPECT_EQ(count(R"(T>D 06 00 \(header word 0x0006\)$)"), 2);
    EXPECT_EQ(count(R"(T>D 15 00 \(block count 21\)$)"), 1);
    EXPECT_EQ(count("T>D NAK$"), 1);
    EXPECT_EQ(count("T>D ACK$"), 2);
    EXPECT_EQ(count("D>T 2E$"), 2);
    EXPECT_EQ(count(R"(T>D block \d+: 128 bytes, checksum 0x[0-9A-F]{2}$)"), 21);
    EXPECT_EQ(count(R"(T>D block 1: 128 bytes, checksum 0x[0-9A-F]{2} \(again\)$)"), 1);
    EXPECT_EQ(count("D>T NAK$"), 1);
    EXPECT_EQ(count("D>T ACK$"), 1 + 21 + 1);
    EXPECT_EQ(count("close$"), 2);

    // What the lines say was sent is what the device received, in order: a
    // block line stands for that block of the image and its checksum.
    std::vector<uint8_t> traced;
    const std::regex block(R"(block (\d+): 128 bytes, checksum 0x([0-9A-F]{2}).*)");
    const std::regex hex(R"(([0-9A-F]{2})(?: |$))");
    for (const std::string& line : Lines(t)) {
        const size_t at = line.find(" T>D ");
        if (at == std::string::npos)
            continue;
        std::string what = line.substr(at + 5);
        std::smatch m;
        bool named = false;
        for (const zq::Token& token : zq::kTokens)
            if (what == token.name)
                traced.insert(traced.end(), token.b, token.b + sizeof token.b), named = true;
        for (const zq::NamedByte& b : zq::kNamedBytes) {
            char label[40];
            std::snprintf(label, sizeof label, b.showValue ? "%s 0x%02X" : "%s", b.name, b.value);
            if (what == label)
                traced.push_back(b.value), named = true;
        }
        if (named)
            continue;
        if (std::regex_match(what, m, block)) {
            const size_t k = std::stoul(m[1].str());
            ASSERT_LT(k, 21u) << line;
            const auto data = image.begin() + 65536 + 128 * static_cast<long>(k);
            traced.insert(traced.end(), data, data + 128);
            traced.push_back(static_cast<uint8_t>(std::stoi(m[2].str(), nullptr, 16)));
            continue;
        }
        what = what.substr(0, what.find(" ("));
        for (std::sregex_iterator it(what.begin(), what.end(), hex), end; it != end; ++it)
            traced.push_back(static_cast<uint8_t>(std::stoi((*it)[1].str(), nullptr, 16)));
    }
    EXPECT_EQ(traced.size(), report.receivedTotal);
    EXPECT_TRUE(traced == report.received) << "the trace differs from what the device received";
}

// The tool's last bytes before a failure have no stage report after them to
// name them: the NAK of the fifth wrong echo, a DBW left unanswered. They are
// traced all the same, named, and before the notice.
TEST_F(CliTest, TraceShowsTheLastBytesBeforeTheFailureNotice)
{
    DevSimOptions wrong;
    wrong.headerEcho = {DevSimEcho::Wrong, 5};
    DevSimOptions silent;
    silent.noRdy = true;
    const struct {
        DevSimOptions opt;
        std::string last;
        long count;
    } cases[] = {{wrong, "T>D NAK", 5}, {silent, "T>D DBW", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.last);
        CSimRig device(Cli(c.opt));
        const Outcome r = RunFlash({"--ports", device.Path(), "--image", imagePath, "--trace", "--quiet"});
        device.Finish();
        EXPECT_EQ(r.status, 1) << r.err;
        const std::vector<std::string> lines = Lines(r.err);
        const auto notice = std::find(lines.begin(), lines.end(), "Fail Download!");
        ASSERT_NE(notice, lines.end()) << r.err;
        const auto named = [&](const std::string& line) {
            return line.size() >= c.last.size() && line.compare(line.size() - c.last.size(), c.last.size(), c.last) == 0;
        };
        EXPECT_EQ(std::count_if(lines.begin(), notice, named), c.count) << r.err;
        for (auto it = notice; it != lines.end(); ++it)
            EXPECT_EQ(it->find(" T>D "), std::string::npos) << "after the notice: " << *it;
    }
}

// ---- zq-mkimage and zerquill-devsim ---------------------------------------

Outcome RunProgram(const std::vector<std::string>& args)
{
    Process p(args);
    return p.Finish();
}

// The helpers answer -h, -V and a wrong option as zerquill-flash does: help
// ending in examples of their own command lines, "<program> <version>", and
// one line naming what is wrong, with status 64.
TEST(Helpers, HelpVersionAndWrongUsageFollowTheToolsConventions)
{
    TempDir dir;
    const std::string image = dir.file("made.bin");
    const struct {
        std::string exe, name;
        std::vector<std::string> badValue;
    } programs[] = {{ZQ_MKIMAGE_EXE, "zq-mkimage", {image, "--tail", "128"}},
                    {ZQ_DEVSIM_EXE, "zerquill-devsim", {"--beacon-ms", "0"}}};
    for (const auto& p : programs) {
        SCOPED_TRACE(p.name);
        for (const char* version : {"-V", "--version"}) {
            const Outcome r = RunProgram({p.exe, version});
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, p.name + " " + ZQ_VERSION + "\n");
        }
        const Outcome help = RunProgram({p.exe, "-h"});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out, RunProgram({p.exe, "--help"}).out);
        const size_t examples = help.out.find("\nExamples:\n");
        ASSERT_NE(examples, std::string::npos) << help.out;
        const std::vector<std::string> lines = Lines(help.out.substr(examples + 11));
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0].rfind("  " + p.name + " ", 0), 0u) << lines[0];
        for (const std::string& line : lines)
            EXPECT_EQ(line.rfind("  ", 0), 0u) << "the examples are not the last section: " << line;

        const Outcome unknown = RunProgram({p.exe, "-x"});
        EXPECT_EQ(unknown.status, 64);
        EXPECT_EQ(unknown.err, p.name + ": unknown option -x; try --help\n");
        EXPECT_EQ(unknown.out, "");
        std::vector<std::string> args = p.badValue;
        args.insert(args.begin(), p.exe);
        const Outcome bad = RunProgram(args);
        EXPECT_EQ(bad.status, 64);
        EXPECT_EQ(bad.err.rfind(p.name + ": " + p.badValue[p.badValue.size() - 2] + ": ", 0), 0u) << bad.err;
        EXPECT_EQ(Lines(bad.err).size(), 1u) << bad.err;
        EXPECT_NE(bad.err.find("; try --help\n"), std::string::npos) << bad.err;
    }

    // zq-mkimage says what it wrote, and wrote that.
    const Outcome r = RunProgram({ZQ_MKIMAGE_EXE, image, "--blocks", "2", "--tail", "5"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "wrote " + image +
                         ": 65536-byte header + 2 blocks of 128 bytes + 5-byte tail (65797 bytes), header word 16\n");
    struct stat st {};
    ASSERT_EQ(::stat(image.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 65797);
}

// What the tool writes to a terminal as its stdout (the pty in raw mode:
// \n as it is), and how it ended.
std::string OnATerminal(const std::vector<std::string>& args, Outcome& r)
{
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return "openpty failed";
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    std::string screen;
    Process p(args, slave);
    ::close(slave);
    const auto end = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < end) {
        pollfd pfd{master, POLLIN, 0};
        if (::poll(&pfd, 1, 200) <= 0)
            continue;
        char buf[4096];
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0)
            break;
        screen.append(buf, static_cast<size_t>(n));
    }
    r = p.Finish();
    ::close(master);
    return screen;
}

TEST_F(CliTest, OnATerminalTheProgressLineIsRedrawnInPlace)
{
    DevSimOptions opt;
    opt.pace = true; // slow enough for several redraws
    CSimRig device(Cli(opt));
    Outcome r;
    std::string screen = OnATerminal({ZQ_FLASH_EXE, "--ports", device.Path(), "--image", imagePath}, r);
    device.Finish();
    EXPECT_EQ(r.status, 0) << screen;
    EXPECT_GE(std::count(screen.begin(), screen.end(), '\r'), 3) << screen;
    EXPECT_NE(screen.find("\rsending "), std::string::npos) << screen;
    EXPECT_NE(screen.find(" B/s"), std::string::npos) << screen;
    EXPECT_EQ(LastLine(screen), "Success Download!") << screen;
    EXPECT_EQ(screen.find("[ "), std::string::npos) << "plain lines on a terminal";

    // A refused block ends it: the progress line is taken off, not left
    // stale above the result.
    opt.refusals = {{3, 5}};
    CSimRig refusing(Cli(opt));
    screen = OnATerminal({ZQ_FLASH_EXE, "--ports", refusing.Path(), "--image", imagePath}, r);
    EXPECT_EQ(r.status, 1) << screen;
    ASSERT_NE(screen.rfind('\r'), std::string::npos) << screen;
    EXPECT_EQ(screen.substr(screen.rfind('\r')), "\r\x1b[K") << screen;
}

// The port is closed by the download itself, not left to the signal.
TEST_F(CliTest, CtrlCFailsTheDownloadCleanly)
{
    image = MakeImage(65536 + 128 * 2048, 8 * 2048, 5);
    WriteFile(imagePath, image);
    DevSimOptions opt;
    opt.pace = true; // about 23 s of blocks: plenty of time to interrupt
    CSimRig device(Cli(opt));
    // The mark an interrupted download leaves stays in this test's folder.
    const std::string tmp = "TMPDIR=" + dir.path();
    Process p({"/usr/bin/env", "-u", "XDG_RUNTIME_DIR", tmp, ZQ_FLASH_EXE, "--ports", device.Path(), "--image",
               imagePath});
    // A fifth of the image is out: closing must not wait for the line time
    // of everything sent so far (4.6 s), only for what is still due.
    ASSERT_TRUE(p.Pump(15000, "blocks  20%")) << p.sofar().out;
    const auto asked = Clock::now();
    ::kill(p.pid(), SIGINT);
    const Outcome r = p.Finish(8000);
    EXPECT_LT(Clock::now() - asked, std::chrono::seconds(2));
    EXPECT_EQ(r.status, 130) << r.out;
    EXPECT_EQ(LastLine(r.err, 1), "Fail Download!") << r.err;
    EXPECT_EQ(LastLine(r.err), "interrupted");

    // The device, cut off mid-download, now waits for the rest in silence:
    // the next run that hears nothing on its port says what may help.
    Process again({"/usr/bin/env", "-u", "XDG_RUNTIME_DIR", tmp, ZQ_FLASH_EXE, "--ports", device.Path(), "--image",
                   imagePath});
    const Outcome retry = again.Finish();
    EXPECT_EQ(retry.status, 4) << retry.err;
    EXPECT_NE(LastLine(retry.err).find("a device interrupted mid-download may need a reset"), std::string::npos)
        << retry.err;
}

// The interrupt mark is the user's own. A link planted where it goes, in
// the shared temporary folder or in the user's folder, is not written
// through; and the mark of one user neither hides nor stands for another's.
TEST_F(CliTest, TheInterruptMarkIsTheUsersOwnAndFollowsNoLink)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root (to plant links and to run the tool as nobody too)";
    image = MakeImage(65536 + 128 * 2048, 8 * 2048, 5);
    WriteFile(imagePath, image);
    // The test's folder stands for /tmp: anyone may make a folder in it.
    ASSERT_EQ(::chmod(dir.path().c_str(), 01777), 0);
    ASSERT_EQ(::chmod(imagePath.c_str(), 0644), 0);
    const std::string victim = dir.file("victim");
    WriteText(victim, "untouched\n");
    ASSERT_EQ(::symlink(victim.c_str(), dir.file("zerquill-flash.interrupted").c_str()), 0);
    ASSERT_EQ(::mkdir(dir.file("zerquill-flash-0").c_str(), 0700), 0);
    ASSERT_EQ(::symlink(victim.c_str(), dir.file("zerquill-flash-0/zerquill-flash.interrupted").c_str()), 0);

    const std::vector<std::string> env = {"/usr/bin/env", "-u", "XDG_RUNTIME_DIR", "TMPDIR=" + dir.path()};
    const auto run = [&](bool nobody, const std::string& port) {
        std::vector<std::string> args = {"--ports", port, "--image", imagePath};
        if (nobody)
            args = AsNobody(dir.path(), args);
        else
            args.insert(args.begin(), ZQ_FLASH_EXE);
        args.insert(args.begin(), env.begin(), env.end());
        return args;
    };
    // Cut short once the blocks go out; the device then waits in silence.
    const auto interrupt = [&](bool nobody, const std::string& port) {
        Process p(run(nobody, port));
        EXPECT_TRUE(p.Pump(15000, "sending ")) << p.sofar().out << p.sofar().err;
        ::kill(p.pid(), SIGINT);
        return p.Finish(8000).status;
    };
    const std::string hint = "hint: a device interrupted mid-download may need a reset (";
    DevSimOptions opt;
    opt.pace = true;
    CSimRig root(Cli(opt)), other(Cli(opt));
    ASSERT_EQ(::chmod(other.Path().c_str(), 0666), 0);

    EXPECT_EQ(interrupt(false, root.Path()), 130);
    EXPECT_EQ(ReadText(victim), "untouched\n") << "a planted link was written through";
    struct stat st{};
    ASSERT_EQ(::lstat(dir.file("zerquill-flash-0/zerquill-flash.interrupted").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode) && (st.st_mode & 0777) == 0600) << std::oct << st.st_mode;

    // Nobody's download, cut short on another port while root's mark stands.
    EXPECT_EQ(interrupt(true, other.Path()), 130);
    const Outcome nobodys = Process(run(true, other.Path())).Finish();
    EXPECT_EQ(nobodys.status, 4);
    EXPECT_NE(nobodys.err.find(hint + other.Path() + ";"), std::string::npos) << nobodys.err;
    const Outcome roots = Process(run(false, root.Path())).Finish();
    EXPECT_NE(roots.err.find(hint + root.Path() + ";"), std::string::npos) << roots.err;
    EXPECT_EQ(ReadText(victim), "untouched\n");
}

// ---- The station ------------------------------------------------------

std::vector<nlohmann::json> JsonLines(const std::string& text)
{
    std::vector<nlohmann::json> out;
    for (const std::string& line : Lines(text))
        if (!line.empty())
            out.push_back(nlohmann::json::parse(line));
    return out;
}

// A device that arrives, is flashed, and then stays in its boot mode,
// beaconing on, is flashed once; one that goes quiet for longer than the
// device-gone time and beacons again is flashed again; a named port that
// only appears later (a by-path link made when its adapter is plugged) is
// picked up.
TEST_F(CliTest, WatchFlashesEachArrivalOnceAndPicksUpALatePort)
{
    CSimRig stays(Cli()), returns(Cli()), late(Cli());
    const std::string slotStays = dir.file("slot-stays"), slotReturns = dir.file("slot-returns"),
                      slotLate = dir.file("slot-late");
    ASSERT_EQ(::symlink(stays.Path().c_str(), slotStays.c_str()), 0);
    ASSERT_EQ(::symlink(returns.Path().c_str(), slotReturns.c_str()), 0);
    const std::string logPath = dir.file("records.jsonl");
    Process p({ZQ_FLASH_EXE, "--watch", "--count", "4", "--json", "--image", imagePath, "--log", logPath, "--ports",
               slotStays + "," + slotReturns + "," + slotLate});
    std::thread devices([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        (void)::symlink(late.Path().c_str(), slotLate.c_str());
        // Straight back to beaconing, as after a failure in boot mode.
        stays.Wait(15000);
        stays.Start();
        returns.Wait(15000);
        std::this_thread::sleep_for(std::chrono::milliseconds(2600));
        returns.Start();
    });
    const Outcome r = p.Finish(30000);
    devices.join();
    EXPECT_EQ(r.status, 0) << r.out << r.err;

    std::map<std::string, int> results, found;
    std::map<std::string, int> progress;
    const std::vector<nlohmann::json> events = JsonLines(r.out);
    for (const nlohmann::json& e : events) {
        const std::string port = e.value("port", "");
        if (e["event"] == "found")
            ++found[port];
        if (e["event"] == "progress")
            ++progress[port];
        if (e["event"] == "result") {
            ++results[port];
            EXPECT_EQ(e["result"], "success") << e;
        }
    }
    EXPECT_EQ(results[slotStays], 1) << r.out;
    EXPECT_EQ(results[slotReturns], 2) << r.out;
    EXPECT_EQ(results[slotLate], 1) << r.out;
    EXPECT_EQ(found, results);
    // At most ten progress events a second per port, stage changes aside.
    for (const auto& entry : progress)
        EXPECT_LE(entry.second, results[entry.first] * 20) << entry.first;
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["event"], "summary");
    EXPECT_EQ(events.back()["written"], 4);
    EXPECT_EQ(CompareWithImage(late.Finish(), image), "");

    std::ifstream in(logPath);
    int records = 0;
    for (std::string line; std::getline(in, line); ++records)
        EXPECT_EQ(nlohmann::json::parse(line)["result"], "success");
    EXPECT_EQ(records, 4);
}

// Ctrl-C ends the station: the download in flight is cancelled, sends
// nothing more, and is recorded as cancelled; a record already written stays
// whole even when the process is killed outright.
TEST_F(CliTest, AnInterruptedStationRecordsWhatWasCancelled)
{
    image = MakeImage(65536 + 128 * 2048, 8 * 2048, 5);
    const std::string bigPath = dir.file("big.bin");
    WriteFile(bigPath, image);
    DevSimOptions slow;
    slow.pace = true;
    CSimRig busy(Cli(slow));
    const std::string logPath = dir.file("records.jsonl");
    Process p({ZQ_FLASH_EXE, "--watch", "--image", bigPath, "--log", logPath, "--ports", busy.Path()});
    ASSERT_TRUE(p.Pump(10000, ": device found")) << p.sofar().out;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ::kill(p.pid(), SIGINT);
    const Outcome r = p.Finish(5000);
    EXPECT_EQ(r.status, 130) << r.out << r.err;
    EXPECT_NE(r.out.find(busy.Path() + ": cancelled"), std::string::npos) << r.out;
    EXPECT_EQ(LastLine(r.out), "1 device: 0 written, 0 failed, 1 cancelled") << r.out;
    const DevSimReport cut = busy.Finish();
    EXPECT_FALSE(cut.completed);
    std::ifstream in(logPath);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(nlohmann::json::parse(line)["result"], "cancelled");

    // kill -9 while a second device is in flight: the record already written
    // stays whole, and nothing half-written follows it.
    CSimRig again(Cli(slow));
    Process q({ZQ_FLASH_EXE, "--watch", "--image", bigPath, "--log", logPath, "--ports", again.Path()});
    ASSERT_TRUE(q.Pump(10000, ": device found")) << q.sofar().out;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::kill(q.pid(), SIGKILL);
    q.Finish(5000);
    std::ifstream after(logPath);
    std::vector<std::string> lines;
    for (std::string l; std::getline(after, l);)
        lines.push_back(l);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], line);
}

// A record that cannot be written stops the station taking devices: a unit
// flashed without its record is worse than one not flashed.
TEST_F(CliTest, AStationThatCannotWriteItsRecordStops)
{
    CSimRig device(Cli());
    const Outcome r = RunFlash({"--watch", "--image", imagePath, "--log", "/dev/full", "--ports", device.Path()});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find(device.Path() + ": the record could not be written"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("station stopped: a record could not be written"), std::string::npos) << r.err;
}

// Data that crawl through an adapter holding received bytes get a hint.
TEST_F(CliTest, ASlowLineGetsTheAdapterHint)
{
    DevSimOptions lagging;
    lagging.pace = true;
    lagging.readLagMs = 8;
    CSimRig device(Cli(lagging));
    const Outcome r = RunFlash({"--ports", device.Path(), "--image", imagePath});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.err.find("hint: the data went at"), std::string::npos) << r.err;
    // It ends with the command that sets the timer of that port, to copy whole.
    const std::string command = ": sudo zerquill-flash --set-latency " + device.Path() + " 1\n";
    ASSERT_GE(r.err.size(), command.size()) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - command.size()), command) << r.err;
}

// ---- Jobs and their release ------------------------------------------------

// A shell command line (openssl, the way an engineer makes keys and signs).
Outcome Sh(const std::string& command) { return RunProgram({"/bin/sh", "-c", command}); }

// A job fixes the image by its hash, the ports by its slots and the record
// file; what it fixes cannot be talked round by a changed image or by -i.
// A lot is counted from its record file across restarts, never flashes a
// unit beyond its size, and once written touches no port and exits 5.
TEST_F(CliTest, ALotEndsAtItsSizeAcrossRestarts)
{
    const std::string job = dir.file("lot7.zqjob");
    ASSERT_EQ(RunFlash({"--make-job", job, "-i", imagePath, "--name", "lot7", "--units", "3"}).status, 0);
    nlohmann::json text = nlohmann::json::parse(ReadText(job));
    text["log"] = "lot7.jsonl";
    const auto slots = [&](const std::string& a, const std::string& b) {
        text["slots"] = {{{"port", a}, {"label", "slot 1"}}, {{"port", b}, {"label", "slot 2"}}};
        WriteText(job, text.dump());
    };
    {
        CSimRig one(Cli()), two(Cli());
        slots(one.Path(), two.Path());
        const Outcome r = RunFlash({"--job", job, "--all"});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("slot 1 (" + one.Path() + "): Success Download!"), std::string::npos) << r.out;
    }
    {
        // One unit to go: the station takes one of the two and ends.
        CSimRig one(Cli()), two(Cli());
        slots(one.Path(), two.Path());
        const Outcome r = RunFlash({"--job", job, "--watch"});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("lot lot7: 2 of 3 written, 1 to go"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("lot lot7 complete: 3 of 3 written"), std::string::npos) << r.out;
        const DevSimReport a = one.Finish(), b = two.Finish();
        EXPECT_NE(a.sawBeaconReply, b.sawBeaconReply) << "a unit beyond the lot was touched, or none was";
        EXPECT_EQ(CompareWithImage(a.sawBeaconReply ? a : b, image), "");
    }
    UntouchedPty line, other;
    slots(line.pty.path(), other.pty.path());
    for (const char* mode : {"--all", "--watch"}) {
        const Outcome r = RunFlash({"--job", job, mode});
        EXPECT_EQ(r.status, 5) << mode << r.err;
        EXPECT_NE(r.out.find("lot lot7 complete: 3 of 3 written"), std::string::npos) << r.out;
    }
    line.ExpectUntouched();
    other.ExpectUntouched();
}

TEST_F(CliTest, AJobPinsItsImageRunsItsSlotsAndNamesThemInTheRecords)
{
    const std::string job = dir.file("lot7.zqjob");
    const Outcome made = RunFlash({"--make-job", job, "-i", imagePath, "--name", "lot7", "--units", "500"});
    ASSERT_EQ(made.status, 0) << made.err;
    nlohmann::json written = nlohmann::json::parse(ReadText(job));
    EXPECT_EQ(written["image"], "DB.bin"); // from the job's folder
    EXPECT_EQ(written["sha256"], Sha256Hex(image.data(), image.size()));
    EXPECT_EQ(written["units"], 500);
    EXPECT_EQ(RunFlash({"--make-job", job, "-i", imagePath, "--name", "lot7"}).status, 64) << "replaced without --force";
    EXPECT_EQ(RunFlash({"--make-job", job, "-i", imagePath, "--name", "lot8", "--force"}).status, 0);
    std::vector<uint8_t> refused = image;
    refused[2] = 'X';
    WriteFile(dir.file("bad.bin"), refused);
    EXPECT_EQ(RunFlash({"--make-job", dir.file("bad.zqjob"), "-i", dir.file("bad.bin"), "--name", "x"}).status, 3);

    // The slots are the ports, in order; the record names the slot, the job
    // and the station, and goes to the job's record file.
    CSimRig device(Cli());
    PtyPair silent;
    written["slots"] = {{{"port", silent.path()}, {"label", "slot 1"}}, {{"port", device.Path()}, {"label", "slot 2"}}};
    written["station"] = "line3-st1";
    written["log"] = "lot7.jsonl";
    WriteText(job, written.dump());
    const Outcome r = RunFlash({"--job", job, "--all"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(CompareWithImage(device.Finish(), image), "");
    const std::vector<nlohmann::json> records = JsonLines(ReadText(dir.file("lot7.jsonl")));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["port"], device.Path());
    EXPECT_EQ(records[0]["slot"], "slot 2");
    EXPECT_EQ(records[0]["job"], "lot7");
    EXPECT_EQ(records[0]["station"], "line3-st1");
    EXPECT_TRUE(records[0]["signed_by"].is_null());

    // One byte of the image changed: both hashes, exit 3, no port touched.
    UntouchedPty line;
    written["slots"] = {{{"port", line.pty.path()}, {"label", "slot 1"}}};
    WriteText(job, written.dump());
    std::vector<uint8_t> tampered = image;
    tampered[65536 + 5] ^= 1;
    WriteFile(imagePath, tampered);
    for (const std::vector<std::string>& mode : {std::vector<std::string>{}, {"--all"}, {"--watch"}}) {
        std::vector<std::string> args = {"--job", job};
        args.insert(args.end(), mode.begin(), mode.end());
        const Outcome t = RunFlash(args);
        EXPECT_EQ(t.status, 3) << t.err;
        EXPECT_NE(t.err.find(Sha256Hex(tampered.data(), tampered.size())), std::string::npos) << t.err;
        EXPECT_NE(t.err.find(written["sha256"].get<std::string>()), std::string::npos) << t.err;
    }
    line.ExpectUntouched();

    // A malformed job is told with what is wrong in it.
    written["slot"] = written["slots"];
    WriteText(job, written.dump());
    const Outcome typo = RunFlash({"--job", job});
    EXPECT_EQ(typo.status, 64);
    EXPECT_NE(typo.err.find("unknown key \"slot\""), std::string::npos) << typo.err;
    WriteText(job, "{\"job\": \"x\", \"image\": \"DB.bin\"}");
    EXPECT_NE(RunFlash({"--job", job}).err.find("\"sha256\" is missing"), std::string::npos);
}

// Our signatures are openssl's and the other way round, in both key forms;
// a job that is not released is refused before any port, saying why.
TEST_F(CliTest, SignedJobsInteroperateWithOpensslAndUnreleasedOnesTouchNoPort)
{
    const std::string d = dir.path() + "/";
    ASSERT_EQ(Sh("cd " + d + " && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out eng.pem"
                 " && openssl ec -in eng.pem -out eng-sec1.pem && openssl pkey -in eng.pem -pubout -out eng.pub"
                 " && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out other.pem"
                 " && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out p384.pem"
                 " && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -aes256 -pass pass:x -out enc.pem"
                 " && chmod 600 *.pem")
                  .status,
              0);
    ASSERT_NE(ReadText(d + "eng-sec1.pem").find("BEGIN EC PRIVATE KEY"), std::string::npos);
    const std::string fingerprint =
        Sh("openssl pkey -pubin -in " + d + "eng.pub -outform DER | sha256sum | cut -c1-64").out.substr(0, 64);
    const std::string verify = "openssl dgst -sha256 -verify " + d + "eng.pub -signature ";

    // Ours, from each form of the key, verified by openssl.
    const Outcome made = RunFlash({"--make-job", d + "a.zqjob", "-i", imagePath, "--name", "a", "--key", d + "eng.pem"});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.err, "") << "a key only its owner reads needs no warning";
    EXPECT_EQ(Sh(verify + d + "a.zqjob.sig " + d + "a.zqjob").out, "Verified OK\n");
    ASSERT_EQ(RunFlash({"--make-job", d + "b.zqjob", "-i", imagePath, "--name", "b"}).status, 0);
    ASSERT_EQ(RunFlash({"--sign-job", d + "b.zqjob", "--key", d + "eng-sec1.pem"}).status, 0);
    EXPECT_EQ(Sh(verify + d + "b.zqjob.sig " + d + "b.zqjob").out, "Verified OK\n");
    // openssl's, verified by ours, naming the key by openssl's fingerprint.
    ASSERT_EQ(RunFlash({"--make-job", d + "c.zqjob", "-i", imagePath, "--name", "c"}).status, 0);
    ASSERT_EQ(Sh("openssl dgst -sha256 -sign " + d + "eng.pem -out " + d + "c.zqjob.sig " + d + "c.zqjob").status, 0);
    const Outcome verified = RunFlash({"--verify-job", d + "c.zqjob", "--trust", d + "eng.pub"});
    EXPECT_EQ(verified.status, 0) << verified.err;
    EXPECT_EQ(verified.out, d + "c.zqjob: released by eng (" + fingerprint + ")\n");

    // Keys it will not sign with, said plainly, never quoted; and a job whose image is not its pin.
    const Outcome encrypted = RunFlash({"--sign-job", d + "b.zqjob", "--key", d + "enc.pem"});
    EXPECT_EQ(encrypted.status, 64);
    EXPECT_NE(encrypted.err.find("the key is encrypted"), std::string::npos) << encrypted.err;
    EXPECT_EQ(encrypted.err.find("BEGIN"), std::string::npos) << encrypted.err;
    EXPECT_NE(RunFlash({"--sign-job", d + "b.zqjob", "--key", d + "p384.pem"}).err.find("on P-384, not P-256"),
              std::string::npos);
    ASSERT_EQ(Sh("chmod 644 " + d + "other.pem").status, 0);
    const Outcome exposed = RunFlash({"--sign-job", d + "b.zqjob", "--key", d + "other.pem"});
    EXPECT_NE(exposed.err.find("can be read by every user"), std::string::npos) << exposed.err;
    WriteFile(dir.file("other.bin"), MakeImage(65536 + 128 * 3, 24, 9));
    ASSERT_EQ(Sh("cp " + dir.file("other.bin") + " " + imagePath).status, 0);
    EXPECT_EQ(RunFlash({"--sign-job", d + "b.zqjob", "--key", d + "eng.pem"}).status, 3);
    WriteFile(imagePath, image);

    // The three refusals, no port touched: no signature, another key's, a job changed after signing.
    ASSERT_EQ(Sh("openssl dgst -sha256 -sign " + d + "other.pem -out " + d + "b.zqjob.sig " + d + "b.zqjob").status, 0);
    std::string changed = ReadText(d + "a.zqjob");
    changed.replace(changed.find("\"a\""), 3, "\"z\"");
    WriteText(d + "a.zqjob", changed);
    const struct {
        std::string job, why;
    } refusals[] = {{"d.zqjob", "it has no signature"},
                    {"b.zqjob", "verifies against none of the 1 trusted key"},
                    {"a.zqjob", "it was changed after eng (" + fingerprint + ") signed it"}};
    ASSERT_EQ(RunFlash({"--make-job", d + "d.zqjob", "-i", imagePath, "--name", "d"}).status, 0);
    UntouchedPty line;
    for (const auto& refusal : refusals) {
        const Outcome r = RunFlash({"--job", d + refusal.job, "--trust", d + "eng.pub", "--ports", line.pty.path()});
        EXPECT_EQ(r.status, 6) << r.err;
        EXPECT_NE(r.err.find(refusal.why), std::string::npos) << r.err;
        const Outcome v = RunFlash({"--verify-job", d + refusal.job, "--trust", d + "eng.pub"});
        EXPECT_EQ(v.status, 6);
        EXPECT_NE(v.err.find(refusal.why), std::string::npos) << v.err;
    }
    line.ExpectUntouched();

    // A released job runs, and its record names the key as openssl does.
    CSimRig device(Cli());
    const Outcome run = RunFlash({"--job", d + "c.zqjob", "--trust", d + "eng.pub", "--ports", device.Path(), "--log",
                                  d + "c.jsonl", "-q"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(CompareWithImage(device.Finish(), image), "");
    const std::vector<nlohmann::json> records = JsonLines(ReadText(d + "c.jsonl"));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["signed_by"], fingerprint);
    EXPECT_EQ(records[0]["job"], "c");
}

// ---- The yield report -------------------------------------------------

// A known log, every figure worked out by hand: ten records (one unit
// retried after a failure, one whose first try was cancelled, three records
// without a USB serial) and a torn last line. The page carries the chart
// library itself.
TEST(Cli, TheReportOfAKnownLogHasItsFiguresAndAPageThatNeedsNoNetwork)
{
    TempDir dir;
    const std::string page = dir.file("yield.html");
    const Outcome r = RunFlash({"--report", ZQ_YIELD_LOG, "--html", page});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char* expected :
         {"  records:             10 (1 line not read: no JSON object)\n",
          "  span:                2026-12-07T08:00:00Z to 2026-12-07T10:00:00Z\n",
          "  results:             6 success, 3 fail, 1 cancelled\n",
          "  first-pass yield:    62.5% (5 of 8 units written at their first attempt; 5 told apart by USB serial",
          "  written in the end:  6 of 8 units (75.0%)\n",
          "  units per hour:      3.0 ",
          "  duration (written):  p50 12.0 s, p90 12.4 s, p95 12.4 s, max 12.4 s (6 downloads)\n",
          "  /dev/ttyUSB2        2       1  33.3%\n  slot 1              2       0  0.0%\n"
          "  slot 2              2       2  50.0%\n",
          "         2  66.7%  block_refused  block 2 refused 5 times in a row (device answered 0x15)\n"
          "         1  33.3%  syn_echo       device echoed SYN as FD FD FD\n"})
        EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;

    std::ifstream in(page, std::ios::binary);
    const std::string html((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ifstream lib(ZQ_CHARTJS, std::ios::binary);
    const std::string chartJs((std::istreambuf_iterator<char>(lib)), std::istreambuf_iterator<char>());
    ASSERT_GT(chartJs.size(), 10000u);
    EXPECT_NE(html.find(chartJs), std::string::npos) << "the chart library is not in the page";
    EXPECT_EQ(html.find(" src="), std::string::npos);
    EXPECT_NE(html.find("\"slotFailed\":[1,0,2]"), std::string::npos);
    EXPECT_NE(html.find("\"causeCount\":[2,1]"), std::string::npos);
    EXPECT_NE(html.find("\"cause\":[\"block refused\",\"SYN not echoed\"]"), std::string::npos);
    EXPECT_NE(html.find("{label: 'fail', data: data.failed"), std::string::npos) << "the records' word";
    EXPECT_NE(html.find("\"failed\":[1,0,0,0,0,0,1,0,0,0,0,0,0,0,0,0,0,0,1,0,0,0,0,0]"), std::string::npos);
    EXPECT_NE(html.find("<td>slot 2</td><td>2</td><td>2</td><td>50.0%</td>"), std::string::npos);
}

// A station whose clock was never set records 1970: the report reads such
// a record as any other. The memory limit makes a runaway fail at once.
TEST(Cli, TheReportTakesTheRecordsOfAClockNeverSet)
{
    TempDir dir;
    const std::string log = dir.file("units.jsonl");
    WriteText(log, R"({"id":"a","time":"1970-01-01T00:00:00Z","result":"success","port":"/dev/ttyS0","duration_s":10})"
                   "\n"
                   R"({"id":"b","time":"2026-12-07T08:00:00Z","result":"fail","port":"/dev/ttyS0","duration_s":2})"
                   "\n");
    // A report that grew without bound would end here rather than take the
    // machine. A sanitizer reserves terabytes of address space, so under
    // one the bound is on what the process holds, in the sanitizer's terms.
#if defined(ZQ_SANITIZED)
    const std::string bound = "export ASAN_OPTIONS=\"$ASAN_OPTIONS:hard_rss_limit_mb=1000\" "
                              "TSAN_OPTIONS=\"$TSAN_OPTIONS:hard_rss_limit_mb=1000\"; ";
#else
    const std::string bound = "ulimit -v 1000000; ";
#endif
    const Outcome r = Sh(bound + "exec " + ZQ_FLASH_EXE + " --report " + log);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("  span:                1970-01-01T00:00:00Z to 2026-12-07T08:00:02Z\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("max 10.0 s (1 download)\n"), std::string::npos) << r.out;
}

// ---- Forwarding -------------------------------------------------------

std::vector<nlohmann::json> LogRecords(const std::string& path)
{
    std::ifstream in(path);
    std::vector<nlohmann::json> records;
    for (std::string line; std::getline(in, line);)
        records.push_back(nlohmann::json::parse(line));
    return records;
}

double SecondsSince(Clock::time_point begun)
{
    return std::chrono::duration<double>(Clock::now() - begun).count();
}

// Every record reaches the receiver once, under its own id, whatever the
// receiver does meanwhile: answers 503 while --all flashes, goes away during
// a single download, stays away through the program's end, refuses a token.
TEST_F(CliTest, RecordsAreForwardedThroughRefusalsAndOutagesAndNoneIsLost)
{
    CReceiver receiver;
    receiver.status = 503;
    const std::string logPath = dir.file("records.jsonl");
    const auto flash = [&](std::vector<std::string> args) {
        args.insert(args.end(), {"--image", imagePath, "--log", logPath, "--forward", receiver.Url()});
        return RunFlash(args, 40000);
    };
    {
        CSimRig a(Cli()), b(Cli());
        std::thread mend([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(2500));
            receiver.status = 201;
        });
        const Outcome r = flash({"--all", "--ports", a.Path() + "," + b.Path()});
        mend.join();
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("forward: the receiver answered HTTP 503"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("forward: every record delivered (2 in all)"), std::string::npos) << r.err;
        EXPECT_EQ(receiver.Unique(), 2u);
        EXPECT_GT(receiver.Requests(), 2u);
    }
    {
        CSimRig a(Cli());
        receiver.Stop();
        std::thread back([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(2500));
            receiver.Restart();
        });
        const Outcome r = flash({"-p", a.Path()});
        back.join();
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("forward: no answer from " + receiver.Url()), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("forward: the receiver takes records again"), std::string::npos) << r.err;
        EXPECT_EQ(receiver.Unique(), 3u);
    }
    {
        // Away through the whole end: about 10 s of trying, then the count,
        // and the status is still the flashing's.
        CSimRig a(Cli());
        receiver.Stop();
        const auto begun = Clock::now();
        const Outcome r = flash({"-p", a.Path()});
        const double took = SecondsSince(begun);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("forward: 1 record waits to be delivered; zerquill-flash --forward-pending"),
                  std::string::npos)
            << r.err;
        EXPECT_GT(took, 9.5);
        EXPECT_LT(took, 25.0);
        receiver.Restart();
    }

    // A refused token is told as such, the token itself never, and the
    // record stays pending.
    receiver.SetToken("s3cret-right");
    const std::string tokenPath = dir.file("mes.token");
    std::ofstream(tokenPath) << "s3cret-wrong\n";
    ASSERT_EQ(::chmod(tokenPath.c_str(), 0644), 0);
    const std::vector<std::string> pending = {"--forward-pending", "--log", logPath, "--forward", receiver.Url(),
                                              "--forward-token-file", tokenPath};
    Outcome r = RunFlash(pending, 40000);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("the receiver refused the token (HTTP 401)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(tokenPath + " can be read by others (mode 0644): chmod 600"), std::string::npos) << r.err;
    EXPECT_EQ((r.out + r.err).find("s3cret"), std::string::npos) << r.err;
    EXPECT_EQ(receiver.Unique(), 3u);

    // The right token: the rest goes; run again, nothing new is sent.
    std::ofstream(tokenPath) << "s3cret-right\n";
    ASSERT_EQ(::chmod(tokenPath.c_str(), 0600), 0);
    r = RunFlash(pending, 40000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("can be read by others"), std::string::npos) << r.err;
    const size_t requests = receiver.Requests();
    r = RunFlash(pending, 40000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(receiver.Requests(), requests);

    const std::regex uuid4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::set<std::string> ids;
    for (const nlohmann::json& record : LogRecords(logPath)) {
        EXPECT_TRUE(std::regex_match(record["id"].get<std::string>(), uuid4)) << record;
        ids.insert(record["id"].get<std::string>());
    }
    EXPECT_EQ(ids.size(), 4u);
    EXPECT_EQ(receiver.Ids(), ids);
    EXPECT_EQ(receiver.Problems(), std::vector<std::string>());
}

// Killed outright between a record and its delivery: once while the
// receiver refused it, once after the receiver took it but before its
// answer came back. After the restart each is delivered, the second one
// twice, and the receiver keeps one of each by its id.
TEST_F(CliTest, RecordsOfAKilledProgramAreDeliveredAfterTheRestart)
{
    CReceiver receiver;
    const std::string logPath = dir.file("records.jsonl");
    const auto killedOnce = [&](const std::function<bool()>& reached) {
        CSimRig device(Cli());
        Process p({ZQ_FLASH_EXE, "-p", device.Path(), "--image", imagePath, "--log", logPath, "--forward",
                   receiver.Url()});
        const auto end = Clock::now() + std::chrono::seconds(20);
        while (!reached() && Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::kill(p.pid(), SIGKILL);
        return p.Finish().status;
    };
    receiver.status = 503;
    EXPECT_EQ(killedOnce([&] { return receiver.Requests() >= 1; }), 128 + SIGKILL);
    receiver.status = 201;
    receiver.holdMs = 3000;
    const auto lines = [&] {
        std::ifstream in(logPath);
        return std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n');
    };
    EXPECT_EQ(killedOnce([&] { return receiver.Taken() >= 1 && lines() == 2; }), 128 + SIGKILL);
    EXPECT_EQ(receiver.Unique(), 1u);
    receiver.holdMs = 0;

    const Outcome r = RunFlash({"--forward-pending", "--log", logPath, "--forward", receiver.Url()}, 40000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(LogRecords(logPath).size(), 2u);
    EXPECT_EQ(receiver.Unique(), 2u);
    EXPECT_EQ(receiver.Taken(), 3u);
    EXPECT_EQ(receiver.Problems(), std::vector<std::string>());
}

// ---- The record file --------------------------------------------------

// A power cut during an append leaves that record's line cut anywhere, and
// without its newline. Cut at every byte: on the next start the fragment
// costs only itself. The next record is a line of its own, and the lot's
// count, the forwarder and the report each take every whole record and
// skip the fragments.
TEST_F(CliTest, ARecordCutAnywhereByAPowerCutCostsOnlyItself)
{
    const ImageSnapshot snapshot = Snapshot();
    ASSERT_TRUE(snapshot.bytes);
    DeviceOutcome written = Written();
    RecordTags tags;
    tags.job = "lot7";
    tags.station = "line1";
    const auto record = [&] { return RecordLine(written, snapshot, "", tags); };

    TempDir scratch(SyncFreeFolder());
    const std::string logPath = scratch.file("lot7.jsonl");
    std::vector<std::string> expected, whole; // the file's lines; the records among them
    const size_t length = record().size();
    for (size_t cut = 0; cut <= length; ++cut) {
        const std::string torn = record();
        ASSERT_EQ(torn.size(), length);
        std::ofstream(logPath, std::ios::binary | std::ios::app) << torn.substr(0, cut);
        if (cut > 0)
            expected.push_back(torn.substr(0, cut));
        if (cut == length)
            whole.push_back(torn); // cut just before its newline: whole once ended
        CRecordLog log;
        std::string why;
        ASSERT_TRUE(log.Open(logPath, why)) << why;
        const std::string next = record();
        ASSERT_TRUE(log.Append(next));
        expected.push_back(next);
        whole.push_back(next);
    }
    const size_t fragments = expected.size() - whole.size();
    const std::vector<std::string> lines = Lines(ReadText(logPath));
    EXPECT_EQ(lines.size(), expected.size()) << "records were glued onto what a cut left";
    EXPECT_TRUE(lines == expected);

    EXPECT_EQ(CountLotWritten(logPath, "lot7", snapshot.sha256), whole.size());

    CReceiver receiver;
    size_t pending = 0;
    std::vector<std::string> told;
    const std::vector<std::string> taken = Forward(receiver, logPath, pending, told);
    std::vector<std::string> ids;
    for (const std::string& line : whole)
        ids.push_back(nlohmann::json::parse(line).at("id").get<std::string>());
    EXPECT_EQ(pending, whole.size());
    EXPECT_EQ(taken, ids);
    EXPECT_EQ(told.size(), fragments) << (told.empty() ? std::string() : told.front());
    EXPECT_EQ(receiver.Problems(), std::vector<std::string>());

    const Outcome r = RunFlash({"--report", logPath});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("  records:             " + std::to_string(whole.size()) + " (" +
                         std::to_string(fragments) + " lines not read: no JSON object)\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  results:             " + std::to_string(whole.size()) + " success\n"), std::string::npos)
        << r.out;
}

// Two stations appending to one record would interleave their records and
// count a lot twice; two forwarders would send each record twice. While a
// station writes its record, a second one is refused before it opens a
// port, and so is --forward-pending; --report, which only reads, is not.
TEST_F(CliTest, ARecordFileIsWrittenByOneStationAtATime)
{
    const std::string logPath = dir.file("records.jsonl");
    const ImageSnapshot snapshot = Snapshot();
    ASSERT_TRUE(snapshot.bytes);
    DeviceOutcome written = Written();
    WriteText(logPath, RecordLine(written, snapshot, "") + "\n");

    PtyPair quiet;
    Process first({ZQ_FLASH_EXE, "--watch", "--image", imagePath, "--log", logPath, "--ports", quiet.path()});
    ASSERT_TRUE(first.Pump(10000, "station: listening")) << first.sofar().out << first.sofar().err;

    const std::string inUse = "zerquill-flash: " + logPath + " is in use by another station";
    UntouchedPty line;
    for (const std::vector<std::string>& mode :
         {std::vector<std::string>{"-p", line.pty.path()}, {"--all", "--ports", line.pty.path()},
          {"--watch", "--ports", line.pty.path()}}) {
        std::vector<std::string> args = mode;
        args.insert(args.end(), {"--image", imagePath, "--log", logPath});
        const Outcome r = RunFlash(args);
        EXPECT_EQ(r.status, 1) << mode[0] << r.out << r.err;
        EXPECT_EQ(LastLine(r.err), inUse) << mode[0];
    }
    line.ExpectUntouched();

    CReceiver receiver;
    const std::vector<std::string> pending = {"--forward-pending", "--log", logPath, "--forward", receiver.Url()};
    Outcome r = RunFlash(pending);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(LastLine(r.err), inUse);
    EXPECT_EQ(receiver.Requests(), 0u);

    r = RunFlash({"--report", logPath});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("  records:             1\n"), std::string::npos) << r.out;

    // Once the station has ended, the file is anyone's again.
    ::kill(first.pid(), SIGTERM);
    EXPECT_EQ(first.Finish().status, 143);
    r = RunFlash(pending);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(receiver.Unique(), 1u);
}

// ---- Release channels ---------------------------------------------------

// A channel in a folder, its keys made by openssl, releases published by
// the tool itself; the station follows it with --channel.
class ChannelCliTest : public CliTest {
protected:
    void SetUp() override
    {
        CliTest::SetUp();
        for (const char* name : {"root", "release", "online"})
            ASSERT_EQ(std::system(("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " +
                                   dir.file(std::string(name) + ".pem") + " && openssl pkey -pubout -in " +
                                   dir.file(std::string(name) + ".pem") + " -out " +
                                   dir.file(std::string(name) + ".pub")).c_str()), 0);
        const Outcome init = RunFlash({"--channel-init", repo, "--root-key", dir.file("root.pem"), "--release-key",
                                       dir.file("release.pub"), "--online-key", dir.file("online.pub")});
        ASSERT_EQ(init.status, 0) << init.err;
    }
    // The job of an image written at path, published as the next release.
    void Publish(const std::vector<uint8_t>& bytes, const std::string& path)
    {
        WriteFile(path, bytes);
        const std::string job = path + ".zqjob";
        ASSERT_EQ(RunFlash({"--make-job", job, "-i", path, "--name", "lot", "--force"}).status, 0);
        const Outcome r = RunFlash({"--publish", repo, "--job", job, "--release-key", dir.file("release.pem"),
                                    "--online-key", dir.file("online.pem")});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    std::vector<std::string> Follow(std::vector<std::string> args) const
    {
        args.insert(args.begin(), {"--channel", repo, "--channel-root", repo + "/1.root.json", "--channel-state",
                                   dir.file("state")});
        return args;
    }
    static std::vector<std::string> Exe(std::vector<std::string> args)
    {
        args.insert(args.begin(), ZQ_FLASH_EXE);
        return args;
    }
    std::string repo = dir.file("repo");
};

TEST_F(ChannelCliTest, AWatchingStationSwitchesReleaseBetweenTwoDevices)
{
    Publish(image, dir.file("v1.bin"));
    const std::vector<uint8_t> second = MakeImage(65536 + 128 * kBlocks, 8 * kBlocks, 9);
    CSimRig one(Cli()), two(Cli());
    const std::string slot1 = dir.file("slot1"), slot2 = dir.file("slot2"), log = dir.file("units.jsonl");
    ASSERT_EQ(::symlink(one.Path().c_str(), slot1.c_str()), 0);
    Process p(Exe(Follow({"--watch", "--count", "2", "--channel-every", "1", "--log", log, "--ports",
                          slot1 + "," + slot2})));
    ASSERT_TRUE(WaitFor([&] { return JsonLines(ReadText(log)).size() == 1; }, 20000)) << p.sofar().err;
    // The next device gets release 2 once the station has taken it.
    Publish(second, dir.file("v2.bin"));
    ASSERT_TRUE(p.Pump(20000, "release 2 of " + repo)) << p.sofar().out << p.sofar().err;
    ASSERT_EQ(::symlink(two.Path().c_str(), slot2.c_str()), 0);
    const Outcome r = p.Finish(30000);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(CompareWithImage(one.Finish(), image), "");
    EXPECT_EQ(CompareWithImage(two.Finish(), second), "");
    const std::vector<nlohmann::json> records = JsonLines(ReadText(log));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]["release"], nlohmann::json({{"channel", repo}, {"version", 1}}));
    EXPECT_EQ(records[1]["release"], nlohmann::json({{"channel", repo}, {"version", 2}}));
    EXPECT_EQ(records[1]["image"]["sha256"], Sha256Hex(second.data(), second.size()));
    EXPECT_EQ(records[1]["job"], "lot");
}

TEST_F(ChannelCliTest, AnExpiredChannelStartsNoDownloadAndSaysWhy)
{
    Publish(image, dir.file("v1.bin"));
    PrivateKey online;
    std::string error;
    ASSERT_TRUE(ReadPrivateKeyFile(dir.file("online.pem"), online, error)) << error;
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    // A timestamp that expires while the station runs.
    ASSERT_TRUE(RefreshTimestamp(repo, online, now + 5, error)) << error;
    PtyPair line;
    Process p(Exe(Follow({"--watch", "--channel-every", "1", "--ports", line.path()})));
    ASSERT_TRUE(p.Pump(20000, "could not be confirmed since", true)) << p.sofar().out << p.sofar().err;
    EXPECT_NE(p.sofar().err.find("expired"), std::string::npos) << p.sofar().err;
    ASSERT_TRUE(WaitFor([&] { return line.speed() == B4800; }, 5000));
    line.send({DEVICE_BEACON, DEVICE_BEACON, DEVICE_BEACON});
    EXPECT_TRUE(line.receive(1, 500).empty()) << "a beacon was answered with the channel expired";
    // Confirmed again, the station answers the next beacon: it kept running.
    ASSERT_TRUE(RefreshTimestamp(repo, online, now + 86400, error)) << error;
    ASSERT_TRUE(p.Pump(20000, "confirmed again", true)) << p.sofar().err;
    line.send({DEVICE_BEACON});
    EXPECT_FALSE(line.receive(1, 5000).empty());
    ::kill(p.pid(), SIGTERM);
    p.Finish(20000);

    // A single download from a frozen channel: 7, the word, and nothing sent.
    ASSERT_TRUE(RefreshTimestamp(repo, online, now - 60, error)) << error;
    UntouchedPty untouched;
    const Outcome r = RunFlash(Follow({"-p", untouched.pty.path()}));
    EXPECT_EQ(r.status, 7) << r.out << r.err;
    EXPECT_NE(r.err.find("cannot be confirmed: expired"), std::string::npos) << r.err;
    untouched.ExpectUntouched();
    EXPECT_EQ(RunFlash({"--channel", repo, "--image", imagePath}).status, 64);
}

} // namespace

}  // namespace zq
