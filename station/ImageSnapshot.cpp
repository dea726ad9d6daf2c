#include "station/ImageSnapshot.h"

#include "station/Sha256.h"

namespace zq {

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
    // The same acceptance as a download's, on the file as it is now.
    if (!image.Validate()) {
        failure.refusal = image.Refusal();
        failure.imageBytes = image.CheckedLength();
        failure.header = image.CheckedHeader();
        failure.step = image.Refusal() == ImageRefusal::ReadError ? FailStep::ImageRead : FailStep::ImageRefused;
        return false;
    }
    image.Rewind();
    const uint32_t length = image.Length();
    auto bytes = std::make_shared<std::vector<uint8_t>>(length);
    size_t got = 0;
    while (got < bytes->size()) {
        const int64_t n = file.Read(bytes->data() + got, bytes->size() - got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (got != bytes->size() || image.IoFailed()) {
        // It shrank or failed between the length and the read.
        failure.step = FailStep::ImageRead;
        return false;
    }
    snapshot.path = path;
    snapshot.sha256 = Sha256Hex(bytes->data(), bytes->size());
    snapshot.header = static_cast<uint16_t>((*bytes)[0] | (*bytes)[1] << 8);
    snapshot.blocks = CDbImage::BlockCount(length);
    snapshot.tail = static_cast<uint32_t>((length - zq::kImageDataOffset) % zq::kBlockSize);
    snapshot.bytes = std::move(bytes);
    return !snapshot.sha256.empty();
}

}  // namespace zq
