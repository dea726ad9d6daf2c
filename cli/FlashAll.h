// Many devices from one command: --all (one discovery window, then every
// port that beaconed in it flashed at once) and --watch (the station).
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

#include "cli/Forward.h"
#include "cli/Jobs.h"
#include "cli/Options.h"
#include "cli/ServeOptions.h"
#include "record/Record.h"

namespace zq {

// --all or --watch, as options say, to its end; returns the exit status.
// log, when set, gets one record a device as its download ends, with the
// job's tags. stop: Ctrl-C. With a job, its image was read already (and
// checked against its pin), and a lot takes no more devices than it still
// needs. serve, when on, serves the station (--watch) over HTTP.
int FlashStation(const FlashOptions& options, const std::string& imagePath, std::FILE* out,
                 std::atomic<bool>* stop, CRecordLog* log, const JobRun& run, const ServeOptions* serve = nullptr,
                 CForwarding* forwarding = nullptr);

}  // namespace zq
