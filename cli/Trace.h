// --trace: every byte that crosses the link, both ways, and every open and
// close, with the time since the tool started. Commands, answers and the
// beacons are named, a data block is one line; other bytes are in hex.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "download/DownloadHost.h"
#include "protocol/Protocol.h"
#include "link/SerialLink.h"

namespace zq {

// The worker's stage reports say what the bytes are: a report follows what
// the tool wrote for it (the header word, then "an attempt at the header
// word"), so the tool's single bytes wait for the next event to be named.
// The trace watches the reports on their way to next, and keeps nothing of
// the exchange but the latest one.
class CTrace : public LinkObserver, public ProgressSink {
public:
    CTrace(std::FILE* out, const CSerialLink& link, ProgressSink* next = nullptr);
    ~CTrace() override;
    void OnOpen(const std::string& name, uint32_t baud, LinkStatus result) override;
    void OnClose() override;
    void OnWrite(const uint8_t* bytes, size_t count) override;
    void OnRead(const uint8_t* bytes, size_t count) override;

    void SetRange(uint32_t maximum) override;
    void SetPos(uint32_t position) override;
    void OnStage(const StageReport& report) override;
    void OnAdapter(const PortInfo& port, int latencyMs) override;

    // Writes the bytes still waiting for a name: before the notice, which
    // no report follows.
    void Flush() { Release(held_.size()); }

private:
    using Clock = std::chrono::steady_clock;
    struct HeldByte {
        uint8_t value;
        Clock::time_point at;
    };

    void Release(size_t count);
    void ReleaseBlock();
    void Line(Clock::time_point at, const char* direction, const std::string& what);
    static std::string Hex(const uint8_t* bytes, size_t count);
    static std::string Named(const uint8_t* bytes, size_t count);

    std::FILE* out_;
    const CSerialLink& link_;
    ProgressSink* next_;
    Clock::time_point start_;

    StageReport stage_;             // the worker's latest report
    bool wroteSinceReport_ = false;
    // The tool's single bytes since the last event: a command, a word, an
    // answer, told apart once the next event comes.
    std::vector<HeldByte> held_;
    // A block waits for the checksum byte written just after it.
    bool blockHeld_ = false;
    Clock::time_point blockAt_;
};

// Hands every event to several observers in turn.
class CObserverTee : public LinkObserver {
public:
    void Add(LinkObserver* observer) { observers_.push_back(observer); }
    void OnOpen(const std::string& name, uint32_t baud, LinkStatus result) override
    {
        for (LinkObserver* o : observers_)
            o->OnOpen(name, baud, result);
    }
    void OnClose() override
    {
        for (LinkObserver* o : observers_)
            o->OnClose();
    }
    void OnWrite(const uint8_t* bytes, size_t count) override
    {
        for (LinkObserver* o : observers_)
            o->OnWrite(bytes, count);
    }
    void OnRead(const uint8_t* bytes, size_t count) override
    {
        for (LinkObserver* o : observers_)
            o->OnRead(bytes, count);
    }

private:
    std::vector<LinkObserver*> observers_;
};

}  // namespace zq
