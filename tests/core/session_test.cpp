// The protocol core on its own against the loopback test server, with a plain thread as its GUI
// thread: the connection's life (frames both ways, keep-alive, closes, the back-off), flow
// control holding the reader for a stuck GUI thread, and request time-outs. These run on every
// platform the core is built for.
#include <future>
#include <map>

#include "core_fixture.h"
#include "test_server.h"

using namespace quarvo_core_test;
using quarvo_test::ClosedPort;
using quarvo_test::TestServer;

namespace {

class Core : public ::testing::Test {
  protected:
    void start(gui::ClientOptions options = {}, uint16_t port = 0) {
        session = make_session(seen, gui_thread, port ? port : server.port(), options);
        session->start();
    }
    // The session goes before its GUI thread, and not on it.
    void TearDown() override {
        if (!session) return;
        session->stop();
        session->detach_host();
        EXPECT_TRUE(gui_thread->drain());
        session.reset();
    }
    TestServer server;
    std::shared_ptr<Seen> seen = std::make_shared<Seen>();
    std::shared_ptr<ThreadGui> gui_thread = std::make_shared<ThreadGui>();
    std::shared_ptr<gui::detail::Session> session;
};

// Catches a connection that opens but loses frames in either direction or answers no ping.
TEST_F(Core, FramesBothWaysAndTheKeepAlive) {
    gui::ClientOptions options;
    options.ping_interval = std::chrono::seconds(100);  // 1 s at the tests' time scale
    server.set_ping_patience(800ms);                    // pings a client silent for 400 ms
    start(options);
    ASSERT_TRUE(eventually([&] { return session->is_connected(); }));
    ASSERT_TRUE(server.wait_for_connections(1));  // the server acts on it only from then on
    for (int i = 0; i < 20; ++i)
        server.send_text(R"({"type": "stdout", "n": )" + std::to_string(i) + "}");
    for (int i = 0; i < 20; ++i) session->send(JsonObject{{"type", "ping_me"}, {"n", i}});
    ASSERT_TRUE(eventually([&] { return seen->count_messages() == 20; }));
    ASSERT_TRUE(server.wait_for_frames(20));
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(server.frames()[size_t(i)],
                  R"({"type": "ping_me", "n": )" + std::to_string(i) + "}");
    EXPECT_TRUE(server.wait_for_pongs(1)) << "the client answers the server's pings";
    EXPECT_TRUE(server.wait_for_pings(1)) << "and sends its own";
    EXPECT_TRUE(eventually([&] { return session->stats().last_ping_round_trip.has_value(); }));
}

struct CloseCase {
    const char* name;
    bool close_frame;
    std::optional<int> code;  // the event's close code
};

void PrintTo(const CloseCase& c, std::ostream* os) {
    *os << c.name;
}

class Closes : public Core, public ::testing::WithParamInterface<CloseCase> {};

// Catches a close the host never hears of, or one after which the client stays away.
TEST_P(Closes, AreReportedAndFollowedByAReconnection) {
    start();
    ASSERT_TRUE(server.wait_for_connections(1));
    ASSERT_TRUE(eventually([&] { return session->is_connected(); }));
    if (GetParam().close_frame)
        server.close(1000, "bye");
    else
        server.drop();
    ASSERT_TRUE(server.wait_for_connections(2)) << "reconnected";
    ASSERT_TRUE(eventually([&] { return seen->count(ConnectionState::disconnected) >= 1; }));
    EXPECT_EQ(seen->events_of(ConnectionState::disconnected)[0].close_code, GetParam().code);
    EXPECT_TRUE(eventually([&] { return session->stats().reconnections == 1; }));
}

INSTANTIATE_TEST_SUITE_P(Core, Closes,
                         ::testing::Values(CloseCase{"normal", true, 1000},
                                           CloseCase{"abnormal", false, std::nullopt}),
                         [](const auto& info) { return std::string(info.param.name); });

// Catches a back-off that does not double, does not stop at its cap, or is not reported.
TEST_F(Core, BackOffDoublesUpToItsCap) {
    ClosedPort refused;
    gui::ClientOptions options;
    options.reconnect_delay = std::chrono::seconds(1);
    options.max_reconnect_delay = std::chrono::seconds(4);
    start(options, refused.port());
    ASSERT_TRUE(eventually([&] { return seen->count(ConnectionState::reconnecting) >= 5; }));
    const std::vector<ConnectionEvent> waits = seen->events_of(ConnectionState::reconnecting);
    const double expected[] = {1, 2, 4, 4, 4};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(waits[i].attempt, int(i + 1));
        EXPECT_DOUBLE_EQ(waits[i].delay.count(), expected[i]);
    }
    EXPECT_FALSE(session->is_connected());
}

// Catches a reader that goes on reading for a GUI thread that is stuck (memory without bound),
// or one that never reads again once it catches up.
TEST_F(Core, FlowControlHoldsTheReaderAndReleasesIt) {
    gui::ClientOptions options;
    options.max_pending_bytes = 16 * 1024;
    options.max_read_pause = std::chrono::seconds(1000);  // no backlog: the hold itself is tested
    start(options);
    ASSERT_TRUE(eventually([&] { return session->is_connected(); }));
    ASSERT_TRUE(server.wait_for_connections(1));  // the server acts on it only from then on
    gui_thread->hold();
    const std::string pad(200, 'x');
    constexpr int sent = 400;
    for (int i = 0; i < sent; ++i)
        server.send_text(R"({"type": "stdout", "content": ")" + pad + R"("})");
    ASSERT_TRUE(eventually([&] { return session->stats().reading_paused; }));
    EXPECT_LE(session->stats().pending_bytes, 2 * options.max_pending_bytes);
    EXPECT_LT(seen->count_messages(), size_t(sent));
    gui_thread->release();
    ASSERT_TRUE(eventually([&] { return seen->count_messages() == size_t(sent); }));
    EXPECT_GE(session->stats().read_pauses, 1u);
    EXPECT_FALSE(session->stats().reading_paused);
}

// Catches a stop() that waits past stop_timeout for a busy network thread, or gives up on it
// before then.
TEST_F(Core, StopWaitsForTheNetworkThreadUpToStopTimeout) {
    for (const auto& [bound, waited] : {std::pair{0.05, false}, std::pair{5.0, true}}) {
        gui::ClientOptions options;
        options.stop_timeout = gui::ClientOptions::Seconds(bound);
        auto busy = make_session(seen, gui_thread, server.port(), options, 1.0);
        const size_t before = server.connections();
        busy->start();
        ASSERT_TRUE(server.wait_for_connections(before + 1));
        seen->slow_started = seen->slow_done = false;
        server.send_text(R"({"type": "slow"})");  // its handler lookup takes 1 s
        ASSERT_TRUE(eventually([&] { return seen->slow_started.load(); }));
        busy->stop();
        EXPECT_EQ(seen->slow_done.load(), waited) << bound;
        busy->detach_host();  // a thread left behind finishes on its own
        // The session goes before the GUI thread it posts to, which must not end itself.
        const std::weak_ptr<gui::detail::Session> gone = busy;
        busy.reset();
        ASSERT_TRUE(eventually([&] { return gui_thread->drain() && gone.expired(); }));
    }
}

// Catches a message over max_message_bytes that is read anyway, refused without naming the
// bound, or followed by reconnections that start the back-off again each time (the server
// sends it again on each connection).
TEST_F(Core, MessageOverTheLargestEndsTheConnectionWith1009) {
    gui::ClientOptions options;
    options.max_message_bytes = 1024;
    start(options);
    ASSERT_TRUE(eventually([&] { return session->is_connected(); }));
    ASSERT_TRUE(server.wait_for_connections(1));  // the server acts on it only from then on
    const auto message = [](size_t pad) {
        return R"({"type": "stdout", "content": ")" + std::string(pad, 'x') + R"("})";
    };
    server.send_text(message(1024 - 33));  // 1024 bytes: the largest that is read
    ASSERT_TRUE(eventually([&] { return seen->count_messages() == 1; }));
    server.send_text(message(1024 - 32));
    ASSERT_TRUE(server.wait_for_close_codes(1));
    EXPECT_EQ(server.close_codes()[0], 1009);
    for (size_t n = 2; n <= 3; ++n) {
        ASSERT_TRUE(server.wait_for_connections(n)) << "and reconnects";
        server.send_text(message(1024 - 32));
        ASSERT_TRUE(server.wait_for_close_codes(n));
    }
    ASSERT_TRUE(eventually([&] { return seen->count(ConnectionState::reconnecting) >= 3; }));
    const auto backing_off = seen->events_of(ConnectionState::reconnecting);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(backing_off[size_t(i)].attempt, i + 1);
    EXPECT_EQ(seen->events_of(ConnectionState::disconnected)[0].error,
              "message too big: an incoming message is over 1024 bytes, the limit set by "
              "ClientOptions::max_message_bytes; closed with 1009, reconnecting with a growing "
              "back-off");
    EXPECT_EQ(seen->count_messages(), 1u);
}

// Catches a time-out that fires twice, fires for an answered request, or never fires.
TEST_F(Core, EachRequestEndsExactlyOnce) {
    server.set_responder([](const std::string& frame) -> std::optional<std::string> {
        if (frame.find("\"answer_me\"") == std::string::npos) return std::nullopt;
        const auto at = frame.find("\"request_id\": \"");
        const std::string id = frame.substr(at + 15, frame.find('"', at + 15) - at - 15);
        return R"({"type": "answer", "request_id": ")" + id + R"("})";
    });
    start();
    ASSERT_TRUE(eventually([&] { return session->is_connected(); }));
    ASSERT_TRUE(server.wait_for_connections(1));  // the server acts on it only from then on
    std::mutex mutex;
    std::map<std::string, std::vector<JsonObject>> got;
    auto record = [&](std::string name) {
        return [&, name](JsonObject answer) {
            std::lock_guard lock(mutex);
            got[name].push_back(std::move(answer));
        };
    };
    for (int i = 0; i < 5; ++i) {
        JsonObject silent{{"type", "silent"}};
        session->register_request(silent, record("silent" + std::to_string(i)), std::nullopt,
                                  5.0);  // 50 ms
    }
    JsonObject asked{{"type", "answer_me"}};
    session->register_request(asked, record("answered"), std::string("answer"), 5.0);
    ASSERT_TRUE(eventually([&] { return session->pending_request_count() == 0; }));
    // Once the loop has stopped no timer is left; what it handed over has run once the GUI
    // thread reaches a marker posted behind it.
    session->stop();
    ASSERT_TRUE(gui_thread->drain());
    std::lock_guard lock(mutex);
    ASSERT_EQ(got.size(), 6u);
    for (const auto& [name, answers] : got) {
        ASSERT_EQ(answers.size(), 1u) << name;
        EXPECT_EQ(gui::is_timeout(answers[0]), name != "answered") << name;
    }
}

}  // namespace
