#include "FlashAll.h"

#include <vector>

#include "Causes.h"
#include "FlashDevices.h"
#include "FlashHost.h"
#include "ImageSnapshot.h"
#include "SerialLink.h"

int FlashAll(const FlashOptions& options, const std::string& imagePath, std::FILE* out,
             std::atomic<bool>* cancel, CRecordLog* log)
{
    // The image is read once for all devices.
    ImageSnapshot image;
    DownloadFailure refused;
    if (!TakeImageSnapshot(imagePath, image, refused)) {
        const bool unopened = refused.step == FailStep::ImageOpen;
        std::fprintf(out, "%s\n%s\n", unopened ? kNoticeFileOpenFailed : kNoticeFail,
                     DescribeFailure(refused, {}, imagePath).c_str());
        return unopened ? kExitNoImage : kExitFailed;
    }
    std::fprintf(out, "image %s: %u blocks, sha256 %s\n", imagePath.c_str(), image.blocks,
                 image.sha256.c_str());

    // One window over every port at once, writing to none of them.
    CSerialLink scanner;
    std::vector<std::string> names = options.ports;
    if (!options.port.empty())
        names.assign(1, options.port);
    if (!names.empty()) {
        scanner.SetPortSource([names] {
            std::vector<PortInfo> ports;
            for (const std::string& name : names)
                ports.push_back(PortInfo{name, std::string(), std::string()});
            return ports;
        });
    }
    const std::vector<ProbeResult> probes = scanner.Scan(zq::DEVICE_BEACON, zq::kProbeBaud);
    std::vector<std::string> found;
    for (const ProbeResult& p : probes)
        if (p.beacon)
            found.push_back(p.port);
    if (found.empty()) {
        DownloadFailure none;
        none.step = probes.empty() ? FailStep::NoPorts : FailStep::NoDevice;
        std::fprintf(out, "%s\n0 devices: 0 written, 0 failed\n", DescribeFailure(none, probes, imagePath).c_str());
        std::fflush(out);
        return kExitFailed;
    }
    std::fprintf(out, "%zu device%s found on %zu port%s: flashing them all at once\n", found.size(),
                 found.size() == 1 ? "" : "s", probes.size(), probes.size() == 1 ? "" : "s");
    std::fflush(out);

    unsigned written = 0;
    unsigned failed = 0;
    bool unrecorded = false;
    FlashDevices(image, found, cancel, [&](const DeviceOutcome& o) {
        const std::string cause = o.success ? std::string() : DescribeFailure(o.failure, o.discovery, imagePath);
        if (o.success) {
            ++written;
            std::fprintf(out, "%s: %s (%.1f s)\n", o.port.c_str(), kNoticeSuccess, o.seconds);
        } else {
            ++failed;
            std::fprintf(out, "%s: %s\n%s:   %s\n", o.port.c_str(), o.notice.c_str(), o.port.c_str(), cause.c_str());
        }
        if (log && !log->Append(RecordLine(o, image, cause))) {
            unrecorded = true;
            std::fprintf(out, "%s: the record could not be written\n", o.port.c_str());
        }
        std::fflush(out);
    });
    std::fprintf(out, "%zu device%s: %u written, %u failed\n", found.size(), found.size() == 1 ? "" : "s",
                 written, failed);
    std::fflush(out);
    // A unit flashed without its record is worse than one not flashed.
    return failed == 0 && !unrecorded ? kExitWritten : kExitFailed;
}
