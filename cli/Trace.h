// --trace: every byte that crosses the link, both ways, and every open and
// close, with the time since the tool started. Commands, answers and the
// beacons are named, a data block is one line; other bytes are in hex.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "protocol/Protocol.h"
#include "link/SerialLink.h"

namespace zq {

class CTrace : public LinkObserver {
public:
    CTrace(std::FILE* out, const CSerialLink& link);
    ~CTrace() override;
    void OnOpen(const std::string& name, uint32_t baud, LinkStatus result) override;
    void OnClose() override;
    void OnWrite(const uint8_t* bytes, size_t count) override;
    void OnRead(const uint8_t* bytes, size_t count) override;

private:
    using Clock = std::chrono::steady_clock;

    void WriteOne(uint8_t b, Clock::time_point now);
    void Hold(uint8_t b, Clock::time_point now);
    void Release();
    void Line(Clock::time_point at, const char* direction, const std::string& what);
    static std::string Hex(const uint8_t* bytes, size_t count);
    static std::string Named(const uint8_t* bytes, size_t count);

    std::FILE* out_;
    const CSerialLink& link_;
    Clock::time_point start_;

    // The tool writes a command byte by byte, and a word's two bytes one
    // after the other: they are held until they make a whole.
    uint8_t held_[sizeof zq::Token::b] = {};
    size_t heldCount_ = 0;
    Clock::time_point heldAt_;
    // A block waits for the checksum byte written just after it.
    bool blockHeld_ = false;
    Clock::time_point blockAt_;
    uint32_t block_ = 0;        // counted by the device's ACKs
    bool blockAnswerDue_ = false;
    bool blockAgain_ = false;   // the last block was refused: it comes again
    // Between DBW and the count's ACK the tool's single bytes are the two
    // words and their ACK or NAK, whatever their values look like.
    int word_ = 0;              // 0 none, 1 header word, 2 block count
    bool wordSent_ = false;
    bool echoHeard_ = false;
    // The CLR phase's progress bytes are the device's, whatever their values.
    bool clearing_ = false;
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
