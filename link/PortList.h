// The system's list of present serial ports. One backend per OS
// (PortList_linux.cpp, PortList_win32.cpp).
#pragma once

#include <string>
#include <vector>

namespace zq {

struct PortInfo {
    std::string name;        // what CSerialLink::Open takes ("COM3", "/dev/ttyUSB0")
    // Every member after the name has a default initialiser, so that
    // PortInfo{name} and {name, description, hardwareId} stay complete
    // initialisers (no -Wmissing-field-initializers).
    std::string description{}; // driver or product, where the OS tells
    std::string hardwareId{};  // "0403:6001" for USB adapters, else empty
    // The USB adapter behind the port, each empty when unknown or not USB.
    std::string vendorId{};     // "0403": four hex digits, lower case
    std::string productId{};    // "6001"
    std::string serialNumber{}; // the adapter's own serial number (iSerial)
    // Where it is plugged. Linux: the USB device's bus-ports name "1-1.4",
    // "1-1.4:1.2" (its interface) when one adapter has several ports.
    // Windows: the location path the system gives.
    std::string location{};
    // The kernel driver behind the port ("ftdi_sio", "cp210x"); Linux only.
    std::string driver{};
    // How long the adapter holds received bytes before passing them on, in
    // ms, as the system held it when listed; -1 where unknown (not an
    // adapter with such a timer, or the system does not tell).
    int latencyMs = -1;
};

std::vector<PortInfo> ListSystemPorts();

// The system's description of the port a name refers to: on Linux the name
// may be a link (udev's /dev/serial/by-path/..., by-id/...) to the device,
// on Windows a COM name. PortInfo{name} alone when the system does not list
// it. The name stays the one given.
PortInfo DescribePort(const std::string& name);

// The adapter's latency timer as it stands now, in ms (-1: unknown). Linux
// reads it afresh, since opening the port asked the driver for low latency
// and the listed value may predate that; Windows keeps what the list read
// from the device's registry key, which no program but Device Manager changes.
int CurrentLatencyMs(const PortInfo& port);

// What a person does to bring the adapter's timer down to 1 ms, in words
// that end with the command that does it (zerquill-flash --set-latency):
// which driver ignored the request for low latency and how to set it by
// hand (Linux), or where Device Manager keeps it (Windows).
std::string LatencyTimerFix(const PortInfo& port);

// The same where the timer could not be read (a driver that shows none, an
// adapter Windows does not list as FTDI's), ending with the command that
// sets it where there is one.
std::string UnreadLatencyFix(const PortInfo& port);

}  // namespace zq
