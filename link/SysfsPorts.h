// The Linux port list, read from a sysfs tree whose root is a parameter so a
// test can build a fake one.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "link/PortList.h"

namespace zq {

// devPath -> true when a UART is really behind a serial8250 port.
using UartProbe = std::function<bool(const std::string& devPath)>;

std::vector<PortInfo> ListSysfsPorts(const std::string& sysfsRoot, const std::string& devRoot,
                                     const UartProbe& hasUart);

// The listed port a name refers to, the name itself or a link to it (udev's
// /dev/serial/by-path/... and by-id/...), with the name as given; PortInfo{name}
// alone when none is listed. Legacy ports are not probed for a UART.
PortInfo DescribeSysfsPort(const std::string& name, const std::string& sysfsRoot, const std::string& devRoot);

// The tty's own name under /sys/class/tty for a port name or a link to it
// (/dev/serial/by-path/...-port0 -> ttyUSB0); empty for a pseudo-terminal,
// which has none.
std::string SysfsTtyName(const std::string& name);
// The latency timer its driver shows now (ftdi_sio's latency_timer), in ms;
// -1 where the driver shows none.
int ReadSysfsLatency(const std::string& name, const std::string& sysfsRoot);

// Natural order: ttyUSB2 before ttyUSB10.
bool NaturalLess(const std::string& a, const std::string& b);

}  // namespace zq
