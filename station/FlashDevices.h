// Many devices at once: one download per port, each with its own link and
// its own reader of the image snapshot, on a thread of its own. Each device
// sees exactly the single-device exchange: its beacon answered on its port,
// then the exchange at full speed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "download/DeviceOutcome.h"
#include "download/DownloadHost.h"
#include "image/ImageSnapshot.h"
#include "link/PortList.h"

namespace zq {

// What a port is doing, as a host shows it.
enum class PortPhase {
    Absent,    // not in the list, or named and not there yet
    Listening, // open, no device heard since it was last flashed or plugged
    Flashing,  // a download runs on it
    Flashed,   // its download ended; waiting for the device to go
    // There, but not to be opened; tried again. Each has its own fix.
    Denied,    // for lack of permission
    Busy,      // another program holds it
};

// What the engine tells of each port, on the station's threads: OnPort and
// OnFound from the port's own listener, OnProgress from the download's
// thread, OnEnded one at a time. The session hears them (a front end hears
// SessionEvents); a host that shows them marshals them to its own thread.
class PortEvents {
public:
    virtual ~PortEvents() = default;
    // A port joined the station, changed phase, or left.
    virtual void OnPort(const PortInfo& /*port*/, PortPhase /*phase*/) {}
    // A beacon on a port ready for a device: its download begins.
    virtual void OnFound(const std::string& /*port*/) {}
    virtual void OnProgress(const std::string& /*port*/, const StageReport& /*report*/) {}
    // The adapter behind a port whose device was just found, and its latency
    // timer (ms, -1 unknown), before the exchange begins.
    virtual void OnAdapter(const std::string& /*port*/, const PortInfo& /*adapter*/, int /*latencyMs*/) {}
    // A download ended. false: its record could not be kept, and the station
    // takes no new device (those in flight finish).
    virtual bool OnEnded(const DeviceOutcome& /*outcome*/) { return true; }
    // Before a beacon is answered on port: the image its download is to send,
    // which it holds to its end whatever is taken after. false: no download
    // may start now (no release in force); image left null: the station's own.
    virtual bool TakeImage(const std::string& /*port*/, std::shared_ptr<const ImageSnapshot>& /*image*/)
    {
        return true;
    }
};

// Passes a download's stage reports on, named by its port.
class CPortProgress : public ProgressSink {
public:
    CPortProgress(PortEvents& events, const std::string& port) : events_(events), port_(port) {}
    void SetRange(uint32_t) override {}
    void SetPos(uint32_t) override {}
    void OnStage(const StageReport& report) override;
    void OnAdapter(const PortInfo& adapter, int latencyMs) override;

private:
    PortEvents& events_;
    std::string port_;
};

// One device's download on the calling thread, to its notice: from the
// exchange when its beacon was already answered on the port (answered),
// else from its own discovery on the one port. port: as the system describes
// it. progress, when set, hears every report.
DeviceOutcome DownloadToDevice(const ImageSnapshot& image, const PortInfo& port, const std::atomic<bool>* cancel,
                               ProgressSink* progress = nullptr, bool answered = false);

// The outcome of a device whose download got no thread.
DeviceOutcome NoThreadOutcome(const PortInfo& port);

// Flashes the device on each port, all at once; outcomes in the order of
// ports. events hears each download begin, progress and end (OnEnded one at
// a time). cancel ends every download, which then sends nothing more.
std::vector<DeviceOutcome> FlashDevices(const ImageSnapshot& image, const std::vector<PortInfo>& ports,
                                        const std::atomic<bool>* cancel, PortEvents& events,
                                        bool answered = false);

}  // namespace zq
