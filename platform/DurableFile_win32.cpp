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

// MoveFileEx with MOVEFILE_WRITE_THROUGH returns once the rename is on the
// disk, and a new file's entry is journaled with the file that
// FlushFileBuffers commits; a folder has no handle to flush here.
bool SyncFolderOf(const std::string&, std::string&) { return true; }

}  // namespace zq
