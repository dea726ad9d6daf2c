#include "cli/FlashAll.h"

#include <functional>
#include <memory>
#include <vector>

#include "download/Causes.h"
#include "platform/Format.h"
#include "cli/ChannelFollow.h"
#include "cli/Console.h"
#include "station/FlashDevices.h"
#include "cli/FlashHost.h"
#include "cli/Serve.h"
#include "download/ImageCheck.h"
#include "link/SerialLink.h"
#include "station/Station.h"
#include "cli/StationView.h"
#include "platform/Format.h"

namespace zq {

namespace {

// The image, read once for every device; false after saying why not.
bool ReadImage(const std::string& imagePath, bool imageNamed, const ImageSnapshot* taken, ImageSnapshot& image,
               int& status)
{
    if (taken) {
        image = *taken;
        return true;
    }
    DownloadFailure refused;
    if (!TakeImageSnapshot(imagePath, image, refused, ImageShare::SharedRead)) {
        const std::string next = NextStep(refused, {}, imageNamed);
        std::fprintf(stderr, "%s\n%s\n%s", NoticeFor(refused.step), DescribeFailure(refused, {}, imagePath).c_str(),
                     next.empty() ? "" : (next + "\n").c_str());
        status = ExitStatusFor(refused.step);
        return false;
    }
    return true;
}

CStationView::Mode ViewMode(const FlashOptions& options, std::FILE* out)
{
    if (options.json)
        return CStationView::Mode::Json;
    if (options.quiet)
        return CStationView::Mode::Quiet;
    return IsTerminal(out) ? CStationView::Mode::Live : CStationView::Mode::Lines;
}

std::vector<std::string> NamedPorts(const FlashOptions& options)
{
    if (!options.port.empty())
        return {options.port};
    return options.ports;
}

void SayImage(CStationView& view, const ImageSnapshot& image)
{
    view.Say("image " + image.path + ": " + std::to_string(image.blocks) + " blocks, sha256 " + image.sha256);
}

// A unit flashed without its record is worse than one not flashed.
int EndStatus(const StationTotals& totals)
{
    return totals.failed == 0 && totals.cancelled == 0 && !totals.unrecorded ? kExitWritten : kExitFailed;
}

struct StationServing {
    const ServeOptions* options = nullptr;
    const std::atomic<bool>* stop = nullptr;
    CForwarding* forwarding = nullptr; // the run's, beside the session
};

// What --all and --watch both begin with: the image read once (a job's was
// read already), the view, and the session with the job's tags.
struct StationRun {
    ImageSnapshot image;
    std::unique_ptr<CStationView> view;
    std::unique_ptr<CStationSession> session;
    // Gone before the session it steers.
    std::unique_ptr<CServedStation> served;
    // --channel with --watch: new releases for the session; gone before it.
    std::unique_ptr<CChannelFollower> follower;
    // Tells the served board what the run's forwarder tells, until the server goes.
    CForwarding* forwarding = nullptr;

    StationRun() = default;
    StationRun(const StationRun&) = delete;
    StationRun& operator=(const StationRun&) = delete;
    ~StationRun()
    {
        if (forwarding)
            forwarding->Also(nullptr);
    }

    // false, with status, when the image could not be had.
    bool Open(const FlashOptions& options, const std::string& imagePath, std::FILE* out, CRecordLog* log,
              const JobRun& run, int& status, const StationServing& serving)
    {
        if (!ReadImage(imagePath, !options.image.empty(), run.hasJob ? &run.snapshot : nullptr, image, status))
            return false;
        view = std::make_unique<CStationView>(ViewMode(options, out), out);
        if (serving.options && serving.options->on)
            Serve(options, run, serving);
        session = std::make_unique<CStationSession>(image, served ? served->Events() : *view, log);
        session->SetRecordTags(run.tags, run.job.fixture);
        view->SetFixture(run.job.fixture);
        SayImage(*view, image);
        return true;
    }

    void Serve(const FlashOptions& options, const JobRun& run, const StationServing& serving)
    {
        CForwarding* runs = serving.forwarding;
        std::function<size_t()> pending;
        if (runs)
            pending = [runs] { return runs->Pending(); };
        served = ServeStation(*serving.options, image, run, options.log, serving.stop, *view, std::move(pending));
        if (served && runs) {
            forwarding = runs;
            CServedStation* board = served.get();
            runs->Also([board](const std::string& text) { board->Events().OnForwarding(text); });
        }
    }
};

// --all: one window over every port at once.
int FlashAllHeard(StationRun& opened, const FlashOptions& options, const std::string& imagePath,
                  std::atomic<bool>* stop, const JobRun& run)
{
    CStationView& view = *opened.view;
    CStationSession& session = *opened.session;

    // One window over every port at once; each device heard is answered
    // there, and its download goes on from the exchange.
    CSerialLink scanner;
    const std::vector<std::string> names = NamedPorts(options);
    const std::vector<PortInfo> listed = names.empty() ? ListSystemPorts() : DescribePorts(names);
    scanner.SetPortSource([listed] { return listed; });
    // A lot is not flashed beyond its size: the ports first in the list go,
    // and no device beyond them hears a reply.
    const size_t take = run.lotLeft ? run.lotLeft : listed.size();
    const std::vector<ProbeResult> probes = scanner.Scan(zq::DEVICE_BEACON, zq::kProbeBaud, take);
    std::vector<PortInfo> found;
    for (size_t i = 0; i < probes.size() && i < listed.size(); ++i)
        if (probes[i].beacon && found.size() < take)
            found.push_back(listed[i]);
    if (found.empty()) {
        DownloadFailure none;
        none.step = probes.empty() ? FailStep::NoPorts : FailStep::NoDevice;
        view.Fail(DescribeFailure(none, probes, imagePath));
        view.Summary(session.Totals());
        return kExitNoDevice;
    }
    view.Say(Counted(found.size(), "device") + " found on " + Counted(probes.size(), "port") +
             ": flashing them all at once");

    session.FlashAll(found, stop);
    view.Summary(session.Totals());
    if (stop && stop->load())
        return kExitInterrupted;
    return EndStatus(session.Totals());
}

// --watch: each device as it arrives, until stopped or the lot is written.
int Watch(StationRun& opened, const FlashOptions& options, std::atomic<bool>* stop, const JobRun& run)
{
    CStationView& view = *opened.view;
    CStationSession& session = *opened.session;

    StationOptions settings;
    settings.ports = NamedPorts(options);
    settings.count = options.count;
    settings.awayMs = options.awayMs;
    settings.lot = run.lotLeft;
    view.SetHeldWords(Format("held: take the unit away (%u s without a beacon) to flash the next one%s",
                             settings.awayMs / 1000, opened.served ? ", or retry it from the page" : ""));
    view.Say(settings.ports.empty() ? std::string("station: listening on every serial port; Ctrl-C ends it")
                                    : "station: listening on " + std::to_string(settings.ports.size()) +
                                          " named port(s); Ctrl-C ends it");
    if (opened.served) {
        std::string where, why;
        if (!opened.served->Listen(session, where, why)) {
            view.Fail("zerquill-flash: --serve: " + why);
            return kExitUsage;
        }
        // On stderr, so that --json's stdout stays events alone.
        view.Fail("zerquill-flash: serving the station on http://" + where + "/");
        opened.served->Steer(settings);
    }
    if (run.channel) {
        opened.follower = std::make_unique<CChannelFollower>(
            run, session, [&view](const std::string& text) { view.Say(text); },
            [&view](const std::string& text) { view.Fail("zerquill-flash: " + text); });
        std::string why;
        if (!opened.follower->Start(why)) {
            view.Fail("zerquill-flash: " + why);
            return kExitFailed;
        }
    }
    std::atomic<bool> never{false};
    const StationEnd end = session.Run(settings, stop ? *stop : never);
    if (end == StationEnd::Unrecorded)
        view.Fail("station stopped: a record could not be written, and a unit flashed without its record "
                 "is worse than one not flashed");
    if (end == StationEnd::NoThread)
        view.Fail("station stopped: " + session.EndWhy());
    view.Summary(session.Totals());
    if (opened.served)
        opened.served->Summary(session.Totals());
    if (end == StationEnd::Stopped)
        return kExitInterrupted;
    if (end == StationEnd::NoThread)
        return kExitFailed;
    // A lot that is written ends the station well, whatever failed on the way.
    if (run.lotLeft && end == StationEnd::Counted && session.Totals().written >= run.lotLeft) {
        view.Say(LotCompleteText(run.job.name, run.job.units, run.job.units));
        return kExitWritten;
    }
    return EndStatus(session.Totals());
}

} // namespace

int FlashStation(const FlashOptions& options, const std::string& imagePath, std::FILE* out,
                 std::atomic<bool>* stop, CRecordLog* log, const JobRun& run, const ServeOptions* serve,
                 CForwarding* forwarding)
{
    StationRun opened;
    int status = kExitFailed;
    if (!opened.Open(options, imagePath, out, log, run, status, StationServing{serve, stop, forwarding}))
        return status;
    return options.mode == FlashMode::All ? FlashAllHeard(opened, options, imagePath, stop, run)
                                          : Watch(opened, options, stop, run);
}

}  // namespace zq
