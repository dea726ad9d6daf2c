// Many devices from one command: --all (one discovery window, then every
// port that beaconed in it flashed at once) and --watch (the station).
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

#include "Options.h"
#include "Record.h"

// Each runs to its end and returns the exit status. log, when set, gets one
// record a device as its download ends, with tags. stop: Ctrl-C. taken: the
// image already read (a job's, checked against its pin); null: read imagePath.
int FlashAll(const FlashOptions& options, const std::string& imagePath, std::FILE* out,
             std::atomic<bool>* stop, CRecordLog* log, const ImageSnapshot* taken, const RecordTags& tags);
int WatchStation(const FlashOptions& options, const std::string& imagePath, std::FILE* out,
                 std::atomic<bool>* stop, CRecordLog* log, const ImageSnapshot* taken, const RecordTags& tags);
