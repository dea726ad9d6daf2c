#include "image/ImageSnapshot.h"

namespace zq {

namespace {

std::shared_ptr<const std::vector<uint8_t>> ReadWhole(CImageFile& file, uint64_t length)
{
    auto bytes = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(length));
    if (!file.SeekFromStart(0))
        return nullptr;
    size_t got = 0;
    while (got < bytes->size()) {
        const int64_t n = file.Read(bytes->data() + got, bytes->size() - got);
        if (n <= 0)
            return nullptr; // a read error, or the file shrank
        got += static_cast<size_t>(n);
    }
    return bytes;
}

} // namespace

bool HoldImage(CImageFile& file, const std::string& path, uint64_t checkedLength, ImageSnapshot& snapshot,
               ImageRefusal& refusal)
{
    snapshot = ImageSnapshot();
    refusal = ImageRefusal::None;
    // Validate refused anything over 65535 blocks, so what is held stays
    // under 8.4 MB.
    std::shared_ptr<const std::vector<uint8_t>> bytes = file.HeldBytes();
    if (!bytes)
        bytes = ReadWhole(file, checkedLength);
    if (!bytes || bytes->size() != checkedLength) {
        refusal = ImageRefusal::ReadError;
        return false;
    }
    CImageFile held;
    held.BindMemory(path, bytes);
    CDbImage check(held);
    if (!check.Open(path) || !check.Validate()) {
        refusal = check.Refusal() == ImageRefusal::None ? ImageRefusal::ReadError : check.Refusal();
        return false;
    }
    const uint32_t length = static_cast<uint32_t>(bytes->size());
    snapshot.path = path;
    snapshot.header = static_cast<uint16_t>((*bytes)[0] | (*bytes)[1] << 8);
    snapshot.blocks = CDbImage::BlockCount(length);
    snapshot.tail = (length - kImageDataOffset) % kImageBlockSize;
    snapshot.bytes = std::move(bytes);
    return true;
}

}  // namespace zq
