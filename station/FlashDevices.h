// Many devices at once: one download per port, each with its own link and
// its own reader of the image snapshot, on a thread of its own. Each device
// sees exactly the single-device exchange: its beacon answered on its port,
// then the exchange at full speed.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "DownloadHost.h"
#include "ImageSnapshot.h"

struct DeviceOutcome {
    std::string port;
    bool success = false;
    std::string notice;                   // the notice the download ended with
    DownloadFailure failure;              // where it stopped, when it failed
    std::vector<ProbeResult> discovery;   // its own discovery, for the cause
    double seconds = 0;
};

// Flashes the device on each port, all at once; outcomes in the order of
// ports. onEnded, when set, hears each outcome as its download ends (from
// that download's thread, one at a time). cancel ends every download, which
// then sends nothing more.
std::vector<DeviceOutcome> FlashDevices(const ImageSnapshot& image, const std::vector<std::string>& ports,
                                        const std::atomic<bool>* cancel = nullptr,
                                        std::function<void(const DeviceOutcome&)> onEnded = nullptr);
