// The worker's host in every test: the image path and the ports it is given,
// the positions, stages and notices it gets, the bytes its link writes. With
// Record::CountsOnly it keeps counts alone, so that a flooding device or a
// long soak does not make the test itself grow. ZQ_TEST_TRACE=1 prints every
// byte the link moves.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "download/DownloadHost.h"

namespace zq {

// Counts what the tool writes and keeps its last bytes; can run a hook when
// the link closes (discovery closes the port before the download opens it).
class WriteWatch : public LinkObserver {
public:
    WriteWatch() : trace_(std::getenv("ZQ_TEST_TRACE") != nullptr) {}
    void OnOpen(const std::string& name, uint32_t baud, LinkStatus result) override
    {
        if (trace_)
            std::fprintf(stderr, "open %s at %u -> %d\n", name.c_str(), baud, result);
    }
    void OnWrite(const uint8_t* bytes, size_t count) override
    {
        Dump("T>D", bytes, count);
        std::lock_guard<std::mutex> lock(mutex_);
        total_ += count;
        tail_.insert(tail_.end(), bytes, bytes + count);
        if (tail_.size() > 512)
            tail_.erase(tail_.begin(), tail_.end() - 512);
    }
    void OnRead(const uint8_t* bytes, size_t count) override { Dump("D>T", bytes, count); }
    void OnClose() override
    {
        if (trace_)
            std::fprintf(stderr, "close\n");
        ++closes_;
        if (onClose)
            onClose(closes_);
    }
    uint64_t Total()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return total_;
    }
    std::vector<uint8_t> Tail()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return tail_;
    }
    // Called on the worker's thread with the number of closes so far.
    std::function<void(int)> onClose;

private:
    void Dump(const char* dir, const uint8_t* bytes, size_t count) const
    {
        if (!trace_)
            return;
        std::fprintf(stderr, "%s", dir);
        for (size_t i = 0; i < count; ++i)
            std::fprintf(stderr, " %02X", bytes[i]);
        std::fprintf(stderr, "\n");
    }

    const bool trace_;
    std::mutex mutex_;
    uint64_t total_ = 0;
    std::vector<uint8_t> tail_;
    int closes_ = 0;
};

class TestHost : public DownloadHostBase, public ProgressSink, public NoticeSink {
public:
    enum class Record { Everything, CountsOnly };

    explicit TestHost(std::string imagePath, Record record = Record::Everything)
        : everything_(record == Record::Everything)
    {
        imagePath_ = std::move(imagePath);
        link_.SetObserver(&watch);
    }
    ProgressSink& Progress() override { return *this; }
    NoticeSink& Notice() override { return *this; }
    void OnFailure(const DownloadFailure& f) override { failure = f; }
    void SetRange(uint32_t maximum) override
    {
        if (everything_)
            ranges.push_back(maximum);
    }
    void SetPos(uint32_t position) override
    {
        if (everything_)
            positions.push_back(position);
        lastPosition = position;
        ++positionCount;
        if (onPos)
            onPos(position);
    }
    void OnStage(const StageReport& report) override
    {
        if (everything_)
            stages.push_back(report);
    }
    void ShowNotice(const std::string& text) override
    {
        notices.push_back(text);
        fileOpenAtNotice = imageFile_.IsOpen();
    }
    void UsePorts(std::vector<std::string> names)
    {
        link_.SetPortSource([names] {
            std::vector<PortInfo> out;
            for (const auto& n : names)
                out.push_back({n, "", ""});
            return out;
        });
    }
    // Runs the download on this thread; the time it took in ms.
    long Run()
    {
        const auto t0 = std::chrono::steady_clock::now();
        DownloadThreadProc(this);
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - t0)
                                     .count());
    }
    // The one notice, or how many there were.
    std::string Notice1() const
    {
        return notices.size() == 1 ? notices[0] : "(" + std::to_string(notices.size()) + " notices)";
    }
    CImageFile& file() { return imageFile_; }
    CSerialLink& link() { return link_; }

    WriteWatch watch;
    std::atomic<bool>& cancel = cancel_;
    std::function<void(uint32_t)> onPos; // on the worker's thread
    std::vector<uint32_t> ranges, positions;
    std::vector<StageReport> stages;
    std::vector<std::string> notices;
    DownloadFailure failure;
    // For other threads watching the download's progress.
    std::atomic<uint32_t> lastPosition{0xFFFFFFFFu};
    std::atomic<uint64_t> positionCount{0};
    bool fileOpenAtNotice = false;

private:
    const bool everything_;
};

}  // namespace zq
