#include "link/SysfsPorts.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace zq {

namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

bool Exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string ReadLine(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.pop_back();
    return line;
}

std::string RealPath(const std::string& path)
{
    char buf[PATH_MAX];
    if (!::realpath(path.c_str(), buf))
        return {};
    return buf;
}

std::string BaseName(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Parent(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

// Where a USB port is plugged, in sysfs names: the USB device ("1-1.4",
// bus 1, hub port 1, its port 4), the interface that carries the tty
// ("1-1.4:1.0") and, for usb-serial drivers, the port's number on that
// interface.
struct UsbPlace {
    std::string device;
    std::string interface;
    std::string port;
};

// USB adapters: the USB device that carries idVendor sits one or two levels
// above the tty's device (the interface) depending on the driver.
UsbPlace DescribeUsb(const std::string& devicePath, PortInfo* info)
{
    std::string dir = devicePath;
    std::string below; // the path's component under dir
    for (int level = 0; level < 4 && !dir.empty(); ++level, below = BaseName(dir), dir = Parent(dir)) {
        const std::string vid = ReadLine(dir + "/idVendor");
        if (vid.empty())
            continue;
        const std::string pid = ReadLine(dir + "/idProduct");
        info->hardwareId = vid + ":" + pid;
        info->vendorId = vid;
        info->productId = pid;
        info->serialNumber = ReadLine(dir + "/serial");
        const std::string maker = ReadLine(dir + "/manufacturer");
        const std::string product = ReadLine(dir + "/product");
        info->description = maker.empty() ? product : product.empty() ? maker : maker + " " + product;
        UsbPlace place;
        place.device = BaseName(dir);
        // Interfaces are named "<device>:<configuration>.<interface>".
        if (below.rfind(place.device + ":", 0) == 0) {
            place.interface = below;
            // A usb-serial port under its interface (ftdi_sio, cp210x...)
            // has its number there; cdc_acm's tty hangs on the interface.
            if (BaseName(devicePath) != below)
                place.port = ReadLine(devicePath + "/port_number");
        }
        return place;
    }
    return {};
}

// The USB device's name tells a hub slot; an adapter of several ports
// (FT2232, FT4232: one interface each) needs the interface to tell them
// apart, and a driver with several ports on one interface the port number.
void SetLocations(std::vector<PortInfo>& ports, const std::vector<UsbPlace>& places)
{
    const auto shared = [&](size_t i, std::string UsbPlace::*part) {
        for (size_t j = 0; j < places.size(); ++j)
            if (j != i && places[j].*part == places[i].*part)
                return true;
        return false;
    };
    for (size_t i = 0; i < ports.size(); ++i) {
        const UsbPlace& place = places[i];
        if (place.device.empty())
            continue;
        std::string& location = ports[i].location;
        location = place.device;
        if (!place.interface.empty() && shared(i, &UsbPlace::device)) {
            location = place.interface;
            if (!place.port.empty() && shared(i, &UsbPlace::interface))
                location += "-port" + place.port;
        }
    }
}

// The timer a usb-serial driver shows beside its port (ftdi_sio does); -1
// where there is none or it reads as no number.
int ReadLatencyFile(const std::string& deviceDir)
{
    const std::string text = ReadLine(deviceDir + "/latency_timer");
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::atoi(text.c_str());
}

} // namespace

bool NaturalLess(const std::string& a, const std::string& b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = std::isdigit(static_cast<unsigned char>(a[i]));
        const bool db = std::isdigit(static_cast<unsigned char>(b[j]));
        if (da && db) {
            size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei])))
                ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej])))
                ++ej;
            std::string na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
            na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
            nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
            if (na.size() != nb.size())
                return na.size() < nb.size();
            if (na != nb)
                return na < nb;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j])
                return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i;
            ++j;
        }
    }
    if (a.size() - i != b.size() - j)
        return a.size() - i < b.size() - j;
    return a < b;
}

std::vector<PortInfo> ListSysfsPorts(const std::string& sysfsRoot, const std::string& devRoot,
                                     const UartProbe& hasUart)
{
    std::vector<PortInfo> ports;
    std::vector<UsbPlace> places; // one per port
    const std::string classDir = sysfsRoot + "/class/tty";
    std::unique_ptr<DIR, DirCloser> dir(::opendir(classDir.c_str()));
    if (!dir)
        return ports;
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end(), NaturalLess);

    for (const std::string& name : names) {
        const std::string entryDir = classDir + "/" + name;
        // Virtual terminals, ptys and the console have no device behind them.
        if (!Exists(entryDir + "/device"))
            continue;
        std::string device = RealPath(entryDir + "/device");
        // Since Linux 6.5 a UART's tty hangs below "port" and "ctrl" devices
        // of the serial-base bus; the driver worth naming is above them.
        while (!device.empty() && BaseName(RealPath(device + "/subsystem")) == "serial-base")
            device = Parent(device);
        const std::string driver = BaseName(RealPath(device + "/driver"));
        const std::string subsystem = BaseName(RealPath(device + "/subsystem"));
        PortInfo info;
        info.name = devRoot + "/" + name;
        // The 8250 driver registers every legacy port it might have, UART or
        // not; only the ioctl tells which are real.
        const bool uart8250 = driver == "serial8250" || BaseName(device).rfind("serial8250", 0) == 0;
        if (uart8250) {
            if (!hasUart || !hasUart(info.name))
                continue;
        }
        // The 8250 family's driver names ("serial8250", and "serial" for the
        // ones the firmware lists) mean nothing to a person at the bench.
        if (uart8250 || driver == "serial")
            info.description = "built-in serial port (8250 UART)";
        else if (subsystem == "usb" || subsystem == "usb-serial" || !driver.empty())
            info.description = driver;
        if (!uart8250)
            info.driver = driver;
        info.latencyMs = ReadLatencyFile(device);
        places.push_back(DescribeUsb(device, &info));
        ports.push_back(std::move(info));
    }
    SetLocations(ports, places);
    return ports;
}

PortInfo DescribeSysfsPort(const std::string& name, const std::string& sysfsRoot, const std::string& devRoot)
{
    // The device a link leads to: /dev/serial/by-path/...-port0 -> /dev/ttyUSB0.
    const std::string resolved = RealPath(name);
    // The caller named the port: no need to ask a legacy port for its UART.
    const UartProbe anyPort = [](const std::string&) { return true; };
    const auto same = [&](const std::string& listed) {
        if (listed == name)
            return true;
        if (resolved.empty())
            return false;
        // The listed names may lead through links too (a /dev of a
        // container); only the one that can be the same file is resolved.
        return listed == resolved || (BaseName(listed) == BaseName(resolved) && RealPath(listed) == resolved);
    };
    for (PortInfo& port : ListSysfsPorts(sysfsRoot, devRoot, anyPort)) {
        if (same(port.name)) {
            port.name = name;
            return port;
        }
    }
    return PortInfo{name};
}

std::string SysfsTtyName(const std::string& name)
{
    const std::string resolved = RealPath(name);
    const std::string path = resolved.empty() ? name : resolved;
    // A pseudo-terminal's slave is /dev/pts/N: the kernel gives it no node
    // in /sys/class/tty, and "N" would name none of its own.
    if (path.rfind("/dev/pts/", 0) == 0)
        return std::string();
    return BaseName(path);
}

int ReadSysfsLatency(const std::string& name, const std::string& sysfsRoot)
{
    const std::string tty = SysfsTtyName(name);
    if (tty.empty())
        return -1;
    return ReadLatencyFile(sysfsRoot + "/class/tty/" + tty + "/device");
}

}  // namespace zq
