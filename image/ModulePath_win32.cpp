#include "image/ModulePath.h"

#include <windows.h>

namespace zq {

namespace {

// Positions of the last backslash and the last dot, found character by
// character: in the double-byte code pages a trail byte may be 0x5C.
struct Marks {
    size_t lastSlash = std::string::npos;
    size_t lastDot = std::string::npos;
};

Marks Scan(const std::string& path, unsigned codePage)
{
    Marks marks;
    const char* const begin = path.c_str();
    const char* const end = begin + path.size();
    const WORD cp = static_cast<WORD>(codePage);
    for (const char* p = begin; p < end;) {
        if (*p == '\\')
            marks.lastSlash = static_cast<size_t>(p - begin);
        else if (*p == '.')
            marks.lastDot = static_cast<size_t>(p - begin);
        const char* next = CharNextExA(cp, p, 0);
        // A lead byte at the very end has no trail byte: CharNextExA stops
        // on the NUL then and would not move.
        p = next > p ? next : p + 1;
    }
    return marks;
}

} // namespace

std::string ExecutablePath()
{
    char buffer[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::string();
    return std::string(buffer, length);
}

std::string FolderOf(const std::string& path, unsigned codePage)
{
    const Marks marks = Scan(path, codePage);
    if (marks.lastSlash == std::string::npos)
        return std::string();
    return path.substr(0, marks.lastSlash);
}

std::string BaseNameOf(const std::string& path, unsigned codePage)
{
    const Marks marks = Scan(path, codePage);
    const size_t start = marks.lastSlash == std::string::npos ? 0 : marks.lastSlash + 1;
    const bool dotInName = marks.lastDot != std::string::npos &&
                           (marks.lastSlash == std::string::npos || marks.lastDot > marks.lastSlash);
    const size_t stop = dotInName ? marks.lastDot : path.size();
    return path.substr(start, stop - start);
}

}  // namespace zq
