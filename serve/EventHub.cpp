#include "serve/EventHub.h"

#include <algorithm>
#include <chrono>

namespace zq {

std::shared_ptr<CEventHub::Client> CEventHub::Join()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_ || clients_.size() >= maxClients_)
        return nullptr;
    clients_.push_back(std::make_shared<Client>());
    return clients_.back();
}

void CEventHub::Leave(const std::shared_ptr<Client>& client)
{
    std::lock_guard<std::mutex> lock(mutex_);
    clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
    left_.notify_all();
}

void CEventHub::Publish(const std::string& kind, const std::string& json)
{
    const std::string message = "event: " + kind + "\ndata: " + json + "\n\n";
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = clients_.begin(); it != clients_.end();) {
        Client& client = **it;
        if (client.queue.size() >= queueLength_) {
            // Behind by a whole queue: it would only ever fall further.
            client.dropped = true;
            client.wake.notify_all();
            it = clients_.erase(it);
            continue;
        }
        client.queue.push_back(message);
        client.wake.notify_all();
        ++it;
    }
}

bool CEventHub::Next(Client& client, int ms, std::string& out)
{
    std::unique_lock<std::mutex> lock(mutex_);
    client.wake.wait_for(lock, std::chrono::milliseconds(ms),
                         [&] { return ended_ || client.dropped || !client.queue.empty(); });
    // What was published before the end still goes: the summary is last.
    if (client.dropped || (ended_ && client.queue.empty()))
        return false;
    out.clear();
    while (!client.queue.empty()) {
        out += client.queue.front();
        client.queue.pop_front();
    }
    return true;
}

void CEventHub::End(int ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    ended_ = true;
    for (auto& client : clients_)
        client->wake.notify_all();
    left_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return clients_.empty(); });
}

}  // namespace zq
