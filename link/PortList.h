// The system's list of present serial ports. One backend per OS
// (PortList_linux.cpp, PortList_win32.cpp).
#pragma once

#include <string>
#include <vector>

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
};

std::vector<PortInfo> ListSystemPorts();

// The system's description of the port a name refers to: on Linux the name
// may be a link (udev's /dev/serial/by-path/..., by-id/...) to the device,
// on Windows a COM name. PortInfo{name} alone when the system does not list
// it. The name stays the one given.
PortInfo DescribePort(const std::string& name);
