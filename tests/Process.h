// A program of the project run as a process, its stdout and stderr
// collected: how the tests of the command line and of the served station
// run zerquill-flash.
#pragma once

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace zq {

struct Outcome {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
};

// The children alive, killed should the test process abort (an ASSERT that
// returned past a joinable thread ends in std::terminate): a station left
// running would go on opening, by name, ptys that later tests are given.
namespace children {
constexpr size_t kSlots = 256;
inline std::atomic<pid_t>* Slots()
{
    static std::atomic<pid_t> slots[kSlots] = {};
    return slots;
}
inline void OnAbort(int sig)
{
    for (size_t i = 0; i < kSlots; ++i)
        if (const pid_t pid = Slots()[i].load(); pid > 0)
            ::kill(pid, SIGKILL);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}
inline void Add(pid_t pid)
{
    static const bool installed = (::signal(SIGABRT, OnAbort), true);
    (void)installed;
    for (size_t i = 0; i < kSlots; ++i) {
        pid_t none = 0;
        if (Slots()[i].compare_exchange_strong(none, pid))
            return;
    }
}
inline void Remove(pid_t pid)
{
    for (size_t i = 0; i < kSlots; ++i) {
        pid_t was = pid;
        if (Slots()[i].compare_exchange_strong(was, 0))
            return;
    }
}
} // namespace children

// Starts the program with its stdout and stderr on pipes (or stdout on a
// pty slave, when given) and collects everything until it exits.
class Process {
public:
    explicit Process(const std::vector<std::string>& args, int stdoutFd = -1)
    {
        int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
        if (stdoutFd < 0 && pipe2(outPipe, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        if (pipe2(errPipe, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, stdoutFd >= 0 ? stdoutFd : outPipe[1], 1);
        posix_spawn_file_actions_adddup2(&fa, errPipe[1], 2);
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (outPipe[1] >= 0)
            ::close(outPipe[1]);
        ::close(errPipe[1]);
        if (rc != 0)
            throw std::runtime_error("posix_spawn " + args[0] + ": " + std::strerror(rc));
        children::Add(pid_);
        out_ = outPipe[0];
        err_ = errPipe[0];
    }
    ~Process()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            children::Remove(pid_);
        }
        if (out_ >= 0)
            ::close(out_);
        if (err_ >= 0)
            ::close(err_);
    }

    pid_t pid() const { return pid_; }
    const Outcome& sofar() const { return outcome_; }

    // Reads until both streams end (or until `until` appears on stdout, or
    // on stderr with onStderr).
    bool Pump(int timeoutMs, const std::string& until = std::string(), bool onStderr = false)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out_ >= 0 || err_ >= 0) {
            if (!until.empty() && (onStderr ? outcome_.err : outcome_.out).find(until) != std::string::npos)
                return true;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
            if (left <= 0)
                return false;
            pollfd p[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
            if (::poll(p, 2, static_cast<int>(left)) < 0 && errno != EINTR)
                return false;
            Drain(p[0], out_, outcome_.out);
            Drain(p[1], err_, outcome_.err);
        }
        return until.empty();
    }

    // Waits for the exit; SIGKILL after timeoutMs.
    Outcome Finish(int timeoutMs = 20000)
    {
        const bool ended = Pump(timeoutMs);
        if (!ended)
            ::kill(pid_, SIGKILL);
        int st = 0;
        ::waitpid(pid_, &st, 0);
        children::Remove(pid_);
        pid_ = -1;
        outcome_.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return outcome_;
    }

private:
    static void Drain(const pollfd& p, int& fd, std::string& into)
    {
        if (fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR)))
            return;
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            into.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            ::close(fd); // EIO on a pty master once the child is gone
            fd = -1;
        }
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    Outcome outcome_;
};

}  // namespace zq
