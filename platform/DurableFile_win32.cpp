#include "platform/DurableFile.h"

#include <io.h>
#include <windows.h>

#include "platform/OsError.h"

namespace zq {

bool SyncToDisk(std::FILE* file) { return ::_commit(::_fileno(file)) == 0; }

bool ReplaceFileAtomically(const std::string& from, const std::string& to, std::string& error)
{
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    error = to + ": " + OsErrorText(static_cast<int>(GetLastError()));
    return false;
}

}  // namespace zq
