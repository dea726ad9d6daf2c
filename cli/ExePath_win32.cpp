#include "ExePath.h"

#include <windows.h>

#include <mbstring.h>

std::string ExecutableFolder()
{
    char path[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return ".";
    // Double-byte aware: in the ANSI code pages of East Asia a trail byte can
    // be 0x5C, which is not a separator there.
    unsigned char* slash = _mbsrchr(reinterpret_cast<unsigned char*>(path), '\\');
    if (!slash)
        return ".";
    *slash = 0;
    return path;
}

std::string DefaultImagePath() { return ExecutableFolder() + "\\DB.bin"; }
