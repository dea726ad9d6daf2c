// zq-mkimage FILE BLOCKS [N]: writes a sample image with a deterministic pattern.
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: zq-mkimage FILE BLOCKS [HEADER_WORD]\n");
        return 64;
    }
    const unsigned long blocks = std::strtoul(argv[2], nullptr, 10);
    const unsigned long n = argc > 3 ? std::strtoul(argv[3], nullptr, 0) : 8;
    std::vector<unsigned char> img(65536 + 128 * blocks);
    unsigned x = 12345;
    for (auto& b : img) {
        x = x * 1103515245u + 12345u;
        b = static_cast<unsigned char>(x >> 16);
    }
    img[0] = static_cast<unsigned char>(n & 0xFF);
    img[1] = static_cast<unsigned char>((n >> 8) & 0xFF);
    img[2] = 0x53, img[3] = 0x44, img[4] = 0x44, img[5] = 0x42;
    std::FILE* f = std::fopen(argv[1], "wb");
    if (!f || std::fwrite(img.data(), 1, img.size(), f) != img.size() || std::fclose(f) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
