// The OS's own words for one of its error codes.
#pragma once

#include <string>

namespace zq {

// strerror() of an errno, FormatMessage() of a GetLastError(); empty for 0.
std::string OsErrorText(int code);

}  // namespace zq
