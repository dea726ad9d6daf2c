#include "SysfsPorts.h"

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

// USB adapters: the USB device that carries idVendor sits one or two levels
// above the tty's device (the interface) depending on the driver.
void DescribeUsb(const std::string& devicePath, PortInfo* info)
{
    std::string dir = devicePath;
    for (int level = 0; level < 4 && !dir.empty(); ++level, dir = Parent(dir)) {
        const std::string vid = ReadLine(dir + "/idVendor");
        if (vid.empty())
            continue;
        const std::string pid = ReadLine(dir + "/idProduct");
        info->hardwareId = vid + ":" + pid;
        const std::string maker = ReadLine(dir + "/manufacturer");
        const std::string product = ReadLine(dir + "/product");
        info->description = maker.empty() ? product : product.empty() ? maker : maker + " " + product;
        return;
    }
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
        const std::string device = RealPath(entryDir + "/device");
        const std::string driver = BaseName(RealPath(entryDir + "/device/driver"));
        const std::string subsystem = BaseName(RealPath(entryDir + "/device/subsystem"));
        PortInfo info;
        info.name = devRoot + "/" + name;
        // The 8250 driver registers every legacy port it might have, UART or
        // not; only the ioctl tells which are real.
        if (driver == "serial8250" || BaseName(device).rfind("serial8250", 0) == 0) {
            if (!hasUart || !hasUart(info.name))
                continue;
        }
        if (subsystem == "usb" || subsystem == "usb-serial" || !driver.empty())
            info.description = driver;
        DescribeUsb(device, &info);
        ports.push_back(std::move(info));
    }
    return ports;
}
