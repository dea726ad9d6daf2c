#include "image/ImagePath.h"

#include <climits>
#include <unistd.h>
#include <vector>

namespace zq {

const char* const kImageFileName = "DB.bin";

std::string DefaultImagePath()
{
    // No fixed limit: grow until the link fits.
    std::vector<char> buf(PATH_MAX);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0)
            return std::string();
        if (static_cast<size_t>(n) < buf.size()) {
            const std::string path(buf.data(), static_cast<size_t>(n));
            const auto slash = path.find_last_of('/');
            if (slash == std::string::npos)
                return std::string();
            return ImagePathIn(path.substr(0, slash));
        }
        buf.resize(buf.size() * 2);
    }
}

std::string ImagePathIn(const std::string& folder) { return folder + "/" + kImageFileName; }

}  // namespace zq
