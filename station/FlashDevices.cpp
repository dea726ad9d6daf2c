#include "FlashDevices.h"

#include <chrono>
#include <mutex>
#include <thread>

namespace {

// One device's download: the snapshot's bytes, the one port, no display.
class CDeviceHost : public DownloadHostBase, private ProgressSink, private NoticeSink {
public:
    CDeviceHost(const ImageSnapshot& image, const std::string& port, const std::atomic<bool>* cancel)
        : sharedCancel_(cancel)
    {
        imagePath_ = image.path;
        image.Bind(imageFile_);
        link_.SetPortSource([port] { return std::vector<PortInfo>{{port, "", ""}}; });
        outcome_.port = port;
    }
    ProgressSink& Progress() override { return *this; }
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
        DownloadThreadProc(this);
        outcome_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        outcome_.success = outcome_.notice == kNoticeSuccess;
        return outcome_;
    }

private:
    void SetRange(uint32_t) override {}
    void SetPos(uint32_t) override {}
    void ShowNotice(const std::string& text) override { outcome_.notice = text; }

    const std::atomic<bool>* sharedCancel_;
    DeviceOutcome outcome_;
};

} // namespace

std::vector<DeviceOutcome> FlashDevices(const ImageSnapshot& image, const std::vector<std::string>& ports,
                                        const std::atomic<bool>* cancel,
                                        std::function<void(const DeviceOutcome&)> onEnded)
{
    std::vector<DeviceOutcome> outcomes(ports.size());
    std::mutex reporting;
    std::vector<std::thread> threads;
    for (size_t i = 0; i < ports.size(); ++i) {
        threads.emplace_back([&, i] {
            CDeviceHost host(image, ports[i], cancel);
            outcomes[i] = host.Run();
            if (onEnded) {
                std::lock_guard<std::mutex> lock(reporting);
                onEnded(outcomes[i]);
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    return outcomes;
}
