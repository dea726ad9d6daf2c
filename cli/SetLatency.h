// --set-latency PORT MS: sets the latency timer of the USB adapter behind a
// port, where the system keeps it. A mode of its own, given alone.
#pragma once

#include <cstdio>
#include <string>

namespace zq {

struct SetLatencyOptions {
    std::string port;
    int ms = 0; // 1 to 255
};

// False with a one-line reason for a command line this mode will not run.
bool ParseSetLatency(int argc, const char* const* argv, SetLatencyOptions& options, std::string& error);

// Sets it and says what it was and is: 0 set (or held that value already),
// 1 the system refused for a reason other than rights, kExitNoDevice the
// port has no adapter with such a timer, kExitNoPermission no rights.
int SetLatency(const SetLatencyOptions& options, std::FILE* out, std::FILE* err);

// The mode when the command line asks for it (its exit status, 64 for wrong
// usage); -1 when it does not.
int SetLatencyMode(int argc, const char* const* argv);

}  // namespace zq
