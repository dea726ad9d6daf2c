#include "Console.h"

#include <io.h>
#include <windows.h>

namespace {

std::atomic<bool>* g_flag = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    if (g_flag && !g_flag->load()) {
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
