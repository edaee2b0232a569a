// Fault injection on ws and wss: every way a connection can go wrong, with the exact log,
// console and status sequence, and with numbered traffic proving that what was sent before a
// fault reaches its handler exactly once and in order, and that every pending request's
// callback runs exactly once.
#include <sys/socket.h>
#include <unistd.h>

#include <netinet/in.h>
#include <algorithm>
#include <boost/json/parse.hpp>
#include <map>
#include <thread>

#include "client_fixture.h"

using namespace quarvo_test;
using namespace std::chrono_literals;

namespace {

std::string numbered(int n) {
    return R"({"type": "log_to_console", "content": "seq )" + std::to_string(n) + R"("})";
}

// The numbers of the numbered console lines the host received, in order.
std::vector<int> received(const RecordingHost& host) {
    std::vector<int> out;
    for (const Call& c : host.log.named("log_to_console")) {
        const std::string_view text = c.args[0].as_string();
        if (text.rfind("seq ", 0) == 0) out.push_back(std::stoi(std::string(text.substr(4))));
    }
    return out;
}

std::vector<int> range(int from, int to) {
    std::vector<int> v;
    for (int i = from; i <= to; ++i) v.push_back(i);
    return v;
}

std::vector<std::string> screen(const RecordingHost& host, size_t from = 0) {
    std::vector<std::string> out;
    const auto calls = host.log.calls();
    for (size_t i = from; i < calls.size(); ++i) {
        const Call& c = calls[i];
        if (c.name == "log_to_console" && c.args[0].as_string().find("seq ") != 0)
            out.push_back("console: " + std::string(c.args[0].as_string()));
        else if (c.name == "statusBar.showMessage")
            out.push_back("status: " + std::string(c.args[0].as_string()));
    }
    return out;
}

const std::vector<std::string> lost_and_back = {
    "console: Disconnected from Quarvo Server", "status: Disconnected - Reconnecting...",
    "status: Reconnecting... (attempt 1, next try in 1s)", "console: Connected to Quarvo Server",
    "status: Connected to Quarvo Server"};

// A loopback port that completes TCP connections and then never says a word: the client waits
// in its TLS or WebSocket handshake.
class MuteListener {
  public:
    MuteListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(fd_, 8) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::runtime_error("cannot listen on loopback");
        port_ = ntohs(addr.sin_port);
    }
    ~MuteListener() { ::close(fd_); }
    uint16_t port() const { return port_; }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

class Faults : public ClientTest, public ::testing::WithParamInterface<bool> {
  protected:
    bool tls() const { return GetParam(); }

    void SetUp() override { SetUpClient(tls()); }

    // A client of this test's kind for another port.
    void retarget(uint16_t port) {
        client = std::make_unique<WebSocketClient>(host, "127.0.0.1", port,
                                                   ClientTestOptions{test_time_scale});
    }

    void send_numbered(int from, int to) {
        for (int i = from; i <= to; ++i) server->send_text(numbered(i));
    }
    bool wait_received(int last) {
        return wait_until([&] {
            const auto r = received(host);
            return !r.empty() && r.back() >= last;
        });
    }

    // A request nobody answers; its callback must run once, with the time-out object.
    std::string unanswered_request() {
        return client->send_and_wait_response(
            JsonObject{{"type", "never_answered"}},
            [this](JsonObject reply) {
                callbacks[std::string(reply["request_id"].as_string())].push_back(reply);
            },
            "never", 30.0);
    }
    void expect_each_callback_once(const std::vector<std::string>& ids) {
        ASSERT_TRUE(wait_until([&] { return callbacks.size() >= ids.size(); }));
        pump_events(50);  // a second call would come now
        for (const std::string& id : ids) {
            ASSERT_EQ(callbacks[id].size(), 1u) << id;
            EXPECT_EQ(callbacks[id][0]["error"], "timeout");
        }
        EXPECT_EQ(callbacks.size(), ids.size());
        EXPECT_EQ(client->pending_request_count(), 0u);
    }

    // The log from the fault on: the closing line at `level`, then the back-off, then the new
    // connection; the screen shows the loss and the return.
    void expect_lost_and_back(LogLevel level, const std::string& closing, size_t screen_from) {
        ASSERT_TRUE(server->wait_for_connections(2)) << logs.dump();
        ASSERT_TRUE(
            logs.wait_for(LogLevel::info, "[WebSocketClient] Connected to Business Layer", 2));
        std::vector<std::string> seen;
        for (const CapturedRecord& r : logs.records()) {
            if (r.text.rfind("[WebSocketClient] Connect", 0) == 0 ||
                r.text.rfind("[WebSocketClient] Reconnecting", 0) == 0)
                seen.push_back(std::string(to_string(r.level)) + ": " + r.text);
        }
        ASSERT_EQ(seen.size(), 4u) << logs.dump();
        EXPECT_EQ(seen[0], "info: [WebSocketClient] Connected to Business Layer");
        EXPECT_EQ(seen[1].rfind(std::string(to_string(level)) + ": " + closing, 0), 0u) << seen[1];
        EXPECT_EQ(seen[2], "info: [WebSocketClient] Reconnecting in 1.0s (attempt 1)...");
        EXPECT_EQ(seen[3], "info: [WebSocketClient] Connected to Business Layer");
        ASSERT_TRUE(wait_until([&] { return screen(host, screen_from).size() >= 5; }));
        EXPECT_EQ(screen(host, screen_from), lost_and_back);
    }

    std::map<std::string, std::vector<JsonObject>> callbacks;
};

INSTANTIATE_TEST_SUITE_P(Transport, Faults, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "wss" : "ws"; });

TEST_P(Faults, ServerDownAtStartThenUp) {
    std::optional<ClosedPort> down(std::in_place);
    const uint16_t port = down->port();
    retarget(port);
    client->start();
    ASSERT_TRUE(logs.wait_for(LogLevel::info, "[WebSocketClient] Reconnecting in ", 2));
    EXPECT_EQ(logs.matching(LogLevel::info, "[WebSocketClient] Reconnecting in ")[0],
              "[WebSocketClient] Reconnecting in 1.0s (attempt 1)...");
    EXPECT_GE(logs.count(LogLevel::error, "[WebSocketClient] Connection error: "), 2u);
    const auto first = screen(host);
    ASSERT_GE(first.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(first.begin(), first.begin() + 3),
              (std::vector<std::string>{"console: Disconnected from Quarvo Server",
                                        "status: Disconnected - Reconnecting...",
                                        "status: Reconnecting... (attempt 1, next try in 1s)"}));
    down.reset();
    server = std::make_unique<TestServer>(TestServer::Options{tls(), port});
    ASSERT_TRUE(server->wait_for_connections(1, 10s)) << logs.dump();
    ASSERT_TRUE(wait_until([&] { return client->is_connected(); }));
    ASSERT_TRUE(
        wait_until([&] { return screen(host).back() == "status: Connected to Quarvo Server"; }));
    EXPECT_EQ(logs.count(LogLevel::info, "[WebSocketClient] Connected to Business Layer"), 1u);
}

TEST_P(Faults, ServerKilledMidFrame) {
    connect();
    const size_t mark = host.log.size();
    const std::string id = unanswered_request();
    send_numbered(1, 5);
    ASSERT_TRUE(wait_received(5));
    // A header that announces 100 bytes, ten of them, then a TCP reset.
    server->send_raw(std::string("\x81\x64", 2) + std::string(10, 'x'));
    server->reset();
    expect_lost_and_back(LogLevel::warning, "[WebSocketClient] Connection closed: ", mark);
    send_numbered(6, 10);
    ASSERT_TRUE(wait_received(10));
    EXPECT_EQ(received(host), range(1, 10));
    expect_each_callback_once({id});
}

TEST_P(Faults, TruncatedFrame) {
    connect();
    const size_t mark = host.log.size();
    send_numbered(1, 3);
    // Half a frame, then an orderly TCP close (FIN) without a close frame.
    server->send_raw(std::string("\x81\x7e\x01\x00", 4) + std::string(100, 'x'));
    server->drop();
    expect_lost_and_back(LogLevel::warning, "[WebSocketClient] Connection closed: ", mark);
    EXPECT_EQ(received(host), range(1, 3));
}

TEST_P(Faults, TcpResetWhileIdle) {
    connect();
    const size_t mark = host.log.size();
    server->reset();
    expect_lost_and_back(LogLevel::warning, "[WebSocketClient] Connection closed: ", mark);
}

TEST_P(Faults, HalfOpenPeerIsNoticedByTheKeepAlive) {
    server->set_silent(true);  // writes what it is told, never reads, never answers a ping
    connect();
    server->set_silent(false);  // the next connection behaves
    const size_t mark = host.log.size();
    const std::string id = unanswered_request();
    send_numbered(1, 4);
    expect_lost_and_back(LogLevel::warning,
                         "[WebSocketClient] Connection closed: keepalive ping timeout", mark);
    EXPECT_EQ(received(host), range(1, 4));
    expect_each_callback_once({id});
}

TEST_P(Faults, TlsOnOneSideOnly) {
    // The server speaks the other protocol: every attempt fails, the client keeps trying.
    server = std::make_unique<TestServer>(TestServer::Options{!tls()});
    retarget(server->port());
    client->start();
    ASSERT_TRUE(logs.wait_for(LogLevel::error, "[WebSocketClient] Connection error: ", 3));
    EXPECT_EQ(server->connections(), 0u);
    EXPECT_FALSE(client->is_connected());
    EXPECT_GE(logs.count(LogLevel::info, "[WebSocketClient] Reconnecting in "), 2u);
    EXPECT_EQ(logs.count(LogLevel::info, "[WebSocketClient] Connected to Business Layer"), 0u);
}

TEST_P(Faults, HttpErrorOnTheUpgrade) {
    server->refuse_handshakes(404);
    client->start();
    for (int status : {404, 503}) {
        SCOPED_TRACE(status);
        server->refuse_handshakes(status);
        const size_t errors = logs.count(LogLevel::error, "[WebSocketClient] Connection error: ");
        const size_t attempts = server->handshake_attempts();
        ASSERT_TRUE(
            logs.wait_for(LogLevel::error, "[WebSocketClient] Connection error: ", errors + 2));
        EXPECT_GE(server->handshake_attempts(), attempts + 2);
        EXPECT_EQ(server->connections(), 0u);
    }
    server->refuse_handshakes(0);
    ASSERT_TRUE(server->wait_for_connections(1, 10s)) << "no recovery once the server accepts";
}

TEST_P(Faults, HandshakeNeverCompletesSoTheOpeningTimeOutFires) {
    server->stall_handshakes(true);
    client->start();
    ASSERT_TRUE(server->wait_for_handshake_attempts(2, 10s)) << logs.dump();
    EXPECT_GE(logs.count(LogLevel::error, "[WebSocketClient] Connection error: "), 1u);
    EXPECT_EQ(server->connections(), 0u);
    server->stall_handshakes(false);
    ASSERT_TRUE(server->wait_for_connections(1, 10s));
}

TEST_P(Faults, CloseFrameDuringAnOutboundBurst) {
    connect();
    constexpr int burst = 2000;
    for (int i = 1; i <= burst; ++i) client->send_message(JsonObject{{"type", "burst"}, {"n", i}});
    server->close(1000, "enough");
    ASSERT_TRUE(server->wait_for_connections(2, 10s)) << logs.dump();
    // What reached the server is a gap-free prefix of the burst: nothing duplicated or
    // reordered; whatever was still queued was reported, one error line each.
    std::vector<int64_t> got;
    for (const std::string& f : server->frames()) {
        const auto v = boost::json::parse(f).as_object();
        if (v.at("type") == "burst") got.push_back(v.at("n").as_int64());
    }
    for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], int64_t(i + 1));
    EXPECT_LE(got.size() + logs.count(LogLevel::error, "[WebSocketClient] Send error: "),
              size_t(burst));
    ASSERT_TRUE(logs.wait_for(LogLevel::info, "[WebSocketClient] Connected to Business Layer", 2));
    ASSERT_TRUE(wait_until([&] { return client->is_connected(); }));
    client->send_message(JsonObject{{"type", "after"}});
    ASSERT_TRUE(wait_until([&] {
        const auto f = server->frames();
        return !f.empty() && f.back() == R"({"type": "after"})";
    }));
}

TEST_P(Faults, ServerRestartsAfterADelay) {
    connect();
    const uint16_t port = server->port();
    send_numbered(1, 5);
    ASSERT_TRUE(wait_received(5));
    server.reset();
    ASSERT_TRUE(logs.wait_for(LogLevel::info, "[WebSocketClient] Reconnecting in ", 3));
    // Sent while down: refused at once, and its callback still runs once (time-out).
    const std::string id = unanswered_request();
    server = std::make_unique<TestServer>(TestServer::Options{tls(), port});
    ASSERT_TRUE(server->wait_for_connections(1, 10s)) << logs.dump();
    ASSERT_TRUE(wait_until([&] { return client->is_connected(); }));
    send_numbered(6, 10);
    ASSERT_TRUE(wait_received(10));
    EXPECT_EQ(received(host), range(1, 10));
    expect_each_callback_once({id});
}

TEST_P(Faults, GuiThreadBlockedLongerThanTheServersPingPatience) {
    server->set_ping_patience(300ms);
    connect();
    send_numbered(1, 10);
    // Not a single event processed for three times the patience.
    std::this_thread::sleep_for(900ms);
    send_numbered(11, 20);
    ASSERT_TRUE(wait_received(20));
    EXPECT_EQ(received(host), range(1, 20));
    EXPECT_EQ(server->connections(), 1u);
    EXPECT_EQ(server->ended(), 0u);
    EXPECT_TRUE(client->is_connected());
}

// ---- stop and destruction in every state of the connection loop ----

enum class State { checking, connecting, tls_handshake, listening, backing_off, mid_send };

struct StateCase {
    const char* name;
    State state;
};

class States : public ClientTest,
               public ::testing::WithParamInterface<std::tuple<bool, StateCase>> {
  protected:
    bool tls() const { return std::get<0>(GetParam()); }
    State state() const { return std::get<1>(GetParam()).state; }

    // Puts a started client into the case's state.
    void enter_state() {
        SetUpClient(tls());
        switch (state()) {
            case State::checking:
                client->start();  // and act at once, before the thread has done anything
                return;
            case State::connecting:
                server->stall_handshakes(true);
                client->start();
                ASSERT_TRUE(server->wait_for_handshake_attempts(1));
                return;
            case State::tls_handshake:
                mute.emplace();
                client = std::make_unique<WebSocketClient>(host, "127.0.0.1", mute->port(),
                                                           ClientTestOptions{test_time_scale});
                client->start();
                std::this_thread::sleep_for(50ms);  // connected at TCP level, waiting for words
                return;
            case State::listening:
                client->start();
                ASSERT_TRUE(server->wait_for_connections(1));
                ASSERT_TRUE(wait_until([&] { return client->is_connected(); }));
                return;
            case State::backing_off:
                down.emplace();
                client = std::make_unique<WebSocketClient>(host, "127.0.0.1", down->port(),
                                                           ClientTestOptions{test_time_scale});
                client->start();
                ASSERT_TRUE(logs.wait_for(LogLevel::info, "[WebSocketClient] Reconnecting in "));
                return;
            case State::mid_send:
                client->start();
                ASSERT_TRUE(server->wait_for_connections(1));
                ASSERT_TRUE(wait_until([&] { return client->is_connected(); }));
                for (int i = 0; i < 500; ++i)
                    client->send_message(
                        JsonObject{{"type", "bulk"}, {"n", i}, {"pad", std::string(20000, 'p')}});
                return;
        }
    }

    std::optional<MuteListener> mute;
    std::optional<ClosedPort> down;
};

void PrintTo(const StateCase& c, std::ostream* os) {
    *os << c.name;
}

const StateCase state_cases[] = {
    {"checking", State::checking},           {"connecting", State::connecting},
    {"tls_handshake", State::tls_handshake}, {"listening", State::listening},
    {"backing_off", State::backing_off},     {"mid_send", State::mid_send},
};

INSTANTIATE_TEST_SUITE_P(EveryState, States,
                         ::testing::Combine(::testing::Values(false, true),
                                            ::testing::ValuesIn(state_cases)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "wss_" : "ws_") +
                                    std::get<1>(info.param).name;
                         });

TEST_P(States, StopThenStartAgain) {
    ASSERT_NO_FATAL_FAILURE(enter_state());
    const auto before = std::chrono::steady_clock::now();
    client->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 3s) << "stop waited on the network";
    ASSERT_TRUE(logs.wait_for(LogLevel::info, "[WebSocketClient] Stopped"));
    pump_events(50);
    const size_t calls = host.log.size();
    pump_events(100);
    EXPECT_EQ(host.log.size(), calls) << "host called after stop: " << host.log.dump();

    // A new start works: against the server, whatever state the last run ended in.
    server->stall_handshakes(false);
    client = std::make_unique<WebSocketClient>(host, "127.0.0.1", server->port(),
                                               ClientTestOptions{test_time_scale});
    const size_t connections = server->connections();
    client->start();
    ASSERT_TRUE(server->wait_for_connections(connections + 1)) << logs.dump();
    ASSERT_TRUE(wait_until([&] { return client->is_connected(); }));
    client->stop();
    client->start();  // the same object again
    ASSERT_TRUE(server->wait_for_connections(connections + 2)) << logs.dump();
}

TEST_P(States, DestroyedInTheState) {
    ASSERT_NO_FATAL_FAILURE(enter_state());
    client.reset();
    const size_t calls = host.log.size();
    pump_events(150);  // queued GUI work of the destroyed client must not reach the host
    EXPECT_EQ(host.log.size(), calls) << host.log.dump();
    EXPECT_TRUE(logs.wait_for(LogLevel::info, "[WebSocketClient] Stopped"));
}

}  // namespace
