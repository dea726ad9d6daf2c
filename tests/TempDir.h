#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/TestImage.h"

namespace zq {

// A scratch folder removed with everything in it.
class TempDir {
public:
    // under: another folder than /tmp, such as a tmpfs where many syncs cost
    // nothing.
    explicit TempDir(const std::string& under = "/tmp")
    {
        std::string tmpl = under + "/zq-test-XXXXXX";
        if (!mkdtemp(&tmpl[0]))
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

}  // namespace zq
