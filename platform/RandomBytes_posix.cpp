#include "platform/RandomBytes.h"

#include <cerrno>
#include <sys/random.h>

namespace zq {

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
