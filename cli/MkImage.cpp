// zq-mkimage: writes a sample database image with a deterministic pattern,
// for demonstrations, tests and benchmarks.
#include "protocol/Protocol.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace zq;

namespace {

const char* const kUsage =
    "Usage: zq-mkimage FILE [--blocks N] [--header N] [--seed S] [--tail T]\n"
    "\n"
    "Writes an image of 65536 + 128 x N + T bytes: the header word, the magic\n"
    "SDDB, a patterned header area and N data blocks of a pattern drawn from S,\n"
    "and says on stdout what it wrote.\n"
    "\n"
    "  --blocks N     data blocks (default 256)\n"
    "  --header N     the header word (default 8 per block, at most 65535:\n"
    "                 the smallest image its length rule accepts)\n"
    "  --seed S       the pattern's seed (default 1)\n"
    "  --tail T       bytes after the last whole block, 0..127 (default 0)\n"
    "  -V, --version  print the version and exit\n"
    "  -h, --help     show this help and exit\n"
    "\n"
    "Numbers may be given in decimal or as 0x... Exit status: 0 written, 1 the\n"
    "file could not be written, 64 wrong usage.\n"
    "\n"
    "Examples:\n"
    "  zq-mkimage DB.bin\n"
    "      256 blocks (32 KiB of data), header word 2048\n"
    "  zq-mkimage big.bin --blocks 65535 --seed 7\n"
    "      the most blocks a download can carry, another pattern\n"
    "  zq-mkimage short.bin --blocks 3 --header 100\n"
    "      an image its own length rule refuses (it needs 65536 + 16 x 100 bytes)\n"
    "  zq-mkimage tail.bin --blocks 2 --tail 72\n"
    "      72 bytes after the last block, which a download never sends\n";

const char* const kVersion = ZQ_VERSION;

bool Number(const char* text, unsigned long max, unsigned long& out)
{
    if (!text || !*text || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 0);
    if (errno || *end || v > max)
        return false;
    out = v;
    return true;
}

int Usage(const std::string& what)
{
    std::fprintf(stderr, "zq-mkimage: %s; try --help\n", what.c_str());
    return 64;
}

} // namespace

int main(int argc, char** argv)
{
    std::string path;
    unsigned long blocks = 256, seed = 1, tail = 0, header = 0;
    bool headerSet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        if (opt == "-h" || opt == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (opt == "-V" || opt == "--version") {
            std::printf("zq-mkimage %s\n", kVersion);
            return 0;
        }
        if (opt.empty() || opt[0] != '-') {
            if (!path.empty())
                return Usage("one FILE only, not also \"" + opt + "\"");
            path = opt;
            continue;
        }
        unsigned long* target = nullptr;
        unsigned long max = 0;
        if (opt == "--blocks")
            target = &blocks, max = zq::kImageMaxBlocks;
        else if (opt == "--header")
            target = &header, max = 0xFFFF, headerSet = true;
        else if (opt == "--seed")
            target = &seed, max = 0xFFFFFFFFul;
        else if (opt == "--tail")
            target = &tail, max = zq::kBlockSize - 1;
        else
            return Usage("unknown option " + opt);
        if (i + 1 >= argc)
            return Usage(opt + " needs a number");
        if (!Number(argv[++i], max, *target))
            return Usage(opt + ": \"" + argv[i] + "\" is not a number from 0 to " + std::to_string(max));
    }
    if (path.empty())
        return Usage("no FILE given");
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
    // What a script or a person checks the file against.
    std::string said = "wrote " + path + ": " + std::to_string(zq::kImageDataOffset) + "-byte header + " +
                       std::to_string(blocks) + (blocks == 1 ? " block of " : " blocks of ") + std::to_string(zq::kBlockSize) + " bytes";
    if (tail)
        said += " + " + std::to_string(tail) + "-byte tail";
    said += " (" + std::to_string(image.size()) + " bytes), header word " + std::to_string(header) + "\n";
    std::fputs(said.c_str(), stdout);
    return 0;
}
