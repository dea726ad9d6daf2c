#include "serve/WaitingRoom.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

namespace zq {

namespace {

std::string PeerOf(int fd)
{
    sockaddr_storage at{};
    socklen_t length = sizeof at;
    char host[NI_MAXHOST] = "";
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&at), &length) != 0 ||
        ::getnameinfo(reinterpret_cast<const sockaddr*>(&at), length, host, sizeof host, nullptr, 0,
                      NI_NUMERICHOST) != 0)
        return std::string();
    return host;
}

void CloseSocket(int fd)
{
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

} // namespace

// The connection an answering thread is on, for Lasting.
struct CWaitingRoom::Turn {
    CWaitingRoom* room;
    const Connection* connection;
    bool lasting;
};

thread_local CWaitingRoom::Turn* CWaitingRoom::turn_ = nullptr;

CWaitingRoom::CWaitingRoom(ConnectionBounds bounds, Serve serve)
    : bounds_(bounds), serve_(std::move(serve)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
}

CWaitingRoom::~CWaitingRoom()
{
    Close();
    if (wake_ >= 0)
        ::close(wake_);
}

void CWaitingRoom::Open(size_t requestsEach)
{
    requestsEach_ = std::max<size_t>(requestsEach, 1);
    threads_ = std::make_unique<httplib::ThreadPool>(bounds_.threads);
    watcher_ = std::thread([this] { Watch(); });
}

void CWaitingRoom::Post(Note note)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_ && note.kind == Note::Kind::Arrived) {
            CloseSocket(note.connection.fd);
            return;
        }
        notes_.push_back(std::move(note));
    }
    const uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
}

void CWaitingRoom::Arrived(int fd)
{
    Note note{Note::Kind::Arrived, Connection()};
    note.connection.fd = fd;
    note.connection.peer = PeerOf(fd);
    Post(std::move(note));
}

void CWaitingRoom::Lasting()
{
    Turn* turn = turn_;
    if (!turn || turn->lasting)
        return;
    turn->lasting = true;
    Note note{Note::Kind::Lasting, Connection()};
    note.connection.peer = turn->connection->peer;
    turn->room->Post(std::move(note));
}

void CWaitingRoom::Close()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_)
            return;
        closing_ = true;
    }
    const uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
    if (watcher_.joinable())
        watcher_.join();
    // Answers under way end; those not begun see the room closing and close.
    if (threads_)
        threads_->shutdown();
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Note& note : notes_)
        if (note.kind != Note::Kind::Lasting)
            CloseSocket(note.connection.fd);
    notes_.clear();
}

// The watcher's thread, until the room closes.

void CWaitingRoom::Watch()
{
    for (;;) {
        std::vector<Note> notes;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (closing_)
                break;
            notes.swap(notes_);
        }
        for (Note& note : notes)
            Take(note);
        WaitForRequests();
    }
    for (const Connection& connection : waiting_)
        CloseSocket(connection.fd);
    waiting_.clear();
}

void CWaitingRoom::Take(Note& note)
{
    switch (note.kind) {
    case Note::Kind::Arrived:
        Admit(std::move(note.connection));
        break;
    case Note::Kind::Back:
        if (!note.lasting)
            --peers_[note.connection.peer].answering;
        if (note.keep)
            Wait(std::move(note.connection));
        else
            Drop(note.connection);
        break;
    case Note::Kind::Lasting:
        --peers_[note.connection.peer].answering;
        break;
    }
}

void CWaitingRoom::Admit(Connection connection)
{
    // Beyond its address's share, the address's own oldest idle connection
    // goes for it: a client that holds its share idle cannot keep a scrape
    // from the same address (a proxy, a shared NAT, loopback) out.
    const auto it = peers_.find(connection.peer);
    const bool theirsFull = it != peers_.end() && it->second.open >= bounds_.openEach;
    if ((theirsFull && !Evict(&connection.peer)) || (open_ >= bounds_.open && !Evict())) {
        CloseSocket(connection.fd);
        return;
    }
    ++peers_[connection.peer].open;
    ++open_;
    connection.requestsLeft = requestsEach_;
    Wait(std::move(connection));
}

void CWaitingRoom::Wait(Connection connection)
{
    connection.since = Clock::now();
    connection.deadline = connection.since + bounds_.idle;
    waiting_.push_back(std::move(connection));
}

void CWaitingRoom::Drop(const Connection& connection)
{
    CloseSocket(connection.fd);
    --open_;
    const auto it = peers_.find(connection.peer);
    if (it != peers_.end() && --it->second.open == 0)
        peers_.erase(it);
}

// Room for one more: the oldest idle connection of the address that holds
// the most goes, or of peer when given. False when every such connection is
// being answered.
bool CWaitingRoom::Evict(const std::string* peer)
{
    size_t victim = waiting_.size();
    size_t most = 0;
    for (size_t i = 0; i < waiting_.size(); ++i) {
        if (peer && waiting_[i].peer != *peer)
            continue;
        const size_t open = peers_[waiting_[i].peer].open;
        if (victim == waiting_.size() || open > most || (open == most && waiting_[i].since < waiting_[victim].since)) {
            victim = i;
            most = open;
        }
    }
    if (victim == waiting_.size())
        return false;
    Drop(waiting_[victim]);
    waiting_.erase(waiting_.begin() + long(victim));
    return true;
}

// Closes the connections idle too long, and waits for a request on the
// others, or for a note; a connection whose address has its share of
// answering threads is not watched until one comes back.
void CWaitingRoom::WaitForRequests()
{
    const Clock::time_point now = Clock::now();
    Clock::time_point next = now + bounds_.idle;
    std::vector<pollfd> fds{{wake_, POLLIN, 0}};
    std::vector<size_t> watched;
    for (size_t i = 0; i < waiting_.size();) {
        if (waiting_[i].deadline <= now) {
            Drop(waiting_[i]);
            waiting_.erase(waiting_.begin() + long(i));
            continue;
        }
        next = std::min(next, waiting_[i].deadline);
        if (peers_[waiting_[i].peer].answering < bounds_.answeringEach) {
            fds.push_back({waiting_[i].fd, POLLIN, 0});
            watched.push_back(i);
        }
        ++i;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
    if (::poll(fds.data(), fds.size(), int(ms)) <= 0)
        return;
    uint64_t woken;
    if (fds[0].revents)
        (void)!::read(wake_, &woken, sizeof woken);
    // From the last, so that the places before stay where they were.
    for (size_t k = watched.size(); k-- > 0;) {
        const size_t i = watched[k];
        if (!fds[k + 1].revents || peers_[waiting_[i].peer].answering >= bounds_.answeringEach)
            continue;
        Connection connection = std::move(waiting_[i]);
        waiting_.erase(waiting_.begin() + long(i));
        HandOver(std::move(connection));
    }
}

void CWaitingRoom::HandOver(Connection connection)
{
    // A client that has gone needs no thread to be seen off.
    char byte;
    const ssize_t n = ::recv(connection.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        Drop(connection);
        return;
    }
    ++peers_[connection.peer].answering;
    threads_->enqueue([this, connection] { Answer(connection); });
}

// On an answering thread.
void CWaitingRoom::Answer(Connection connection)
{
    bool closing;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing = closing_;
    }
    Turn turn{this, &connection, false};
    turn_ = &turn;
    const bool keep = !closing && serve_(connection.fd, connection.requestsLeft);
    turn_ = nullptr;
    Note note{Note::Kind::Back, std::move(connection)};
    note.keep = keep;
    note.lasting = turn.lasting;
    Post(std::move(note));
}

}  // namespace zq
