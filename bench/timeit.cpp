// zq-time OUT COMMAND [ARG]...: runs COMMAND and writes "wall user sys" in
// seconds, to the microsecond, to OUT; exits with COMMAND's status. The shell's
// time and /usr/bin/time round CPU time to 10 ms, too coarse for a tool
// that spends a few milliseconds in a 23-second download. SIGTERM, SIGINT
// and SIGHUP are passed on to COMMAND, so that a script stopping zq-time
// stops what it timed.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
volatile pid_t g_child = 0;
void PassOn(int sig)
{
    if (g_child > 0)
        kill(g_child, sig);
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: zq-time OUT COMMAND [ARG]...\n");
        return 2;
    }
    timespec t0{}, t1{};
    clock_gettime(CLOCK_MONOTONIC, &t0);
    // Held back until the child's pid is known, so that none is lost.
    sigset_t passed, old;
    sigemptyset(&passed);
    struct sigaction sa {};
    sa.sa_handler = PassOn;
    sigemptyset(&sa.sa_mask);
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&passed, sig);
        sigaction(sig, &sa, nullptr);
    }
    sigprocmask(SIG_BLOCK, &passed, &old);
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("zq-time: fork");
        return 2;
    }
    if (pid == 0) {
        sigprocmask(SIG_SETMASK, &old, nullptr);
        execvp(argv[2], argv + 2);
        std::fprintf(stderr, "zq-time: %s: %s\n", argv[2], std::strerror(errno));
        _exit(127);
    }
    g_child = pid;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    int status = 0;
    rusage ru{};
    pid_t r;
    do {
        r = wait4(pid, &status, 0, &ru);
    } while (r < 0 && errno == EINTR);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    if (r < 0) {
        std::perror("zq-time: wait4");
        return 2;
    }
    const double wall = double(t1.tv_sec - t0.tv_sec) + double(t1.tv_nsec - t0.tv_nsec) / 1e9;
    const double user = double(ru.ru_utime.tv_sec) + double(ru.ru_utime.tv_usec) / 1e6;
    const double sys = double(ru.ru_stime.tv_sec) + double(ru.ru_stime.tv_usec) / 1e6;
    std::FILE* out = std::fopen(argv[1], "w");
    if (!out || std::fprintf(out, "%.6f %.6f %.6f\n", wall, user, sys) < 0 || std::fclose(out) != 0) {
        std::perror("zq-time: write");
        return 2;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
