// The one-click fix a station tile offers under the slow-adapter hint:
// zerquill-flash --set-latency PORT 1, run with the rights it needs by the
// window (elevated on Windows, through pkexec on Linux), and what the tile
// says when it has ended.
#pragma once

#include <string>
#include <vector>

namespace zq {

// The timer the fix sets: the chip's shortest.
constexpr int kLatencyFixMs = 1;

struct LatencyFix {
    std::string port;
    std::vector<std::string> args; // zerquill-flash's arguments, the program not among them

    // The arguments as one line, each with spaces or quotes in double quotes.
    std::string ArgLine() const;
};

LatencyFix LatencyFixFor(const std::string& port);

// How the command ended, as the window saw it.
enum class FixEnd {
    Exited,     // it ran: status is zerquill-flash's exit status
    Declined,   // the operator cancelled the prompt for rights
    NotGranted, // the rights were refused, or no one could be asked for them
    NotStarted, // the program could not be started (detail says why)
};

struct FixOutcome {
    FixEnd end = FixEnd::NotStarted;
    int status = 0;
    std::string detail;
};

// pkexec passes the program's status on, except its own: 126 when the
// operator dismissed its prompt, 127 when the rights were not granted (or no
// agent could ask for them).
FixOutcome PkexecOutcome(int status);

// What the tile says: "latency set to 1 ms: ...", "not set: ...".
std::string LatencyFixWords(const std::string& port, const FixOutcome& outcome);

// The command ran to its end: the tile offers it no more for this hint,
// since running it again does the same. Where it did not run (the prompt
// cancelled, the rights refused, the program missing) it is offered again.
inline bool FixRan(const FixOutcome& outcome) { return outcome.end == FixEnd::Exited; }

}  // namespace zq
