// --trace: every byte that crosses the link, both ways, and every open and
// close, with the milliseconds since the tool started.
#pragma once

#include <chrono>
#include <cstdio>
#include <vector>

#include "SerialLink.h"

class CTrace : public LinkObserver {
public:
    CTrace(std::FILE* out, const CSerialLink& link);
    void OnOpen(const std::string& name, uint32_t baud, LinkStatus result) override;
    void OnClose() override;
    void OnWrite(const uint8_t* bytes, size_t count) override;
    void OnRead(const uint8_t* bytes, size_t count) override;

private:
    void Bytes(const char* direction, const uint8_t* bytes, size_t count);
    std::string Stamp() const;

    std::FILE* out_;
    const CSerialLink& link_;
    std::chrono::steady_clock::time_point start_;
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
