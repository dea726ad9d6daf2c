#include "station/Record.h"

#include <cerrno>
#include <sys/random.h>
#include <unistd.h>

namespace zq {

bool SyncToDisk(std::FILE* file) { return ::fsync(::fileno(file)) == 0; }

std::string HostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return std::string();
    return name;
}

bool OsRandomBytes(uint8_t* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::getrandom(data, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace zq
