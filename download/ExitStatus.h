// zerquill-flash's exit statuses: what scripts read of a run, and what the
// station windows read of the --set-latency they start. Listed in --help
// and the README.
#pragma once

namespace zq {

constexpr int kExitWritten = 0;
constexpr int kExitFailed = 1;   // the device or the line, once the device was found
constexpr int kExitNoImage = 2;  // the image could not be opened or read
constexpr int kExitRefused = 3;  // the image was refused
constexpr int kExitNoDevice = 4; // no ports, no beacon, no usable port
constexpr int kExitLotComplete = 5; // the job's lot was written already: no port touched
constexpr int kExitNotReleased = 6; // the job is not released (or a locked station's bare image)
constexpr int kExitChannel = 7; // the release channel cannot be confirmed
constexpr int kExitUsage = 64;
constexpr int kExitNoPermission = 77; // --set-latency: administrator or root rights needed (EX_NOPERM)
constexpr int kExitInterrupted = 130; // 128 + SIGINT

}  // namespace zq
