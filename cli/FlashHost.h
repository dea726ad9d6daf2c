// The command line as the download worker's host: it owns what the dialog
// owns (the image file, the link) and prints where the dialog shows.
#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "download/DownloadHost.h"
#include "station/FlashDevices.h"
#include "download/ImageCheck.h"
#include "cli/Options.h"
#include "cli/ProgressView.h"
#include "cli/Trace.h"
#include "download/ExitStatus.h"
#include "link/NamedPorts.h"

namespace zq {

// Shows each port discovery tries: the opens at the probing speed, not bytes.
class CProbeWatch : public LinkObserver {
public:
    explicit CProbeWatch(CProgressView& view) : view_(view) {}
    void OnOpen(const std::string& name, uint32_t baud, LinkStatus /*result*/) override
    {
        if (baud == zq::kProbeBaud)
            view_.Probing(name);
    }

private:
    CProgressView& view_;
};

// The line under a failure's cause that says what to do next, where the
// cause alone does not; empty where it does. imageNamed: -i was given.
std::string NextStep(const DownloadFailure& failure, const std::vector<ProbeResult>& probes, bool imageNamed);

class CFlashHost : public DownloadHostBase, public NoticeSink {
public:
    CFlashHost(const FlashOptions& options, std::string imagePath, std::FILE* out, std::FILE* err);

    // Runs the download on this thread; the exit status of the tool.
    int Run();

    ProgressSink& Progress() override { return *tally_; }
    NoticeSink& Notice() override { return *this; }
    void OnFailure(const DownloadFailure& failure) override;
    void ShowNotice(const std::string& text) override;

    std::atomic<bool>* Cancel() { return &cancel_; }

    // Reads the image from this snapshot instead of the file.
    void UseSnapshot(const ImageSnapshot& image) { image.Bind(imageFile_); }
    // The finished download, for its record.
    DeviceOutcome Outcome() const;

    // Listens until a device beacons on a port of the list or seconds have
    // passed; false when none did (or on cancel). The device heard is
    // answered, and Run's download goes on from the exchange on its port.
    bool WaitForBeacon(double seconds);

private:
    std::FILE* out_;
    std::FILE* err_;
    bool imageNamed_;
    std::vector<std::string> names_;
    std::unique_ptr<CProgressView> view_;
    std::unique_ptr<CStageTally> tally_;
    DeviceOutcome outcome_;
    std::unique_ptr<CProbeWatch> probes_;
    std::unique_ptr<CTrace> trace_;
    CObserverTee tee_;
    DownloadFailure failure_;
    bool failed_ = false;
    std::string notice_;
};

// The exit status of a download that ended at step.
int ExitStatusFor(FailStep step);

}  // namespace zq
