// The release channel from the command line: the engineer's --channel-init,
// --publish, --refresh and --rotate, which write the channel's folder, and
// --channel-status, which follows it once. A mode of its own, given alone.
#pragma once

#include <string>

#include "channel/ChannelClient.h"

namespace zq {

// -1 when no channel option is given; else the run's exit status.
int ChannelMode(int argc, const char* const* argv);

// The state folder of a channel where --channel-state is not given: the
// service's (systemd's StateDirectory) or the user's, one for each channel.
std::string DefaultChannelState(const std::string& url);

// Whether a refresh leaves the channel confirmed: it succeeded, or only the
// channel's place was out of reach while a release verified before holds.
bool ChannelConfirmed(const ChannelStatus& status);

// What --help says of them, after the rest.
extern const char* const kChannelUsage;

}  // namespace zq
