#include "platform/ThreadPriority.h"

#include <windows.h>

namespace zq {

// The station's listeners and downloads are created by this thread.
void RaiseThreadPriority() { (void)SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS); }

}  // namespace zq
