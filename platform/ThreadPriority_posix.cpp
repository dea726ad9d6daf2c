#include "platform/ThreadPriority.h"

#include <sys/resource.h>

namespace zq {

// Threads inherit the nice value of the one that starts them; without the
// right to lower it this stays as it was.
void RaiseThreadPriority() { (void)setpriority(PRIO_PROCESS, 0, -10); }

}  // namespace zq
