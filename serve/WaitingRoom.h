// A server's connections between their requests. One thread watches them
// all for the first byte of the next request and only then hands the
// connection to an answering thread, so a connection that sends nothing
// costs a descriptor and no thread, and is closed once it has been idle
// too long. What one address and all of them hold at once is bounded: a
// connection beyond its address's share takes the place of that address's
// oldest idle one (or is closed as it comes when none is idle), and beyond
// everyone's the oldest idle one of the address holding most goes to make
// room for it.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class ThreadPool;
} // namespace httplib

namespace zq {

struct ConnectionBounds {
    size_t threads = 48;      // answering, event streams among them
    size_t open = 512;        // connections at once, all clients together
    size_t openEach = 64;     // connections at once from one address
    size_t answeringEach = 8; // requests being read or answered at once from one address, lasting ones aside
    // A connection that sends nothing for this long, from connecting or
    // between its requests, is closed.
    std::chrono::milliseconds idle{5000};
};

class CWaitingRoom {
public:
    // Answers what has arrived on fd, on an answering thread; true to keep
    // the connection for its next request. requestsLeft counts down the
    // requests it may still make.
    using Serve = std::function<bool(int fd, size_t& requestsLeft)>;

    CWaitingRoom(ConnectionBounds bounds, Serve serve);
    ~CWaitingRoom();
    CWaitingRoom(const CWaitingRoom&) = delete;
    CWaitingRoom& operator=(const CWaitingRoom&) = delete;

    // Starts the watcher and the answering threads; each connection may
    // make requestsEach requests.
    void Open(size_t requestsEach);
    // A connection accepted: the room's from here, to close as it sees fit.
    void Arrived(int fd);
    // Called on an answering thread whose answer lasts (an event stream):
    // it no longer counts against its address's share.
    static void Lasting();
    // The answers under way end (each within its request's bounds, a stream
    // once it is told), and every connection is closed. Once is enough.
    void Close();

private:
    using Clock = std::chrono::steady_clock;
    struct Connection {
        int fd = -1;
        std::string peer; // the client's address
        size_t requestsLeft = 0;
        Clock::time_point since, deadline;
    };
    struct Note {
        enum class Kind { Arrived, Back, Lasting } kind;
        Connection connection;
        bool keep = false;    // Back: to wait for its next request
        bool lasting = false; // Back: its address's share was given back already
    };
    struct Peer {
        size_t open = 0;
        size_t answering = 0;
    };
    struct Turn;
    static thread_local Turn* turn_;

    void Post(Note note);
    void Watch();
    void Take(Note& note);
    void Admit(Connection connection);
    void Wait(Connection connection);
    void Drop(const Connection& connection);
    bool Evict(const std::string* peer = nullptr);
    void WaitForRequests();
    void HandOver(Connection connection);
    void Answer(Connection connection);

    const ConnectionBounds bounds_;
    const Serve serve_;
    size_t requestsEach_ = 1;
    int wake_ = -1;
    std::mutex mutex_;
    std::vector<Note> notes_;
    bool closing_ = false;
    std::unique_ptr<httplib::ThreadPool> threads_;
    std::thread watcher_;
    // The watcher's alone.
    std::vector<Connection> waiting_;
    std::map<std::string, Peer> peers_;
    size_t open_ = 0;
};

}  // namespace zq
