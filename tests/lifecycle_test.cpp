// Client object and lifecycle: the endpoint address, start, stop, restart and destruction.
#include <chrono>
#include <cstdlib>

#include "client_fixture.h"

using namespace quarvo_test;
using namespace std::chrono_literals;

namespace {

struct UrlCase {
    const char* secured;  // nullptr: unset
    const char* scheme;
};

// Catches a trimmed, case-folded or truthiness-based reading of QUARVO_SECURED.
TEST(ClientUrl, OnlyExactZeroMeansPlainWs) {
    RecordingHost host;
    const UrlCase cases[] = {{nullptr, "wss"}, {"0", "ws"},   {"00", "wss"}, {"false", "wss"},
                             {"", "wss"},      {" 0", "wss"}, {"0 ", "wss"}, {"1", "wss"}};
    for (const UrlCase& c : cases) {
        ScopedEnv env("QUARVO_SECURED", c.secured);
        WebSocketClient client(host);
        EXPECT_EQ(client.url, std::string(c.scheme) + "://localhost:8000/ws/ide/main_ide")
            << (c.secured ? c.secured : "(unset)");
        EXPECT_EQ(client.host, "localhost");
        EXPECT_EQ(client.port, 8000);
    }
    ScopedEnv env("QUARVO_SECURED", "0");
    WebSocketClient custom(host, "example.test", 9123);
    EXPECT_EQ(custom.url, "ws://example.test:9123/ws/ide/main_ide");
    EXPECT_FALSE(custom.is_connected());
}

class Lifecycle : public ClientTest {};

// Catches a second start spawning a second thread and a second connection.
TEST_F(Lifecycle, StartTwiceStartsOnce) {
    SetUpClient();
    client->start();
    client->start();
    ASSERT_TRUE(server->wait_for_connections(1));
    EXPECT_FALSE(server->wait_for_handshake_attempts(2, 200ms)) << "a second connection was made";
    EXPECT_EQ(logs.count(LogLevel::info, "[WebSocketClient] Started, connecting to "), 1u);
    EXPECT_EQ(logs.matching(LogLevel::info, "[WebSocketClient] Started, connecting to ")[0],
              "[WebSocketClient] Started, connecting to ws://127.0.0.1:" +
                  std::to_string(server->port()) + "/ws/ide/main_ide");
}

// Catches stop() waiting on, or crashing for, a thread that never existed.
TEST_F(Lifecycle, StopWithoutStartOnlyLogs) {
    SetUpClient();
    const auto t0 = std::chrono::steady_clock::now();
    client->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    EXPECT_EQ(logs.texts(), std::vector<std::string>{"info: [WebSocketClient] Stopped"});
}

// Catches a stop that hangs on the live connection or clears the connection state.
TEST_F(Lifecycle, StopWhileConnectedReturnsAndKeepsTheLastState) {
    SetUpClient(false, 1.0);  // real timings: the join bound is the real 5 s
    connect();
    const auto t0 = std::chrono::steady_clock::now();
    client->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5500ms);
    EXPECT_EQ(logs.count(LogLevel::info, "[WebSocketClient] Stopped"), 1u);
    // The loop was halted under the connection task.
    EXPECT_EQ(logs.count(LogLevel::error, "[WebSocketClient] Event loop error: "), 1u)
        << logs.dump();
    EXPECT_TRUE(client->is_connected());
    EXPECT_EQ(client->is_connected(), client->connected());
    // The abandoned connection's socket is closed.
    EXPECT_TRUE(server->wait_for_ended(1));
}

// Catches a stop that posts into a loop its thread already closed.
TEST_F(Lifecycle, StopTwiceAndRestart) {
    SetUpClient();
    connect();
    client->stop();
    client->stop();
    EXPECT_EQ(logs.count(LogLevel::info, "[WebSocketClient] Stopped"), 2u);
    client->start();
    EXPECT_TRUE(server->wait_for_connections(2)) << "start after stop must connect afresh";
    EXPECT_EQ(logs.count(LogLevel::info, "[WebSocketClient] Started, connecting to "), 2u);
}

// Catches the network thread or queued GUI work touching a destroyed client or host.
TEST_F(Lifecycle, DestructionInEveryStateIsSafe) {
    SetUpClient();
    {  // never started
        WebSocketClient idle(host, "127.0.0.1", server->port(), ClientTestOptions{test_time_scale});
    }
    {  // connected, with GUI work still queued
        WebSocketClient live(host, "127.0.0.1", server->port(), ClientTestOptions{test_time_scale});
        live.start();
        ASSERT_TRUE(server->wait_for_connections(1));
        for (int i = 0; i < 50; ++i) server->send_text(R"({"type": "unknown_kind"})");
        ASSERT_TRUE(wait_until([&] { return live.is_connected(); }));
    }
    {  // backing off against a port nobody listens on
        ClosedPort down;
        WebSocketClient retrying(host, "127.0.0.1", down.port(),
                                 ClientTestOptions{test_time_scale});
        retrying.start();
        ASSERT_TRUE(logs.wait_for(LogLevel::info, "[WebSocketClient] Reconnecting in "));
    }
    pump_events(50);  // queued GUI work of destroyed clients must be dropped, not run
    SUCCEED();
}

// Catches use after free by a network thread left behind by a timed-out join.
TEST_F(Lifecycle, DestructionAfterATimedOutJoin) {
    SetUpClient();
    auto orphan_host = std::make_unique<RecordingHost>();
    {
        // The join bound shrinks to microseconds, so stop() returns before the thread ends.
        WebSocketClient hurried(*orphan_host, "127.0.0.1", server->port(), ClientTestOptions{1e-6});
        hurried.start();
        for (int i = 0; i < 200; ++i) server->send_text(R"({"type": "x"})");
        hurried.stop();
    }
    orphan_host.reset();
    pump_events(100);
    // The left-behind thread ends and closes its connection on its own.
    EXPECT_TRUE(server->wait_for_ended(server->connections()));
}

// The next test's log capture, for its exit handler (which takes no arguments).
LogCapture* exit_logs = nullptr;

// Catches a process whose exit frees, under a network thread left behind by a timed-out join,
// what that thread still uses (OpenSSL's state: a use after free ThreadSanitizer caught at the
// end of a TLS test). The exit must wait for the thread: an exit handler registered before the
// client checks that the thread's last line was logged by the time the exit handlers reach it.
TEST_F(Lifecycle, ExitWaitsForAThreadLeftBehind) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            SetUpClient(true);
            exit_logs = &logs;
            std::atexit([] {
                const bool ended =
                    exit_logs->count(LogLevel::error, "[WebSocketClient] Event loop error: ") > 0;
                std::_Exit(ended ? 0 : 3);
            });
            {
                // The join waits microseconds; the handshake time-out and the ping interval,
                // scaled as much, stay at 1 s, so the client connects and then reads.
                ClientOptions options;
                options.open_timeout = std::chrono::seconds(1000000);
                options.ping_interval = std::chrono::seconds(1000000);
                WebSocketClient hurried(host, "127.0.0.1", server->port(), options,
                                        ClientTestOptions{1e-6});
                hurried.start();
                if (!wait_until([&] { return hurried.is_connected(); })) std::_Exit(4);
                // Stopped while it reads, the thread ends with the "Event loop error" line.
                hurried.stop();
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
