#include "FlashHost.h"

#include <chrono>

#include "Causes.h"
#include "Console.h"

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

std::vector<PortInfo> Named(const std::vector<std::string>& names)
{
    std::vector<PortInfo> ports;
    for (const std::string& name : names)
        ports.push_back(PortInfo{name, std::string(), std::string()});
    return ports;
}

} // namespace

CFlashHost::CFlashHost(const FlashOptions& options, std::string imagePath, std::FILE* out, std::FILE* err)
    : out_(out)
{
    imagePath_ = std::move(imagePath);
    imageFile_.SetShare(ImageShare::SharedRead); // one image, several runs on several adapters
    view_ = std::make_unique<CProgressView>(PickMode(options, out), out, link_, imagePath_);
    tally_ = std::make_unique<CStageTally>(view_.get());
    probes_ = std::make_unique<CProbeWatch>(*view_);
    tee_.Add(probes_.get());
    if (options.trace) {
        trace_ = std::make_unique<CTrace>(err, link_);
        tee_.Add(trace_.get());
    }
    link_.SetObserver(&tee_);

    std::vector<std::string> names = options.ports;
    if (!options.port.empty())
        names.assign(1, options.port);
    CProgressView* view = view_.get();
    link_.SetPortSource([names, view] {
        std::vector<PortInfo> ports = names.empty() ? ListSystemPorts() : Named(names);
        view->PortsListed(ports.size());
        return ports;
    });
}

int CFlashHost::Run()
{
    const auto t0 = std::chrono::steady_clock::now();
    outcome_.startedUnix = static_cast<int64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
    DownloadThreadProc(this);
    outcome_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    link_.SetObserver(nullptr);
    if (notice_ == kNoticeSuccess)
        return kExitWritten;
    if (notice_ == kNoticeFileOpenFailed)
        return kExitNoImage;
    return kExitFailed;
}

DeviceOutcome CFlashHost::Outcome() const
{
    DeviceOutcome o = outcome_;
    o.port = failed_ && !failure_.port.empty() ? failure_.port : link_.FoundPort();
    if (!o.port.empty())
        o.device = DescribePort(o.port);
    o.success = notice_ == kNoticeSuccess;
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
    view_->Finish(text == kNoticeSuccess);
    std::fprintf(out_, "%s\n", text.c_str());
    if (failed_)
        std::fprintf(out_, "%s\n", DescribeFailure(failure_, link_.LastDiscovery(), imagePath_).c_str());
    if (text == kNoticeSuccess) {
        DeviceOutcome rate;
        tally_->Fill(rate);
        const std::string hint = SlowLineHint(rate.dataBytesPerS);
        if (!hint.empty())
            std::fprintf(out_, "%s\n", hint.c_str());
    }
    std::fflush(out_);
}
