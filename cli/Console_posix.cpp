#include "cli/Console.h"

#include <csignal>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zq {

namespace {

std::atomic<bool>* g_flag = nullptr;
volatile std::sig_atomic_t g_signal = 0;

void OnSignal(int sig)
{
    if (g_flag && !g_flag->load()) {
        g_signal = sig;
        g_flag->store(true);
        return;
    }
    // Asked twice: the download is not stopping; go now.
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

} // namespace

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

bool OutputsShareTerminal()
{
    if (!IsTerminal(stdout) || !IsTerminal(stderr))
        return false;
    struct stat out{}, err{};
    if (::fstat(STDOUT_FILENO, &out) != 0 || ::fstat(STDERR_FILENO, &err) != 0)
        return true;
    return out.st_rdev == err.st_rdev;
}

void SetInterruptFlag(std::atomic<bool>* flag)
{
    g_flag = flag;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a wait in poll() should come back and see the flag.
    (void)sigaction(SIGINT, &sa, nullptr);
    (void)sigaction(SIGTERM, &sa, nullptr);
    (void)sigaction(SIGHUP, &sa, nullptr);
    // Output piped into something that quit early (| head) must not kill the
    // download halfway with the device waiting for its next block.
    std::signal(SIGPIPE, SIG_IGN);
}

int TerminalColumns(std::FILE* stream)
{
    winsize ws{};
    if (!IsTerminal(stream) || ::ioctl(::fileno(stream), TIOCGWINSZ, &ws) != 0)
        return 0;
    return ws.ws_col;
}

bool EnableCursorControl(std::FILE* stream) { return IsTerminal(stream); }

int InterruptSignal() { return g_signal; }

}  // namespace zq
