// Files that must survive a power cut: written, on the disk, then put in
// place in one step (DurableFile_posix.cpp, DurableFile_win32.cpp).
#pragma once

#include <cstdio>
#include <string>

namespace zq {

// Waits until what was written to file is on the disk (fsync, _commit).
bool SyncToDisk(std::FILE* file);

// Replaces to with from in one step; false with the system's words.
bool ReplaceFileAtomically(const std::string& from, const std::string& to, std::string& error);

// Waits until the folder's entry for path (a file just made, or just put in
// place by ReplaceFileAtomically) is on the disk: the file's own sync does
// not cover its name. false with the system's words. A folder this user may
// not open, or one whose filesystem cannot sync a folder, is left as it is.
// On Windows nothing is needed: the rename writes through.
bool SyncFolderOf(const std::string& path, std::string& error);

}  // namespace zq
