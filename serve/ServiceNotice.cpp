#include "serve/ServiceNotice.h"

#include <systemd/sd-daemon.h>

namespace zq {

CServiceNotice::CServiceNotice()
{
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec >= 2000)
        beatMs_ = uint32_t(usec / 2000);
}

void CServiceNotice::Ready(const std::string& status)
{
    sd_notify(0, ("READY=1\nSTATUS=" + status).c_str());
}

void CServiceNotice::Status(const std::string& status)
{
    sd_notify(0, ("STATUS=" + status).c_str());
}

void CServiceNotice::Stopping()
{
    sd_notify(0, "STOPPING=1");
}

void CServiceNotice::Beat()
{
    sd_notify(0, "WATCHDOG=1");
}

std::string ServiceStatus(const StationTotals& totals, bool paused)
{
    std::string status = std::to_string(totals.written) + " written, " + std::to_string(totals.failed) +
                         " failed, " + std::to_string(totals.inFlight) + " in flight";
    return paused ? status + ", paused" : status;
}

}  // namespace zq
