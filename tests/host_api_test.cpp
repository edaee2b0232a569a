// What the library offers a host beyond the system's own operations: typed connection events
// and the client's Qt signals, TLS verification by CA file or pinned fingerprint, the HostWindow base, is_timeout, handlers of
// the host's own message types and the message observer.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <filesystem>
#include <fstream>

#include <quarvo_zovovi/ide/gui/client_signals.h>
#include <quarvo_zovovi/ide/gui/core/value.h>
#include <quarvo_zovovi/ide/gui/handler_table.h>
#include <quarvo_zovovi/ide/gui/host/host_window.h>
#include <quarvo_zovovi/ide/gui/host/logging.h>
#include "client_fixture.h"
#include "self_signed.h"

using namespace quarvo_test;
using namespace std::chrono_literals;

namespace {

// One line per event: "connecting 0", "connected", "disconnected 1000 <error>",
// "reconnecting 1 1.0", "stopped".
std::vector<std::string> described(const std::vector<ConnectionEvent>& events) {
    std::vector<std::string> out;
    for (const ConnectionEvent& e : events) {
        std::string line(to_string(e.state));
        if (e.state == ConnectionState::connecting) line += " " + std::to_string(e.attempt);
        if (e.state == ConnectionState::reconnecting)
            line += " " + std::to_string(e.attempt) + " " + format_fixed(e.delay.count(), 1);
        if (e.state == ConnectionState::disconnected) {
            if (e.close_code) line += " " + std::to_string(*e.close_code);
            line += " " + e.error;
        }
        out.push_back(line);
    }
    return out;
}

class Events : public ClientTest {
  protected:
    std::vector<std::string> events() const { return described(host.connection_events()); }
    bool wait_for_events(size_t n) {
        return wait_until([&] { return host.connection_events().size() >= n; });
    }
};

// Catches a missing or misordered event, a wrong endpoint, and an event that overtakes the
// system's own notices: a connect, a normal close, its reconnection, and a stop; and a state()
// that is not the one of the event being delivered.
TEST_F(Events, ConnectNormalCloseReconnectStop) {
    SetUpClient();
    EXPECT_EQ(client->state(), ConnectionState::stopped) << "before start";
    size_t calls_at_connected = 0;
    host.on_connection_event = [&](const ConnectionEvent& e) {
        EXPECT_EQ(e.endpoint, client->url);
        EXPECT_EQ(client->state(), e.state);
        if (e.state == ConnectionState::connected && calls_at_connected == 0)
            calls_at_connected = host.log.size();
    };
    // Two widgets following the client through its signal see what the window saw.
    std::vector<ConnectionEvent> seen[2];
    for (auto& list : seen)
        QObject::connect(&client->client_signals(), &ClientSignals::connectionChanged,
                         [&list](const ConnectionEvent& e) { list.push_back(e); });
    connect();
    ASSERT_TRUE(wait_for_events(2));
    EXPECT_EQ(calls_at_connected, 2u) << "after the console line and the status text";
    server->close(1000, "bye");
    ASSERT_TRUE(server->wait_for_connections(2));
    ASSERT_TRUE(wait_for_events(6)) << testing::PrintToString(events());
    client->stop();
    ASSERT_TRUE(wait_for_events(7));
    EXPECT_EQ(events(), (std::vector<std::string>{
                            "connecting 0", "connected", "disconnected 1000 1000 bye",
                            "reconnecting 1 1.0", "connecting 1", "connected", "stopped"}));
    for (const auto& list : seen) EXPECT_EQ(described(list), events());
}

// Catches statsChanged emitted for counters that did not change, not emitted when they did, or
// still emitted once its interval is set to zero.
TEST_F(Events, StatsChangedAtTheHostsRate) {
    SetUpClient();
    ClientSignals& qt_signals = client->client_signals();
    std::vector<ClientStats> emitted;
    QObject::connect(&qt_signals, &ClientSignals::statsChanged,
                     [&](const ClientStats& s) { emitted.push_back(s); });
    EXPECT_EQ(qt_signals.statsInterval(), 0ms);
    qt_signals.setStatsInterval(5ms);
    EXPECT_EQ(qt_signals.statsInterval(), 5ms);
    pump_events(100);
    EXPECT_EQ(emitted.size(), 1u) << "an idle client's counters once";
    connect();
    for (int i = 0; i < 3; ++i) server->send_text(R"({"type": "x"})");
    ASSERT_TRUE(wait_until([&] { return !emitted.empty() && emitted.back().frames_in == 3; }));
    qt_signals.setStatsInterval(0ms);
    const size_t count = emitted.size();
    server->send_text(R"({"type": "x"})");
    pump_events(100);
    EXPECT_EQ(emitted.size(), count);
}

// Catches an abnormal end or a refused attempt reported without its reason, with a close code
// it did not have, or without the back-off's attempt and delay.
TEST_F(Events, DropAndRefusedAttempts) {
    SetUpClient();
    connect();
    ASSERT_TRUE(wait_for_events(2));
    server->drop();
    ASSERT_TRUE(wait_for_events(4));
    const auto dropped = host.connection_events()[2];
    EXPECT_EQ(dropped.state, ConnectionState::disconnected);
    EXPECT_FALSE(dropped.close_code);
    EXPECT_FALSE(dropped.error.empty());
    client->stop();

    // A port where nothing listens: every attempt is refused, with a growing back-off.
    ClosedPort closed;
    RecordingHost refused_host;
    WebSocketClient refused(refused_host, "127.0.0.1", closed.port(),
                            ClientTestOptions{test_time_scale});
    refused.start();
    ASSERT_TRUE(wait_until([&] { return refused_host.connection_events().size() >= 6; }));
    refused.stop();
    auto lines = described(refused_host.connection_events());
    lines.resize(6);
    const std::string no = "disconnected Connection refused";
    EXPECT_EQ(lines, (std::vector<std::string>{"connecting 0", no, "reconnecting 1 1.0",
                                               "connecting 1", no, "reconnecting 2 2.0"}));
}

std::string write_file(const std::string& name, const std::string& text) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("quarvo-" + std::to_string(::getpid()) + "-" + name);
    std::ofstream(path) << text;
    return path.string();
}

class Tls : public ClientTest {
  protected:
    // A wss client of the TLS test server with these options; host: the name it connects to.
    void start_with(const ClientOptions& options, const std::string& host_name = "127.0.0.1") {
        env_.emplace("QUARVO_SECURED", nullptr);
        if (!server) server = std::make_unique<TestServer>(TestServer::Options{.tls = true});
        client = std::make_unique<WebSocketClient>(host, host_name, server->port(), options,
                                                   ClientTestOptions{test_time_scale});
        client->start();
    }
    bool refused_twice() {
        return logs.wait_for(LogLevel::error, "[WebSocketClient] Connection error: ", 2);
    }
};

// Catches a pin that is not checked, one that refuses the right certificate, and a refusal
// that stops the back-off instead of retrying.
TEST_F(Tls, PinnedFingerprint) {
    server = std::make_unique<TestServer>(TestServer::Options{.tls = true});
    std::string pin = quarvo_tools::sha256_fingerprint(server->certificate_pem());
    for (char& c : pin) c = char(std::tolower(static_cast<unsigned char>(c)));  // case is free
    ClientOptions options;
    options.tls_certificate_sha256 = pin;
    start_with(options);
    EXPECT_TRUE(server->wait_for_connections(1)) << logs.dump();
    EXPECT_TRUE(wait_until([&] { return client->is_connected(); }));
    client->stop();

    // The same options against another server: its certificate is not the pinned one.
    server = std::make_unique<TestServer>(TestServer::Options{.tls = true});
    start_with(options);
    ASSERT_TRUE(refused_twice()) << logs.dump();
    EXPECT_EQ(server->connections(), 0u);
    const auto errors = logs.matching(LogLevel::error, "[WebSocketClient] Connection error: ");
    EXPECT_NE(errors[0].find("certificate verify failed (certificate rejected)"), std::string::npos)
        << errors[0];
}

// Catches a CA file that is not used, a host name that is not checked, and a configuration
// error that ends the network thread instead of being reported like a failed attempt.
TEST_F(Tls, CaFileAndHostName) {
    server = std::make_unique<TestServer>(TestServer::Options{.tls = true});
    ClientOptions options;
    options.tls_ca_file = write_file("ca.pem", server->certificate_pem());
    start_with(options, "localhost");  // the certificate's name
    EXPECT_TRUE(server->wait_for_connections(1)) << logs.dump();
    client->stop();

    start_with(options, "127.0.0.1");  // trusted certificate, but not this name
    ASSERT_TRUE(refused_twice()) << logs.dump();
    EXPECT_EQ(server->connections(), 1u);
    client->stop();

    options.tls_ca_file =
        write_file("other.pem", quarvo_tools::make_self_signed_certificate().certificate);
    start_with(options, "localhost");
    ASSERT_TRUE(refused_twice()) << logs.dump();
    EXPECT_EQ(server->connections(), 1u);
    client->stop();

    ClientOptions bad;
    bad.tls_certificate_sha256 = "not a fingerprint";
    start_with(bad);
    EXPECT_TRUE(logs.wait_for(LogLevel::error,
                              "[WebSocketClient] Connection error: TLS configuration: "
                              "tls_certificate_sha256 is not a SHA-256 fingerprint",
                              2))
        << "reported like a failed attempt, and tried again";
}

// A host that overrides nothing but the console.
class MinimalHost final : public HostWindow {
  public:
    std::vector<std::string> lines;
    void log_to_console(std::string_view text, std::optional<std::string_view>, OutputLevel,
                        std::optional<bool>) override {
        lines.emplace_back(text);
    }
};

// Catches a default that throws or crashes on some message type, and defaults that forget
// what the client reads back (tree, module caches, debugger state).
TEST(HostWindowDefaults, EveryMessageTypeIsSafe) {
    LogCapture logs;
    MinimalHost host;
    WebSocketClient client(host, "127.0.0.1", 1);
    const JsonObject full{{"workbook_id", "wb1"},
                          {"module_name", "m"},
                          {"name", "Book1"},
                          {"new_name", "Book2"},
                          {"content", "hello"},
                          {"code", "x = 1"},
                          {"modules", JsonObject{{"m", "x = 1"}}},
                          {"workbooks", JsonArray{JsonObject{{"id", "wb1"}, {"name", "Book1"}}}},
                          {"package_name", "requests"},
                          {"packages", JsonArray{}},
                          {"success", true},
                          {"line", 3},
                          {"watchdog_port", 9100},
                          {"auth_token", "t"}};
    for (std::string_view type : MESSAGE_TYPES) {
        if (type == "message_ide") continue;  // a modal box: tested with the window
        JsonObject m = full;
        m["type"] = type;
        if (type == "module_list") m["modules"] = JsonArray{"m"};  // names here, not a map
        detail::ClientAccess::_handle_message(client, boost::json::serialize(m));
    }
    ASSERT_TRUE(wait_until([&] { return client.stats().gui_queue_depth == 0; }));
    pump_events(50);
    EXPECT_EQ(logs.count(LogLevel::error, "Unhandled exception"), 0u) << logs.dump();
    EXPECT_FALSE(host.lines.empty());
    EXPECT_EQ(host.project_explorer()._workbook_items(), std::set<std::string>{"wb1"});
    EXPECT_EQ(host._module_cache().at("wb1").at("m"), "x = 1");
    EXPECT_EQ(host.watchdog_port(), 9100);
}

// Catches an answer that carries "error" of its own being taken for a time-out, and the other
// way round.
TEST(IsTimeout, TellsTheTimeOutObjectFromAnswers) {
    struct Row {
        const char* json;
        bool timeout;
    } rows[] = {
        {R"({"error": "timeout", "request_id": "r", "message": "Request timed out after 30.0s"})",
         true},
        {R"({"type": "execution_result", "success": false, "error": "timeout"})", false},
        {R"({"type": "module_content", "code": "x"})", false},
        {R"({"error": "something else"})", false},
        {R"({"error": null})", false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(is_timeout(boost::json::parse(row.json).as_object()), row.timeout) << row.json;
}

// Catches a time-out object that is_timeout does not recognise: the one the client makes.
TEST_F(Events, RealTimeOutObjectIsATimeOut) {
    SetUpClient();
    connect();
    std::optional<JsonObject> got;
    client->send_and_wait_response(
        JsonObject{{"type", "get_module"}}, [&](JsonObject a) { got = std::move(a); },
        "module_content", 1.0);
    ASSERT_TRUE(wait_until([&] { return got.has_value(); }));
    EXPECT_TRUE(is_timeout(*got)) << boost::json::serialize(*got);
}

}  // namespace

namespace {

// Catches a host handler that never runs, runs off the GUI thread or out of order, one that
// replaces a system handler, and an observer that misses a handled message.
TEST_F(Events, HostHandlersTakeNewTypesOnlyAndAnObserverSeesEveryHandledMessage) {
    SetUpClient();
    std::vector<std::string> seen;
    bool off_gui_thread = false;
    const auto on_gui_thread = [] {
        return QThread::currentThread() == QCoreApplication::instance()->thread();
    };
    EXPECT_TRUE(client->register_handler("sheet_recalculated", [&](JsonObject& m) {
        off_gui_thread |= !on_gui_thread();
        seen.push_back("handler " + text_form(m.at("sheet")));
    }));
    EXPECT_FALSE(client->register_handler("sheet_recalculated", [](JsonObject&) {}));
    EXPECT_FALSE(
        client->register_handler("stdout", [&](JsonObject&) { seen.push_back("hijacked"); }));
    EXPECT_TRUE(logs.wait_for(LogLevel::warning,
                              "[WebSocketClient] Handler not registered: "
                              "\"stdout\" is a message type of the system"));
    client->observe_messages(
        [&](const JsonObject& m) { seen.push_back("observed " + text_form(m.at("type"))); });
    client->start();
    ASSERT_TRUE(server->wait_for_connections(1));
    server->send_text(R"({"type": "sheet_recalculated", "sheet": "Q3"})");
    server->send_text(R"({"type": "stdout", "content": "x"})");
    server->send_text(R"({"type": "made_up_and_unregistered"})");
    ASSERT_TRUE(logs.wait_for(LogLevel::warning,
                              "[WebSocketClient] No handler for message type: "
                              "made_up_and_unregistered"));
    pump_events(20);
    EXPECT_EQ(seen, (std::vector<std::string>{"handler Q3", "observed sheet_recalculated",
                                              "observed stdout"}));
    EXPECT_FALSE(off_gui_thread);
}

// Catches a category a host cannot name, or one whose debug lines are on without a rule.
TEST(Logging, TheCategoryIsExportedWithDebugOffByDefault) {
    const QLoggingCategory& category = lcWebSocketClient();
    EXPECT_STREQ(category.categoryName(), "quarvo_zovovi.ide.gui.websocket_client");
    EXPECT_FALSE(category.isDebugEnabled());
    EXPECT_TRUE(category.isInfoEnabled());
    QLoggingCategory::setFilterRules("quarvo_zovovi.ide.gui.websocket_client.debug=true");
    EXPECT_TRUE(category.isDebugEnabled()) << "rules turn it on";
    QLoggingCategory::setFilterRules("");
    EXPECT_FALSE(category.isDebugEnabled());
}

}  // namespace
