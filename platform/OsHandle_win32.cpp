#include "platform/OsError.h"
#include "platform/UniqueHandle.h"

#include <windows.h>

namespace zq {

void OsHandleTraits::Close(intptr_t handle) { (void)CloseHandle(reinterpret_cast<HANDLE>(handle)); }

std::string OsErrorText(int code)
{
    if (code == 0)
        return std::string();
    char buffer[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), 0, buffer, sizeof buffer, nullptr);
    // The system's text ends in CR LF (and often a full stop) that a cause
    // line does not want.
    while (n > 0 && (buffer[n - 1] == '\r' || buffer[n - 1] == '\n' || buffer[n - 1] == ' ' || buffer[n - 1] == '.'))
        --n;
    return n ? std::string(buffer, n) : "error " + std::to_string(code);
}

}  // namespace zq
