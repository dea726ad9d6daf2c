// The event streams' hub on its own: a client that stops reading is dropped
// once it is a whole queue behind, told so at once, and costs the others
// nothing; its place is free again; at the end each stream still gets what
// was published, the summary last, and the end waits for them only.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "serve/EventHub.h"

namespace zq {

namespace {

std::string Message(int i) { return "event: progress\ndata: {\"n\":" + std::to_string(i) + "}\n\n"; }

} // namespace

TEST(EventHub, AStalledClientIsDroppedAndTheOthersMissNothingToTheEnd)
{
    using namespace std::chrono;
    CEventHub hub(2, 8);
    auto reader = hub.Join(), stalled = hub.Join();
    ASSERT_TRUE(reader && stalled);
    EXPECT_FALSE(hub.Join()) << "a third stream beyond two";

    std::string got, out, expected;
    for (int i = 0; i < 20; ++i) {
        hub.Publish("progress", "{\"n\":" + std::to_string(i) + "}");
        expected += Message(i);
        ASSERT_TRUE(hub.Next(*reader, 0, out)) << i;
        got += out;
    }
    EXPECT_EQ(got, expected);
    auto from = steady_clock::now();
    EXPECT_FALSE(hub.Next(*stalled, 5000, out)) << "a stream 12 events behind a queue of 8 was kept";
    EXPECT_LT(steady_clock::now() - from, milliseconds(1000)) << "the dropped stream was not told at once";
    hub.Leave(stalled);
    auto later = hub.Join();
    ASSERT_TRUE(later) << "the dropped stream's place was not freed";

    hub.Publish("summary", "{}");
    from = steady_clock::now();
    std::thread ending([&] { hub.End(5000); });
    for (auto* client : {&reader, &later}) {
        ASSERT_TRUE(hub.Next(**client, 5000, out));
        EXPECT_EQ(out, "event: summary\ndata: {}\n\n");
        EXPECT_FALSE(hub.Next(**client, 5000, out)) << "a stream went on past the end";
        hub.Leave(*client);
    }
    ending.join();
    EXPECT_LT(steady_clock::now() - from, milliseconds(2500)) << "the end waited for streams that had left";
}

}  // namespace zq
