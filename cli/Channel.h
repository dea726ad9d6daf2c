// The release channel from the command line: the engineer's --channel-init,
// --publish, --refresh and --rotate, which write the channel's folder, and
// --channel-status, which follows it once. A mode of its own, given alone.
#pragma once

namespace zq {

// -1 when no channel option is given; else the run's exit status.
int ChannelMode(int argc, const char* const* argv);

// What --help says of them, after the rest.
extern const char* const kChannelUsage;

}  // namespace zq
