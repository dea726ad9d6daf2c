// The station window's rules without a window: what Start sends, which drops
// and buttons an idle, a running and a locked station take, and closing
// while downloads run. Devices are simulators on ptys.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "devsim/DevSim.h"
#include "devsim/SimRig.h"
#include "release/Job.h"
#include "station/StationController.h"
#include "link/NamedPorts.h"
#include "tests/TempDir.h"

namespace zq {

using namespace devsim;

namespace {

// Drains as a window's ticks would until done; false after ms.
bool DrainUntil(CStationController& station, const std::function<bool(const BoardChanges&)>& done, int ms = 20000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (done(station.Drain()))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(CStationController::kTickMs));
    }
    return false;
}

bool Ended(const BoardChanges& changes) { return changes.ended; }

std::vector<std::string> Results(const std::string& path)
{
    std::vector<std::string> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        out.push_back(nlohmann::json::parse(line).value("result", ""));
    return out;
}

void WriteJob(const TempDir& dir, const std::string& sha256, const std::string& log)
{
    std::string job = JobText("lot", "DB.bin", sha256, 0, "");
    if (!log.empty()) {
        nlohmann::json json = nlohmann::json::parse(job);
        json["log"] = log;
        job = json.dump();
    }
    WriteFile(dir.file("lot.zqjob"), std::vector<uint8_t>(job.begin(), job.end()));
}

} // namespace

// Start reads the file again: a bare image replaced since it was chosen is
// sent as it is now, and a job whose image changed is refused at Start with
// nothing sent, until its pinned image is back.
TEST(StationController, StartReadsTheImageOnceAndSendsWhatItRead)
{
    TempDir dir;
    const std::vector<uint8_t> first = MakeImage(65536 + 128 * 4, 4, 1);
    const std::vector<uint8_t> second = MakeImage(65536 + 128 * 4, 4, 2);
    WriteFile(dir.file("DB.bin"), first);
    CSimRig device{DevSimOptions()};
    CStationController station([] {}, TrustStore());
    station.SetPortSource([&] { return std::vector<PortInfo>{{device.Path(), "", ""}}; });

    ASSERT_TRUE(station.Choose(dir.file("DB.bin"))) << station.ImageCause();
    const std::string chosenSha = station.Image().sha256;
    WriteFile(dir.file("DB.bin"), second);
    ASSERT_TRUE(station.Start()) << station.Board().Alert();
    EXPECT_NE(station.Image().sha256, chosenSha);
    ASSERT_TRUE(DrainUntil(station, [&](const BoardChanges&) { return station.Board().Totals().written == 1; }));
    station.Stop();
    ASSERT_TRUE(DrainUntil(station, Ended));
    EXPECT_EQ(CompareWithImage(device.Finish(), second), "");

    WriteJob(dir, chosenSha, "");
    ASSERT_FALSE(station.Choose(dir.file("lot.zqjob")));
    EXPECT_NE(station.ImageCause().find("is not the one job lot pins"), std::string::npos) << station.ImageCause();
    WriteFile(dir.file("DB.bin"), first);
    ASSERT_TRUE(station.Choose(dir.file("lot.zqjob"))) << station.ImageCause();
    WriteFile(dir.file("DB.bin"), second);
    device.Start();
    EXPECT_FALSE(station.Start());
    EXPECT_NE(station.ImageCause().find("is not the one job lot pins"), std::string::npos) << station.ImageCause();
    EXPECT_FALSE(station.ImageOk());
    EXPECT_EQ(station.State(), StationState::Idle);
    EXPECT_EQ(Results(dir.file("zerquill-station.jsonl")).size(), 1u) << "a refused Start recorded something";
    EXPECT_FALSE(device.Finish().sawBeaconReply) << "a refused Start touched a device";
}

// Drops and the Image button: a job may always be dropped on an idle
// station, an image only with no job and no trusted keys; a running station
// takes nothing. The record is the operator's, else the job's, else beside
// what is written.
TEST(StationController, DropsButtonsAndTheRecordFollowTheJobTheLockAndTheRun)
{
    TempDir dir;
    const std::vector<uint8_t> image = MakeImage(65536 + 128 * 2, 2, 3);
    WriteFile(dir.file("DB.bin"), image);
    CStationController station([] {}, TrustStore());
    station.SetPortSource([] { return std::vector<PortInfo>(); });
    ASSERT_TRUE(station.Choose(dir.file("DB.bin")));
    EXPECT_TRUE(station.TakesImage());
    EXPECT_TRUE(station.TakesDrop(dir.file("other.bin")));
    EXPECT_EQ(station.RecordPath(), dir.file("zerquill-station.jsonl"));

    WriteJob(dir, station.Image().sha256, dir.file("lot.jsonl"));
    ASSERT_TRUE(station.Choose(dir.file("lot.zqjob"))) << station.ImageCause();
    EXPECT_FALSE(station.TakesImage());
    EXPECT_FALSE(station.TakesDrop(dir.file("DB.bin")));
    EXPECT_TRUE(station.TakesDrop(dir.file("other.zqjob")));
    EXPECT_EQ(station.RecordPath(), dir.file("lot.jsonl"));
    ASSERT_TRUE(station.ChooseRecord(dir.file("mine.jsonl")));
    EXPECT_EQ(station.RecordPath(), dir.file("mine.jsonl"));

    ASSERT_TRUE(station.Start()) << station.Board().Alert();
    EXPECT_EQ(station.State(), StationState::Running);
    EXPECT_FALSE(station.TakesDrop(dir.file("other.zqjob")));
    EXPECT_FALSE(station.Choose(dir.file("DB.bin")));
    EXPECT_FALSE(station.ChooseRecord(dir.file("else.jsonl")));
    EXPECT_TRUE(station.Job()) << "a refused choice while running dropped the job";
    station.Stop();
    ASSERT_TRUE(DrainUntil(station, Ended));
    EXPECT_EQ(station.State(), StationState::Idle);

    TrustStore locked;
    locked.unusable.push_back("a key file that cannot be read");
    CStationController guarded([] {}, locked);
    EXPECT_FALSE(guarded.TakesImage());
    EXPECT_FALSE(guarded.TakesDrop(dir.file("DB.bin")));
    EXPECT_TRUE(guarded.TakesDrop(dir.file("lot.zqjob")));
    EXPECT_FALSE(guarded.Choose(dir.file("DB.bin")));
    EXPECT_NE(guarded.ImageCause().find("released jobs only"), std::string::npos) << guarded.ImageCause();
    EXPECT_FALSE(guarded.Choose(dir.file("lot.zqjob"))) << "a job nobody released was opened";
    EXPECT_FALSE(guarded.Start());
    // A store that cannot be read locks, and says why.
    CStationController blind([] {}, ReadTrustStore(dir.file("DB.bin")));
    EXPECT_FALSE(blind.Choose(dir.file("DB.bin")));
    EXPECT_NE(blind.ImageCause().find("(cannot read " + dir.file("DB.bin") + ": Not a directory)"), std::string::npos)
        << blind.ImageCause();
}

// Before Start the window shows what Start will listen on: the ports named
// on the command line, and a job's slots before them, as tiles wearing the
// slots' labels.
TEST(StationController, BeforeStartTheNamedPortsAndTheJobsSlotsAreShown)
{
    TempDir dir;
    WriteFile(dir.file("DB.bin"), MakeImage(65536 + 128 * 2, 2, 3));
    CStationController station([] {}, TrustStore());
    station.SetPortSource([] { return std::vector<PortInfo>{{"/dev/zq-listed"}}; });
    ASSERT_TRUE(station.Choose(dir.file("DB.bin")));
    EXPECT_EQ(station.EmptyText(), "Start listens on every serial port and flashes each device that arrives.");
    std::vector<std::string> args{"ZerquillStation", "--ports", "/dev/pts/5,/dev/pts/6", "DB.bin"}, ports;
    std::string error;
    ASSERT_TRUE(TakePortsOption(args, ports, error)) << error;
    EXPECT_EQ(args, (std::vector<std::string>{"ZerquillStation", "DB.bin"}));
    station.SetPorts(ports);
    EXPECT_EQ(station.EmptyText(), "Start listens on /dev/pts/5, /dev/pts/6, and flashes each device that arrives.");
    station.FollowList();
    EXPECT_EQ(station.Board().Order(), ports);

    nlohmann::json job = nlohmann::json::parse(JobText("lot", "DB.bin", station.Image().sha256, 0, ""));
    job["slots"] = {{{"port", "/dev/zq-a"}, {"label", "A"}}, {{"port", "/dev/zq-b"}}};
    const std::string text = job.dump();
    WriteFile(dir.file("lot.zqjob"), std::vector<uint8_t>(text.begin(), text.end()));
    ASSERT_TRUE(station.Choose(dir.file("lot.zqjob"))) << station.ImageCause();
    EXPECT_EQ(station.EmptyText(),
              "Start listens on the job's slots: A (/dev/zq-a), /dev/zq-b, and flashes each device that arrives.");
    station.FollowList();
    EXPECT_EQ(station.Board().Order(), (std::vector<std::string>{"/dev/zq-a", "/dev/zq-b"}));
    EXPECT_EQ(station.Board().Find("/dev/zq-a")->label, "A");
    for (const char* bad : {"--ports", "--ports=a,,b"}) {
        std::vector<std::string> given{"ZerquillStation", bad};
        EXPECT_FALSE(TakePortsOption(given, ports, error)) << bad;
    }
}

// Closing asks once while downloads run and not after Stop; the window goes
// only once the station has ended with every download recorded cancelled.
TEST(StationController, StopThenCloseEndsClosingWithEveryRecordKept)
{
    TempDir dir;
    WriteFile(dir.file("DB.bin"), MakeImage(65536 + 128 * 400, 400, 6));
    DevSimOptions paced;
    paced.pace = true;
    CSimRig first(paced), second(paced);
    CStationController station([] {}, TrustStore());
    station.SetPortSource([&] { return std::vector<PortInfo>{{first.Path(), "", ""}, {second.Path(), "", ""}}; });
    ASSERT_TRUE(station.Choose(dir.file("DB.bin")));
    ASSERT_TRUE(station.Start()) << station.Board().Alert();
    ASSERT_TRUE(DrainUntil(station, [&](const BoardChanges&) { return station.Board().Totals().inFlight == 2; }));

    EXPECT_EQ(station.RequestClose(), CloseStep::Ask);
    EXPECT_EQ(station.RequestClose(), CloseStep::Wait) << "asked twice";
    EXPECT_EQ(station.ConfirmClose(false), CloseStep::Wait);
    EXPECT_EQ(station.State(), StationState::Running);

    station.Stop();
    EXPECT_EQ(station.State(), StationState::Stopping);
    EXPECT_EQ(station.RequestClose(), CloseStep::Wait) << "asked after Stop";
    EXPECT_EQ(station.State(), StationState::Closing);
    EXPECT_FALSE(station.Start());
    ASSERT_TRUE(DrainUntil(station, Ended));
    EXPECT_EQ(station.State(), StationState::Closing);
    EXPECT_FALSE(station.Running());
    EXPECT_EQ(station.RequestClose(), CloseStep::Close);
    EXPECT_EQ(station.Board().Totals().cancelled, 2u);
    EXPECT_EQ(Results(dir.file("zerquill-station.jsonl")), (std::vector<std::string>{"cancelled", "cancelled"}));
}

}  // namespace zq
