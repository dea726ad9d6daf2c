// The bits of the console the command line needs, one backend per OS
// (Console_posix.cpp, Console_win32.cpp).
#pragma once

#include <atomic>
#include <cstdio>

namespace zq {

// True when the stream is a terminal (a console window on Windows).
bool IsTerminal(std::FILE* stream);
// True when stdout and stderr end up on the same terminal, so that lines on
// one would tear a line being redrawn on the other.
bool OutputsShareTerminal();
// Ctrl-C (and, where the OS has it, SIGTERM) sets *flag instead of ending the
// process, so the download can close the port. A second Ctrl-C ends it.
void SetInterruptFlag(std::atomic<bool>* flag);
// Columns of the terminal the stream is on; 0 when it is not one.
int TerminalColumns(std::FILE* stream);
// Lets the stream's terminal take cursor movement (a console window needs
// asking); false when it cannot.
bool EnableCursorControl(std::FILE* stream);
// The signal the interrupt flag was last set by (SIGINT, SIGTERM); 0 if none.
int InterruptSignal();

}  // namespace zq
