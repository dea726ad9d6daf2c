// A host for the worker in tests, and a device that plays a fixed script on
// a pty master: each step waits for the bytes the tool must send, then
// answers.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DownloadHost.h"
#include "PtyPair.h"
#include "TempDir.h"

// Set ZQ_TEST_TRACE=1 to see every byte a test's link moves.
class StderrTrace : public LinkObserver {
public:
    void OnOpen(const std::string& name, uint32_t baud, LinkStatus result) override
    {
        std::fprintf(stderr, "open %s at %u -> %d\n", name.c_str(), baud, result);
    }
    void OnClose() override { std::fprintf(stderr, "close\n"); }
    void OnWrite(const uint8_t* bytes, size_t count) override { Dump("T>D", bytes, count); }
    void OnRead(const uint8_t* bytes, size_t count) override { Dump("D>T", bytes, count); }

private:
    static void Dump(const char* dir, const uint8_t* bytes, size_t count)
    {
        std::fprintf(stderr, "%s", dir);
        for (size_t i = 0; i < count; ++i)
            std::fprintf(stderr, " %02X", bytes[i]);
        std::fprintf(stderr, "\n");
    }
};

class TestHost : public DownloadHost, public ProgressSink, public NoticeSink {
public:
    explicit TestHost(std::string imagePath) : path_(std::move(imagePath))
    {
        if (std::getenv("ZQ_TEST_TRACE"))
            link_.SetObserver(&trace_);
    }
    std::string ImagePath() override { return path_; }
    CImageFile& ImageFile() override { return file_; }
    CSerialLink& Link() override { return link_; }
    ProgressSink& Progress() override { return *this; }
    NoticeSink& Notice() override { return *this; }
    const std::atomic<bool>* CancelFlag() override { return &cancel; }
    void OnFailure(const DownloadFailure& f) override { failure = f; }
    void SetRange(uint32_t maximum) override { ranges.push_back(maximum); }
    void SetPos(uint32_t position) override
    {
        positions.push_back(position);
        lastPosition = position;
        ++positionCount;
    }
    void OnStage(const StageReport& report) override { stages.push_back(report); }
    void ShowNotice(const std::string& text) override
    {
        notices.push_back(text);
        fileOpenAtNotice = file_.IsOpen();
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

    std::vector<uint32_t> ranges, positions;
    std::vector<StageReport> stages;
    std::vector<std::string> notices;
    DownloadFailure failure;
    std::atomic<bool> cancel{false};
    // For other threads watching the download's progress.
    std::atomic<uint32_t> lastPosition{0xFFFFFFFFu};
    std::atomic<size_t> positionCount{0};
    bool fileOpenAtNotice = false;
    CSerialLink& link() { return link_; }
    CImageFile& file() { return file_; }

private:
    std::string path_;
    StderrTrace trace_;
    CImageFile file_;
    CSerialLink link_;
};

struct Step {
    std::vector<uint8_t> expect; // bytes the tool must send next
    std::vector<uint8_t> reply;  // then sent back
    int delayMs = 0;             // before the reply
};

// Beacons at 4800 until it hears 0xFE three times, then plays its steps.
class ScriptedDevice {
public:
    ScriptedDevice(PtyPair& pty, std::vector<Step> steps) : pty_(pty), steps_(std::move(steps))
    {
        thread_ = std::thread([this] { Run(); });
    }
    ~ScriptedDevice() { Join(); }
    void Join()
    {
        if (thread_.joinable())
            thread_.join();
    }
    // Everything the tool sent after discovery, in order.
    std::vector<uint8_t> received()
    {
        Join();
        return received_;
    }
    bool discovered() const { return discovered_; }
    bool wrongSpeed() const { return wrongSpeed_; }
    // Index of the first step whose expected bytes did not come, or -1.
    int stalledAt() const { return stalledAt_; }
    // The device hangs up once the given step's bytes came, without answering.
    int hangUpAt = -1;

private:
    void Run()
    {
        // Beacons stop at the first reply: one more would reach the tool
        // after it has reopened the port at 115200 and spoil the SYN echo.
        int replies = 0;
        for (int i = 0; i < 400 && replies < 3; ++i) {
            if (replies == 0)
                pty_.send({0xFD});
            for (uint8_t b : pty_.receive(1, 10)) {
                if (std::getenv("ZQ_TEST_TRACE"))
                    std::fprintf(stderr, "device heard %02X\n", b);
                replies = b == 0xFE ? replies + 1 : 0;
            }
        }
        discovered_ = replies == 3;
        if (!discovered_)
            return;
        for (size_t s = 0; s < steps_.size(); ++s) {
            const Step& step = steps_[s];
            const auto got = pty_.receive(step.expect.size(), 3000);
            received_.insert(received_.end(), got.begin(), got.end());
            if (static_cast<int>(s) == hangUpAt) {
                pty_.closeSlave();
                pty_.closeMaster();
                return;
            }
            if (!got.empty() && pty_.speed() != B115200)
                wrongSpeed_ = true;
            if (got != step.expect) {
                stalledAt_ = static_cast<int>(s);
                return;
            }
            if (step.delayMs)
                std::this_thread::sleep_for(std::chrono::milliseconds(step.delayMs));
            if (!step.reply.empty())
                pty_.send(step.reply);
        }
        // Anything more the tool sends after the script is a fault too.
        const auto extra = pty_.receive(1, 300);
        received_.insert(received_.end(), extra.begin(), extra.end());
    }

    PtyPair& pty_;
    std::vector<Step> steps_;
    std::thread thread_;
    std::vector<uint8_t> received_;
    std::atomic<bool> discovered_{false};
    bool wrongSpeed_ = false;
    int stalledAt_ = -1;
};
