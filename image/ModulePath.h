// The executable's own path and the names the dialog derives from it, in the
// system's 8-bit code page.
#pragma once

#include <string>

namespace zq {

// GetModuleFileNameA into a MAX_PATH buffer; empty when the path does not
// fit, so that a cut-off path never points into some other folder.
std::string ExecutablePath();

// The part of path before its last backslash, the backslash dropped; empty
// when there is none. The search walks characters of codePage (0: the
// system's ANSI code page), so the trail byte 0x5C of a double-byte
// character is not taken for a backslash.
std::string FolderOf(const std::string& path, unsigned codePage = 0);

// The file name after the last backslash without its extension:
// "C:\Tools\ZerquillUpdater.exe" gives "ZerquillUpdater".
std::string BaseNameOf(const std::string& path, unsigned codePage = 0);

}  // namespace zq
