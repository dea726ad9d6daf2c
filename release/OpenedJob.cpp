#include "release/OpenedJob.h"

#include "download/Causes.h"

namespace zq {

std::string ReleaserText(const PublicKey& key)
{
    return key.name + " (" + key.fingerprint.substr(0, 16) + "...)";
}

bool IsJobPath(const std::string& path)
{
    const std::string ext = ".zqjob";
    return path.size() > ext.size() && path.compare(path.size() - ext.size(), ext.size(), ext) == 0;
}

bool OpenJob(const std::string& path, const TrustStore& store, OpenedJob& opened, std::string& why)
{
    opened = OpenedJob();
    Bytes bytes;
    if (!ReadJob(path, opened.job, bytes, why))
        return false;
    // A station window takes no --trust: only the administrator's keys count,
    // and without them a job runs as an image with a pin.
    if (store.Locked()) {
        const ReleaseCheck release = CheckRelease(opened.job.path, bytes, opened.job.signer, store.keys);
        if (release.state != ReleaseState::Released) {
            why = release.text;
            return false;
        }
        opened.signedBy = release.by.fingerprint;
        opened.releasedBy = ReleaserText(release.by);
    }
    DownloadFailure refused;
    if (!TakeImageSnapshot(opened.job.image, opened.image, refused, ImageShare::SharedRead)) {
        why = DescribeFailure(refused, {}, opened.job.image);
        return false;
    }
    if (opened.image.sha256 != opened.job.sha256) {
        why = "the image is not the one job " + opened.job.name + " pins: sha256 " + opened.image.sha256.substr(0, 16) +
              "..., the job pins " + opened.job.sha256.substr(0, 16) + "...";
        return false;
    }
    return true;
}

std::string ImageReleaseRefusal(const std::string& imagePath, const TrustStore& store, ImageSnapshot* released)
{
    if (!store.Locked())
        return std::string();
    const size_t dot = imagePath.find_last_of('.');
    const size_t slash = imagePath.find_last_of("/\\");
    const std::string stem = dot != std::string::npos && (slash == std::string::npos || dot > slash)
                                 ? imagePath.substr(0, dot)
                                 : imagePath;
    const std::string jobPath = stem + ".zqjob";
    OpenedJob opened;
    std::string why;
    if (!OpenJob(jobPath, store, opened, why))
        return "the image is not released: " + why;
    // The job must pin this very image, not another file it names.
    ImageSnapshot image;
    DownloadFailure unread;
    if (!TakeImageSnapshot(imagePath, image, unread, ImageShare::SharedRead) || image.sha256 != opened.job.sha256)
        return "the image is not released: " + jobPath + " pins another image";
    if (released)
        *released = std::move(image);
    return std::string();
}

void DownloadReleasedImage(DownloadHost* host)
{
    DownloadReleasedImage(host, InstalledTrust());
}

void DownloadReleasedImage(DownloadHost* host, const TrustStore& store)
{
    ImageSnapshot released;
    const std::string refused = ImageReleaseRefusal(host->ImagePath(), store, &released);
    if (!refused.empty()) {
        host->Notice().ShowNotice(std::string(kNoticeFail) + "\n" + refused);
        return;
    }
    // The worker reads the checked bytes, not the file again: a file
    // changed after the check cannot reach the device. The next Start reads
    // the file anew.
    if (released.bytes)
        released.Bind(host->ImageFile());
    DownloadThreadProc(host);
    if (released.bytes)
        host->ImageFile().Unbind();
}

}  // namespace zq
