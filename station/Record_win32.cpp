#include "Record.h"

#include <io.h>
#include <windows.h>

bool SyncToDisk(std::FILE* file) { return ::_commit(::_fileno(file)) == 0; }

std::string HostName()
{
    char name[256] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameExA(ComputerNameDnsHostname, name, &size))
        return std::string();
    return std::string(name, size);
}
