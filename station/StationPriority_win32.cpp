#include "station/StationSession.h"

#include <windows.h>

namespace zq {

// The station's listeners and downloads are created by this thread.
void RaiseStationPriority() { (void)SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS); }

}  // namespace zq
