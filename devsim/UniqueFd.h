// A file descriptor owned by exactly one object; closed when that object goes.
#pragma once

#include <cerrno>
#include <unistd.h>
#include <utility>

class CUniqueFd {
public:
    CUniqueFd() = default;
    explicit CUniqueFd(int fd) : fd_(fd) {}
    ~CUniqueFd() { Reset(); }

    CUniqueFd(const CUniqueFd&) = delete;
    CUniqueFd& operator=(const CUniqueFd&) = delete;
    CUniqueFd(CUniqueFd&& other) noexcept : fd_(other.Release()) {}
    CUniqueFd& operator=(CUniqueFd&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }

    int Get() const { return fd_; }
    bool IsOpen() const { return fd_ >= 0; }
    explicit operator bool() const { return fd_ >= 0; }

    int Release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

    // close() is not retried on EINTR: on Linux the descriptor is gone either way,
    // and a retry could close a descriptor another thread has just been given.
    void Reset(int fd = -1)
    {
        if (fd_ >= 0)
            (void)::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};
