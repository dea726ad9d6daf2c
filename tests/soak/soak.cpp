// Many downloads in one process against the simulator, each with a fault
// drawn at random, checking after every one that descriptors, threads and
// memory are back where they started: a leak per download is what a
// technician flashing a shelf of devices in one session would hit.
//
// With --station, the same faults meet the station instead: eight devices
// on named ports (links re-pointed as udev re-points by-path links) that are
// flashed, go away or fall silent, and come back, until N downloads have
// ended; then descriptors, threads and memory must be back where they were.
//
//   zq-soak --count N [--station] [--seed S] [--rss-tolerance-kb K] [--verbose]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <future>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "devsim/DevSim.h"
#include "devsim/SimRig.h"
#include "tests/faults/FaultKit.h"
#include "download/ImageCheck.h"
#include "station/Station.h"

using namespace zq;

using namespace devsim;

namespace {

using Bytes = std::vector<uint8_t>;

// Any: the outcome depends on timing, only the clean-up is checked.
enum class Expect { Success, Failure, Any };

struct Fault {
    std::string name;
    DevSimOptions options;
    Expect expect;
};

Fault Draw(std::mt19937& rng, unsigned blocks)
{
    auto pick = [&](unsigned lo, unsigned hi) { return std::uniform_int_distribution<unsigned>(lo, hi)(rng); };
    Fault f{"none", DevSimOptions{}, Expect::Success};
    DevSimOptions& o = f.options;
    // Faults aimed at a block need one.
    unsigned kind = pick(0, 13);
    if (blocks == 0 && (kind == 8 || kind == 11))
        kind = 0;
    switch (kind) {
    case 0: break;
    case 1: o.noiseBytes = pick(1, 3); f.name = "noise before beacons"; break;
    case 2: o.synEcho = pick(0, 1) ? DevSimEcho::Wrong : DevSimEcho::Short; f.name = "bad SYN echo"; f.expect = Expect::Failure; break;
    case 3: o.noRdy = true; f.name = "no RDY"; f.expect = Expect::Failure; break;
    case 4: o.headerEcho = {DevSimEcho::Wrong, pick(1, 4)}; f.name = "wrong header echoes"; break;
    case 5: o.countEcho = {DevSimEcho::Missing, pick(1, 4)}; f.name = "missing count echoes"; break;
    case 6: o.progressBytes = pick(1, 40); o.progressDelayMs = pick(0, 5); f.name = "progress bytes"; break;
    case 7: o.refusals = {{pick(0, 3), pick(1, 4)}}; f.name = "refused block"; break;
    case 8: o.refusals = {{pick(0, blocks - 1), 5}}; f.name = "block refused five times"; f.expect = Expect::Failure; break;
    case 9: o.finalReply = 0x15; f.name = "NAK after END"; f.expect = Expect::Failure; break;
    case 10: {
        static const DevSimStep steps[] = {DevSimStep::Dbw, DevSimStep::Clr, DevSimStep::End, DevSimStep::Final,
                                           DevSimStep::Block};
        o.silentAt = steps[pick(0, blocks ? 4 : 3)];
        o.silentBlock = blocks ? pick(0, blocks - 1) : 0;
        f.name = "device goes silent";
        f.expect = Expect::Failure;
        break;
    }
    case 11: o.hangupBlock = pick(0, blocks - 1); f.name = "hang-up"; f.expect = Expect::Failure; break;
    case 12: o.floodMs = static_cast<int>(pick(50, 300)); f.name = "CLR flood"; break;
    // Whether the tool's five reads fall on noise or reach a beacon depends
    // on where in a burst it opens the port.
    default: o.noiseBytes = 6; f.name = "noise before the beacon"; f.expect = Expect::Any; break;
    }
    o.recordLimit = 4096;
    o.silenceMs = 1500;
    return f;
}

void Print(const char* what, const faults::ProcCounts& c)
{
    if (c.heapBytes >= 0)
        std::printf("%s: fds %d, threads %d, RSS %ld kB, live heap %ld bytes\n", what, c.fds, c.threads, c.rssKb,
                    c.heapBytes);
    else
        std::printf("%s: fds %d, threads %d, RSS %ld kB\n", what, c.fds, c.threads, c.rssKb);
}

// ---- the station ------------------------------------------------------

constexpr unsigned kStationSlots = 8;
// Longer than any session of a six-block image, its silences included.
constexpr int kSessionBoundMs = 8000;

struct SoakSlot {
    std::string link;          // the name the station is given
    std::mutex mutex;
    CSimRig* device = nullptr; // the device now behind it, if any
    Expect expect = Expect::Any;
    std::string fault;
    unsigned ended = 0;        // downloads on it the station reported
    std::condition_variable reported;

    // Until the station has reported a download since `since` downloads,
    // the device stays what it is: its outcome is judged by its fault.
    void AwaitReport(unsigned since)
    {
        std::unique_lock<std::mutex> lock(mutex);
        reported.wait_for(lock, std::chrono::seconds(5), [&] { return ended > since; });
    }
    unsigned Ended()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return ended;
    }
};

class SoakEvents : public PortEvents {
public:
    SoakEvents(std::vector<std::unique_ptr<SoakSlot>>& slots, bool verbose) : slots_(slots), verbose_(verbose) {}
    bool OnEnded(const DeviceOutcome& o) override
    {
        ++ended;
        Expect expect = Expect::Any;
        std::string fault;
        for (auto& slot : slots_) {
            if (slot->link == o.port) {
                std::lock_guard<std::mutex> lock(slot->mutex);
                expect = slot->expect;
                fault = slot->fault;
                ++slot->ended;
                slot->reported.notify_all();
            }
        }
        if (verbose_)
            std::printf("  %3u %-28s %s%s\n", ended, o.port.c_str(), o.notice.c_str(),
                        o.cancelled ? " (cancelled)" : "");
        if (o.cancelled)
            problems.push_back(o.port + ": cancelled while the station ran on");
        else if (expect != Expect::Any && o.success != (expect == Expect::Success))
            problems.push_back(o.port + " (" + fault + "): \"" + o.notice + "\" at step " +
                               std::to_string(static_cast<int>(o.failure.step)));
        return true;
    }
    unsigned ended = 0;
    std::vector<std::string> problems;

private:
    std::vector<std::unique_ptr<SoakSlot>>& slots_;
    bool verbose_;
};

// Points link at target in one step, as udev replaces a by-path link.
void Repoint(const std::string& link, const std::string& target)
{
    const std::string tmp = link + ".new";
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), link.c_str()) != 0)
        std::perror(link.c_str());
}

// One station run of count downloads over eight devices that come and go;
// false with the problems printed.
bool StationRun(const std::string& dir, unsigned count, std::mt19937& rng, bool verbose)
{
    Bytes img(zq::kImageDataOffset + zq::kBlockSize * 6 + 40);
    for (auto& b : img)
        b = static_cast<uint8_t>(rng());
    zq::StampImageHeader(img, 6 * zq::kBlockSize / zq::kLengthPerWord);
    const std::string imagePath = dir + "/station.bin";
    if (FILE* f = std::fopen(imagePath.c_str(), "wb")) {
        std::fwrite(img.data(), 1, img.size(), f);
        std::fclose(f);
    }
    ImageSnapshot image;
    DownloadFailure refused;
    if (!TakeImageSnapshot(imagePath, image, refused)) {
        std::printf("station image refused\n");
        return false;
    }

    std::vector<std::unique_ptr<SoakSlot>> slots;
    StationOptions options;
    options.count = count;
    for (unsigned i = 0; i < kStationSlots; ++i) {
        slots.push_back(std::make_unique<SoakSlot>());
        slots.back()->link = dir + "/slot" + std::to_string(i);
        options.ports.push_back(slots.back()->link);
    }
    SoakEvents events(slots, verbose);
    std::atomic<bool> done{false};
    std::mutex rngMutex;
    auto draw = [&](unsigned lo, unsigned hi) {
        std::lock_guard<std::mutex> lock(rngMutex);
        return std::uniform_int_distribution<unsigned>(lo, hi)(rng);
    };
    std::vector<std::thread> devices;
    for (auto& slotPtr : slots) {
        devices.emplace_back([&, slot = slotPtr.get()] {
            while (!done) {
                Fault fault;
                {
                    // A hang-up frees the pty's number while the link still
                    // points at it, and the next device of another slot may
                    // get it; udev would have removed the link with the
                    // device. The one-device soak covers hang-ups.
                    std::lock_guard<std::mutex> lock(rngMutex);
                    do
                        fault = Draw(rng, 6);
                    while (fault.options.hangupBlock >= 0);
                }
                {
                    CSimRig rig(fault.options);
                    {
                        std::lock_guard<std::mutex> lock(slot->mutex);
                        slot->device = &rig;
                        slot->expect = fault.expect;
                        slot->fault = fault.name;
                    }
                    unsigned since = slot->Ended();
                    Repoint(slot->link, rig.Path());
                    // A device whose download failed before its beacon was
                    // answered beacons on, and the station leaves it alone
                    // until it goes: it is unplugged after a while.
                    if (rig.Wait(kSessionBoundMs).sawBeaconReply)
                        slot->AwaitReport(since);
                    // Now and then the device stays on its port, silent for
                    // longer than the station's device-gone time, then
                    // beacons again, as a device put back into boot mode.
                    if (!done && draw(0, 3) == 0) {
                        for (unsigned ms = 0; ms < zq::kDeviceGoneMs + 400 && !done; ms += 50)
                            std::this_thread::sleep_for(std::chrono::milliseconds(50));
                        since = slot->Ended();
                        rig.Start();
                        if (rig.Wait(kSessionBoundMs).sawBeaconReply)
                            slot->AwaitReport(since);
                    }
                    // Unplugged: the link goes first, so that no other device
                    // reusing the pty's number is reached through it.
                    ::unlink(slot->link.c_str());
                    std::lock_guard<std::mutex> lock(slot->mutex);
                    slot->device = nullptr;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(draw(20, 300)));
            }
        });
    }
    CStation station(image, events, options);
    std::atomic<bool> never{false};
    const StationEnd end = station.Run(never);
    done = true;
    for (auto& slot : slots) {
        std::lock_guard<std::mutex> lock(slot->mutex);
        if (slot->device)
            slot->device->Stop();
    }
    for (std::thread& t : devices)
        t.join();
    bool ok = true;
    if (end != StationEnd::Counted || events.ended != count) {
        std::printf("the station ended with %u of %u downloads\n", events.ended, count);
        ok = false;
    }
    for (const std::string& p : events.problems) {
        std::printf("unexpected: %s\n", p.c_str());
        ok = false;
    }
    return ok;
}

} // namespace

// Under AddressSanitizer freed memory waits in a quarantine of up to 256 MB,
// which would read as growth here; keep it small. Leaks themselves are
// reported by the sanitizer at exit.
extern "C" const char* __asan_default_options()
{
    return "quarantine_size_mb=4";
}

int main(int argc, char** argv)
{
    unsigned count = 50;
    unsigned seed = static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(time(nullptr));
#if defined(ZQ_SANITIZED)
    // The sanitizers' allocators keep freed memory resident: RSS is only a
    // coarse bound there, the live heap is the sharp one.
    long rssToleranceKb = 64 * 1024;
#else
    long rssToleranceKb = 4096;
#endif
    const long heapToleranceBytes = 256 * 1024;
    bool verbose = false;
    bool station = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--count" && i + 1 < argc)
            count = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--seed" && i + 1 < argc)
            seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--rss-tolerance-kb" && i + 1 < argc)
            rssToleranceKb = std::strtol(argv[++i], nullptr, 10);
        else if (a == "--verbose")
            verbose = true;
        else if (a == "--station")
            station = true;
        else {
            std::fprintf(stderr,
                         "usage: zq-soak --count N [--station] [--seed S] [--rss-tolerance-kb K] [--verbose]\n");
            return 2;
        }
    }
    std::printf("zq-soak: %u downloads, seed %u (repeat with --seed %u), RSS tolerance %ld kB\n", count, seed,
                seed, rssToleranceKb);
    std::fflush(stdout);

    char tmpl[] = "/tmp/zq-soak-XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::string dir = tmpl;
    const std::string imagePath = dir + "/DB.bin";
    std::mt19937 rng(seed);

    if (station) {
        // A short run first, so that what the first one allocates once is
        // in the baseline.
        if (!StationRun(dir, 2, rng, false)) {
            std::printf("warm-up station run failed\n");
            return 1;
        }
        const faults::ProcCounts before = faults::Counts();
        Print("before", before);
        std::fflush(stdout);
        const bool ran = StationRun(dir, count, rng, verbose);
        const faults::ProcCounts after = faults::SettledCounts(before);
        Print("after ", after);
        std::system(("rm -rf '" + dir + "'").c_str());
        const bool back = after.fds == before.fds && after.threads == before.threads &&
                          after.rssKb <= before.rssKb + rssToleranceKb &&
                          (before.heapBytes < 0 || after.heapBytes <= before.heapBytes + heapToleranceBytes);
        if (!back)
            std::printf("resources not back where they started\n");
        if (!ran || !back)
            return 1;
        std::printf("zq-soak: station of %u devices ended %u downloads as expected; seed %u\n", kStationSlots,
                    count, seed);
        return 0;
    }

    auto runOne = [&](const Fault& fault, unsigned blocks, std::string& why) -> bool {
        Bytes img(zq::kImageDataOffset + zq::kBlockSize * blocks + rng() % zq::kBlockSize);
        for (auto& b : img)
            b = static_cast<uint8_t>(rng());
        // A header word the length rule accepts: N <= (L - 65536) / 16.
        const uint16_t n =
            static_cast<uint16_t>(rng() % ((img.size() - zq::kImageDataOffset) / zq::kLengthPerWord + 1));
        zq::StampImageHeader(img, n);
        if (FILE* f = std::fopen(imagePath.c_str(), "wb")) {
            std::fwrite(img.data(), 1, img.size(), f);
            std::fclose(f);
        } else {
            why = "cannot write the image";
            return false;
        }
        CSimRig sim(fault.options);
        TestHost host(imagePath, TestHost::Record::CountsOnly);
        host.UsePorts({sim.Path()});
        const long ms = host.Run();
        const DevSimReport rep = sim.Finish();

        const bool success = host.notices.size() == 1 && host.notices[0] == kNoticeSuccess;
        if (host.notices.size() != 1)
            why = std::to_string(host.notices.size()) + " notices";
        else if (host.link().IsOpen() || host.file().IsOpen())
            why = "port or image left open";
        else if (fault.expect != Expect::Any && success != (fault.expect == Expect::Success))
            why = "\"" + host.notices[0] + "\" at step " + std::to_string(static_cast<int>(host.failure.step)) +
                  " (device: " + rep.endedAt + ")";
        else if (success && !CompareWithImage(rep, img).empty())
            why = "success, but the device got: " + CompareWithImage(rep, img);
        else if (ms > 15000)
            why = "took " + std::to_string(ms) + " ms";
        if (verbose)
            std::printf("  %-26s %u blocks: %-18s %5ld ms  device: %s\n", fault.name.c_str(), blocks,
                        host.notices.empty() ? "-" : host.notices[0].c_str(), ms, rep.endedAt.c_str());
        return why.empty();
    };

    // One clean download first, so that what the first run allocates once
    // (thread stacks, stdio, the allocator's arenas) is in the baseline.
    {
        std::string why;
        if (!runOne(Fault{"warm-up", DevSimOptions{}, Expect::Success}, 2, why)) {
            std::printf("warm-up download failed: %s\n", why.c_str());
            return 1;
        }
    }
    const faults::ProcCounts before = faults::Counts();
    Print("before", before);
    std::fflush(stdout);

    unsigned failures = 0, successes = 0;
    long maxRss = before.rssKb;
    for (unsigned i = 0; i < count; ++i) {
        const unsigned blocks = rng() % 9;
        const Fault fault = Draw(rng, blocks);
        std::string why;
        const bool ok = runOne(fault, blocks, why);
        (fault.expect == Expect::Success ? successes : failures)++;
        const faults::ProcCounts now = faults::SettledCounts(before);
        maxRss = std::max(maxRss, now.rssKb);
        if (verbose)
            std::printf("    after %u: fds %d, threads %d, RSS %ld kB, heap %ld\n", i + 1, now.fds, now.threads,
                        now.rssKb, now.heapBytes);
        if (!ok || now.fds != before.fds || now.threads != before.threads ||
            now.rssKb > before.rssKb + rssToleranceKb ||
            (before.heapBytes >= 0 && now.heapBytes > before.heapBytes + heapToleranceBytes)) {
            std::printf("download %u (%s, %u blocks) failed: %s\n", i + 1, fault.name.c_str(), blocks,
                        why.empty() ? "resources not back" : why.c_str());
            Print("before", before);
            Print("after ", now);
            std::system(("rm -rf '" + dir + "'").c_str());
            return 1;
        }
    }
    const faults::ProcCounts after = faults::SettledCounts(before);
    Print("after", after);
    std::printf("zq-soak: %u downloads (%u expected to succeed, %u to fail) as expected; peak RSS %ld kB; seed %u\n",
                count, successes, failures, maxRss, seed);
    std::system(("rm -rf '" + dir + "'").c_str());
    return 0;
}
