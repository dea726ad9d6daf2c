// The OS's own words for one of its error codes.
#pragma once

#include <string>

namespace zq {

// The text of an errno (strerror_r), of a GetLastError() (FormatMessage);
// empty for 0. Safe on any thread: the station's downloads and the
// forwarder tell their errors from their own.
std::string OsErrorText(int code);

}  // namespace zq
