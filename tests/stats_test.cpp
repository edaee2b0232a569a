// The client's counters against a real exchange: what crossed the wire, what was dispatched,
// connections, pending requests, the ping round trip; and reading them while traffic flows.
#include <atomic>
#include <boost/json/parse.hpp>
#include <thread>

#include "client_fixture.h"

using namespace quarvo_test;

namespace {

class Stats : public ClientTest {};

TEST_F(Stats, CountWhatCrossedTheWire) {
    SetUpClient();
    EXPECT_EQ(client->stats().connections, 0u);
    EXPECT_FALSE(client->stats().last_ping_round_trip.has_value());
    connect();
    const std::string a = R"({"type": "log_to_console", "content": "a"})";
    const std::string b = R"({"type": "no_handler_for_this"})";
    server->send_text(a);
    server->send_text(b);
    server->send_text(a);
    ASSERT_TRUE(wait_until([&] { return host.log.named("log_to_console").size() >= 3; }));
    client->send_message(JsonObject{{"type", "x"}});
    client->send_and_wait_response(
        JsonObject{{"type", "ask"}}, [](JsonObject) {}, "answer");
    ASSERT_TRUE(server->wait_for_frames(2));
    ASSERT_TRUE(wait_until([&] { return client->stats().frames_out == 2; }));

    ClientStats s = client->stats();
    EXPECT_EQ(s.frames_in, 3u);
    EXPECT_EQ(s.bytes_in, 2 * a.size() + b.size());
    EXPECT_EQ(s.bytes_out, server->frames()[0].size() + server->frames()[1].size());
    EXPECT_EQ(s.messages_dispatched, 2u) << "a type without a handler is not dispatched";
    EXPECT_EQ(s.connections, 1u);
    EXPECT_EQ(s.reconnections, 0u);
    EXPECT_EQ(s.pending_requests, 1u);

    // The answer resolves the request; a ping's pong gives the round trip.
    const std::string id(
        boost::json::parse(server->frames()[1]).as_object()["request_id"].as_string());
    server->send_text(R"({"type": "answer", "request_id": ")" + id + "\"}");
    ASSERT_TRUE(wait_until([&] { return client->stats().pending_requests == 0; }));
    ASSERT_TRUE(server->wait_for_pings(1));
    ASSERT_TRUE(wait_until([&] { return client->stats().last_ping_round_trip.has_value(); }));
    EXPECT_LT(*client->stats().last_ping_round_trip, std::chrono::seconds(5));

    server->drop();
    ASSERT_TRUE(server->wait_for_connections(2));
    ASSERT_TRUE(wait_until([&] { return client->stats().connections == 2; }));
    EXPECT_EQ(client->stats().reconnections, 1u);
}

// Under ThreadSanitizer this is the check that the counters, and the traffic log switched on
// and off and read, are safe anywhere while the network thread records.
TEST_F(Stats, ReadFromAnotherThreadWhileTrafficFlows) {
    SetUpClient();
    connect();
    std::atomic<bool> done{false};
    uint64_t last_seen = 0;
    bool monotonic = true;
    bool log_in_order = true;
    std::thread reader([&] {
        while (!done.load()) {
            const ClientStats s = client->stats();
            monotonic = monotonic && s.frames_in >= last_seen;
            last_seen = s.frames_in;
            client->set_traffic_log_enabled(!client->traffic_log_enabled());
            const TrafficSnapshot log = client->traffic_log();
            for (size_t i = 1; i < log.entries.size(); ++i)
                log_in_order = log_in_order &&
                               log.entries[i]->sequence == log.entries[i - 1]->sequence + 1;
        }
    });
    for (int i = 0; i < 500; ++i)
        server->send_text(R"({"type": "log_to_console", "content": "x"})");
    ASSERT_TRUE(wait_until([&] { return host.log.named("log_to_console").size() >= 500; }));
    done = true;
    reader.join();
    EXPECT_TRUE(monotonic);
    EXPECT_TRUE(log_in_order);
    EXPECT_EQ(client->stats().frames_in, 500u);
    EXPECT_EQ(client->stats().gui_queue_depth, 0u);
}

}  // namespace
