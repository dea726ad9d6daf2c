#include "platform/OsError.h"
#include "platform/UniqueHandle.h"

#include <cstring>
#include <unistd.h>

namespace zq {

void OsHandleTraits::Close(intptr_t handle) { (void)::close(static_cast<int>(handle)); }

std::string OsErrorText(int code) { return code ? std::strerror(code) : std::string(); }

}  // namespace zq
