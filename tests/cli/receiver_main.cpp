// zq-receiver [--port N] [--status N] [--token T]: the loopback receiver as
// a program, for the Windows build under wine. Prints its URL, then each new
// record's key, one a line, until it is ended.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

#include "tests/cli/Receiver.h"

using namespace zq;

int main(int argc, char** argv)
{
    int port = 0, status = 201;
    std::string token;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--port"))
            port = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--status"))
            status = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--token"))
            token = argv[i + 1];
    }
    // Blocked before the server's threads start, so that they inherit it.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    CReceiver receiver(port);
    receiver.status = status;
    receiver.SetToken(token);
    receiver.accepted = [](const std::string& key) {
        std::printf("%s\n", key.c_str());
        std::fflush(stdout);
    };
    std::printf("%s\n", receiver.Url().c_str());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&set, &sig);
    for (const std::string& p : receiver.Problems())
        std::fprintf(stderr, "problem: %s\n", p.c_str());
    return receiver.Problems().empty() ? 0 : 1;
}
