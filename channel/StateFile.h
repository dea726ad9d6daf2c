// Whole files put in place in one step, on the disk before they count: the
// channel's folder as a server serves it, and a station's trusted state. No
// reader ever sees half a file, and a power cut leaves the old one or the
// new one.
#pragma once

#include <string>

namespace zq {

// Writes bytes to path.tmp, syncs it, and replaces path with it; false with
// why.
bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string& error);

// The whole file; false where it cannot be read (or does not exist).
bool ReadWholeFile(const std::string& path, std::string& bytes);

}  // namespace zq
