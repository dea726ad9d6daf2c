#include "platform/DurableFile.h"

#include <cerrno>
#include <fcntl.h>
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

bool SyncFolderOf(const std::string& path, std::string& error)
{
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int fd;
    do {
        fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    // A folder one may write but not read: as durable as this user can make it.
    if (fd < 0 && errno == EACCES)
        return true;
    if (fd < 0) {
        error = folder + ": " + OsErrorText(errno);
        return false;
    }
    const bool synced = ::fsync(fd) == 0 || errno == EINVAL;
    const int why = errno;
    ::close(fd);
    if (!synced)
        error = folder + ": " + OsErrorText(why);
    return synced;
}

}  // namespace zq
