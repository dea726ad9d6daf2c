#include "ExePath.h"

#include <climits>
#include <unistd.h>
#include <vector>

std::string ExecutableFolder()
{
    // No fixed limit: grow until the link fits.
    std::vector<char> buf(PATH_MAX);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0)
            return ".";
        if (static_cast<size_t>(n) < buf.size()) {
            std::string path(buf.data(), static_cast<size_t>(n));
            const auto slash = path.find_last_of('/');
            return slash == std::string::npos ? "." : path.substr(0, slash);
        }
        buf.resize(buf.size() * 2);
    }
}

std::string DefaultImagePath() { return ExecutableFolder() + "/DB.bin"; }
