// zq-mkimage: writes a sample database image with a deterministic pattern,
// for demonstrations, tests and benchmarks.
#include "Protocol.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const kUsage =
    "usage: zq-mkimage FILE [--blocks N] [--header N] [--seed S] [--tail T]\n"
    "\n"
    "Writes an image of 65536 + 128 x N + T bytes: the header word, the magic\n"
    "SDDB, a patterned header area and N data blocks of a pattern drawn from S.\n"
    "\n"
    "  --blocks N   data blocks (default 256)\n"
    "  --header N   the header word (default 8 per block, at most 65535:\n"
    "               the smallest image its length rule accepts)\n"
    "  --seed S     the pattern's seed (default 1)\n"
    "  --tail T     bytes after the last whole block, 0..127 (default 0)\n";

bool Number(const char* text, unsigned long max, unsigned long& out)
{
    if (!text || !*text)
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 0);
    if (errno || *end || text[0] == '-' || v > max)
        return false;
    out = v;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::string path;
    unsigned long blocks = 256, seed = 1, tail = 0, header = 0;
    bool headerSet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = true;
        if (opt == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (opt == "--blocks") {
            ok = Number(value, 0xFFFF, blocks), ++i;
        } else if (opt == "--header") {
            ok = Number(value, 0xFFFF, header), ++i;
            headerSet = true;
        } else if (opt == "--seed") {
            ok = Number(value, 0xFFFFFFFFul, seed), ++i;
        } else if (opt == "--tail") {
            ok = Number(value, 127, tail), ++i;
        } else if (opt.rfind("-", 0) != 0 && path.empty()) {
            path = opt;
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "zq-mkimage: bad argument near \"%s\"\n\n%s", opt.c_str(), kUsage);
            return 64;
        }
    }
    if (path.empty()) {
        std::fputs(kUsage, stderr);
        return 64;
    }
    if (!headerSet)
        header = blocks * 8 > 0xFFFF ? 0xFFFF : blocks * 8;

    std::vector<uint8_t> image = zq::BlankImage(static_cast<uint16_t>(header), blocks, tail);
    const size_t headerEnd = zq::kImageMagicOffset + sizeof zq::kImageMagic;
    uint32_t x = static_cast<uint32_t>(seed);
    for (size_t i = 0; i < image.size(); ++i) {
        x = x * 1103515245u + 12345u;
        if (i >= headerEnd)
            image[i] = static_cast<uint8_t>(x >> 16);
    }

    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "zq-mkimage: %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    const bool written = std::fwrite(image.data(), 1, image.size(), f) == image.size();
    if (std::fclose(f) != 0 || !written) {
        std::fprintf(stderr, "zq-mkimage: %s: write failed\n", path.c_str());
        return 1;
    }
    return 0;
}
