// Where the front ends look for the image by default: DB.bin beside the
// running executable.
#pragma once

#include <string>

namespace zq {

extern const char* const kImageFileName; // "DB.bin"

// DB.bin in the executable's folder; empty when the system cannot give the
// executable's whole path. Never a path in the current folder or in some
// other one: the caller reports that it cannot find the image.
std::string DefaultImagePath();

// DB.bin in folder.
std::string ImagePathIn(const std::string& folder);

}  // namespace zq
