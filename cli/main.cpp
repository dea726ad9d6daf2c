// zerquill-flash: the download from a command line, for scripts, service
// benches and machines without a desktop.
#include <algorithm>
#include <cstdio>
#include <string>

#include "Console.h"
#include "DownloadHost.h"
#include "FlashAll.h"
#include "Causes.h"
#include "FlashHost.h"
#include "Record.h"
#include "ImagePath.h"
#include "Options.h"
#include "PortList.h"

namespace {

int ListPorts()
{
    const std::vector<PortInfo> ports = ListSystemPorts();
    if (ports.empty()) {
        std::fprintf(stderr, "no serial port found\n");
        return 0;
    }
    size_t nameWidth = 4, descWidth = 11;
    for (const PortInfo& p : ports) {
        nameWidth = std::max(nameWidth, p.name.size());
        descWidth = std::max(descWidth, p.description.size());
    }
    for (const PortInfo& p : ports) {
        std::printf("%-*s  %-*s  %s\n", static_cast<int>(nameWidth), p.name.c_str(), static_cast<int>(descWidth),
                    p.description.empty() ? "-" : p.description.c_str(),
                    p.hardwareId.empty() ? "-" : p.hardwareId.c_str());
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    FlashOptions options;
    std::string error;
    if (!ParseFlashOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "zerquill-flash: %s\n\n%s", error.c_str(), kFlashUsage);
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(kFlashUsage, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("zerquill-flash %s\n", kVersion);
        return 0;
    }
    if (options.listPorts)
        return ListPorts();

    // A record that cannot be written is a usage error: nothing is opened
    // and no device is touched.
    CRecordLog log;
    if (!options.log.empty()) {
        std::string why;
        if (!log.Open(options.log, why)) {
            std::fprintf(stderr, "zerquill-flash: --log: cannot append to %s\n", why.c_str());
            return kExitUsage;
        }
    }
    const std::string image = options.image.empty() ? DefaultImagePath() : options.image;
    if (image.empty()) {
        // Never DB.bin of the current folder: it may be another device's.
        std::printf("%s\ncannot tell this program's folder; give --image\n", kNoticeFileOpenFailed);
        return kExitNoImage;
    }
    if (options.all || options.watch) {
        std::atomic<bool> stop{false};
        SetInterruptFlag(&stop);
        CRecordLog* record = log.IsOpen() ? &log : nullptr;
        int status = options.all ? FlashAll(options, image, stdout, &stop, record)
                                 : WatchStation(options, image, stdout, &stop, record);
        if (status == kExitInterrupted && InterruptSignal() != 0)
            status = 128 + InterruptSignal();
        SetInterruptFlag(nullptr);
        return status;
    }
    CFlashHost host(options, image, stdout, stderr);
    // With a record, the image is read once and hashed, and the download
    // sends exactly the bytes the record names.
    ImageSnapshot snapshot;
    snapshot.path = image;
    DownloadFailure unread;
    if (log.IsOpen() && TakeImageSnapshot(image, snapshot, unread))
        host.UseSnapshot(snapshot);
    SetInterruptFlag(host.Cancel());
    int status = host.Run();
    SetInterruptFlag(nullptr);
    if (log.IsOpen()) {
        const DeviceOutcome outcome = host.Outcome();
        const std::string cause =
            outcome.success ? std::string() : DescribeFailure(outcome.failure, outcome.discovery, image);
        if (!log.Append(RecordLine(outcome, snapshot, cause))) {
            std::fprintf(stderr, "zerquill-flash: the record could not be written to %s\n", options.log.c_str());
            status = kExitFailed;
        }
    }
    return status;
}
