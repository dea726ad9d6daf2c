#include "link/Latency.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "link/SysfsPorts.h"
#include "platform/OsError.h"
#include "platform/UniqueFd.h"

namespace zq {

namespace {

// One write of the whole number, as echo makes it: the driver parses what
// one write gives it.
int WriteNumber(const std::string& path, int value)
{
    CUniqueFd fd(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (!fd)
        return errno;
    const std::string text = std::to_string(value) + "\n";
    ssize_t n;
    do {
        n = ::write(fd.Get(), text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno;
    return n == static_cast<ssize_t>(text.size()) ? 0 : EIO;
}

} // namespace

// ftdi_sio applies the value at once; it lasts until the adapter goes.
LatencyChange SetLatencyTimer(const std::string& port, int ms)
{
    LatencyChange change;
    const std::string tty = SysfsTtyName(port);
    change.where = tty.empty() ? std::string() : "/sys/class/tty/" + tty + "/device/latency_timer";
    change.beforeMs = tty.empty() ? -1 : ReadSysfsLatency(port, "/sys");
    if (change.beforeMs < 0) {
        change.result = LatencyResult::NoTimer;
        return change;
    }
    change.inEffect = true;
    if (change.beforeMs == ms) {
        change.afterMs = ms;
        change.result = LatencyResult::Unchanged;
        return change;
    }
    const int error = WriteNumber(change.where, ms);
    if (error == EACCES || error == EPERM) {
        change.inEffect = false;
        change.result = LatencyResult::Denied;
        return change;
    }
    change.afterMs = ReadSysfsLatency(port, "/sys");
    change.inEffect = error == 0;
    change.result = error ? LatencyResult::Failed : LatencyResult::Set;
    change.osError = OsErrorText(error);
    return change;
}

std::string SetLatencyCommand(const std::string& port, int ms)
{
    return "sudo zerquill-flash --set-latency " + port + " " + std::to_string(ms);
}

std::string SetLatencyCommandNamed(const std::string& port, int ms) { return SetLatencyCommand(port, ms); }

std::string LatencyRightsAdvice(const std::string& port, int ms)
{
    return "run it as root (" + SetLatencyCommand(port, ms) + "), or install the udev rule below";
}

std::string LatencyPermanence(int ms)
{
    return "a value written lasts until the adapter is unplugged; a udev rule sets it on every FTDI adapter as it "
           "is plugged in (as root, this line in /etc/udev/rules.d/99-ftdi-latency.rules):\n"
           "SUBSYSTEM==\"usb-serial\", DRIVER==\"ftdi_sio\", ATTR{latency_timer}=\"" +
           std::to_string(ms) + "\"";
}

}  // namespace zq
