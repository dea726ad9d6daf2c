#include "link/PortList.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "link/Latency.h"
#include "link/SysfsPorts.h"

namespace zq {

namespace {

bool HasUart(const std::string& devPath)
{
    int fd;
    do {
        fd = ::open(devPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno == EBUSY; // in use by someone: it exists
    serial_struct ss{};
    const bool real = ioctl(fd, TIOCGSERIAL, &ss) == 0 && ss.type != PORT_UNKNOWN;
    ::close(fd);
    return real;
}

} // namespace

std::vector<PortInfo> ListSystemPorts()
{
    return ListSysfsPorts("/sys", "/dev", HasUart);
}

PortInfo DescribePort(const std::string& name)
{
    return DescribeSysfsPort(name, "/sys", "/dev");
}

int CurrentLatencyMs(const PortInfo& port)
{
    return ReadSysfsLatency(port.name, "/sys");
}

std::string LatencyTimerFix(const PortInfo& port)
{
    const std::string driver = port.driver.empty() ? std::string("its driver") : "the " + port.driver + " driver";
    return driver + " ignored the tool's request for low latency; set the timer to 1 ms by hand (as root, echo 1 > "
           "/sys/class/tty/" + SysfsTtyName(port.name) + "/device/latency_timer) or with: " +
           SetLatencyCommand(port.name, 1);
}

std::string UnreadLatencyFix(const PortInfo& port)
{
    return "On Linux the tool asks for low latency, which needs the driver's support; where the driver has a "
           "latency timer (ftdi_sio): " + SetLatencyCommand(port.name, 1);
}

}  // namespace zq
