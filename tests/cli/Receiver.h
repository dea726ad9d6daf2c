// A loopback receiver of forwarded records, as a line's server would be:
// it keeps each record once by its Idempotency-Key and checks what every
// POST carries. In the tests' process (cli_test) or as a program of its own
// for the Windows build under wine (zq-receiver).
#pragma once

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace zq {

class CReceiver {
public:
    explicit CReceiver(int port = 0) { Listen(port); }
    ~CReceiver() { Stop(); }

    int Port() const { return port_; }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/units"; }

    // An outage: nothing listens until Restart(), which takes the same port.
    void Stop()
    {
        if (!server_)
            return;
        server_->stop();
        thread_.join();
        server_.reset();
    }
    void Restart() { Listen(port_); }

    std::atomic<int> status{201};   // the answer to a well-formed POST
    std::atomic<int> holdMs{0};     // taken, then the answer waits this long
    // The Bearer token wanted from now on; empty: none.
    void SetToken(const std::string& token) { std::lock_guard<std::mutex> l(m_); token_ = token; }
    std::function<void(const std::string&)> accepted; // each new key

    size_t Requests() const { std::lock_guard<std::mutex> l(m_); return requests_; }
    size_t Taken() const { std::lock_guard<std::mutex> l(m_); return taken_; }
    size_t Unique() const { std::lock_guard<std::mutex> l(m_); return ids_.size(); }
    std::set<std::string> Ids() const { std::lock_guard<std::mutex> l(m_); return ids_; }
    // What was wrong with any request; empty when all were right.
    std::vector<std::string> Problems() const { std::lock_guard<std::mutex> l(m_); return problems_; }

private:
    void Listen(int port)
    {
        server_ = std::make_unique<httplib::Server>();
        server_->Post("/units", [this](const httplib::Request& q, httplib::Response& a) { Take(q, a); });
        // The port was just let go of: give the system a moment.
        int bound = -1;
        for (int i = 0; i < 50 && bound <= 0; ++i) {
            if (i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            bound = port ? (server_->bind_to_port("127.0.0.1", port) ? port : -1)
                         : server_->bind_to_any_port("127.0.0.1");
        }
        if (bound <= 0)
            throw std::runtime_error("the receiver could not listen");
        port_ = bound;
        thread_ = std::thread([this] { server_->listen_after_bind(); });
        while (!server_->is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    void Take(const httplib::Request& q, httplib::Response& a)
    {
        const std::string key = q.get_header_value("Idempotency-Key");
        const nlohmann::json body = nlohmann::json::parse(q.body, nullptr, false);
        std::unique_lock<std::mutex> l(m_);
        ++requests_;
        const auto problem = [&](const std::string& what) { problems_.push_back(what + ": " + q.body); };
        if (q.get_header_value("Content-Type") != "application/json")
            problem("Content-Type " + q.get_header_value("Content-Type"));
        if (body.is_discarded() || !body.is_object() || body.value("id", "") != key || key.empty())
            problem("Idempotency-Key " + key + " is not the body's id");
        if (!token_.empty() && q.get_header_value("Authorization") != "Bearer " + token_) {
            a.status = 401;
            return;
        }
        a.status = status;
        if (a.status / 100 != 2)
            return;
        ++taken_;
        if (ids_.insert(key).second && accepted)
            accepted(key);
        l.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(holdMs.load()));
    }

    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    std::atomic<int> port_{0}; // read by the tests while a Restart() takes it again
    mutable std::mutex m_;
    size_t requests_ = 0, taken_ = 0;
    std::set<std::string> ids_;
    std::string token_;
    std::vector<std::string> problems_;
};

}  // namespace zq
