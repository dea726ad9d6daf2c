#include "platform/OsError.h"
#include "platform/UniqueHandle.h"

#include <cstring>
#include <unistd.h>

namespace zq {

namespace {

// glibc gives the GNU strerror_r (the text, perhaps not in the buffer),
// other systems the XSI one (0 once the buffer holds it): either way a text
// no other thread can overwrite, as strerror's static one can be.
[[maybe_unused]] const char* ErrorText(const char* text, const char*) { return text; }
[[maybe_unused]] const char* ErrorText(int rc, const char* buffer) { return rc == 0 ? buffer : nullptr; }

} // namespace

void OsHandleTraits::Close(intptr_t handle) { (void)::close(static_cast<int>(handle)); }

std::string OsErrorText(int code)
{
    if (code == 0)
        return std::string();
    char buffer[256] = {};
    const char* text = ErrorText(::strerror_r(code, buffer, sizeof buffer), buffer);
    return text && *text ? std::string(text) : "error " + std::to_string(code);
}

}  // namespace zq
