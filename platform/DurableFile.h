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

}  // namespace zq
