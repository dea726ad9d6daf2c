#include "station/LatencyFix.h"

#include "download/ExitStatus.h"

namespace zq {

namespace {

std::string Exited(const std::string& port, int status)
{
    switch (status) {
    case kExitWritten:
        return "latency set to " + std::to_string(kLatencyFixMs) + " ms: the next download through " + port +
               " goes without the wait";
    case kExitNoPermission: return "not set: the command ran without administrator or root rights";
    case kExitNoDevice: return "not set: " + port + " has no latency timer (not an FTDI adapter)";
    case kExitUsage: return "not set: zerquill-flash did not take --set-latency (an older one beside the station?)";
    case kExitFailed: return "not set: the system refused the write (run the command by hand to see why)";
    default: return "not set: zerquill-flash ended with status " + std::to_string(status);
    }
}

} // namespace

std::string LatencyFix::ArgLine() const
{
    std::string line;
    for (const std::string& arg : args) {
        if (!line.empty())
            line += ' ';
        line += arg.find_first_of(" \t\"") == std::string::npos ? arg : '"' + arg + '"';
    }
    return line;
}

LatencyFix LatencyFixFor(const std::string& port)
{
    return LatencyFix{port, {"--set-latency", port, std::to_string(kLatencyFixMs)}};
}

FixOutcome PkexecOutcome(int status)
{
    if (status == 126)
        return FixOutcome{FixEnd::Declined, status, {}};
    if (status == 127)
        return FixOutcome{FixEnd::NotGranted, status, {}};
    return FixOutcome{FixEnd::Exited, status, {}};
}

std::string LatencyFixWords(const std::string& port, const FixOutcome& outcome)
{
    switch (outcome.end) {
    case FixEnd::Exited: return Exited(port, outcome.status);
    case FixEnd::Declined: return "not set: the prompt for rights was cancelled";
    case FixEnd::NotGranted: return "not set: the rights were not granted";
    case FixEnd::NotStarted:
        return "not set: zerquill-flash could not be started" +
               (outcome.detail.empty() ? std::string() : ": " + outcome.detail);
    }
    return {};
}

}  // namespace zq
