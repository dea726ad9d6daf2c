// Store and forward: every record of a log is POSTed, alone and in order, to
// a receiver, on a thread of its own while the station goes on flashing.
// The log stays the source of truth; what has been delivered is kept in
// LOG.sent, so a restart sends only the rest.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zq {

class CHttpClient;
struct HttpAnswer;

// Plain settings, so that a job file can fill them as well as the options.
struct ForwardConfig {
    std::string url;       // http:// or https://
    std::string tokenFile; // the Bearer token, first line; empty: none
    std::string caFile;    // a private CA besides the system's (Linux)
    double firstRetrySeconds = 0.5;
    double lastRetrySeconds = 30;
    int requestTimeoutMs = 10000;
};

class CForwarder {
public:
    // Messages for a person (never the token); may come from the thread.
    using Sink = std::function<void(const std::string&)>;
    CForwarder(const ForwardConfig& config, Sink sink);
    ~CForwarder();
    CForwarder(const CForwarder&) = delete;
    CForwarder& operator=(const CForwarder&) = delete;

    // Reads the token and the delivered state, then starts sending what waits
    // in the log at logPath. False, with the reason, when forwarding cannot
    // begin (no token, an unreadable CA); nothing is then sent.
    bool Start(const std::string& logPath, std::string& error);
    // A record was appended to the log.
    void Notify();
    // Tries for up to seconds to deliver what waits, then stops the thread;
    // untilIdle: the time counts from the last delivery instead, so a long
    // backlog goes out as long as the receiver takes it. Returns Pending().
    size_t Drain(double seconds, bool untilIdle = false);
    // Complete records in the log not yet delivered, as of the last look.
    size_t Pending() const;
    size_t Delivered() const;

    // The state file beside a log.
    static std::string StatePath(const std::string& logPath) { return logPath + ".sent"; }

private:
    struct Item {
        std::string body, key;
        uint64_t end; // offset just past the line's newline
    };
    void Run();
    void Scan();
    void HoldCounted(size_t room, std::vector<Item>& found, size_t& taken);
    bool SaveState(uint64_t offset, const std::string& key, size_t delivered);
    void Tell(const std::string& what, const std::string& text);
    void TellTrouble(const HttpAnswer& answer);

    ForwardConfig config_;
    Sink sink_;
    std::string logPath_;
    std::string authorization_; // the whole header line: never printed
    std::unique_ptr<CHttpClient> http_;

    mutable std::mutex mutex_;
    std::condition_variable wake_, drained_;
    // A backlog of a month is counted, not held: at most kHeld records wait
    // in memory, the rest are read again as those go out.
    static constexpr size_t kHeld = 64;
    std::deque<Item> queue_;
    size_t unheld_ = 0;        // records between heldOffset_ and countOffset_
    uint64_t sentOffset_ = 0;  // everything before it was delivered
    // Touched by Start and then the thread only.
    uint64_t heldOffset_ = 0;  // everything before it is in queue_ or delivered
    uint64_t countOffset_ = 0; // everything before it has been counted (and a line that is no record told)
    size_t delivered_ = 0;
    bool notified_ = false;
    bool stopping_ = false;
    bool draining_ = false;
    bool untilIdle_ = false;
    bool idle_ = false; // the thread has looked at the log and has nothing to send
    std::chrono::steady_clock::time_point deadline_, lastDelivery_;
    std::string told_; // the last trouble told, so it is told once
    std::thread thread_;
};

// What differs by OS (Forwarder_posix.cpp, Forwarder_win32.cpp).
// A warning when others than the owner can read the token file; else empty.
std::string TokenFileWarning(const std::string& path);

}  // namespace zq
