// Reader of the database image DB.bin over one open file.
#pragma once

#include <cstdint>
#include <string>

#include "image/ImageFile.h"
#include "protocol/Protocol.h"

namespace zq {

enum class ImageRefusal {
    None,
    TooShort,      // L < 65536 + 16 * N
    BadMagic,      // bytes 2..5 are not "SDDB"
    TooLarge,      // 4 GiB or more: a 32-bit length would wrap
    TooManyBlocks, // more than 65535 blocks: the count travels as 16 bits
    ReadError,
};

using zq::kImageDataOffset;
using zq::kImageMaxBlocks;
constexpr uint32_t kImageBlockSize = zq::kBlockSize;

class CDbImage {
public:
    explicit CDbImage(CImageFile& file) : file_(file) {}

    bool Open(const std::string& path);
    bool Validate();
    void Rewind();
    uint32_t Length();
    uint16_t ReadHeaderWord();
    void ReadBlock(uint8_t buffer[kImageBlockSize]);
    void StepBack();
    void Close();

    // Beyond the plain operations: what went wrong, so a download can fail on
    // a read or seek error instead of sending spaces.
    ImageRefusal Refusal() const { return refusal_; }
    // What Validate read: the file's length and the header word.
    uint64_t CheckedLength() const { return checkedLength_; }
    uint32_t CheckedHeader() const { return checkedHeader_; }
    bool IoFailed() const { return ioFailed_; }
    // Bytes the last ReadBlock delivered from the file (0..128).
    uint32_t LastBlockBytes() const { return lastBlockBytes_; }
    FileError OpenError() const { return file_.LastError(); }
    int OpenOsError() const { return file_.LastOsError(); }

    static uint32_t BlockCount(uint32_t length) { return (length - kImageDataOffset) >> 7; }
    static uint32_t ProgressAllowance(uint32_t blocks) { return bar::ProgressAllowance(blocks); }

private:
    CImageFile& file_;
    uint64_t checkedLength_ = 0;
    uint32_t checkedHeader_ = 0;
    ImageRefusal refusal_ = ImageRefusal::None;
    bool ioFailed_ = false;
    uint32_t lastBlockBytes_ = 0;
};

}  // namespace zq
