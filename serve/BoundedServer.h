// cpp-httplib's server, with each request bounded as a whole and each
// client's share of it bounded too. The library times out each read and
// caps each header line, but a client that sends a byte of its headers just
// within each read's time-out, or header lines without end, would hold a
// thread of ours for as long as it liked. Here a request has a time and a
// number of bytes to arrive in, from its first byte to its last; what is
// over either is not served (the library may say 400) and its connection is
// closed.
//
// The library queues every connection it accepts for its threads, without
// end, and an idle one held a thread for its whole time-out: a client that
// opened connections and sent nothing had the station's files and threads.
// Here a connection waits for its next request on one thread that watches
// them all, and only a request that has begun to arrive takes an answering
// thread. The connections open at once, from one address and from all,
// are bounded, as are the requests one address has answered at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include <httplib.h>

#include "serve/WaitingRoom.h"

namespace zq {

struct RequestBounds {
    std::chrono::milliseconds time{5000};
    size_t bytes = 32 * 1024;
};

class CBoundedServer : public httplib::Server {
public:
    CBoundedServer(RequestBounds bounds, ConnectionBounds connections);
    ~CBoundedServer() override;
    // Answers one request for path from memory, on the calling thread: the
    // library builds its lazily made tables (the methods it knows, its
    // status words) on the first request it parses. Done before the
    // listener starts, every answering thread begins after them, and a
    // thread checker sees that they do (the guards of those statics are in
    // the library, where it cannot look).
    void Warm(const std::string& path);
    // Bound to host and port (0: one the system picks), before the listener
    // starts; the port, or -1.
    int Bind(const std::string& host, uint16_t port);
    // Ends the listener, whether it runs yet or not: the library's stop()
    // does nothing before its listener has started, which then listens on.
    void Stop();
    // Called by a handler whose answer lasts (an event stream): its thread
    // no longer counts against its client's share; the streams have a
    // bound of their own.
    static void Lasting() { CWaitingRoom::Lasting(); }

private:
    // On the listener's thread, for each connection it accepts: to the
    // waiting room, which refuses it beyond the bounds.
    bool process_and_close_socket(socket_t sock) override;
    // On an answering thread: the requests that have arrived on it, each
    // read within the bounds; true when it is to wait for another.
    bool Serve(int fd, size_t& requestsLeft);

    const RequestBounds bounds_;
    const ConnectionBounds connections_;
    CWaitingRoom room_;
};

}  // namespace zq
