// Sample images for the tests of every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/Protocol.h"

namespace zq {

// An image of the given length: header word n, the magic, then a pattern
// that differs from block to block, drawn from seed.
inline std::vector<uint8_t> MakeImage(size_t length, uint16_t n, uint32_t seed = 1)
{
    std::vector<uint8_t> img(length);
    uint32_t x = seed;
    for (auto& b : img) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    zq::StampImageHeader(img, n);
    return img;
}

}  // namespace zq
