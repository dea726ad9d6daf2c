// The station's core: the image snapshot (read once, accepted as a download
// would accept it, hashed, served from memory), the station's rules for when
// a port is flashed, the session's records and cancel, and the board the
// windows draw.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "download/Causes.h"
#include "tests/PtyPair.h"
#include "devsim/DevSim.h"
#include "download/ImageCheck.h"
#include "release/Job.h"
#include "station/Station.h"
#include "station/StationBoard.h"
#include "release/OpenedJob.h"
#include "release/Release.h"
#include "release/Signature.h"
#include "station/StationSession.h"
#include "record/Record.h"
#include "platform/Sha256.h"
#include "tests/KnownDigests.h"
#include "devsim/SimRig.h"
#include "tests/TempDir.h"
#include "tests/TestHost.h"
#include "tests/WaitFor.h"

namespace zq {

using namespace devsim;

namespace {

std::string Sha256Sum(const std::string& path)
{
    std::string out;
    if (FILE* p = popen(("sha256sum '" + path + "'").c_str(), "r")) {
        char buf[128] = {};
        if (std::fgets(buf, sizeof buf, p))
            out.assign(buf, 64);
        pclose(p);
    }
    return out;
}

// The image written to dir's DB.bin and taken as a station takes it.
ImageSnapshot Snapshot(const TempDir& dir, const std::vector<uint8_t>& image)
{
    WriteFile(dir.file("DB.bin"), image);
    ImageSnapshot snap;
    DownloadFailure refused;
    EXPECT_TRUE(TakeImageSnapshot(dir.file("DB.bin"), snap, refused));
    return snap;
}

TEST(Sha256, KnownDigests)
{
    ExpectKnownDigests();
}

TEST(ImageSnapshot, TakesTheImageAsADownloadWouldAndHashesIt)
{
    TempDir dir;
    const std::string path = dir.file("DB.bin");
    WriteFile(path, MakeImage(65536 + 128 * 5 + 30, 0x0028));
    ImageSnapshot snap;
    DownloadFailure failure;
    ASSERT_TRUE(TakeImageSnapshot(path, snap, failure));
    EXPECT_EQ(snap.sha256, Sha256Sum(path));
    EXPECT_EQ(snap.header, 0x0028);
    EXPECT_EQ(snap.blocks, 5u);
    EXPECT_EQ(snap.tail, 30u);
    EXPECT_EQ(snap.bytes->size(), 65536u + 128 * 5 + 30);

    // Refused and missing images say why, as a download would.
    WriteFile(path, MakeImage(65536 + 128, 0x0100)); // N = 256 needs 65536 + 4096 bytes
    EXPECT_FALSE(TakeImageSnapshot(path, snap, failure));
    EXPECT_EQ(failure.step, FailStep::ImageRefused);
    EXPECT_EQ(failure.refusal, ImageRefusal::TooShort);
    EXPECT_EQ(failure.imageBytes, 65536u + 128);
    EXPECT_EQ(failure.header, 0x0100u);
    EXPECT_FALSE(TakeImageSnapshot(dir.file("none.bin"), snap, failure));
    EXPECT_EQ(failure.step, FailStep::ImageOpen);
    EXPECT_EQ(failure.fileError, FileError::NotFound);
}

// Every device gets the bytes of the snapshot, whatever the file on disk
// becomes meanwhile.
TEST(ImageSnapshot, ADownloadSendsTheSnapshotNotTheFileAsItIsNow)
{
    TempDir dir;
    const std::string path = dir.file("DB.bin");
    const std::vector<uint8_t> original = MakeImage(65536 + 128 * 4, 3, 11);
    WriteFile(path, original);
    ImageSnapshot snap;
    DownloadFailure failure;
    ASSERT_TRUE(TakeImageSnapshot(path, snap, failure));
    WriteFile(path, MakeImage(65536 + 128 * 9, 5, 12));

    DevSimOptions options;
    CSimRig sim(options);
    TestHost host(path);
    snap.Bind(host.file());
    host.UsePorts({sim.Path()});
    host.Run();
    ASSERT_EQ(host.Notice1(), "Success Download!");
    const DevSimReport report = sim.Finish();
    EXPECT_EQ(CompareWithImage(report, original), "");
    EXPECT_FALSE(host.file().IsOpen());

    // Another path is not the snapshot's: nothing is opened.
    TestHost other(dir.file("other.bin"));
    snap.Bind(other.file());
    other.UsePorts({});
    other.Run();
    EXPECT_EQ(other.Notice1(), "File Open Failed");
}

// The adapter's details in a record: what the system told, null for what
// it did not, and no adapter at all for a port without USB details.
TEST(Record, UsbDetailsOfThePortsAdapter)
{
    ImageSnapshot image;
    DeviceOutcome o;
    o.port = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.2-port0";
    o.device = PortInfo{o.port, "Acme USB Serial", "0403:6011"};
    o.device.vendorId = "0403";
    o.device.productId = "6011";
    o.device.location = "1-1.2:1.2";
    nlohmann::json record = nlohmann::json::parse(RecordLine(o, image, ""));
    EXPECT_EQ(record.at("usb"), nlohmann::json::parse(R"({"vendor_id": "0403", "product_id": "6011",
                                                          "serial": null, "location": "1-1.2:1.2"})"));
    o.device.serialNumber = "FT4232X";
    record = nlohmann::json::parse(RecordLine(o, image, ""));
    EXPECT_EQ(record.at("usb").at("serial"), "FT4232X");

    // A built-in port: a description and a driver, but nothing of USB.
    o.device = PortInfo{"/dev/ttyS0", "serial8250", ""};
    record = nlohmann::json::parse(RecordLine(o, image, ""));
    ASSERT_TRUE(record.contains("usb"));
    EXPECT_TRUE(record.at("usb").is_null());
}

// The one-button dialog on a locked station writes only an image that a
// released job beside it pins; unlocked, any image goes as before.
TEST(StationJob, ALockedStationsDialogRefusesAnImageNoReleasedJobPins)
{
    TempDir dir;
    const std::vector<uint8_t> image = MakeImage(65536 + 128, 1);
    const ImageSnapshot snap = Snapshot(dir, image);
    EXPECT_EQ(ImageReleaseRefusal(snap.path, TrustStore()), "");
    TrustStore locked;
    locked.unusable.push_back("a damaged key file");
    EXPECT_NE(ImageReleaseRefusal(snap.path, locked).find("not released"), std::string::npos);
    // A job beside it that pins it, but that nobody signed.
    const nlohmann::json job = {{"job", "j"}, {"image", "DB.bin"}, {"sha256", snap.sha256}};
    const std::string text = job.dump();
    WriteFile(dir.file("DB.zqjob"), std::vector<uint8_t>(text.begin(), text.end()));
    const std::string refused = ImageReleaseRefusal(snap.path, locked);
    EXPECT_NE(refused.find("not released"), std::string::npos) << refused;
    EXPECT_NE(refused.find("signature"), std::string::npos) << refused;
}

// A locked station's dialog sends exactly the image it checked against the
// released job: DB.bin overwritten in place once blocks flow, the device
// still gets the released bytes, and the next Start reads the file anew.
TEST(StationJob, ALockedDialogSendsTheReleasedBytesThoughTheFileChanges)
{
    TempDir dir;
    const std::string path = dir.file("DB.bin");
    const std::vector<uint8_t> released = MakeImage(65536 + 128 * 40, 1, 31);
    const std::vector<uint8_t> other = MakeImage(65536 + 128 * 40, 1, 32);
    const ImageSnapshot snap = Snapshot(dir, released);
    const std::string keyPath = dir.file("eng.pem");
    ASSERT_EQ(std::system(("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out '" + keyPath +
                           "' 2>/dev/null")
                              .c_str()),
              0);
    PrivateKey key;
    std::string error;
    ASSERT_TRUE(ReadPrivateKeyFile(keyPath, key, error)) << error;
    TrustStore locked;
    locked.keys.push_back(PublicHalf(key, "eng"));
    const std::string job = JobText("lot", "DB.bin", snap.sha256, 0, locked.keys[0].fingerprint);
    WriteFile(dir.file("DB.zqjob"), std::vector<uint8_t>(job.begin(), job.end()));
    Bytes signature;
    ASSERT_TRUE(Sign(key, reinterpret_cast<const uint8_t*>(job.data()), job.size(), signature));
    WriteFile(SignaturePath(dir.file("DB.zqjob")), signature);

    CSimRig sim{DevSimOptions()};
    TestHost host(path);
    host.UsePorts({sim.Path()});
    host.onPos = [&](uint32_t position) {
        if (position == 41) // block 1 acknowledged
            WriteFile(path, other);
    };
    DownloadReleasedImage(&host, locked);
    ASSERT_EQ(host.Notice1(), "Success Download!");
    EXPECT_EQ(CompareWithImage(sim.Finish(), released), "");

    // DB.bin is now another image than the job pins: refused, nothing sent.
    TestHost again(path);
    again.UsePorts({});
    DownloadReleasedImage(&again, locked);
    ASSERT_EQ(again.notices.size(), 1u);
    EXPECT_NE(again.notices[0].find("is not the one job lot pins"), std::string::npos) << again.notices[0];
}

// A job file is read before anyone trusts it: whatever it holds, it is
// refused in one line that repeats none of its controls, and the program
// goes on. A number beyond a double is not a JSON syntax error but must be
// refused all the same.
TEST(Job, AHostileJobIsRefusedInOneLineAndNeverEndsTheProgram)
{
    const std::string head = R"({"job": "j", "image": "DB.bin", "sha256": ")" + std::string(64, 'a') + R"(", )";
    const struct {
        std::string text, said;
    } cases[] = {
        {head + R"("un\nits": 3})", R"(unknown key "un\nits")"},
        {head + R"("forward": {"url": "u", "\u001b[2J": 1}})", R"(forward: unknown key "\u001b[2J")"},
        {head + R"("slots": [{"port": "a", "label": "\u001b]0;x\u0007"}, {"port": "b", "label": "\u001b]0;x\u0007"}]})",
         R"(slot 2: label "\u001b]0;x\u0007" is already another slot's)"},
        {head + R"("slots": [{"port": "a\r"}, {"port": "a\r"}]})", R"(slot 2: port "a\r" is already another slot's)"},
        {head + R"("units": 1e400})", "not JSON: number overflow parsing '1e400'"},
    };
    for (const auto& c : cases) {
        Job job;
        std::string error;
        EXPECT_FALSE(ParseJob(c.text, "/jobs", job, error)) << c.text;
        EXPECT_EQ(error, c.said) << c.text;
    }
}

// An adapter that re-enumerates mid-download (brown-out, a loose hub): its
// name vanishes and comes back leading to a device that was never flashed.
// The download fails as a lost line at its block, and the port is re-armed
// at once, though the new device beacons without a pause.
TEST(Station, AnAdapterThatResetsMidDownloadIsFlashedAgainWhenItReturns)
{
    TempDir dir;
    const std::vector<uint8_t> image = MakeImage(65536 + 128 * 20, 4, 3);
    const ImageSnapshot snap = Snapshot(dir, image);

    DevSimOptions first;
    first.hangupBlock = 5;
    CSimRig gone(first);
    const std::string slot = dir.file("slot1");
    ASSERT_EQ(::symlink(gone.Path().c_str(), slot.c_str()), 0);
    CSimRig back{DevSimOptions()};

    struct Events : PortEvents {
        std::mutex mutex;
        std::vector<DeviceOutcome> ended;
        bool OnEnded(const DeviceOutcome& o) override
        {
            std::lock_guard<std::mutex> lock(mutex);
            ended.push_back(o);
            return true;
        }
    } events;
    StationOptions options;
    options.ports = {slot};
    options.count = 2;
    CStation station(snap, events, options);
    std::atomic<bool> stop{false};
    std::thread repoint([&] {
        // The moment the first device hangs up, its name leads elsewhere.
        gone.Wait(10000);
        const std::string tmp = slot + ".new";
        if (::symlink(back.Path().c_str(), tmp.c_str()) == 0)
            ::rename(tmp.c_str(), slot.c_str());
        for (int i = 0; i < 200 && !stop.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stop = true;
    });
    const StationEnd end = station.Run(stop);
    stop = true;
    repoint.join();

    EXPECT_EQ(end, StationEnd::Counted) << "the returning adapter's device was never flashed";
    ASSERT_EQ(events.ended.size(), 2u);
    const DeviceOutcome& cut = events.ended[0];
    EXPECT_FALSE(cut.success);
    EXPECT_TRUE(cut.failure.lineLost);
    EXPECT_EQ(DescribeFailure(cut.failure, cut.discovery, snap.path),
              "the device or its adapter was disconnected at block 5");
    EXPECT_TRUE(events.ended[1].success);
    EXPECT_EQ(CompareWithImage(back.Finish(), image), "");
}

// Counts the times a port began listening: open at the beacon's speed, its
// input emptied, on the listener's thread.
struct Listened : PortEvents {
    std::atomic<int> times{0};
    void OnPort(const PortInfo&, PortPhase phase) override { times += phase == PortPhase::Listening; }
};

// The station answers the very beacon it heard, and the exchange follows:
// a device that beacons once, slowly, is not left to beacon again for a
// discovery of the download's own.
TEST(Station, ADeviceIsAnsweredAfterTheBeaconThatWasHeard)
{
    TempDir dir;
    const ImageSnapshot snap = Snapshot(dir, MakeImage(65536 + 128, 1));
    PtyPair pty;
    Listened listened;
    StationOptions options;
    options.ports = {pty.path()};
    options.count = 1;
    CStation station(snap, listened, options);
    std::atomic<bool> stop{false};
    std::vector<uint8_t> heard;
    std::thread device([&] {
        // Once the port is open and its input emptied: a beacon before that is lost.
        if (WaitFor([&] { return listened.times > 0; }, 10000))
            pty.send({zq::DEVICE_BEACON});
        heard = pty.receive(6, 1500); // the three replies, then SYN's first bytes
        stop = true;
    });
    station.Run(stop);
    device.join();
    ASSERT_GE(heard.size(), 4u) << "one beacon got no reply, or no exchange after it";
    EXPECT_EQ(std::vector<uint8_t>(heard.begin(), heard.begin() + 4),
              (std::vector<uint8_t>{zq::BEACON_REPLY, zq::BEACON_REPLY, zq::BEACON_REPLY, zq::kSyn.b[0]}));
}


// What a session tells, kept for the test.
struct SeenEvents : SessionEvents {
    std::mutex mutex;
    std::vector<std::string> found;
    std::vector<DeviceEnding> ended;
    void OnFound(const std::string& port, const StationTotals&) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        found.push_back(port);
    }
    void OnEnded(const DeviceEnding& e) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        ended.push_back(e);
    }
    size_t Found()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return found.size();
    }
    size_t Ended()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return ended.size();
    }
};

// A flashed device that stays is not flashed again, however it beacons; one
// that goes quiet for the gone-time and comes back is a new unit. The
// gone-time is set far from the silence each case makes, so that a machine
// that stalls the test between the two sessions changes neither outcome.
TEST(StationSession, APortIsArmedAgainOnlyOnceItsDeviceHasGone)
{
    TempDir dir;
    const std::vector<uint8_t> image = MakeImage(65536 + 128 * 4, 4, 9);
    const ImageSnapshot snap = Snapshot(dir, image);
    for (const bool leaves : {false, true}) {
        SCOPED_TRACE(leaves ? "the device leaves and comes back" : "the device stays");
        CSimRig rig{DevSimOptions()};
        SeenEvents seen;
        CStationSession session(snap, seen, nullptr);
        StationOptions options;
        options.ports = {rig.Path()};
        options.goneMs = leaves ? 400 : 20000;
        std::atomic<bool> stop{false};
        std::thread station([&] { session.Run(options, stop); });
        ASSERT_TRUE(WaitFor([&] { return seen.Ended() == 1; }, 10000));
        EXPECT_EQ(CompareWithImage(rig.Wait(5000), image), "");
        // Staying, it beacons again at once; leaving, it is silent past the
        // gone-time first.
        if (leaves)
            std::this_thread::sleep_for(std::chrono::milliseconds(options.goneMs + 600));
        rig.Start();
        // Staying: the beacons go on for longer than a device that left
        // would take to be flashed.
        WaitFor([&] { return seen.Ended() == 2; }, leaves ? 10000 : 3000);
        stop = true;
        station.join();
        const DevSimReport& second = rig.Finish();
        if (leaves) {
            EXPECT_EQ(seen.Ended(), 2u) << "the device that came back was not flashed";
            EXPECT_EQ(CompareWithImage(second, image), "");
        } else {
            EXPECT_EQ(seen.Ended(), 1u) << "the device that stayed was flashed twice";
            EXPECT_FALSE(second.sawBeaconReply);
        }
    }
}

// A unit that failed and restarts, silent longer than the gone-time, is the
// same unit: held, its tile says so, until the operator retries it (the
// same unit's attempt 2, one device in the totals) or it is silent for the
// away-time (another unit).
TEST(StationSession, AUnitThatFailedIsHeldUntilRetriedOrTakenAway)
{
    TempDir dir;
    const ImageSnapshot snap = Snapshot(dir, MakeImage(65536 + 128 * 4, 4, 9));
    DevSimOptions refusing;
    refusing.refusals = {{0, kBlockRefusals}};
    refusing.silenceMs = 200;
    CSimRig rig(refusing);
    SeenEvents seen;
    CStationSession session(snap, seen, nullptr);
    StationOptions options;
    options.ports = {rig.Path()};
    // Far apart, so that a stalled test lengthens a silence without
    // carrying it past the next figure.
    options.goneMs = 300;
    options.awayMs = 3000;
    std::atomic<bool> stop{false};
    std::thread station([&] { session.Run(options, stop); });
    const auto endedAt = [&](size_t n) { return WaitFor([&] { return seen.Ended() >= n; }, 15000); };
    ASSERT_TRUE(endedAt(1));
    rig.Wait(5000);
    EXPECT_FALSE(session.Retry("/dev/none"));
    // It restarts: silent past the gone-time, short of the away-time.
    std::this_thread::sleep_for(std::chrono::milliseconds(options.goneMs + 400));
    rig.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(seen.Ended(), 1u) << "the unit that restarted after its failure was flashed again by itself";
    EXPECT_TRUE(session.Retry(rig.Path()));
    ASSERT_TRUE(endedAt(2)) << "the retried unit was not flashed at its next beacon";
    rig.Wait(5000);
    // Taken away: silent past the away-time, then a unit beacons.
    std::this_thread::sleep_for(std::chrono::milliseconds(options.awayMs + 800));
    rig.Start();
    ASSERT_TRUE(endedAt(3)) << "the unit put in after the away-time was not flashed";
    stop = true;
    station.join();
    rig.Finish();

    std::lock_guard<std::mutex> lock(seen.mutex);
    const DeviceEnding &first = seen.ended[0], &retried = seen.ended[1], &next = seen.ended[2];
    EXPECT_FALSE(first.outcome.success);
    EXPECT_EQ(retried.outcome.unit, first.outcome.unit);
    EXPECT_EQ(retried.outcome.attempt, 2u);
    EXPECT_NE(next.outcome.unit, first.outcome.unit);
    EXPECT_EQ(next.outcome.attempt, 1u);
    EXPECT_EQ(retried.totals.devices, 1u);
    EXPECT_EQ(retried.totals.Downloads(), 2u);
    EXPECT_EQ(next.totals.devices, 2u);
    const nlohmann::json record = nlohmann::json::parse(retried.record);
    EXPECT_EQ(record["unit"], first.outcome.unit);
    EXPECT_EQ(record["attempt"], 2);
}

// Each front end hears the totals in the order they were counted, however
// the station's threads race to tell them: a download that ends while
// another's start is still being told must not be undone by that start's
// older totals (a counter read as reset, a download in flight read as none).
TEST(StationSession, TotalsAreToldInTheOrderTheyWereCounted)
{
    TempDir dir;
    const ImageSnapshot snap = Snapshot(dir, MakeImage(65536 + 128, 1, 3));
    struct Telling : SessionEvents {
        std::mutex mutex;
        std::condition_variable ended;
        bool anEnd = false;
        unsigned found = 0;
        std::vector<StationTotals> told;
        void OnFound(const std::string&, const StationTotals& totals) override
        {
            std::unique_lock<std::mutex> lock(mutex);
            // The second start is told late, once the first download has
            // ended, or after a while where that end is held back.
            if (++found == 2)
                ended.wait_for(lock, std::chrono::seconds(3), [&] { return anEnd; });
            told.push_back(totals);
        }
        void OnEnded(const DeviceEnding& e) override
        {
            std::lock_guard<std::mutex> lock(mutex);
            told.push_back(e.totals);
            anEnd = true;
            ended.notify_all();
        }
    } telling;
    CSimRig one{DevSimOptions()}, two{DevSimOptions()};
    CStationSession session(snap, telling, nullptr);
    StationOptions options;
    options.ports = {one.Path(), two.Path()};
    options.count = 2;
    std::atomic<bool> stop{false};
    std::thread guard([&] {
        WaitFor([&] { return stop.load(); }, 20000);
        stop = true;
    });
    session.Run(options, stop);
    stop = true;
    guard.join();
    ASSERT_EQ(telling.told.size(), 4u);
    for (size_t i = 1; i < telling.told.size(); ++i) {
        const StationTotals &before = telling.told[i - 1], &now = telling.told[i];
        EXPECT_GE(now.Downloads(), before.Downloads()) << "event " << i << ": the downloads went back";
        EXPECT_GE(now.inFlight + now.Downloads(), before.inFlight + before.Downloads())
            << "event " << i << ": a download that had begun was no longer counted";
    }
}

// A unit flashed without its record is worse than one not flashed: the
// session stops taking devices once a record cannot be written.
TEST(StationSession, ARecordThatCannotBeWrittenStopsTheStation)
{
    TempDir dir;
    const std::vector<uint8_t> image = MakeImage(65536 + 128 * 2, 2, 4);
    const ImageSnapshot snap = Snapshot(dir, image);
    CRecordLog full;
    std::string why;
    ASSERT_TRUE(full.Open("/dev/full", why)) << why;
    CSimRig first{DevSimOptions()};
    CSimRig later{DevSimOptions()};
    SeenEvents seen;
    CStationSession session(snap, seen, &full);
    StationOptions options;
    // The second device is plugged in once the first has ended.
    options.portSource = [&] {
        std::vector<PortInfo> ports{DescribePort(first.Path())};
        if (seen.Ended() > 0)
            ports.push_back(DescribePort(later.Path()));
        return ports;
    };
    std::atomic<bool> stop{false};
    std::thread guard([&] {
        WaitFor([&] { return stop.load(); }, 15000);
        stop = true;
    });
    const StationEnd end = session.Run(options, stop);
    const bool stoppedByGuard = stop.exchange(true);
    guard.join();
    EXPECT_FALSE(stoppedByGuard) << "the station went on after its record failed";
    EXPECT_EQ(end, StationEnd::Unrecorded);
    ASSERT_EQ(seen.Ended(), 1u);
    EXPECT_FALSE(seen.ended[0].recorded);
    EXPECT_TRUE(seen.ended[0].totals.unrecorded);
    EXPECT_EQ(CompareWithImage(first.Finish(), image), "");
    EXPECT_FALSE(later.Finish().sawBeaconReply) << "a device was taken with no record to be had";
}

// Stop cancels every download in flight, and each ends, recorded as
// cancelled, before the station does.
TEST(StationSession, StopDeliversEveryDownloadInFlightAsCancelled)
{
    TempDir dir;
    const std::vector<uint8_t> image = MakeImage(65536 + 128 * 400, 400, 6);
    const ImageSnapshot snap = Snapshot(dir, image);
    DevSimOptions paced;
    paced.pace = true;
    std::vector<std::unique_ptr<CSimRig>> rigs;
    StationOptions options;
    for (int i = 0; i < 3; ++i) {
        rigs.push_back(std::make_unique<CSimRig>(paced));
        options.ports.push_back(rigs.back()->Path());
    }
    CRecordLog log;
    std::string why;
    ASSERT_TRUE(log.Open(dir.file("records.jsonl"), why)) << why;
    SeenEvents seen;
    CStationSession session(snap, seen, &log);
    std::string error;
    ASSERT_TRUE(session.Start(options, error)) << error;
    ASSERT_TRUE(WaitFor([&] { return seen.Found() == 3; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    session.Stop();
    session.Join();
    ASSERT_EQ(seen.Ended(), 3u);
    for (const DeviceEnding& e : seen.ended) {
        EXPECT_TRUE(e.outcome.cancelled) << e.outcome.port;
        EXPECT_TRUE(e.recorded);
    }
    const StationTotals totals = session.Totals();
    EXPECT_EQ(totals.cancelled, 3u);
    EXPECT_EQ(totals.inFlight, 0u);
    std::ifstream records(dir.file("records.jsonl"));
    std::string line;
    unsigned cancelled = 0;
    while (std::getline(records, line))
        cancelled += nlohmann::json::parse(line).value("result", "") == "cancelled";
    EXPECT_EQ(cancelled, 3u);
}

// Paused from afar, the line lets the download in flight finish whole and
// answers no other device until it goes on; then that device is flashed.
TEST(StationSession, PausedTheDownloadInFlightFinishesAndNoNewDeviceIsAnswered)
{
    TempDir dir;
    const std::vector<uint8_t> image = MakeImage(65536 + 128 * 40, 40, 7);
    const ImageSnapshot snap = Snapshot(dir, image);
    CSimRig first{DevSimOptions()};
    CSimRig later{DevSimOptions()};
    // Paused the moment the first device is found: its download is in flight.
    struct PausingEvents : SeenEvents {
        std::atomic<CStationSession*> session{nullptr};
        void OnFound(const std::string& port, const StationTotals& totals) override
        {
            SeenEvents::OnFound(port, totals);
            if (CStationSession* s = session.exchange(nullptr))
                s->Pause(true);
        }
    } seen;
    CStationSession session(snap, seen, nullptr);
    seen.session = &session;
    StationOptions options;
    options.portSource = [&] {
        std::vector<PortInfo> ports{DescribePort(first.Path())};
        if (seen.Found() > 0)
            ports.push_back(DescribePort(later.Path()));
        return ports;
    };
    std::string why;
    ASSERT_TRUE(session.Start(options, why)) << why;
    ASSERT_TRUE(WaitFor([&] { return seen.Ended() == 1; }, 10000));
    EXPECT_TRUE(seen.ended[0].outcome.success);
    EXPECT_EQ(CompareWithImage(first.Wait(5000), image), "");
    // The later device beacons all along; two list polls and more pass.
    std::this_thread::sleep_for(std::chrono::milliseconds(3 * kPortListPollMs + 500));
    EXPECT_TRUE(session.Paused());
    EXPECT_EQ(seen.Found(), 1u) << "a device was answered while the line was paused";
    session.Pause(false);
    ASSERT_TRUE(WaitFor([&] { return seen.Ended() == 2; }, 10000)) << "the line did not go on once resumed";
    session.Stop();
    session.Join();
    EXPECT_EQ(seen.found[1], later.Path());
    EXPECT_EQ(CompareWithImage(later.Wait(5000), image), "");
}

size_t ThreadCount()
{
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)entry;
        ++n;
    }
    return n;
}

// A port's listener is a thread of its own: it ends when the port leaves the
// system's list, and a new one begins if the port comes back.
TEST(Station, AListenersThreadEndsWithItsPort)
{
    TempDir dir;
    const ImageSnapshot snap = Snapshot(dir, MakeImage(65536 + 128, 1));
    PtyPair pty;
    std::atomic<bool> listed{true};
    Listened listened;
    StationOptions options;
    options.portSource = [&] {
        return listed ? std::vector<PortInfo>{DescribePort(pty.path())} : std::vector<PortInfo>{};
    };
    const size_t before = ThreadCount();
    CStation station(snap, listened, options);
    std::atomic<bool> stop{false};
    std::thread run([&] { station.Run(stop); });
    // Counted once the listener listens: every thread is up by then, a
    // sanitizer's own (started along with the first) too.
    ASSERT_TRUE(WaitFor([&] { return listened.times == 1; }, 10000));
    const size_t listening = ThreadCount();
    EXPECT_GE(listening, before + 2);
    listed = false;
    // A thread that ended leaves the kernel's list a moment later: waited for.
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() == listening - 1; }, 5000))
        << "the listener outlived its port: " << ThreadCount() << " threads, " << listening << " while listening";
    listed = true;
    EXPECT_TRUE(WaitFor([&] { return listened.times == 2 && ThreadCount() == listening; }, 5000))
        << "the port came back unheard";
    stop = true;
    run.join();
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() <= listening - 2; }, 5000)) << ThreadCount();
}

// The board the windows draw: one port's tile through a failure, the
// device's leaving, a refusal and its going; one wake for a run of events.
TEST(StationBoard, ATileFollowsItsPortThroughEveryState)
{
    std::atomic<int> wakes{0};
    CStationBoard board([&] { ++wakes; });
    SessionEvents& events = board.Events();
    const PortInfo port{"/dev/ttyUSB0", "FT232R USB UART", "0403:6001"};
    events.OnPort(port, PortPhase::Listening);
    StationTotals totals;
    totals.inFlight = 1;
    events.OnFound(port.name, totals);
    EXPECT_EQ(wakes.load(), 1) << "one wake for events not yet drained";
    BoardChanges changes = board.Drain();
    EXPECT_TRUE(changes.order);
    ASSERT_EQ(board.Order(), std::vector<std::string>{port.name});
    const TileView& tile = *board.Find(port.name);
    EXPECT_EQ(tile.state, TileState::Flashing);
    EXPECT_EQ(tile.port.description, "FT232R USB UART");
    EXPECT_EQ(board.TotalsWords(), (std::vector<std::string>{"Written 0", "Failed 0", "In flight 1"}));

    StageReport report;
    report.stage = Stage::Sending;
    report.blocks = 10;
    report.done = 3;
    events.OnProgress(port.name, report);
    EXPECT_EQ(wakes.load(), 1) << "progress waits for the window's timer";
    events.OnHint(port.name, "slow adapter");
    board.Drain();
    EXPECT_EQ(tile.BlockWords(), "block 3 / 10");
    EXPECT_EQ(tile.note, "slow adapter");

    report.done = 7;
    events.OnProgress(port.name, report);
    DeviceEnding ending;
    ending.outcome.port = port.name;
    ending.outcome.seconds = 4.25;
    ending.note = "device did not acknowledge block 7";
    ending.totals.failed = 1;
    events.OnEnded(ending);
    // A report that comes after the end does not bring the tile back.
    events.OnProgress(port.name, report);
    board.Drain();
    EXPECT_EQ(tile.state, TileState::Failed);
    EXPECT_EQ(tile.BlockWords(), "block 7 / 10") << "the bar stays where the download ended";
    EXPECT_EQ(tile.note, ending.note);
    EXPECT_TRUE(tile.alarm);
    EXPECT_EQ(tile.Counters(), "written 0   failed 1   last 4.2 s");

    events.OnPort(port, PortPhase::Listening);
    board.Drain();
    EXPECT_EQ(tile.state, TileState::Failed) << "a failure stays red until the next device";
    EXPECT_EQ(tile.note, "last: " + ending.note) << "a failure stays readable until the next device";
    EXPECT_TRUE(tile.alarm);
    EXPECT_FALSE(tile.Retryable()) << "its unit has gone";
    events.OnPort(port, PortPhase::Listening);
    board.Drain();
    EXPECT_EQ(tile.note, "last: " + ending.note) << "said once";

    events.OnPort(port, PortPhase::Busy);
    board.Drain();
    EXPECT_EQ(tile.state, TileState::Busy);
    EXPECT_STREQ(TileWords(tile.state), "busy");
    EXPECT_FALSE(tile.note.empty());
    events.OnPort(port, PortPhase::Absent);
    board.Drain();
    EXPECT_EQ(tile.state, TileState::Unavailable);
    EXPECT_TRUE(tile.gone);
    EXPECT_TRUE(tile.note.empty()) << "a refusal's words go with the port";
    EXPECT_EQ(tile.failed, 1u);

    DeviceEnding unrecorded = ending;
    unrecorded.recorded = false;
    events.OnEnded(unrecorded);
    events.OnStationEnded(StationEnd::Unrecorded);
    changes = board.Drain();
    EXPECT_TRUE(changes.ended);
    EXPECT_NE(board.Alert().find("no new devices"), std::string::npos) << board.Alert();
    EXPECT_NE(board.Alert().find("The station has stopped."), std::string::npos) << board.Alert();
    board.Finish();
    EXPECT_EQ(board.Find(port.name), nullptr) << "a port that left goes with the station's end";
}

// A station window whose record another station writes says so and starts
// nothing; once it has the file, it holds it until its station has ended.
TEST(StationBoard, ARecordAnotherStationWritesIsRefused)
{
    TempDir dir;
    const ImageSnapshot snap = Snapshot(dir, MakeImage(65536 + 128, 1));
    const std::string path = dir.file("records.jsonl");
    const std::string inUse = path + " is in use by another station";
    auto other = std::make_unique<CRecordLog>();
    std::string why;
    ASSERT_TRUE(other->Open(path, why)) << why;
    CStationBoard board([] {});
    BoardStart start;
    start.image = &snap;
    start.recordPath = path;
    start.portSource = [] { return std::vector<PortInfo>(); };
    EXPECT_FALSE(board.Start(start));
    EXPECT_EQ(board.Alert(), inUse);
    EXPECT_FALSE(board.Running());

    other.reset();
    ASSERT_TRUE(board.Start(start)) << board.Alert();
    CRecordLog second;
    EXPECT_FALSE(second.Open(path, why));
    EXPECT_EQ(why, inUse);
    board.Stop();
    EXPECT_TRUE(WaitFor([&] { return board.Drain().ended; }, 5000));
    board.Finish();
    EXPECT_TRUE(second.Open(path, why)) << why;
}

} // namespace

}  // namespace zq
