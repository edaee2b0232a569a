// Where and how the client connects, as a host sets it in ClientOptions: the scheme against
// QUARVO_SECURED, the path, header fields of the upgrade request, IPv6 literals and the TLS
// server name, permessage-deflate, and an HTTP CONNECT proxy with and without credentials.
#include "client_fixture.h"
#include "connect_proxy.h"

using namespace quarvo_test;

namespace {

class Endpoint : public ClientTest {
  protected:
    // A client of `server` (made by the row) with `options`, started; QUARVO_SECURED as given.
    void start_with(const ClientOptions& options, const char* secured_env,
                    const std::string& host_name = "127.0.0.1") {
        env_.emplace("QUARVO_SECURED", secured_env);
        client = std::make_unique<WebSocketClient>(host, host_name, server->port(), options,
                                                   ClientTestOptions{test_time_scale});
        client->start();
    }
    // Connected, and a frame both ways.
    void expect_a_working_connection() {
        ASSERT_TRUE(server->wait_for_connections(1)) << logs.dump();
        ASSERT_TRUE(wait_until([&] { return client->is_connected(); }));
        client->send_text_message("up");
        EXPECT_TRUE(server->wait_for_frames(1));
    }
};

struct SchemeCase {
    const char* name;
    std::optional<bool> secure;
    const char* env;  // QUARVO_SECURED; nullptr: unset
    bool tls_server;
    std::string host_name;
    std::string path;
    const char* url;  // with PORT for the server's port
    const char* server_name = "";  // the TLS server name the server saw
};

// Catches the option not overriding the variable (both ways), a path not used in the url or on
// the wire, an IPv6 literal left unbracketed in the url or the Host field, and a TLS server
// name sent for an address.
TEST_F(Endpoint, SchemePathAndIpv6Literals) {
    const SchemeCase cases[] = {
        {"ws over the variable's wss", false, nullptr, false, "127.0.0.1", "/ws/ide/main_ide",
         "ws://127.0.0.1:PORT/ws/ide/main_ide"},
        {"wss over the variable's ws", true, "0", true, "127.0.0.1", "/other/path",
         "wss://127.0.0.1:PORT/other/path"},
        {"the variable when unset", std::nullopt, "0", false, "127.0.0.1", "/ws/ide/main_ide",
         "ws://127.0.0.1:PORT/ws/ide/main_ide"},
        {"ws to ::1", false, nullptr, false, "::1", "/ws/ide/main_ide",
         "ws://[::1]:PORT/ws/ide/main_ide"},
        {"wss to [::1]", true, nullptr, true, "[::1]", "/ws/ide/main_ide",
         "wss://[::1]:PORT/ws/ide/main_ide"},
        {"wss to a name", true, nullptr, true, "localhost", "/ws/ide/main_ide",
         "wss://localhost:PORT/ws/ide/main_ide", "localhost"},
    };
    for (const SchemeCase& c : cases) {
        SCOPED_TRACE(c.name);
        client.reset();
        const bool v6 = c.host_name.find(':') != std::string::npos;
        server = std::make_unique<TestServer>(
            TestServer::Options{
                .tls = c.tls_server, .address = v6 ? "::1" : "127.0.0.1", .path = c.path});
        ClientOptions options;
        options.secure = c.secure;
        options.path = c.path;
        start_with(options, c.env, c.host_name);
        const std::string port = std::to_string(server->port());
        std::string url = c.url;
        url.replace(url.find("PORT"), 4, port);
        EXPECT_EQ(client->url, url);
        expect_a_working_connection();
        const auto handshakes = server->handshakes();
        ASSERT_EQ(handshakes.size(), 1u);
        EXPECT_EQ(handshakes[0].target, c.path);
        const size_t authority = url.find("://") + 3;
        EXPECT_EQ(handshakes[0].headers.at("host"),
                  url.substr(authority, url.find('/', authority) - authority));
        EXPECT_EQ(handshakes[0].server_name, c.server_name) << "a server name for names only";
        client->stop();
    }
}

// Catches a host's header fields lost or reordered, and a field of the handshake itself taken
// from the host (a second Host, a Sec-WebSocket-Key that breaks the upgrade).
TEST_F(Endpoint, HeaderFieldsOfTheUpgradeRequest) {
    server = std::make_unique<TestServer>();
    ClientOptions options;
    options.headers = {{"Authorization", "Bearer t0ken"},
                       {"Origin", "https://ide.example"},
                       {"host", "elsewhere:1"},
                       {"Sec-WebSocket-Key", "AAAAAAAAAAAAAAAAAAAAAA=="}};
    start_with(options, "0");
    expect_a_working_connection();
    const Handshake h = server->handshakes().at(0);
    EXPECT_EQ(h.headers.at("authorization"), "Bearer t0ken");
    EXPECT_EQ(h.headers.at("origin"), "https://ide.example");
    EXPECT_EQ(h.headers.at("host"), "127.0.0.1:" + std::to_string(server->port()));
    EXPECT_NE(h.headers.at("sec-websocket-key"), "AAAAAAAAAAAAAAAAAAAAAA==");
}

struct DeflateCase {
    const char* name;
    bool client_offers;
    bool server_accepts;
};

// Catches an offer not made, made unasked, or a compressed message altered either way.
TEST_F(Endpoint, PermessageDeflateOnRequest) {
    const DeflateCase cases[] = {
        {"both", true, true}, {"offered, not accepted", true, false}, {"not offered", false, true}};
    std::string code;
    for (int i = 0; code.size() < (200u << 10); ++i) code += "x_" + std::to_string(i) + " = 1; ";
    const std::string big = R"({"type": "big", "code": ")" + code + "\"}";
    for (const DeflateCase& c : cases) {
        SCOPED_TRACE(c.name);
        client.reset();
        server = std::make_unique<TestServer>(
            TestServer::Options{.permessage_deflate = c.server_accepts});
        ClientOptions options;
        options.permessage_deflate = c.client_offers;
        start_with(options, "0");
        std::vector<std::string> codes;
        client->register_handler("big", [&](JsonObject& m) {
            codes.emplace_back(m.at("code").as_string());
        });
        expect_a_working_connection();
        const auto headers = server->handshakes().at(0).headers;
        const auto offer = headers.find("sec-websocket-extensions");
        EXPECT_EQ(offer != headers.end() && offer->second.starts_with("permessage-deflate"),
                  c.client_offers);
        server->send_text(big);
        ASSERT_TRUE(wait_until([&] { return !codes.empty(); }));
        EXPECT_EQ(codes[0], code);
        client->send_text_message(big);
        ASSERT_TRUE(server->wait_for_frames(2));
        EXPECT_EQ(server->frames().back(), big);
        client->stop();
    }
}

// Catches a proxy not used, a tunnel to the wrong target, credentials not sent or malformed,
// and wss broken by the tunnel.
TEST_F(Endpoint, ThroughAConnectProxy) {
    for (const bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "wss" : "ws");
        client.reset();
        server = std::make_unique<TestServer>(TestServer::Options{.tls = tls});
        ConnectProxy proxy({.authorization = "Basic dXNlcjpzZWNyZXQ="});  // user:secret
        ClientOptions options;
        options.secure = tls;
        options.proxy_host = "127.0.0.1";
        options.proxy_port = proxy.port();
        options.proxy_username = "user";
        options.proxy_password = "secret";
        start_with(options, nullptr);
        expect_a_working_connection();
        const auto requests = proxy.requests();
        ASSERT_EQ(requests.size(), 1u);
        const std::string target = "127.0.0.1:" + std::to_string(server->port());
        EXPECT_EQ(requests[0].target, "CONNECT " + target);
        EXPECT_EQ(requests[0].headers.at("host"), target);
        EXPECT_EQ(proxy.tunnels(), 1u);
        client->stop();
    }
}

// Catches a refused tunnel reported as something else, or one that ends the retries.
TEST_F(Endpoint, AProxyThatRefusesIsAFailedAttempt) {
    server = std::make_unique<TestServer>();
    ConnectProxy proxy({.authorization = "Basic dXNlcjpzZWNyZXQ="});
    ClientOptions options;
    options.proxy_host = "127.0.0.1";
    options.proxy_port = proxy.port();
    options.proxy_username = "user";
    options.proxy_password = "wrong";
    start_with(options, "0");
    EXPECT_TRUE(logs.wait_for(
        LogLevel::error,
        "[WebSocketClient] Connection error: proxy refused CONNECT: 407 Proxy Authentication "
        "Required",
        2));
    EXPECT_TRUE(logs.wait_for(LogLevel::info, "[WebSocketClient] Reconnecting in 2.0s (attempt 2)"));
    EXPECT_EQ(server->connections(), 0u);
    EXPECT_EQ(proxy.tunnels(), 0u);
}

}  // namespace
