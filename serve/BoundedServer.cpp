#include "serve/BoundedServer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zq {

namespace {

using Clock = std::chrono::steady_clock;

int MsTo(Clock::time_point when)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

bool Ready(int fd, short events, int ms)
{
    pollfd p{fd, events, 0};
    int n;
    do
        n = ::poll(&p, 1, ms);
    while (n < 0 && errno == EINTR);
    return n > 0;
}

// The connection's socket as the library reads and writes it. Reads take
// what is left of the request's time and bytes; writes have the library's
// time-out each, and an event stream's writes no deadline at all.
class CBoundedStream : public httplib::Stream {
public:
    CBoundedStream(int fd, int readMs, int writeMs) : fd_(fd), readMs_(readMs), writeMs_(writeMs) {}

    void Begin(Clock::time_point deadline, size_t bytes)
    {
        deadline_ = deadline;
        bytesLeft_ = bytes;
    }
    bool is_readable() const override { return at_ < end_ || (bytesLeft_ && Ready(fd_, POLLIN, ReadWaitMs())); }
    bool is_writable() const override { return Ready(fd_, POLLOUT, writeMs_); }

    ssize_t read(char* ptr, size_t size) override
    {
        if (at_ == end_ && !Fill()) {
            broken_ = true;
            return -1;
        }
        const size_t n = std::min(size, end_ - at_);
        std::memcpy(ptr, buffer_ + at_, n);
        at_ += n;
        return ssize_t(n);
    }
    ssize_t write(const char* ptr, size_t size) override
    {
        if (!is_writable())
            return -1;
        ssize_t n;
        do
            n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
        while (n < 0 && errno == EINTR);
        return n;
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override { Name(::getpeername, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { Name(::getsockname, ip, port); }
    socket_t socket() const override { return fd_; }
    // A request did not arrive whole: whatever follows on the connection
    // is not the start of the next.
    bool Broken() const { return broken_; }
    // The next request's first bytes came with the last one (pipelined).
    bool Buffered() const { return at_ < end_; }

private:
    int ReadWaitMs() const { return std::min(readMs_, MsTo(deadline_)); }

    // The buffer refilled from the socket; false once the request is over
    // its time or its bytes, or the client has gone.
    bool Fill()
    {
        const int ms = ReadWaitMs();
        if (!bytesLeft_ || ms <= 0 || !Ready(fd_, POLLIN, ms))
            return false;
        ssize_t n;
        do
            n = ::recv(fd_, buffer_, std::min(sizeof buffer_, bytesLeft_), 0);
        while (n < 0 && errno == EINTR);
        if (n <= 0)
            return false;
        bytesLeft_ -= size_t(n);
        at_ = 0;
        end_ = size_t(n);
        return true;
    }

    template <typename GetName>
    void Name(GetName get, std::string& ip, int& port) const
    {
        sockaddr_storage at{};
        socklen_t length = sizeof at;
        char host[NI_MAXHOST], service[NI_MAXSERV];
        if (get(fd_, reinterpret_cast<sockaddr*>(&at), &length) == 0 &&
            ::getnameinfo(reinterpret_cast<const sockaddr*>(&at), length, host, sizeof host, service, sizeof service,
                          NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
            ip = host;
            port = std::atoi(service);
        }
    }

    const int fd_;
    const int readMs_;
    const int writeMs_;
    Clock::time_point deadline_;
    size_t bytesLeft_ = 0;
    char buffer_[4096];
    size_t at_ = 0, end_ = 0;
    bool broken_ = false;
};

// A request read from memory, its answer dropped.
class CMemoryStream : public httplib::Stream {
public:
    explicit CMemoryStream(std::string request) : request_(std::move(request)) {}
    bool is_readable() const override { return at_ < request_.size(); }
    bool is_writable() const override { return true; }
    ssize_t read(char* ptr, size_t size) override
    {
        const size_t n = std::min(size, request_.size() - at_);
        std::memcpy(ptr, request_.data() + at_, n);
        at_ += n;
        return ssize_t(n);
    }
    ssize_t write(const char*, size_t size) override { return ssize_t(size); }
    void get_remote_ip_and_port(std::string& ip, int& port) const override { ip = "127.0.0.1", port = 0; }
    void get_local_ip_and_port(std::string& ip, int& port) const override { ip = "127.0.0.1", port = 0; }
    socket_t socket() const override { return INVALID_SOCKET; }

private:
    const std::string request_;
    size_t at_ = 0;
};

// The library's queue for what it accepts: each connection goes to the
// waiting room at once, on the listener's own thread.
class CHandToRoom : public httplib::TaskQueue {
public:
    CHandToRoom(CWaitingRoom& room, size_t requestsEach) : room_(room) { room_.Open(requestsEach); }
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override { room_.Close(); }

private:
    CWaitingRoom& room_;
};

} // namespace

CBoundedServer::CBoundedServer(RequestBounds bounds, ConnectionBounds connections)
    : bounds_(bounds), connections_(connections),
      room_(connections, [this](int fd, size_t& requestsLeft) { return Serve(fd, requestsLeft); })
{
    new_task_queue = [this] { return new CHandToRoom(room_, keep_alive_max_count_); };
}

int CBoundedServer::Bind(const std::string& host, uint16_t port)
{
    const int bound = port ? (bind_to_port(host, port) ? port : -1) : bind_to_any_port(host);
    // The library listens with a backlog of 5: a burst of connections
    // deeper than that, as a hostile client makes, had the kernel drop
    // everyone's connects, to be sent again a second later. The room closes
    // what is over its bounds at once, so a deeper one drains.
    if (bound > 0)
        ::listen(svr_sock_, int(connections_.open));
    return bound;
}

CBoundedServer::~CBoundedServer()
{
    // Its answering threads call this server: they end first.
    room_.Close();
}

void CBoundedServer::Warm(const std::string& path)
{
    CMemoryStream stream("GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
    bool closed = false;
    process_request(stream, true, closed, nullptr);
}

void CBoundedServer::Stop()
{
    // A listener that starts after this finds no socket and returns at once.
    const socket_t sock = svr_sock_.exchange(INVALID_SOCKET);
    if (sock == INVALID_SOCKET)
        return;
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
}

bool CBoundedServer::process_and_close_socket(socket_t sock)
{
    room_.Arrived(sock);
    return true;
}

bool CBoundedServer::Serve(int fd, size_t& requestsLeft)
{
    CBoundedStream stream(fd, int(read_timeout_sec_ * 1000 + read_timeout_usec_ / 1000),
                          int(write_timeout_sec_ * 1000 + write_timeout_usec_ / 1000));
    while (svr_sock_ != INVALID_SOCKET) {
        // Its time counts from its first byte: the wait for it was the
        // room's.
        stream.Begin(Clock::now() + bounds_.time, bounds_.bytes);
        const bool last = requestsLeft <= 1;
        bool closed = false;
        if (!process_request(stream, last, closed, nullptr) || closed || stream.Broken() || last)
            return false;
        --requestsLeft;
        // The next request's first bytes came with this one (pipelined):
        // they are in the stream's buffer, where the room cannot see them.
        if (!stream.Buffered())
            return true;
    }
    return false;
}

}  // namespace zq
