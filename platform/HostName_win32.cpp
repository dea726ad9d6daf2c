#include "platform/HostName.h"

#include <windows.h>

namespace zq {

std::string HostName()
{
    char name[256] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameExA(ComputerNameDnsHostname, name, &size))
        return std::string();
    return std::string(name, size);
}

}  // namespace zq
