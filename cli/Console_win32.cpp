#include "cli/Console.h"

#include <io.h>
#include <windows.h>

namespace zq {

// Older mingw-w64 headers predate it.
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {

std::atomic<bool>* g_flag = nullptr;
volatile LONG g_signal = 0;

BOOL WINAPI OnConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    if (g_flag && !g_flag->load()) {
        InterlockedExchange(&g_signal, 2); // as SIGINT would be
        g_flag->store(true);
        return TRUE;
    }
    return FALSE; // asked twice: let the default handler end the process
}

} // namespace

bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

bool OutputsShareTerminal() { return IsTerminal(stdout) && IsTerminal(stderr); }

void SetInterruptFlag(std::atomic<bool>* flag)
{
    g_flag = flag;
    (void)SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

namespace {

HANDLE ConsoleOf(std::FILE* stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

} // namespace

int TerminalColumns(std::FILE* stream)
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!IsTerminal(stream) || !GetConsoleScreenBufferInfo(ConsoleOf(stream), &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

bool EnableCursorControl(std::FILE* stream)
{
    DWORD mode = 0;
    const HANDLE console = ConsoleOf(stream);
    if (!IsTerminal(stream) || !GetConsoleMode(console, &mode))
        return false;
    return SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int InterruptSignal() { return static_cast<int>(g_signal); }

}  // namespace zq
