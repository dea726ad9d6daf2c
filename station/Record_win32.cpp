#include "station/Record.h"

#include <io.h>
#include <windows.h>

#include <bcrypt.h>

namespace zq {

bool SyncToDisk(std::FILE* file) { return ::_commit(::_fileno(file)) == 0; }

std::string HostName()
{
    char name[256] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameExA(ComputerNameDnsHostname, name, &size))
        return std::string();
    return std::string(name, size);
}

bool OsRandomBytes(uint8_t* data, size_t size)
{
    return BCryptGenRandom(nullptr, data, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
}

}  // namespace zq
