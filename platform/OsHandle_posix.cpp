#include "OsError.h"
#include "UniqueHandle.h"

#include <cstring>
#include <unistd.h>

void OsHandleTraits::Close(intptr_t handle) { (void)::close(static_cast<int>(handle)); }

std::string OsErrorText(int code) { return code ? std::strerror(code) : std::string(); }
