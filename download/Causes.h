// Why a download failed, in words a technician can act on.
#pragma once

#include <string>
#include <vector>

#include "download/DownloadHost.h"

namespace zq {

// Under an image's refusal: that the device was not touched, and what
// makes an image it would take.
std::string ImageRefusalFix(const DownloadFailure& failure);

// One line for a failed download (or a failed image open): where the worker
// stopped, and for discovery how each port fared.
std::string DescribeFailure(const DownloadFailure& failure, const std::vector<ProbeResult>& probes,
                            const std::string& imagePath);

// A few words for a port that would not open ("busy", "permission denied").
std::string DescribePortError(PortError error);

// Why the port would not open, with what to do about it: "permission denied
// on PORT: ...", "port PORT is busy (...)".
std::string DescribePortRefusal(const std::string& port, PortError error);

// A station's port that got no thread to listen on: why the station stopped.
std::string NoListenerText(const std::string& port);

// Before a download through an adapter whose latency timer is over
// kLatencyHintAboveMs, one hint naming the port, the adapter, the timer and
// the fix, ending with the command that sets it; empty for any other timer,
// or an unknown one.
std::string LatencyHint(const PortInfo& adapter, int latencyMs);

// After a download whose data went well below what the line can carry, a
// hint about the adapter, ending with the command for its port; empty when
// the rate was fine (or unknown), and when the adapter's latency timer was
// known (latencyMs >= 0): that one was told before the download, or is not
// the cause.
std::string SlowLineHint(const PortInfo& adapter, double bytesPerS, int latencyMs);

// What a station's tile keeps after a success: the latency hint where the
// timer is over the bound, else the slow-line hint (often empty).
std::string HintAfterSuccess(const PortInfo& adapter, int latencyMs, double bytesPerS);

// Such a hint as a tile has room for: that the adapter is slow, and the
// command that sets its timer ("slow adapter: sudo zerquill-flash
// --set-latency /dev/ttyUSB0 1"). The whole hint goes with it, as its tooltip.
std::string SlowAdapterNote(const std::string& port);

}  // namespace zq
