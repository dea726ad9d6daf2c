// The image reader over arbitrary file contents and lengths, driven the way
// a download drives it, with refusals thrown in: Open, Validate, Rewind,
// Length, ReadHeaderWord, then blocks with StepBack where the input says.
// Checked against a plain model of the file, not only for crashes.
//
// Input: 3 bytes of file length (scaled, so sparse images beyond the block
// limit come up), 1 byte of flags, 2 bytes seeding the StepBack pattern,
// then the file's first bytes (also copied to the start of the data area).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/DbImage.h"

using namespace zq;

namespace {

[[noreturn]] void Violation(const char* what, unsigned long a = 0, unsigned long b = 0)
{
    std::fprintf(stderr, "\nimage property violated: %s (%lu, %lu)\n", what, a, b);
    std::abort();
}

int ImageFd()
{
    static int fd = -1;
    if (fd < 0) {
        fd = memfd_create("zq-fuzz-image", MFD_CLOEXEC);
        if (fd < 0)
            std::abort();
    }
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 6)
        return 0;
    const uint32_t raw = data[0] | data[1] << 8 | data[2] << 16;
    const uint8_t flags = data[3];
    uint32_t steps = static_cast<uint32_t>(data[4] | data[5] << 8) * 2654435761u;
    const uint8_t* content = data + 6;
    const size_t contentSize = size - 6;

    // Most lengths near the interesting part (the header area and a few
    // hundred blocks); some far beyond the 65535-block limit.
    uint64_t length;
    switch (flags & 3) {
    case 0: length = contentSize; break;
    case 1: length = zq::kImageDataOffset - 64 + raw % (zq::kBlockSize * 700); break;
    case 2: length = raw % 0x20000; break;
    default: length = zq::kImageDataOffset + uint64_t{zq::kBlockSize} * 0xFFF0 + raw % (zq::kBlockSize * 64); break; // around the limit
    }

    // The file as the model sees it: content at 0 and again at the data
    // area, zeros elsewhere (sparse).
    std::vector<uint8_t> head(content, content + contentSize);
    auto byteAt = [&](uint64_t off) -> uint8_t {
        if (off >= length)
            Violation("model read past the end", static_cast<unsigned long>(off));
        if (off < contentSize)
            return head[off];
        if (off >= zq::kImageDataOffset && off - zq::kImageDataOffset < contentSize)
            return head[off - zq::kImageDataOffset];
        return 0;
    };

    const int fd = ImageFd();
    if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(length)) != 0)
        std::abort();
    const size_t first = std::min<uint64_t>(contentSize, length);
    if (first && pwrite(fd, content, first, 0) != static_cast<ssize_t>(first))
        std::abort();
    if (length > zq::kImageDataOffset) {
        const size_t again = std::min<uint64_t>(contentSize, length - zq::kImageDataOffset);
        if (again && pwrite(fd, content, again, zq::kImageDataOffset) != static_cast<ssize_t>(again))
            std::abort();
    }

    CImageFile file;
    CDbImage image(file);
    if (!image.Open("/proc/self/fd/" + std::to_string(fd)))
        Violation("a plain file did not open");

    // Acceptance, worked out here on its own.
    const uint8_t lo = length > 0 ? byteAt(0) : 0;
    const uint8_t hi = length > 1 ? byteAt(1) : 0;
    const uint64_t n = hi * 256u + lo;
    bool magic = length >= 6;
    for (size_t i = 0; magic && i < sizeof zq::kImageMagic; ++i)
        magic = byteAt(zq::kImageMagicOffset + i) == zq::kImageMagic[i];
    const bool lengthRule = length >= zq::kImageDataOffset + zq::kLengthPerWord * n;
    const uint64_t blocks = length >= zq::kImageDataOffset ? (length - zq::kImageDataOffset) / zq::kBlockSize : 0;
    const bool expectAccepted = lengthRule && magic && blocks <= zq::kImageMaxBlocks;

    const bool accepted = image.Validate();
    if (accepted != expectAccepted)
        Violation(accepted ? "accepted a bad image" : "refused a good image", static_cast<unsigned long>(length),
                  static_cast<unsigned long>(n));
    if (accepted && CDbImage::BlockCount(static_cast<uint32_t>(length)) > 0xFFFF)
        Violation("accepted more than 65535 blocks", static_cast<unsigned long>(blocks));
    if (!accepted && image.Refusal() == ImageRefusal::None)
        Violation("refused without a reason");
    if (!lengthRule && image.Refusal() != ImageRefusal::TooShort)
        Violation("short image refused for another reason", static_cast<unsigned long>(image.Refusal()));
    if (image.IoFailed())
        Violation("read error on a memory file");

    // The download's reads, on accepted and refused images alike.
    image.Rewind();
    if (image.Length() != static_cast<uint32_t>(length))
        Violation("length", image.Length(), static_cast<unsigned long>(length));
    const uint16_t word = image.ReadHeaderWord();
    if (length >= 2 && word != n)
        Violation("header word", word, static_cast<unsigned long>(n));
    if (length >= 2 && image.IoFailed())
        Violation("header word read failed");

    uint64_t pos = zq::kImageDataOffset;
    bool ioFailed = image.IoFailed();
    const uint32_t loops = blocks < 300 ? static_cast<uint32_t>(blocks) + 2 : 300;
    uint8_t buffer[kImageBlockSize];
    for (uint32_t i = 0; i < loops; ++i) {
        std::memset(buffer, 0xA5, sizeof buffer);
        image.ReadBlock(buffer);
        const uint64_t avail = pos < length ? std::min<uint64_t>(zq::kBlockSize, length - pos) : 0;
        if (image.LastBlockBytes() != avail)
            Violation("bytes of a block", image.LastBlockBytes(), static_cast<unsigned long>(avail));
        for (uint32_t k = 0; k < zq::kBlockSize; ++k) {
            const uint8_t want = k < avail ? byteAt(pos + k) : 0x20;
            if (buffer[k] != want)
                Violation("block content", static_cast<unsigned long>(pos + k), buffer[k]);
        }
        pos += avail;
        steps = steps * 1103515245u + 12345u;
        const unsigned backs = (steps >> 28) < 5 ? (steps >> 26) % 3 : 0;
        for (unsigned b = 0; b < backs; ++b) {
            image.StepBack();
            if (pos >= 128)
                pos -= 128;
            else
                ioFailed = true; // before the start: refused by the OS, position kept
        }
        if (image.IoFailed() != ioFailed)
            Violation("read error flag", image.IoFailed(), ioFailed);
    }
    image.Close();
    if (file.IsOpen())
        Violation("still open after Close");
    return 0;
}
