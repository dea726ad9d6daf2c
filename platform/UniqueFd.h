// A POSIX file descriptor owned by exactly one object.
#pragma once

#include <unistd.h>

#include "platform/UniqueHandle.h"

namespace zq {

struct FdTraits {
    using Value = int;
    static constexpr int kInvalid = -1;
    // Not retried on EINTR: on Linux the descriptor is gone either way, and a
    // retry could close a descriptor another thread has just been given.
    static void Close(int fd) { (void)::close(fd); }
};
using CUniqueFd = CUniqueHandle<FdTraits>;

}  // namespace zq
