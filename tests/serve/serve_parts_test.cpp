// The served station's parts in one process, where a whole station could
// not show a fault for certain: the event hub, and the server's board fed
// by hand.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "image/ImageSnapshot.h"
#include "serve/EventHub.h"
#include "serve/StationServer.h"

namespace zq {

namespace {

std::string Message(int i) { return "event: progress\ndata: {\"n\":" + std::to_string(i) + "}\n\n"; }

} // namespace

// A client that stops reading is dropped once it is a whole queue behind,
// told so at once, and costs the others nothing; its place is free again;
// at the end each stream still gets what was published, the summary last,
// and the end waits for them only.
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

// A station that ends as soon as its server listens (a signal during
// start-up) is not held up by it: the server goes, however far its
// listener had got.
TEST(StationServer, OneDestroyedAsSoonAsItListensGoesAtOnce)
{
    const auto done = std::make_shared<std::promise<void>>();
    std::thread([done] {
        ImageSnapshot image;
        for (int i = 0; i < 50; ++i) {
            ServeSetup setup;
            setup.image = &image;
            SessionEvents view;
            CStationServer server(setup, view);
            CStationSession session(image, server.Events(), nullptr);
            std::string why;
            if (!server.Listen(session, why))
                ADD_FAILURE() << why;
        }
        done->set_value();
    }).detach();
    if (done->get_future().wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "a server destroyed as it began to listen was still waiting for its listener after 20 s";
        std::_Exit(1); // the thread cannot be joined
    }
}

// The tiles come in the order of the list the station reads, as on the
// windows' board, not in the order the ports first spoke: an adapter
// plugged in later takes its place in the list.
TEST(StationServer, TilesFollowTheListTheStationReads)
{
    ImageSnapshot image;
    ServeSetup setup;
    setup.image = &image;
    SessionEvents view;
    CStationServer server(setup, view);
    CStationSession session(image, server.Events(), nullptr);
    std::string why;
    ASSERT_TRUE(server.Listen(session, why)) << why;
    std::vector<PortInfo> listed = {PortInfo{"/dev/ttyUSB1"}};
    StationOptions options;
    options.portSource = [&] { return listed; };
    server.Steer(options);

    const auto order = [&] {
        httplib::Client client("127.0.0.1", server.Port());
        const auto r = client.Get("/api/v1/station");
        std::vector<std::string> ports;
        EXPECT_TRUE(r) << httplib::to_string(r.error());
        const nlohmann::json status = r ? nlohmann::json::parse(r->body) : nlohmann::json::object();
        for (const auto& tile : status.value("ports", nlohmann::json::array()))
            ports.push_back(tile.at("port").get<std::string>());
        return ports;
    };
    ASSERT_EQ(options.portSource().size(), 1u);
    server.Events().OnPort(PortInfo{"/dev/ttyUSB1"}, PortPhase::Listening);
    EXPECT_EQ(order(), std::vector<std::string>({"/dev/ttyUSB1"}));
    listed = {PortInfo{"/dev/ttyUSB0"}, PortInfo{"/dev/ttyUSB1"}};
    server.Events().OnPort(PortInfo{"/dev/ttyUSB0"}, PortPhase::Listening);
    options.portSource();
    EXPECT_EQ(order(), std::vector<std::string>({"/dev/ttyUSB0", "/dev/ttyUSB1"}));

    // Adapters that come back under new names: a port that left the list
    // is forgotten once idle, one downloading only once its download ends.
    server.Events().OnFound("/dev/ttyUSB1", StationTotals());
    for (int i = 2; i < 40; ++i) {
        listed = {PortInfo{"/dev/ttyUSB" + std::to_string(i)}};
        options.portSource();
    }
    EXPECT_EQ(order(), std::vector<std::string>({"/dev/ttyUSB1", "/dev/ttyUSB39"}));
    DeviceEnding ending;
    ending.outcome.port = "/dev/ttyUSB1";
    ending.outcome.success = true;
    ending.record = "{}";
    server.Events().OnEnded(ending);
    options.portSource();
    EXPECT_EQ(order(), std::vector<std::string>({"/dev/ttyUSB39"}));
}

}  // namespace zq
