// The priority a download wants: the line tolerates only short gaps between
// bytes.
#pragma once

namespace zq {

// Raises the calling thread's priority where the system allows, so that the
// threads it starts inherit it; best effort.
void RaiseThreadPriority();

}  // namespace zq
