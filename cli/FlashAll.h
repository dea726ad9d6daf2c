// zerquill-flash --all: one discovery window over the list, then every port
// that beaconed in it flashed at once.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

#include "Options.h"
#include "Record.h"

// Runs the whole batch; the exit status.
// log, when set, gets one record a device as its download ends.
int FlashAll(const FlashOptions& options, const std::string& imagePath, std::FILE* out,
             std::atomic<bool>* cancel, CRecordLog* log);
