#include "platform/DurableFile.h"

#include <cerrno>
#include <unistd.h>

#include "platform/OsError.h"

namespace zq {

bool SyncToDisk(std::FILE* file) { return ::fsync(::fileno(file)) == 0; }

bool ReplaceFileAtomically(const std::string& from, const std::string& to, std::string& error)
{
    if (std::rename(from.c_str(), to.c_str()) == 0)
        return true;
    error = to + ": " + OsErrorText(errno);
    return false;
}

}  // namespace zq
