// The connection loop against a real loopback server: connecting, back-off, every way a
// connection ends, keep-alive, TLS.
#include <algorithm>
#include <chrono>
#include <thread>

#include "client_fixture.h"

using namespace quarvo_test;
using namespace std::chrono_literals;

namespace {

// The host's console lines and status texts, in order, as "console: ..." / "status: ...".
std::vector<std::string> screen(const RecordingHost& host) {
    std::vector<std::string> out;
    for (const Call& c : host.log.calls()) {
        if (c.name == "log_to_console")
            out.push_back("console: " + std::string(c.args[0].as_string()));
        else if (c.name == "statusBar.showMessage")
            out.push_back("status: " + std::string(c.args[0].as_string()));
    }
    return out;
}

bool all_on_gui_thread(const RecordingHost& host) {
    const auto calls = host.log.calls();
    return std::all_of(calls.begin(), calls.end(), [](const Call& c) { return c.on_gui_thread; });
}

class Connection : public ClientTest {};

// Catches missing or misordered connected notices, or notices given off the GUI thread.
TEST_F(Connection, ConnectShowsTheConnectedTexts) {
    SetUpClient();
    connect();
    ASSERT_TRUE(wait_until([&] { return host.log.size() >= 2; }));
    const auto calls = host.log.calls();
    ASSERT_EQ(calls.size(), 2u) << host.log.dump();
    EXPECT_EQ(calls[0].name, "log_to_console");
    EXPECT_EQ(calls[0].args, (JsonArray{"Connected to Quarvo Server", nullptr, "DETAILED"}));
    EXPECT_EQ(calls[1].name, "statusBar.showMessage");
    EXPECT_EQ(calls[1].args, (JsonArray{"Connected to Quarvo Server"}));
    EXPECT_TRUE(all_on_gui_thread(host));
    EXPECT_EQ(logs.count(LogLevel::info, "[WebSocketClient] Connected to Business Layer"), 1u);
}

// Catches extra handshake headers (user agent, sub-protocol, credentials) and a wrong path.
TEST_F(Connection, HandshakeCarriesTheAddressOnly) {
    SetUpClient();
    connect();
    const auto handshakes = server->handshakes();
    ASSERT_EQ(handshakes.size(), 1u);
    const Handshake& h = handshakes[0];
    EXPECT_EQ(h.target, "/ws/ide/main_ide");
    EXPECT_EQ(h.headers.at("host"), "127.0.0.1:" + std::to_string(server->port()));
    std::vector<std::string> names;
    for (const auto& [name, value] : h.headers) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"connection", "host", "sec-websocket-key",
                                               "sec-websocket-version", "upgrade"}));
}

// Catches a wrong back-off sequence, wrong texts, or waits that do not grow.
TEST_F(Connection, ServerDownBacksOffWithTheExactTexts) {
    ClosedPort down;
    ScopedEnv env("QUARVO_SECURED", "0");
    client = std::make_unique<WebSocketClient>(host, "127.0.0.1", down.port(),
                                               ClientTestOptions{test_time_scale});
    client->start();
    ASSERT_TRUE(logs.wait_for(LogLevel::info, "[WebSocketClient] Reconnecting in ", 7, 10000));
    client->stop();
    const std::vector<std::string> expected_log = {
        "[WebSocketClient] Reconnecting in 1.0s (attempt 1)...",
        "[WebSocketClient] Reconnecting in 2.0s (attempt 2)...",
        "[WebSocketClient] Reconnecting in 4.0s (attempt 3)...",
        "[WebSocketClient] Reconnecting in 8.0s (attempt 4)...",
        "[WebSocketClient] Reconnecting in 16.0s (attempt 5)...",
        "[WebSocketClient] Reconnecting in 30.0s (attempt 6)...",
        "[WebSocketClient] Reconnecting in 30.0s (attempt 7)...",
    };
    auto reconnecting = logs.matching(LogLevel::info, "[WebSocketClient] Reconnecting in ");
    reconnecting.resize(7);
    EXPECT_EQ(reconnecting, expected_log);
    EXPECT_GE(logs.count(LogLevel::error, "[WebSocketClient] Connection error: "), 7u);
    EXPECT_FALSE(client->is_connected());

    // Each failed attempt: console line, disconnected status, then the reconnecting status.
    ASSERT_TRUE(wait_until([&] { return host.log.size() >= 21; }));
    auto shown = screen(host);
    shown.resize(21);
    std::vector<std::string> expected_screen;
    const char* whole[] = {"1", "2", "4", "8", "16", "30", "30"};
    for (int i = 0; i < 7; ++i) {
        expected_screen.push_back("console: Disconnected from Quarvo Server");
        expected_screen.push_back("status: Disconnected - Reconnecting...");
        expected_screen.push_back("status: Reconnecting... (attempt " + std::to_string(i + 1) +
                                  ", next try in " + whole[i] + "s)");
    }
    EXPECT_EQ(shown, expected_screen);
    EXPECT_TRUE(all_on_gui_thread(host));

    // The waits between attempts are at least the scaled delays.
    std::vector<std::chrono::steady_clock::time_point> attempts;
    for (const CapturedRecord& r : logs.records())
        if (r.text.rfind("[WebSocketClient] Connection error: ", 0) == 0) attempts.push_back(r.at);
    const double delays[] = {1, 2, 4, 8, 16, 30, 30};
    for (size_t i = 0; i + 1 < std::min<size_t>(attempts.size(), 8); ++i)
        EXPECT_GE(attempts[i + 1] - attempts[i],
                  std::chrono::duration<double>(delays[i] * test_time_scale))
            << "wait before attempt " << i + 2;
}

// Catches a back-off that keeps counting across a successful connection.
TEST_F(Connection, SuccessfulConnectionResetsTheBackOff) {
    SetUpClient();
    server->refuse_handshakes(503);
    client->start();
    ASSERT_TRUE(
        logs.wait_for(LogLevel::info, "[WebSocketClient] Reconnecting in 4.0s (attempt 3)"));
    server->refuse_handshakes(0);
    ASSERT_TRUE(server->wait_for_connections(1));
    ASSERT_TRUE(wait_until([&] { return client->is_connected(); }));
    const size_t before = logs.count(LogLevel::info, "[WebSocketClient] Reconnecting in ");
    server->drop();
    ASSERT_TRUE(logs.wait_for(LogLevel::info, "[WebSocketClient] Reconnecting in ", before + 1));
    EXPECT_EQ(logs.matching(LogLevel::info, "[WebSocketClient] Reconnecting in ")[before],
              "[WebSocketClient] Reconnecting in 1.0s (attempt 1)...");
    EXPECT_GE(logs.count(LogLevel::error, "[WebSocketClient] Connection error: "), 3u);
}

// Catches a normal close that leaves is_connected() true and the window saying "Connected".
TEST_F(Connection, NormalCloseReportsTheLossAndReconnects) {
    SetUpClient();
    connect();
    server->close(1000, "bye");
    ASSERT_TRUE(logs.wait_for(LogLevel::info, "[WebSocketClient] Connection closed: "));
    EXPECT_EQ(logs.matching(LogLevel::info, "[WebSocketClient] Connection closed: ")[0],
              "[WebSocketClient] Connection closed: 1000 bye");
    EXPECT_TRUE(wait_until([&] { return !client->is_connected(); }) || server->connections() > 1);
    ASSERT_TRUE(server->wait_for_connections(2));
    ASSERT_TRUE(wait_until([&] { return screen(host).size() >= 7; }));
    auto shown = screen(host);
    shown.resize(7);
    EXPECT_EQ(
        shown,
        (std::vector<std::string>{
            "console: Connected to Quarvo Server", "status: Connected to Quarvo Server",
            "console: Disconnected from Quarvo Server", "status: Disconnected - Reconnecting...",
            "status: Reconnecting... (attempt 1, next try in 1s)",
            "console: Connected to Quarvo Server", "status: Connected to Quarvo Server"}));
    EXPECT_EQ(logs.count(LogLevel::warning, "[WebSocketClient] Connection closed: "), 0u);
}

struct EndCase {
    const char* name;
    void (*act)(TestServer&);
    LogLevel level;
    const char* prefix;
};

// Catches a lost connection taking the wrong branch (level and text) or not reconnecting.
TEST_F(Connection, EveryWayAConnectionEndsLeadsToReconnection) {
    const EndCase cases[] = {
        {"TCP drop", [](TestServer& s) { s.drop(); }, LogLevel::warning,
         "[WebSocketClient] Connection closed: "},
        {"close with an error code", [](TestServer& s) { s.close(1011, "boom"); },
         LogLevel::warning, "[WebSocketClient] Connection closed: received close frame 1011 boom"},
        {"binary frame", [](TestServer& s) { s.send_binary("\x01\x02"); }, LogLevel::error,
         "[WebSocketClient] Connection error: binary frame received"},
        {"invalid UTF-8 text", [](TestServer& s) { s.send_text("{\"type\": \"\xff\"}"); },
         LogLevel::error, "[WebSocketClient] Connection error: "},
    };
    for (const EndCase& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        host.log.clear();
        LogCapture case_logs;
        SetUpClient();
        connect();
        c.act(*server);
        ASSERT_TRUE(case_logs.wait_for(c.level, c.prefix)) << case_logs.dump();
        ASSERT_TRUE(server->wait_for_connections(2)) << "no reconnection";
        ASSERT_TRUE(wait_until([&] {
            const auto shown = screen(host);
            return std::count(shown.begin(), shown.end(),
                              "console: Disconnected from Quarvo Server") == 1;
        }));
    }
}

// Catches pings that are not sent, and a dead peer that is never noticed.
TEST_F(Connection, KeepAlive) {
    SetUpClient();
    connect();
    EXPECT_TRUE(server->wait_for_pings(3)) << "a ping every 20 s (scaled)";
    EXPECT_TRUE(client->is_connected()) << "answered pings keep the connection";
    EXPECT_EQ(server->connections(), 1u);

    TearDown();
    SetUpClient();
    server->set_silent(true);  // never reads, so never answers a ping
    client->start();
    ASSERT_TRUE(server->wait_for_connections(1));
    ASSERT_TRUE(logs.wait_for(LogLevel::warning,
                              "[WebSocketClient] Connection closed: keepalive ping timeout"));
    EXPECT_TRUE(server->wait_for_connections(2)) << "no reconnection after the time-out";

    // A peer whose frames keep coming is alive, its pong perhaps behind them; once it falls
    // silent the time-out counts from its last frame.
    TearDown();
    SetUpClient();
    server->set_silent(true);
    connect();
    const std::string closed = "[WebSocketClient] Connection closed: keepalive ping timeout";
    const size_t before = logs.count(LogLevel::warning, closed);
    for (int i = 0; i < 10; ++i) {
        server->send_text(R"({"type": "nobody_handles_this"})");
        std::this_thread::sleep_for(150ms);  // a quarter of the pong time-out
    }
    EXPECT_EQ(logs.count(LogLevel::warning, closed), before) << logs.dump();
    EXPECT_EQ(server->connections(), 1u);
    EXPECT_TRUE(logs.wait_for(LogLevel::warning, closed, before + 1));
}

// Catches TLS that checks the self-signed certificate or the host name.
TEST_F(Connection, TlsToASelfSignedServer) {
    SetUpClient(/*tls=*/true);
    EXPECT_EQ(client->url.substr(0, 6), "wss://");
    connect();
    server->send_text(R"({"type": "nobody_handles_this"})");
    EXPECT_TRUE(logs.wait_for(
        LogLevel::warning, "[WebSocketClient] No handler for message type: nobody_handles_this"));
}

// Catches a failed TLS handshake that ends the loop instead of retrying.
TEST_F(Connection, TlsAgainstAPlainServerFailsAndRetries) {
    ScopedEnv env("QUARVO_SECURED", nullptr);
    server = std::make_unique<TestServer>();
    client = std::make_unique<WebSocketClient>(host, "127.0.0.1", server->port(),
                                               ClientTestOptions{test_time_scale});
    client->start();
    ASSERT_TRUE(logs.wait_for(LogLevel::error, "[WebSocketClient] Connection error: ", 2));
    EXPECT_EQ(server->connections(), 0u);
    EXPECT_FALSE(client->is_connected());
}

}  // namespace
