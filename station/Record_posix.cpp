#include "Record.h"

#include <unistd.h>

bool SyncToDisk(std::FILE* file) { return ::fsync(::fileno(file)) == 0; }

std::string HostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return std::string();
    return name;
}
