#include "cli/FlashHost.h"

#include "link/NamedPorts.h"

#include <chrono>

#include "download/Causes.h"
#include "cli/Console.h"
#include "cli/InterruptMark.h"

#include <thread>

namespace zq {

namespace {

CProgressView::Mode PickMode(const FlashOptions& options, std::FILE* out)
{
    if (options.quiet)
        return CProgressView::Mode::Quiet;
    if (!IsTerminal(out))
        return CProgressView::Mode::Lines;
    // A trace on the same terminal would tear a line redrawn in place.
    if (options.trace && OutputsShareTerminal())
        return CProgressView::Mode::Lines;
    return CProgressView::Mode::Live;
}

// A download cut short leaves the device half-written, and such a device
// may stay silent until it is reset: the next run that hears nothing says
// so. The mark names the port; it is the user's own (InterruptMark.h).
void SetInterruptMark(const std::string& port)
{
    (void)WriteInterruptMark(port + "\n");
}

void ClearInterruptMark()
{
    RemoveInterruptMark();
}

// The port of a download cut short within the last hour, if any: an older
// mark is about another day's device.
std::string RecentInterruptMark()
{
    std::string text;
    std::chrono::seconds age{};
    if (!ReadInterruptMark(text, age) || age > std::chrono::hours(1))
        return {};
    return text.substr(0, text.find('\n'));
}

} // namespace


int ExitStatusFor(FailStep step)
{
    switch (step) {
    case FailStep::None: return kExitWritten;
    case FailStep::ImageOpen:
    case FailStep::ImageRead: return kExitNoImage;
    case FailStep::ImageRefused: return kExitRefused;
    case FailStep::NoPorts:
    case FailStep::NoDevice: return kExitNoDevice;
    case FailStep::Cancelled: return kExitInterrupted;
    default: return kExitFailed;
    }
}

std::string NextStep(const DownloadFailure& failure, const std::vector<ProbeResult>& probes, bool imageNamed)
{
    if (failure.step == FailStep::ImageOpen && failure.fileError == FileError::NotFound && !imageNamed)
        return "-i FILE (--image FILE) names the image; without it, DB.bin beside this program is written";
    if (failure.step == FailStep::ImageRefused)
        return ImageRefusalFix(failure);
    bool missing = failure.step == FailStep::PortOpen && failure.portError == PortError::NotFound;
    for (const ProbeResult& p : probes)
        missing = missing || p.openError == PortError::NotFound;
    return missing ? "zerquill-flash --list-ports shows this system's serial ports" : std::string();
}

CFlashHost::CFlashHost(const FlashOptions& options, std::string imagePath, std::FILE* out, std::FILE* err)
    : out_(out), err_(err), imageNamed_(!options.image.empty())
{
    imagePath_ = std::move(imagePath);
    imageFile_.SetShare(ImageShare::SharedRead); // one image, several runs on several adapters
    view_ = std::make_unique<CProgressView>(PickMode(options, out), out, err, imagePath_);
    probes_ = std::make_unique<CProbeWatch>(*view_);
    tee_.Add(probes_.get());
    ProgressSink* shown = view_.get();
    if (options.trace) {
        // The stage reports reach the trace first: what they name is on
        // its lines before the view says the stage began.
        trace_ = std::make_unique<CTrace>(err, link_, view_.get());
        tee_.Add(trace_.get());
        shown = trace_.get();
    }
    tally_ = std::make_unique<CStageTally>(shown);
    link_.SetObserver(&tee_);

    std::vector<std::string> names = options.ports;
    if (!options.port.empty())
        names.assign(1, options.port);
    names_ = names;
    CProgressView* view = view_.get();
    link_.SetPortSource([names, view] {
        std::vector<PortInfo> ports = names.empty() ? ListSystemPorts() : DescribePorts(names);
        view->PortsListed(ports.size());
        return ports;
    });
}

int CFlashHost::Run()
{
    const auto t0 = std::chrono::steady_clock::now();
    outcome_.startedUnix = static_cast<int64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
    const DownloadOutcome result = RunDownload(*this);
    outcome_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    outcome_.success = result.success;
    link_.SetObserver(nullptr);
    return result.success ? kExitWritten : ExitStatusFor(result.failure.step);
}

bool CFlashHost::WaitForBeacon(double seconds)
{
    CSerialLink listener;
    listener.SetCancelFlag(&cancel_);
    const std::vector<std::string> names = names_;
    if (!names.empty())
        listener.SetPortSource(NamedPortSource(names));
    std::fprintf(out_, "waiting up to %.0f s for a device to beacon\n", seconds);
    std::fflush(out_);
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!cancel_.load() && std::chrono::steady_clock::now() < end) {
        // A discovery's window, answering the first port in list order that
        // beacons: the download goes on from the exchange on that port.
        if (listener.FindDevice(zq::DEVICE_BEACON, zq::kProbeBaud) == LINK_OK) {
            link_.HandOver(listener.FoundPortInfo());
            return true;
        }
        bool listened = false;
        for (const ProbeResult& p : listener.LastDiscovery())
            listened = listened || p.openError == PortError::None;
        // No port to listen on (an adapter not plugged in yet): look again shortly.
        if (!listened)
            std::this_thread::sleep_for(std::chrono::milliseconds(zq::kPortListPollMs));
    }
    return false;
}

DeviceOutcome CFlashHost::Outcome() const
{
    DeviceOutcome o = outcome_;
    o.port = failed_ && !failure_.port.empty() ? failure_.port : link_.FoundPort();
    if (!o.port.empty())
        o.device = DescribePort(o.port);
    o.notice = notice_;
    o.failure = failure_;
    o.discovery = link_.LastDiscovery();
    tally_->Fill(o);
    return o;
}

void CFlashHost::OnFailure(const DownloadFailure& failure)
{
    failure_ = failure;
    failed_ = true;
}

void CFlashHost::ShowNotice(const std::string& text)
{
    notice_ = text;
    if (trace_)
        trace_->Flush();
    // A failure is always told to OnFailure before its notice.
    const bool success = !failed_;
    view_->Finish(success, link_.FoundPort());
    std::fflush(out_);
    if (success) {
        std::fprintf(out_, "%s\n", text.c_str());
        std::fflush(out_);
        ClearInterruptMark();
        DeviceOutcome rate;
        tally_->Fill(rate);
        const std::string hint = SlowLineHint(link_.FoundPortInfo(), rate.dataBytesPerS, rate.latencyMs);
        if (!hint.empty())
            std::fprintf(err_, "%s\n", hint.c_str());
        std::fflush(err_);
        return;
    }
    std::fprintf(err_, "%s\n", text.c_str());
    if (failed_) {
        std::fprintf(err_, "%s\n", DescribeFailure(failure_, link_.LastDiscovery(), imagePath_).c_str());
        const std::string next = NextStep(failure_, link_.LastDiscovery(), imageNamed_);
        if (!next.empty())
            std::fprintf(err_, "%s\n", next.c_str());
        if (failure_.step == FailStep::Cancelled && !link_.FoundPort().empty()) {
            SetInterruptMark(link_.FoundPort());
        } else if (failure_.step == FailStep::NoDevice) {
            const std::string cut = RecentInterruptMark();
            for (const ProbeResult& p : link_.LastDiscovery()) {
                if (!cut.empty() && p.port == cut) {
                    std::fprintf(err_, "hint: a device interrupted mid-download may need a reset (%s; power it "
                                       "off and on)\n", cut.c_str());
                    break;
                }
            }
        }
    }
    std::fflush(err_);
}

}  // namespace zq
