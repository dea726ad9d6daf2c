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

JobRefusal OpenReleasedJob(const std::string& path, const ReleaseKeys& keys, OpenedJob& opened)
{
    opened = OpenedJob();
    JobRefusal refusal;
    Bytes bytes;
    if (!ReadJob(path, opened.job, bytes, refusal.error)) {
        refusal.step = JobRefusal::Step::Unreadable;
        return refusal;
    }
    std::vector<PublicKey> trusted;
    if (keys && !keys(trusted, refusal.checked)) {
        refusal.checked = false;
        refusal.step = JobRefusal::Step::NoKeys;
        return refusal;
    }
    if (refusal.checked) {
        refusal.release = CheckRelease(opened.job.path, bytes, opened.job.signer, trusted);
        if (refusal.release.state != ReleaseState::Released) {
            refusal.step = JobRefusal::Step::NotReleased;
            return refusal;
        }
        opened.signedBy = refusal.release.by.fingerprint;
        opened.releasedBy = ReleaserText(refusal.release.by);
    }
    if (!TakeImageSnapshot(opened.job.image, opened.image, refusal.refused, ImageShare::SharedRead))
        refusal.step = JobRefusal::Step::ImageRefused;
    else if (opened.image.sha256 != opened.job.sha256)
        refusal.step = JobRefusal::Step::NotPinned;
    return refusal;
}

bool OpenJob(const std::string& path, const TrustStore& store, OpenedJob& opened, std::string& why)
{
    // A station window takes no --trust: only the administrator's keys count,
    // and without them a job runs as an image with a pin.
    const JobRefusal refusal = OpenReleasedJob(path, [&store](std::vector<PublicKey>& keys, bool& check) {
        check = store.Locked();
        keys = store.keys;
        return true;
    }, opened);
    switch (refusal.step) {
    case JobRefusal::Step::None:
        return true;
    case JobRefusal::Step::Unreadable:
    case JobRefusal::Step::NoKeys:
        why = refusal.error;
        break;
    case JobRefusal::Step::NotReleased:
        // With the store unread no key is trusted: that is the reason to give.
        why = store.unreadable.empty() ? refusal.release.text : refusal.release.text + "; " + store.unreadable;
        break;
    case JobRefusal::Step::ImageRefused:
        why = DescribeFailure(refusal.refused, {}, opened.job.image);
        break;
    case JobRefusal::Step::NotPinned:
        why = "the image is not the one job " + opened.job.name + " pins: sha256 " + opened.image.sha256.substr(0, 16) +
              "..., the job pins " + opened.job.sha256.substr(0, 16) + "...";
        break;
    }
    return false;
}

std::string JobsOnlyText(const TrustStore& store)
{
    if (!store.unreadable.empty())
        return "this station runs released jobs only (" + store.unreadable + ")";
    return std::string("this station runs released jobs only (its administrator installed trusted keys in ") +
           kTrustStoreName + ")";
}

std::string ImageReleaseRefusal(const std::string& imagePath, const TrustStore& store, ImageSnapshot* released)
{
    if (!store.Locked())
        return std::string();
    // A store that cannot be read trusts no key: no job could release the image.
    if (!store.unreadable.empty())
        return "the image is not released: " + JobsOnlyText(store);
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
