// A pty's number, held after its line is gone. The kernel gives a new pty
// the lowest number free; a name that led to a pty that went (a station
// listening on it by name, a link to it, in this process or another) would
// lead to the next pty made, someone else's line, and answer its device.
// The slave descriptor kept once the master is closed holds the number with
// no node behind it, until the process ends: on purpose, never closed.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

#include "platform/UniqueFd.h"

namespace zq {

namespace detail {
struct HeldPtys {
    std::mutex mutex;
    std::vector<int> fds;
};
// Never destroyed: a pty may go during the process's own exit.
inline HeldPtys& HeldPtyNumbersStore()
{
    static HeldPtys* held = new HeldPtys();
    return *held;
}
} // namespace detail

inline void HoldPtyNumber(CUniqueFd slave)
{
    if (!slave)
        return;
    detail::HeldPtys& held = detail::HeldPtyNumbersStore();
    std::lock_guard<std::mutex> lock(held.mutex);
    held.fds.push_back(slave.Release());
}

// The descriptors held so, for a count of a process's own that leaves them out.
inline size_t HeldPtyNumbers()
{
    detail::HeldPtys& held = detail::HeldPtyNumbersStore();
    std::lock_guard<std::mutex> lock(held.mutex);
    return held.fds.size();
}

}  // namespace zq
