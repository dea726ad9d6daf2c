// cpp-httplib's server, with each request bounded as a whole. The library
// times out each read and caps each header line, but a client that sends a
// byte of its headers just within each read's time-out, or header lines
// without end, would hold a thread of ours for as long as it liked. Here a
// request has a time and a number of bytes to arrive in, from its first
// byte to its last; what is over either is not served (the library may say
// 400) and its connection is closed.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include <httplib.h>

namespace zq {

struct RequestBounds {
    std::chrono::milliseconds time{5000};
    size_t bytes = 32 * 1024;
};

class CBoundedServer : public httplib::Server {
public:
    explicit CBoundedServer(RequestBounds bounds) : bounds_(bounds) {}
    // Answers one request for path from memory, on the calling thread: the
    // library builds its lazily made tables (the methods it knows, its
    // status words) on the first request it parses. Done before the
    // listener starts, every answering thread begins after them, and a
    // thread checker sees that they do (the guards of those statics are in
    // the library, where it cannot look).
    void Warm(const std::string& path);
    // Ends the listener, whether it runs yet or not: the library's stop()
    // does nothing before its listener has started, which then listens on.
    void Stop();

private:
    // One connection, its requests one after another (keep-alive), each
    // read within the bounds; then the socket is closed, here alone.
    bool process_and_close_socket(socket_t sock) override;
    // Waits up to the keep-alive time for the next request's first byte,
    // in short steps so that a server that stops is not held up.
    bool NextRequest(int fd) const;

    RequestBounds bounds_;
};

}  // namespace zq
