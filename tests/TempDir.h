#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Protocol.h"

// A scratch folder removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/zq-test-XXXXXX";
        if (!mkdtemp(tmpl))
            throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() { (void)std::system(("rm -rf '" + path_ + "'").c_str()); }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// An image of the given length: header word n, the magic, then a pattern.
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
