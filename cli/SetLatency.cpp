#include "cli/SetLatency.h"

#include "cli/FlashHost.h"
#include "link/Latency.h"

namespace zq {

namespace {

std::string Ms(int ms) { return ms < 0 ? std::string("not set") : std::to_string(ms) + " ms"; }

bool Asks(int argc, const char* const* argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--set-latency" || word.rfind("--set-latency=", 0) == 0)
            return true;
    }
    return false;
}

} // namespace

bool ParseSetLatency(int argc, const char* const* argv, SetLatencyOptions& options, std::string& error)
{
    options = SetLatencyOptions();
    if (argc != 4 || std::string(argv[1]) != "--set-latency" || !*argv[2]) {
        error = "--set-latency takes a port and a timer in ms, alone: --set-latency PORT MS";
        return false;
    }
    options.port = argv[2];
    // Digits only: no sign, no "1ms", nothing past what the chip takes.
    const std::string ms = argv[3];
    const bool digits = !ms.empty() && ms.size() <= 3 && ms.find_first_not_of("0123456789") == std::string::npos;
    options.ms = digits ? std::stoi(ms) : 0;
    if (options.ms < kLatencyTimerMinMs || options.ms > kLatencyTimerMaxMs) {
        error = "--set-latency: \"" + ms + "\" is not a latency timer (" + std::to_string(kLatencyTimerMinMs) +
                " to " + std::to_string(kLatencyTimerMaxMs) + " ms)";
        return false;
    }
    return true;
}

int SetLatency(const SetLatencyOptions& options, std::FILE* out, std::FILE* err)
{
    const LatencyChange change = SetLatencyTimer(options.port, options.ms);
    const char* port = options.port.c_str();
    const char* where = change.where.c_str();
    int status = kExitWritten;
    switch (change.result) {
    case LatencyResult::NoTimer:
        if (change.where.empty()) {
            std::fprintf(err, "zerquill-flash: --set-latency: %s is a pseudo-terminal, which has no latency timer "
                              "(only FTDI adapters have one)\n", port);
            return kExitNoDevice;
        }
        std::fprintf(err, "zerquill-flash: --set-latency: %s has no latency timer to set (only FTDI adapters have "
                          "one; looked in %s)\n", port, where);
        return kExitNoDevice;
    case LatencyResult::Failed:
        std::fprintf(out, "%s: latency timer %s (%s)\n", port, Ms(change.beforeMs).c_str(), where);
        std::fprintf(err, "zerquill-flash: --set-latency: %s could not be written: %s\n", where,
                     change.osError.c_str());
        return kExitFailed;
    case LatencyResult::Denied:
        std::fprintf(out, "%s: latency timer %s (%s)\n", port, Ms(change.beforeMs).c_str(), where);
        std::fflush(out);
        std::fprintf(err, "zerquill-flash: --set-latency: permission denied on %s: %s\n", where,
                     LatencyRightsAdvice(options.port, options.ms).c_str());
        std::fflush(err);
        status = kExitNoPermission;
        break;
    case LatencyResult::Unchanged:
        std::fprintf(out, "%s: latency timer %s already (%s): nothing changed\n", port, Ms(change.beforeMs).c_str(),
                     where);
        break;
    case LatencyResult::Set:
        std::fprintf(out, "%s: latency timer %s before, %s after (%s)\n", port, Ms(change.beforeMs).c_str(),
                     Ms(change.afterMs).c_str(), where);
        if (change.inEffect)
            std::fprintf(out, "the adapter uses it now\n");
        else
            std::fprintf(out, "the adapter could not be restarted: unplug it and plug it in again, and its driver "
                              "reads the new timer as it starts\n");
        break;
    }
    const std::string permanence = LatencyPermanence(options.ms);
    if (!permanence.empty())
        std::fprintf(out, "%s\n", permanence.c_str());
    return status;
}

int SetLatencyMode(int argc, const char* const* argv)
{
    if (!Asks(argc, argv))
        return -1;
    SetLatencyOptions options;
    std::string error;
    if (!ParseSetLatency(argc, argv, options, error)) {
        std::fprintf(stderr, "zerquill-flash: %s; try --help\n", error.c_str());
        return kExitUsage;
    }
    return SetLatency(options, stdout, stderr);
}

}  // namespace zq
