// The system's list of present serial ports. One backend per OS
// (PortList_linux.cpp, PortList_win32.cpp).
#pragma once

#include <string>
#include <vector>

struct PortInfo {
    std::string name;        // what CSerialLink::Open takes ("COM3", "/dev/ttyUSB0")
    std::string description; // driver or product, where the OS tells
    std::string hardwareId;  // "0403:6001" for USB adapters, else empty
};

std::vector<PortInfo> ListSystemPorts();
