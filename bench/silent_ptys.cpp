// zq-silent-ptys N: N pseudo-terminals on which nobody ever answers, the
// ports of a machine where the device is not. Prints their paths, one a line,
// and holds them until killed.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pty.h>
#include <unistd.h>
#include <vector>


namespace {
volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }
} // namespace

int main(int argc, char** argv)
{
    const int n = argc == 2 ? std::atoi(argv[1]) : -1;
    if (n < 0) {
        std::fprintf(stderr, "usage: zq-silent-ptys N\n");
        return 2;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::vector<int> fds;
    for (int i = 0; i < n; ++i) {
        int m = -1, s = -1;
        char name[128] = {};
        if (openpty(&m, &s, name, nullptr, nullptr) != 0) {
            std::perror("zq-silent-ptys: openpty");
            return 1;
        }
        // Both ends stay open: the master is never read, so what the tool
        // writes just sits there, and the slave never reports a hang-up.
        fds.push_back(m);
        fds.push_back(s);
        std::printf("%s\n", name);
    }
    std::fflush(stdout);
    while (!g_stop)
        pause();
    for (int fd : fds)
        close(fd);
    return 0;
}
