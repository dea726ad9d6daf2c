// What the fault tests and the soak share beside the test host: the
// process's own resource counts.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tests/Sanitized.h"
#include "tests/TestHost.h"

#if defined(ZQ_SANITIZED)
#include <sanitizer/allocator_interface.h>
#endif

#include "platform/PtyNumber.h"

namespace zq {

namespace faults {

// Descriptors, threads and resident memory of this process.
struct ProcCounts {
    int fds = -1;
    int threads = -1;
    long rssKb = -1;
    // Live heap bytes where a sanitizer's allocator can tell (its quarantine
    // and fake stacks make RSS meaningless there), else -1.
    long heapBytes = -1;
};

inline long LiveHeapBytes()
{
#if defined(ZQ_SANITIZED)
    return static_cast<long>(__sanitizer_get_current_allocated_bytes());
#else
    return -1;
#endif
}

inline int CountFds()
{
    DIR* d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    int n = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.')
            ++n;
    }
    closedir(d);
    // The directory stream's own descriptor, and the numbers of ptys that
    // went, held on purpose.
    return n - 1 - static_cast<int>(HeldPtyNumbers());
}

inline long StatusField(const char* name)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t len = std::strlen(name);
    while (std::getline(in, line)) {
        if (line.compare(0, len, name) == 0 && line.size() > len && line[len] == ':')
            return std::strtol(line.c_str() + len + 1, nullptr, 10);
    }
    return -1;
}

inline ProcCounts Counts()
{
    ProcCounts c;
    c.fds = CountFds();
    c.threads = static_cast<int>(StatusField("Threads"));
    c.rssKb = StatusField("VmRSS");
    c.heapBytes = LiveHeapBytes();
    return c;
}

// Counts once the threads are back to those of before, or at the bound: a
// thread that has been joined leaves the kernel's list of the process's
// tasks a moment later, which a loaded machine stretches. A thread that
// never ends is still seen.
inline ProcCounts SettledCounts(const ProcCounts& before, int boundMs = 1000)
{
    ProcCounts c = Counts();
    for (int waited = 0; c.threads > before.threads && waited < boundMs; waited += 10) {
        usleep(10000);
        c = Counts();
    }
    return c;
}

} // namespace faults

}  // namespace zq
