// What a person can do about a serial port the system refused to open for
// lack of permission, in words to follow a cause ("permission denied on
// /dev/ttyUSB0: ..."). The fix comes first: a station's tile has room for
// little more.
#pragma once

#include <string>

namespace zq {

// Linux: the group that owns the device and how to join it (or why joining
// would not help); Windows: that another program holds the port, which is
// what a refused COM port means there. Empty when nothing useful is known.
std::string PortAccessAdvice(const std::string& port);

}  // namespace zq
