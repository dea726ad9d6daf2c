// The USB identity in Windows' device ids, as plain strings, so that the
// parsing is tested on every platform.
#pragma once

#include <string>

namespace zq {

// Vendor and product from a hardware or instance id: "USB\VID_0403&PID_6001&REV_0600",
// "FTDIBUS\VID_0403+PID_6001+A700FDXVA\0000". Four lower-case hex digits
// each; false, and both untouched, when the id names no USB ids.
bool ParseUsbIds(const std::string& id, std::string& vendorId, std::string& productId);

// The serial number in a USB device's instance id ("USB\VID_0403&PID_6001\A700FDXV");
// empty for an id of something else, and for the id Windows makes up for a
// device without a serial number or for an interface ("6&2c3f1e2&0&4").
std::string SerialFromInstanceId(const std::string& id);

}  // namespace zq
