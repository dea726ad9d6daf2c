// The event stream's clients, each with a queue of its own: the station's
// threads only ever append to a queue, and a client that stops reading is
// dropped once its queue is full, so no client can hold up a download.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zq {

class CEventHub {
public:
    struct Client;

    CEventHub(size_t maxClients, size_t queueLength) : maxClients_(maxClients), queueLength_(queueLength) {}

    // Null when maxClients are streaming already.
    std::shared_ptr<Client> Join();
    void Leave(const std::shared_ptr<Client>& client);
    // On any thread: "event: kind" and "data: json" to every client.
    void Publish(const std::string& kind, const std::string& json);
    // Waits up to ms for what client is to be sent; empty after a quiet
    // while. false once the client was dropped, or once the hub ended and
    // the client has had everything.
    bool Next(Client& client, int ms, std::string& out);
    // Every stream ends once it has sent what was published (the summary
    // last); waits up to ms for the streams to finish, since a client that
    // stopped reading may never take its queue.
    void End(int ms);

private:
    const size_t maxClients_;
    const size_t queueLength_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Client>> clients_;
    bool ended_ = false;
    std::condition_variable left_; // a client left
};

struct CEventHub::Client {
    std::deque<std::string> queue;
    std::condition_variable wake;
    bool dropped = false;
};

}  // namespace zq
