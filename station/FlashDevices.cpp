#include "station/FlashDevices.h"

#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>

namespace zq {

namespace {

// One device's download: the snapshot's bytes, the one port, no display.
class CDeviceHost : public DownloadHostBase, private NoticeSink {
public:
    CDeviceHost(const ImageSnapshot& image, const PortInfo& port, const std::atomic<bool>* cancel,
                ProgressSink* progress, bool answered)
        : sharedCancel_(cancel), tally_(progress)
    {
        imagePath_ = image.path;
        image.Bind(imageFile_);
        outcome_.port = port.name;
        outcome_.device = port;
        // Discovery tells the worker what the system knows of the adapter.
        link_.SetPortSource([port] { return std::vector<PortInfo>{port}; });
        if (answered)
            link_.HandOver(port);
    }
    ProgressSink& Progress() override { return tally_; }
    NoticeSink& Notice() override { return *this; }
    const std::atomic<bool>* CancelFlag() override { return sharedCancel_ ? sharedCancel_ : &cancel_; }
    void OnFailure(const DownloadFailure& failure) override
    {
        outcome_.failure = failure;
        outcome_.discovery = link_.LastDiscovery();
    }

    DeviceOutcome Run()
    {
        const auto t0 = std::chrono::steady_clock::now();
        outcome_.startedUnix = static_cast<int64_t>(
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
                .count());
        outcome_.success = RunDownload(*this).success;
        outcome_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        outcome_.cancelled = outcome_.failure.step == FailStep::Cancelled;
        tally_.Fill(outcome_);
        return outcome_;
    }

private:
    void ShowNotice(const std::string& text) override { outcome_.notice = text; }

    const std::atomic<bool>* sharedCancel_;
    CStageTally tally_;
    DeviceOutcome outcome_;
};

} // namespace

DeviceOutcome NoThreadOutcome(const PortInfo& port)
{
    DeviceOutcome outcome;
    outcome.port = port.name;
    outcome.device = port;
    outcome.failure.step = FailStep::NoThread;
    outcome.failure.port = port.name;
    outcome.startedUnix = static_cast<int64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
    return outcome;
}

void CPortProgress::OnStage(const StageReport& report) { events_.OnProgress(port_, report); }

void CPortProgress::OnAdapter(const PortInfo& adapter, int latencyMs) { events_.OnAdapter(port_, adapter, latencyMs); }

DeviceOutcome DownloadToDevice(const ImageSnapshot& image, const PortInfo& port, const std::atomic<bool>* cancel,
                               ProgressSink* progress, bool answered)
{
    CDeviceHost host(image, port, cancel, progress, answered);
    return host.Run();
}

std::vector<DeviceOutcome> FlashDevices(const ImageSnapshot& image, const std::vector<PortInfo>& ports,
                                        const std::atomic<bool>* cancel, PortEvents& events, bool answered)
{
    std::vector<DeviceOutcome> outcomes(ports.size());
    std::mutex reporting;
    std::vector<std::thread> threads;
    threads.reserve(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        try {
            threads.emplace_back([&, i] {
                events.OnFound(ports[i].name);
                CPortProgress progress(events, ports[i].name);
                outcomes[i] = DownloadToDevice(image, ports[i], cancel, &progress, answered);
                std::lock_guard<std::mutex> lock(reporting);
                events.OnEnded(outcomes[i]);
            });
        } catch (const std::system_error&) {
            // Out of threads (a process or task limit): this device fails,
            // with its record, and those begun run to their end; the
            // exception would leave their threads unjoined and end the
            // program, records unwritten.
            outcomes[i] = NoThreadOutcome(ports[i]);
            std::lock_guard<std::mutex> lock(reporting);
            events.OnEnded(outcomes[i]);
        }
    }
    for (std::thread& t : threads)
        t.join();
    return outcomes;
}

}  // namespace zq
