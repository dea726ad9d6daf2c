#include "forward/Forwarder.h"

#include <cstdio>
#include <sys/stat.h>

namespace zq {

std::string TokenFileWarning(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || (st.st_mode & 077) == 0)
        return std::string();
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return "the token file " + path + " can be read by others (mode " + mode + "): chmod 600 " + path;
}

}  // namespace zq
