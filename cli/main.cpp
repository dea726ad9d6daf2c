// zerquill-flash: the download from a command line, for scripts, service
// benches and machines without a desktop.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>

#include "cli/Channel.h"
#include "cli/ChannelFollow.h"
#include "cli/Console.h"
#include "download/DownloadHost.h"
#include "cli/FlashAll.h"
#include "download/Causes.h"
#include "cli/FlashHost.h"
#include "cli/Forward.h"
#include "download/ImageCheck.h"
#include "record/Record.h"
#include "image/ImagePath.h"
#include "cli/Jobs.h"
#include "cli/Options.h"
#include "cli/Report.h"
#include "cli/Serve.h"
#include "cli/SetLatency.h"
#include "link/PortList.h"
#include "link/SerialLink.h"
#include "release/OpenedJob.h"
#include "station/Lot.h"

using namespace zq;

namespace {

int ListPorts()
{
    const std::vector<PortInfo> ports = ListSystemPorts();
    if (ports.empty()) {
        std::fprintf(stderr, "no serial port found (pseudo-terminals are never listed: name them with --ports)\n");
        return 0;
    }
    // Whether each port can be opened now: what a person can act on (close
    // the other program, join the dialout group). Opening writes nothing.
    // The latency timer is read after that opening, which asked the driver
    // for low latency: what a download through the port would get.
    std::vector<std::string> states, latencies;
    for (const PortInfo& p : ports) {
        CSerialLink probe;
        if (probe.Open(p.name, zq::kProbeBaud) == LINK_OK) {
            probe.Close();
            states.push_back("free");
        } else {
            states.push_back(DescribePortError(probe.LastOpenError()));
        }
        const int ms = CurrentLatencyMs(p);
        latencies.push_back(ms < 0 ? std::string() : std::to_string(ms) + " ms");
    }
    const auto shown = [](const std::string& s) { return s.empty() ? std::string("-") : s; };
    std::vector<std::vector<std::string>> rows = {{"PORT", "DESCRIPTION", "VID:PID", "SERIAL", "LOCATION", "LATENCY", "STATE"}};
    for (size_t i = 0; i < ports.size(); ++i) {
        const PortInfo& p = ports[i];
        rows.push_back({p.name, shown(p.description), shown(p.hardwareId), shown(p.serialNumber), shown(p.location),
                        shown(latencies[i]), states[i]});
    }
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows)
        for (size_t c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row[c].size());
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size())
                line += std::string(widths[c] - row[c].size() + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
    // Below the table, what to do about the first port refused for lack of
    // permission (the others of its kind mostly share its group) and the
    // first one held by another program (how Windows refuses a COM port).
    for (const PortError refusal : {PortError::AccessDenied, PortError::Busy}) {
        for (size_t i = 0; i < ports.size(); ++i) {
            if (states[i] == DescribePortError(refusal)) {
                std::printf("\n%s\n", DescribePortRefusal(ports[i].name, refusal).c_str());
                break;
            }
        }
    }
    return 0;
}

// What a download of the image would send, without touching a port.
int CheckImage(const std::string& path, bool imageNamed)
{
    ImageSnapshot image;
    DownloadFailure refused;
    if (!TakeImageSnapshot(path, image, refused, ImageShare::SharedRead)) {
        const std::string next = NextStep(refused, {}, imageNamed);
        std::fprintf(stderr, "%s\n%s\n%s", NoticeFor(refused.step), DescribeFailure(refused, {}, path).c_str(),
                     next.empty() ? "" : (next + "\n").c_str());
        return ExitStatusFor(refused.step);
    }
    std::printf("image %s: %zu bytes, sha256 %s\n", path.c_str(), image.bytes->size(), image.sha256.c_str());
    std::printf("header word %u (0x%04X), %u blocks of %u bytes from offset %u", image.header, image.header,
                image.blocks, zq::kBlockSize, zq::kImageDataOffset);
    if (image.tail)
        std::printf("; the last %u bytes are not a whole block and would not be sent", image.tail);
    std::printf("\nthe image would be accepted\n");
    return kExitWritten;
}

// A lot is counted from its record file, as the station windows count it:
// kExitLotComplete once it is written, else -1 with run.lotLeft set.
int TakeLot(const FlashOptions& options, JobRun& run)
{
    if (!run.hasJob || options.mode == FlashMode::Check)
        return -1;
    const LotCount lot = CountLot(run.job, options.log, run.snapshot.sha256);
    if (lot.Complete()) {
        std::printf("%s\n", LotCompleteText(run.job.name, lot.written, lot.units).c_str());
        return kExitLotComplete;
    }
    run.lotLeft = lot.Left();
    if (lot.written)
        std::printf("lot %s: %u of %u written, %u to go\n", run.job.name.c_str(), lot.written, lot.units,
                    run.lotLeft);
    return -1;
}

// One download, and its record when there is a log.
int FlashSingle(const FlashOptions& options, const std::string& image, CRecordLog& log, const JobRun& run)
{
    CFlashHost host(options, image, stdout, stderr);
    // With a record, the image is read once and hashed, and the download
    // sends exactly the bytes the record names.
    // A job's image was read once already, and is what its pin names.
    ImageSnapshot snapshot = run.snapshot;
    snapshot.path = image;
    DownloadFailure unread;
    if (run.hasJob || (log.IsOpen() && TakeImageSnapshot(image, snapshot, unread, ImageShare::SharedRead)))
        host.UseSnapshot(snapshot);
    SetInterruptFlag(host.Cancel());
    int status = kExitNoDevice;
    if (options.waitSeconds <= 0 || host.WaitForBeacon(options.waitSeconds))
        status = host.Run();
    else if (!host.Cancel()->load())
        std::fprintf(stderr, "%s\nno device beaconed within %g s\n", kNoticeFail, options.waitSeconds);
    if (host.Cancel()->load() && InterruptSignal() != 0)
        status = 128 + InterruptSignal();
    SetInterruptFlag(nullptr);
    if (log.IsOpen()) {
        const DeviceOutcome outcome = host.Outcome();
        const std::string cause =
            outcome.success ? std::string() : DescribeFailure(outcome.failure, outcome.discovery, image);
        RecordTags tags = run.tags;
        tags.slot = SlotLabel(run.job.fixture, outcome.port);
        if (!log.Append(RecordLine(outcome, snapshot, cause, tags))) {
            std::fprintf(stderr, "zerquill-flash: the record could not be written to %s\n", options.log.c_str());
            status = kExitFailed;
        }
    }
    return status;
}

// The administrator's keys lock the station; none at the station may add one.
bool TrustAllowed(const std::vector<std::string>& trust, const TrustStore& store)
{
    if (!store.Locked() || trust.empty())
        return true;
    std::fprintf(stderr, "zerquill-flash: --trust: this station trusts only the keys its administrator "
                         "installed (%s)\n", store.unreadable.empty() ? kTrustStoreName : store.unreadable.c_str());
    return false;
}

std::vector<const char*> ArgPointers(const std::vector<std::string>& args)
{
    std::vector<const char*> pointers;
    for (const std::string& arg : args)
        pointers.push_back(arg.c_str());
    return pointers;
}

bool WatchOf(const FlashCommand& command)
{
    const FlashOptions* flash = std::get_if<FlashOptions>(&command);
    return flash && flash->mode == FlashMode::Watch;
}

bool ServeHere(const ServeOptions& serve, std::string& error)
{
    if (serve.on && !CanServe())
        error = "--serve: this system's zerquill-flash has no station server";
    return !serve.on || CanServe();
}

// A record that cannot be written is a usage error, and one that another
// station writes is refused: nothing is opened and no device is touched.
// -1 to go on.
int OpenLog(const std::string& path, CRecordLog& log)
{
    std::string why;
    if (path.empty() || log.Open(path, why))
        return -1;
    if (log.InUse()) {
        std::fprintf(stderr, "zerquill-flash: %s\n", why.c_str());
        return kExitFailed;
    }
    std::fprintf(stderr, "zerquill-flash: --log: cannot append to %s\n", why.c_str());
    return kExitUsage;
}

// --all or --watch, until its end or Ctrl-C.
int FlashMany(const FlashOptions& options, const std::string& image, CRecordLog& log, const JobRun& run,
              CForwarding& forwarding)
{
    std::atomic<bool> stop{false};
    SetInterruptFlag(&stop);
    CRecordLog* record = log.IsOpen() ? &log : nullptr;
    int status = FlashStation(options, image, stdout, &stop, record, run, &options.serve, &forwarding);
    if (status == kExitInterrupted && InterruptSignal() != 0)
        status = 128 + InterruptSignal();
    SetInterruptFlag(nullptr);
    return status;
}

// Each mode as its options say: a new mode is a new Run.
int Run(const HelpOptions&)
{
    std::fputs(kFlashUsage, stdout);
    if (CanServe())
        std::fputs(kServeUsage, stdout);
    std::fputs(kChannelUsage, stdout);
    std::fputs(kFlashExamples, stdout);
    if (CanServe())
        std::fputs(kServeExample, stdout);
    return 0;
}

int Run(const VersionOptions&)
{
    std::printf("zerquill-flash %s\n", kVersion);
    return 0;
}

int Run(const ListPortsOptions&) { return ListPorts(); }
int Run(const ForwardPendingOptions& options) { return ForwardPending(options); }
int Run(const ReportOptions& options) { return PrintYieldReport(options.log, options.html); }
int Run(const MakeJobOptions& options) { return MakeJob(options); }
int Run(const SignJobOptions& options) { return SignJob(options); }

int Run(const VerifyJobOptions& options)
{
    const TrustStore store = InstalledTrust();
    return TrustAllowed(options.trust, store) ? VerifyJob(options, store) : kExitUsage;
}

int Run(FlashOptions& options)
{
    const TrustStore store = InstalledTrust();
    if (!TrustAllowed(options.trust, store))
        return kExitUsage;
    JobRun run;
    const int refused = options.channel.url.empty() ? PrepareRun(options, store, run)
                                                    : PrepareChannelRun(options, store, run);
    if (refused >= 0)
        return refused;
    // The job's receiver, unless one is named here.
    if (run.hasJob && run.job.forwards && options.forward.url.empty()) {
        options.forward.url = run.job.forward.url;
        options.forward.tokenFile = run.job.forward.tokenFile;
    }

    const std::string image = options.image.empty() ? DefaultImagePath() : options.image;
    if (options.mode == FlashMode::Check && !image.empty())
        return CheckImage(image, !options.image.empty()); // touches no port and writes no record
    CRecordLog log;
    const int unopened = OpenLog(options.log, log);
    if (unopened >= 0)
        return unopened;
    const int lotDone = TakeLot(options, run);
    if (lotDone >= 0)
        return lotDone;
    // Declared after the log: pending records get their time as the run ends.
    CForwarding forwarding;
    std::string error;
    if (!forwarding.Start(options.forward, options.log, log, error)) {
        std::fprintf(stderr, "zerquill-flash: %s\n", error.c_str());
        return kExitUsage;
    }
    if (image.empty()) {
        // Never DB.bin of the current folder: it may be another device's.
        std::fprintf(stderr, "%s\ncannot tell this program's folder; give --image\n", kNoticeFileOpenFailed);
        return kExitNoImage;
    }
    if (options.mode == FlashMode::All || options.mode == FlashMode::Watch)
        return FlashMany(options, image, log, run, forwarding);
    return FlashSingle(options, image, log, run);
}

} // namespace

int main(int argc, char** argv)
{
    if (const int latency = SetLatencyMode(argc, argv); latency >= 0)
        return latency; // a mode of its own, given alone
    if (const int channel = ChannelMode(argc, argv); channel >= 0)
        return channel;
    // --serve and its token are the served station's, taken out before the
    // rest is parsed and checked once the mode is known.
    ServeOptions serve;
    std::string error;
    std::vector<std::string> args(argv, argv + argc);
    const bool served = TakeServeOptions(args, serve, error);
    const std::vector<const char*> rest = ArgPointers(args);
    FlashCommand command;
    if (!served || !ParseFlashCommand(int(rest.size()), rest.data(), command, error) ||
        !CheckServeOptions(serve, WatchOf(command), error) || !ServeHere(serve, error)) {
        std::fprintf(stderr, "zerquill-flash: %s; try --help\n", error.c_str());
        return kExitUsage;
    }
    if (!serve.warning.empty())
        std::fprintf(stderr, "zerquill-flash: warning: --serve-token-file: %s\n", serve.warning.c_str());
    if (FlashOptions* flash = std::get_if<FlashOptions>(&command))
        flash->serve = serve;
    try {
        return std::visit([](auto& options) { return Run(options); }, command);
    } catch (const std::exception& e) {
        // The system refused what starting needs (a thread for the served
        // station, memory): said and failed, not an abort. Downloads catch
        // their own, each ending with its record.
        std::fprintf(stderr, "zerquill-flash: %s\n", e.what());
        return kExitFailed;
    }
}
