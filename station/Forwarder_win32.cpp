#include "station/Forwarder.h"

#include <windows.h>

#include "platform/OsError.h"

namespace zq {

bool ReplaceFileAtomically(const std::string& from, const std::string& to, std::string& error)
{
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    error = to + ": " + OsErrorText(static_cast<int>(GetLastError()));
    return false;
}

// The folder's ACL decides who reads it; the owner set it up.
std::string TokenFileWarning(const std::string&) { return std::string(); }

}  // namespace zq
