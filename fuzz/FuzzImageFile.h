// The image file the fuzz targets hand to the reader: one memory file for
// the whole run, rewritten for each input, so that millions of inputs
// touch no disk and open no new descriptor.
#pragma once

#include <sys/mman.h>

#include <cstdlib>
#include <string>

namespace zq {

inline int FuzzImageFd()
{
    static int fd = -1;
    if (fd < 0) {
        fd = memfd_create("zq-fuzz-image", MFD_CLOEXEC);
        if (fd < 0)
            std::abort();
    }
    return fd;
}

// The path that opens the memory file, as a download opens DB.bin.
inline std::string FuzzImagePath() { return "/proc/self/fd/" + std::to_string(FuzzImageFd()); }

}  // namespace zq
