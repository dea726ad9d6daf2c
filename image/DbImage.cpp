#include "image/DbImage.h"

#include <cstring>

namespace zq {

bool CDbImage::Open(const std::string& path)
{
    refusal_ = ImageRefusal::None;
    ioFailed_ = false;
    lastBlockBytes_ = 0;
    return file_.Open(path);
}

bool CDbImage::Validate()
{
    refusal_ = ImageRefusal::None;
    uint64_t length = 0;
    if (!file_.Length(&length) || !file_.SeekFromStart(0)) {
        ioFailed_ = true;
        refusal_ = ImageRefusal::ReadError;
        return false;
    }
    uint8_t word[2] = {0, 0};
    if (file_.Read(word, 2) < 0) {
        ioFailed_ = true;
        refusal_ = ImageRefusal::ReadError;
        return false;
    }
    const uint64_t n = static_cast<uint64_t>(word[1]) * 256 + word[0];
    checkedLength_ = length;
    checkedHeader_ = static_cast<uint32_t>(n);
    if (length < kImageDataOffset + zq::kLengthPerWord * n) {
        refusal_ = ImageRefusal::TooShort;
        return false;
    }
    uint8_t magic[4] = {0, 0, 0, 0};
    if (file_.Read(magic, 4) < 0) {
        ioFailed_ = true;
        refusal_ = ImageRefusal::ReadError;
        return false;
    }
    if (std::memcmp(magic, zq::kImageMagic, sizeof zq::kImageMagic) != 0) {
        refusal_ = ImageRefusal::BadMagic;
        return false;
    }
    if (length > 0xFFFFFFFFull) {
        refusal_ = ImageRefusal::TooLarge;
        return false;
    }
    if (BlockCount(static_cast<uint32_t>(length)) > kImageMaxBlocks) {
        refusal_ = ImageRefusal::TooManyBlocks;
        return false;
    }
    return true;
}

void CDbImage::Rewind()
{
    if (!file_.SeekFromStart(0))
        ioFailed_ = true;
}

uint32_t CDbImage::Length()
{
    uint64_t length = 0;
    if (!file_.Length(&length)) {
        ioFailed_ = true;
        return 0;
    }
    return static_cast<uint32_t>(length);
}

uint16_t CDbImage::ReadHeaderWord()
{
    uint8_t word[2] = {0, 0};
    if (file_.Read(word, 2) != 2)
        ioFailed_ = true;
    if (!file_.SeekFromStart(kImageDataOffset))
        ioFailed_ = true;
    return static_cast<uint16_t>(word[1] << 8 | word[0]);
}

void CDbImage::ReadBlock(uint8_t buffer[kImageBlockSize])
{
    std::memset(buffer, 0x20, kImageBlockSize);
    lastBlockBytes_ = 0;
    uint32_t got = 0;
    // A file read may deliver less than asked before the end; keep reading
    // until the block is whole or the file really ends.
    while (got < kImageBlockSize) {
        const int64_t n = file_.Read(buffer + got, kImageBlockSize - got);
        if (n < 0) {
            ioFailed_ = true;
            break;
        }
        if (n == 0)
            break;
        got += static_cast<uint32_t>(n);
    }
    lastBlockBytes_ = got;
}

void CDbImage::StepBack()
{
    if (!file_.SeekRelative(-static_cast<int64_t>(kImageBlockSize)))
        ioFailed_ = true;
}

void CDbImage::Close()
{
    file_.Close();
}

}  // namespace zq
