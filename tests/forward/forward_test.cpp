// The forwarder against a loopback receiver, in this process: its count of
// what waits, its order, and its delivered state across a restart. The
// command line's forwarding (outages, a killed program) is in tests/cli.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "forward/Forwarder.h"
#include "tests/TempDir.h"
#include "tests/cli/Receiver.h"
#include "tests/forward/ForwardKit.h"

namespace zq {

namespace {

using Clock = std::chrono::steady_clock;

void WriteText(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Records r<from> to r<to - 1> appended to the log, their ids to ids.
void AppendRecords(const std::string& logPath, size_t from, size_t to, std::vector<std::string>& ids)
{
    std::ofstream log(logPath, std::ios::binary | std::ios::app);
    for (size_t i = from; i < to; ++i) {
        ids.push_back("r" + std::to_string(i));
        log << nlohmann::json{{"id", ids.back()}, {"result", "success"}}.dump() << "\n";
    }
}

} // namespace

// The station stops while the receiver refuses: what was delivered stays
// delivered, and after the restart the rest, with what was appended
// meanwhile, goes once each and in the log's order. No record is sent
// twice, and the count of delivered records carries across.
TEST(Forwarding, WhatWaitedAtAStopGoesOnceAndInOrderAfterTheRestart)
{
    TempDir scratch(SyncFreeFolder());
    const std::string logPath = scratch.file("records.jsonl");
    std::vector<std::string> ids;
    AppendRecords(logPath, 0, 20, ids);
    CReceiver receiver;
    std::vector<std::string> before, told;
    receiver.accepted = [&](const std::string& key) {
        before.push_back(key);
        if (before.size() == 5)
            receiver.status = 503; // from the next request on
    };
    {
        ForwardConfig config;
        config.url = receiver.Url();
        CForwarder forwarder(config, [&](const std::string& text) { told.push_back(text); });
        std::string error;
        ASSERT_TRUE(forwarder.Start(logPath, error)) << error;
        const auto end = Clock::now() + std::chrono::seconds(10);
        while (receiver.Requests() < 6 && Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(forwarder.Drain(0.2), 15u);
        EXPECT_EQ(forwarder.Delivered(), 5u);
    }
    receiver.accepted = nullptr;
    EXPECT_EQ(before, std::vector<std::string>(ids.begin(), ids.begin() + 5));

    AppendRecords(logPath, 20, 25, ids);
    receiver.status = 201;
    size_t atStart = 0;
    const std::vector<std::string> after = Forward(receiver, logPath, atStart, told);
    EXPECT_EQ(atStart, 25u) << "five delivered before the stop and twenty waiting";
    EXPECT_EQ(after, std::vector<std::string>(ids.begin() + 5, ids.end()));
    EXPECT_EQ(receiver.Taken(), 25u) << "a record was delivered twice";
    EXPECT_EQ(receiver.Problems(), std::vector<std::string>());
}

// A backlog far longer than the forwarder holds at once: counted whole at
// the start, a line that is no record and a last one not yet ended left
// out, then sent whole and in order, with records a station appends
// meanwhile queued behind it.
TEST(Forwarding, ALongBacklogIsCountedAtOnceAndDeliveredWholeAndInOrder)
{
    TempDir scratch(SyncFreeFolder());
    const std::string logPath = scratch.file("records.jsonl");
    std::vector<std::string> ids;
    const auto line = [&](size_t i) {
        ids.push_back("unit-" + std::to_string(i));
        return nlohmann::json{{"id", ids.back()}, {"result", "success"}, {"pad", std::string(300, 'x')}}.dump();
    };
    {
        std::ofstream log(logPath, std::ios::binary);
        for (size_t i = 0; i < 2000; ++i)
            log << line(i) << (i == 700 ? "\nno record\n" : "\n");
        log << "{\"id\":\"half";
    }
    const size_t backlog = ids.size();
    CReceiver receiver;
    size_t pending = 0;
    std::vector<std::string> told;
    const std::vector<std::string> taken = Forward(receiver, logPath, pending, told, [&](CForwarder& forwarder) {
        const auto end = Clock::now() + std::chrono::seconds(10);
        while (receiver.Unique() < 100 && Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::ofstream log(logPath, std::ios::binary | std::ios::app);
        log << "\"}\n";
        ids.push_back("half");
        for (size_t i = 2000; i < 2200; ++i)
            log << line(i) << "\n";
        log.close();
        forwarder.Notify();
    });
    EXPECT_EQ(pending, backlog);
    EXPECT_EQ(taken, ids);
    EXPECT_EQ(told.size(), 1u);
    EXPECT_EQ(receiver.Problems(), std::vector<std::string>());
}

// The delivered state is a file a person may edit: values of the wrong
// type are no state at all, and every record goes again.
TEST(Forwarding, AStateFileOfTheWrongShapeSendsEverythingAgain)
{
    TempDir scratch(SyncFreeFolder());
    const std::string logPath = scratch.file("records.jsonl");
    WriteText(logPath, R"({"id":"a","result":"success"})" "\n" R"({"id":"b","result":"fail"})" "\n");
    for (const char* state : {R"({"offset":"30","last_id":"a","delivered":1})",
                              R"({"offset":30,"last_id":7,"delivered":-1})", "[1,2]"}) {
        SCOPED_TRACE(state);
        WriteText(CForwarder::StatePath(logPath), state);
        CReceiver receiver;
        size_t pending = 0;
        std::vector<std::string> told;
        EXPECT_EQ(Forward(receiver, logPath, pending, told), (std::vector<std::string>{"a", "b"}));
        EXPECT_EQ(pending, 2u);
    }
}

}  // namespace zq
