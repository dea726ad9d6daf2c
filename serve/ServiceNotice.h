// What a service manager is told of a served station, by systemd's notify
// protocol (a unit of Type=notify): ready once it answers, how it stands,
// that it is stopping, and that its loop still runs (the watchdog). Nothing
// is sent unless the manager listens ($NOTIFY_SOCKET).
#pragma once

#include <cstdint>
#include <string>

#include "station/StationSession.h"

namespace zq {

class CServiceNotice {
public:
    CServiceNotice();

    void Ready(const std::string& status);
    void Status(const std::string& status);
    void Stopping();
    // How often Beat is due, in ms: half the watchdog's interval; 0 without one.
    uint32_t BeatMs() const { return beatMs_; }
    void Beat();

private:
    uint32_t beatMs_ = 0;
};

// "12 written, 1 failed, 2 in flight", and ", paused" while it is.
std::string ServiceStatus(const StationTotals& totals, bool paused);

}  // namespace zq
