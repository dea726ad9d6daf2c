// A console host for one download, for the end-to-end run under wine: the
// image given on the command line, the ports from the registry, the
// progress and the notice printed instead of shown.
#include <cstdio>
#include <string>

#include "DownloadHost.h"

namespace {

class ConsoleHost : public DownloadHost, private ProgressSink, private NoticeSink {
public:
    explicit ConsoleHost(std::string image) : image_(std::move(image)) {}

    std::string ImagePath() override { return image_; }
    CImageFile& ImageFile() override { return file_; }
    CSerialLink& Link() override { return link_; }
    ProgressSink& Progress() override { return *this; }
    NoticeSink& Notice() override { return *this; }
    void OnFailure(const DownloadFailure& failure) override
    {
        std::printf("failed at step %d, block %u of %u, port '%s'\n", static_cast<int>(failure.step),
                    failure.block, failure.blocks, failure.port.c_str());
    }

    const std::string& notice() const { return notice_; }
    uint32_t maximum() const { return maximum_; }
    uint32_t last() const { return last_; }

private:
    void SetRange(uint32_t maximum) override
    {
        maximum_ = maximum;
        std::printf("range 0..%u\n", maximum);
    }
    void SetPos(uint32_t position) override { last_ = position; }
    void ShowNotice(const std::string& text) override
    {
        notice_ = text;
        std::printf("notice: %s\n", text.c_str());
    }

    std::string image_;
    CImageFile file_;
    CSerialLink link_;
    std::string notice_;
    uint32_t maximum_ = 0;
    uint32_t last_ = 0;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: wine_flash IMAGE\n");
        return 2;
    }
    ConsoleHost host(argv[1]);
    DownloadThreadProc(&host);
    const bool ok = host.notice() == kNoticeSuccess;
    std::printf("port %s, bar %u of %u\n", host.Link().FoundPort().c_str(), host.last(), host.maximum());
    for (const ProbeResult& probe : host.Link().LastDiscovery())
        std::printf("probed %s: open error %d, %u other bytes, beacon %s\n", probe.port.c_str(),
                    static_cast<int>(probe.openError), probe.bytesHeard, probe.beacon ? "yes" : "no");
    // The bar stands full only after a download that went through.
    return ok && host.last() == host.maximum() ? 0 : 1;
}
