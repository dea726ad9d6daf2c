#include "download/ImageCheck.h"

#include "platform/Sha256.h"

namespace zq {

bool CheckAndHold(CDbImage& image, CImageFile& file, const std::string& path, ImageSnapshot& snapshot,
                  DownloadFailure& failure)
{
    // A refusal of the bytes as read (the file changed after its check)
    // reads as the refusal of the file.
    ImageRefusal refusal = ImageRefusal::None;
    if (!image.Validate())
        refusal = image.Refusal();
    else
        HoldImage(file, path, image.CheckedLength(), snapshot, refusal);
    if (refusal == ImageRefusal::None)
        return true;
    failure.refusal = refusal;
    failure.imageBytes = image.CheckedLength();
    failure.header = image.CheckedHeader();
    failure.step = refusal == ImageRefusal::ReadError ? FailStep::ImageRead : FailStep::ImageRefused;
    return false;
}

bool TakeImageSnapshot(const std::string& path, ImageSnapshot& snapshot, DownloadFailure& failure,
                       ImageShare share)
{
    snapshot = ImageSnapshot();
    failure = DownloadFailure();
    CImageFile file;
    file.SetShare(share);
    CDbImage image(file);
    if (!image.Open(path)) {
        failure.step = FailStep::ImageOpen;
        failure.fileError = image.OpenError();
        failure.osError = image.OpenOsError();
        return false;
    }
    ImageSnapshot held;
    if (!CheckAndHold(image, file, path, held, failure))
        return false;
    held.sha256 = Sha256Hex(held.bytes->data(), held.bytes->size());
    if (held.sha256.empty()) {
        failure.step = FailStep::ImageRead;
        return false;
    }
    snapshot = std::move(held);
    return true;
}

}  // namespace zq
