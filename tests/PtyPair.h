// A pseudo-terminal pair for tests: the code under test opens the slave by
// its path, the test plays the device on the master.
#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "platform/UniqueFd.h"

#include "platform/PtyNumber.h"

namespace zq {

class PtyPair {
public:
    PtyPair()
    {
        char name[256] = {};
        int masterFd = -1, slaveFd = -1;
        if (openpty(&masterFd, &slaveFd, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        master_.Reset(masterFd);
        slave_.Reset(slaveFd);
        path_ = name;
        termios tio{};
        tcgetattr(master(), &tio);
        cfmakeraw(&tio);
        tcsetattr(master(), TCSANOW, &tio);
        tcgetattr(slave_.Get(), &tio);
        cfmakeraw(&tio);
        tcsetattr(slave_.Get(), TCSANOW, &tio);
        fcntl(master(), F_SETFL, fcntl(master(), F_GETFL) | O_NONBLOCK);
    }

    // Hung up, its number held: no name of it leads to the next pty made
    // (another test's, in this process or one beside it).
    ~PtyPair()
    {
        master_.Reset();
        HoldPtyNumber(std::move(slave_));
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& path() const { return path_; }
    int master() const { return master_.Get(); }
    // Our own slave descriptor keeps the master readable between the tool's
    // close and its next open.
    void closeSlave()
    {
        slave_.Reset();
    }

    // Hangs the line up, as an unplugged device would.
    void closeMaster()
    {
        master_.Reset();
    }

    void send(const std::vector<uint8_t>& bytes) const
    {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master(), bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                throw std::runtime_error("write to master failed");
        }
    }

    // Reads what arrives until want bytes came or the time is up; never
    // more than want, so what follows stays for the next read.
    std::vector<uint8_t> receive(size_t want, int timeoutMs) const
    {
        std::vector<uint8_t> out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < want) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  end - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0)
                break;
            pollfd pfd{master(), POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(left)) <= 0)
                continue;
            uint8_t buf[256];
            const size_t room = std::min(sizeof buf, want - out.size());
            const ssize_t n = ::read(master(), buf, room);
            if (n > 0)
                out.insert(out.end(), buf, buf + n);
        }
        return out;
    }

    // The speed the slave side was set to, as the master sees it.
    speed_t speed() const
    {
        termios tio{};
        tcgetattr(master(), &tio);
        return cfgetospeed(&tio);
    }

private:
    CUniqueFd master_;
    CUniqueFd slave_;
    std::string path_;
};

}  // namespace zq
