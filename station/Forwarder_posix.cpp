#include "station/Forwarder.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

#include "platform/OsError.h"

namespace zq {

bool ReplaceFileAtomically(const std::string& from, const std::string& to, std::string& error)
{
    if (std::rename(from.c_str(), to.c_str()) == 0)
        return true;
    error = to + ": " + OsErrorText(errno);
    return false;
}

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
