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

#include "protocol/Protocol.h"
#include "tests/PtyPair.h"
#include "tests/TempDir.h"
#include "tests/TestHost.h"

namespace zq {

struct Step {
    std::vector<uint8_t> expect; // bytes the tool must send next
    std::vector<uint8_t> reply;  // then sent back
    int delayMs = 0;             // before the reply
};

using Bytes = std::vector<uint8_t>;
inline const Bytes SYN = TokenBytes(kSyn), DBW = TokenBytes(kDbw), RDY = TokenBytes(kRdy);
inline const Bytes CLR = TokenBytes(kClr), END = TokenBytes(kEnd);

// Block k of an image as the tool sends it: its 128 bytes, then their XOR.
inline Bytes BlockWithSum(const Bytes& image, uint32_t k)
{
    Bytes b(image.begin() + 65536 + 128 * k, image.begin() + 65536 + 128 * (k + 1));
    uint8_t sum = 0;
    for (uint8_t v : b)
        sum = static_cast<uint8_t>(sum ^ v);
    b.push_back(sum);
    return b;
}

// A well-behaved device's steps up to and including RDY after the CLR
// phase, for header word n and x blocks; clrReply answers CLR (progress
// bytes, then ACK).
inline std::vector<Step> Opening(uint16_t n, uint16_t x, Bytes clrReply = {ACK})
{
    return {{SYN, SYN},
            {DBW, RDY},
            {{uint8_t(n), uint8_t(n >> 8)}, {uint8_t(n), uint8_t(n >> 8)}},
            {{ACK}, {}},
            {{uint8_t(x), uint8_t(x >> 8)}, {uint8_t(x), uint8_t(x >> 8)}},
            {{ACK}, {}},
            {CLR, clrReply},
            {END, RDY}};
}

// The device's side of discovery: beacons at 4800 until it hears 0xFE three
// times in a row. False when the tool never answered so.
inline bool AnswerDiscovery(PtyPair& pty)
{
    // Beacons stop at the first reply: one more would reach the tool after
    // it has reopened the port at 115200 and spoil the SYN echo.
    int replies = 0;
    for (int i = 0; i < 400 && replies < 3; ++i) {
        if (replies == 0)
            pty.send({0xFD});
        for (uint8_t b : pty.receive(1, 10)) {
            if (std::getenv("ZQ_TEST_TRACE"))
                std::fprintf(stderr, "device heard %02X\n", b);
            replies = b == 0xFE ? replies + 1 : 0;
        }
    }
    return replies == 3;
}

// Answers discovery, then plays its steps.
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
        discovered_ = AnswerDiscovery(pty_);
        if (!discovered_)
            return;
        for (size_t s = 0; s < steps_.size(); ++s) {
            const Step& step = steps_[s];
            const auto got = pty_.receive(step.expect.size(), 3000);
            received_.insert(received_.end(), got.begin(), got.end());
            if (static_cast<int>(s) == hangUpAt) {
                pty_.closeMaster(); // our slave stays: the number is not given to another pty
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

}  // namespace zq
