// The loopback Business Layer stand-in: an accept loop and one coroutine per connection on
// the server's own io_context thread.
#include "test_server.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/websocket/error.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <cctype>
#include <condition_variable>
#include <mutex>

#include "ws_server.h"

namespace quarvo_test {

namespace asio = boost::asio;
namespace ws = quarvo_tools::ws;
using tcp = asio::ip::tcp;
using asio::awaitable;
constexpr auto nothrow = asio::as_tuple(asio::use_awaitable);

struct TestServer::State {
    // Recorded facts, read by the test thread.
    mutable std::mutex mutex;
    std::condition_variable changed;
    size_t connections = 0;
    size_t ended = 0;
    size_t attempts = 0;
    size_t pings = 0;
    size_t texts_sent = 0;
    bool reading_paused = false;
    std::string certificate_pem;
    std::string path;  // the one path served; others get 404
    std::vector<std::string> frames;
    std::vector<Handshake> handshakes;
    std::vector<uint16_t> close_codes;
    std::vector<std::string> pongs;
    std::chrono::milliseconds patience{0};
    TestServer::Responder responder;
    int refuse_status = 0;
    bool silent = false;
    bool stall = false;

    // Server thread only.
    ws::ServerThread server;
    std::optional<ws::Listener> listener;
    std::weak_ptr<ws::Connection> newest;

    template <class F>
    void record(F f) {
        {
            std::lock_guard lock(mutex);
            f();
        }
        changed.notify_all();
    }

    template <class P>
    bool wait(std::chrono::milliseconds timeout, P pred) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, pred);
    }

    awaitable<void> session(std::shared_ptr<ws::Connection> c);
};

// One connection: records its handshake, then answers as the test has set the server up.
awaitable<void> TestServer::State::session(std::shared_ptr<ws::Connection> c) {
    ws::Request req;
    if (const auto ec = co_await c->tls_handshake(std::chrono::seconds(10)); ec) co_return;
    if (const auto ec = co_await c->read_request(req); ec) co_return;
    int refuse = 0;
    bool silent_now = false;
    bool stall_now = false;
    std::chrono::milliseconds patience_now{0};
    record([&] {
        ++attempts;
        Handshake h;
        h.target = std::string(req.target());
        h.server_name = c->server_name();
        for (const auto& field : req) {
            std::string name(field.name_string());
            for (char& ch : name) ch = char(std::tolower(static_cast<unsigned char>(ch)));
            h.headers[name] = std::string(field.value());
        }
        handshakes.push_back(std::move(h));
        refuse = refuse_status;
        silent_now = silent;
        stall_now = stall;
        patience_now = patience;
    });
    asio::steady_timer timer(c->executor());
    if (stall_now) {
        timer.expires_at(std::chrono::steady_clock::time_point::max());
        co_await timer.async_wait(nothrow);
        co_return;
    }
    if (req.target() != path) refuse = 404;
    if (refuse || !boost::beast::websocket::is_upgrade(req)) {
        co_await c->refuse(req, refuse ? refuse : 400, "refused");
        co_return;
    }
    c->on_control([this](bool ping, std::string_view payload) {
        if (ping)
            record([&] { ++pings; });
        else
            record([&] { pongs.emplace_back(payload); });
    });
    c->written = [this](const ws::Outgoing& item, ws::error_code ec) {
        if (item.kind == ws::Outgoing::text && !ec) record([&] { ++texts_sent; });
    };
    if (const auto ec = co_await c->accept(req, patience_now); ec) co_return;
    newest = c;
    record([&] { ++connections; });

    if (silent_now) {
        // Never read: control frames are answered only by a pending read.
        while (c->is_open()) {
            timer.expires_after(std::chrono::milliseconds(20));
            co_await timer.async_wait(nothrow);
        }
    } else {
        std::string text;
        for (;;) {
            for (;;) {
                bool hold = false;
                record([&] { hold = reading_paused; });
                if (!hold) break;
                timer.expires_after(std::chrono::milliseconds(2));
                co_await timer.async_wait(nothrow);
            }
            const ws::error_code ec = co_await c->read(text);
            if (ec == boost::beast::websocket::error::closed) {
                const uint16_t code = c->close_code();
                record([&] { close_codes.push_back(code ? code : 1005); });
            }
            if (ec) break;
            if (!c->got_text()) continue;
            TestServer::Responder answer;
            record([&] {
                answer = responder;
                frames.push_back(text);
            });
            if (answer) {
                if (auto reply = answer(text)) c->send({ws::Outgoing::text, std::move(*reply)});
            }
        }
    }
    c->finish();
    record([&] { ++ended; });
}

struct ClosedPort::Socket {
    asio::io_context io;
    tcp::acceptor acceptor{io};
};

ClosedPort::ClosedPort() : socket_(std::make_unique<Socket>()) {
    // Bound without listening: connections to it are refused.
    tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
    socket_->acceptor.open(endpoint.protocol());
    socket_->acceptor.bind(endpoint);
    port_ = socket_->acceptor.local_endpoint().port();
}

ClosedPort::~ClosedPort() = default;

TestServer::TestServer(Options options) : state_(std::make_shared<State>()) {
    ws::ListenOptions listen;
    listen.port = options.port;
    listen.address = options.address;
    listen.permessage_deflate = options.permessage_deflate;
    state_->path = options.path;
    listen.send_buffer_bytes = options.send_buffer_bytes;
    if (options.tls) {
#if !QUARVO_WITH_TLS
        throw std::runtime_error("no TLS in this build");
#else
        listen.tls = quarvo_tools::make_self_signed_certificate();
        state_->certificate_pem = listen.tls->certificate;
#endif
    }
    State* state = state_.get();
    state_->listener.emplace(
        state_->server.io(), listen,
        [state](std::shared_ptr<ws::Connection> c) { return state->session(std::move(c)); });
    state_->server.start();
}

TestServer::~TestServer() {
    state_->server.stop();
    state_->listener.reset();
}

uint16_t TestServer::port() const {
    return state_->listener->port();
}

std::string TestServer::certificate_pem() const {
    return state_->certificate_pem;
}

void TestServer::refuse_handshakes(int http_status) {
    state_->record([&] { state_->refuse_status = http_status; });
}

void TestServer::stall_handshakes(bool stall) {
    state_->record([&] { state_->stall = stall; });
}

void TestServer::set_ping_patience(std::chrono::milliseconds patience) {
    state_->record([&] { state_->patience = patience; });
}

void TestServer::set_responder(Responder responder) {
    state_->record([&] { state_->responder = std::move(responder); });
}

void TestServer::clear_frames() {
    state_->record([&] {
        state_->frames.clear();
        state_->handshakes.clear();
    });
}

void TestServer::pause_reading(bool paused) {
    state_->record([&] { state_->reading_paused = paused; });
}

void TestServer::set_silent(bool silent) {
    state_->record([&] { state_->silent = silent; });
}

namespace {
void post_action(const std::shared_ptr<TestServer::State>& state, ws::Outgoing item) {
    asio::post(state->server.io(), [state = state.get(), item = std::move(item)]() mutable {
        if (auto session = state->newest.lock()) session->send(std::move(item));
    });
}
}  // namespace

void TestServer::send_text(std::string text) {
    post_action(state_, {ws::Outgoing::text, std::move(text)});
}
void TestServer::send_binary(std::string data) {
    post_action(state_, {ws::Outgoing::binary, std::move(data)});
}
void TestServer::close(uint16_t code, std::string reason) {
    post_action(state_, {ws::Outgoing::close, std::move(reason), code});
}
void TestServer::drop() {
    post_action(state_, {ws::Outgoing::drop, {}});
}
void TestServer::reset() {
    post_action(state_, {ws::Outgoing::reset, {}});
}
void TestServer::send_raw(std::string bytes) {
    post_action(state_, {ws::Outgoing::raw, std::move(bytes)});
}

bool TestServer::wait_for_connections(size_t n, std::chrono::milliseconds timeout) {
    return state_->wait(timeout, [&] { return state_->connections >= n; });
}
bool TestServer::wait_for_ended(size_t n, std::chrono::milliseconds timeout) {
    return state_->wait(timeout, [&] { return state_->ended >= n; });
}
bool TestServer::wait_for_frames(size_t n, std::chrono::milliseconds timeout) {
    return state_->wait(timeout, [&] { return state_->frames.size() >= n; });
}
bool TestServer::wait_for_pings(size_t n, std::chrono::milliseconds timeout) {
    return state_->wait(timeout, [&] { return state_->pings >= n; });
}
bool TestServer::wait_for_handshake_attempts(size_t n, std::chrono::milliseconds timeout) {
    return state_->wait(timeout, [&] { return state_->attempts >= n; });
}

size_t TestServer::connections() const {
    std::lock_guard lock(state_->mutex);
    return state_->connections;
}
size_t TestServer::ended() const {
    std::lock_guard lock(state_->mutex);
    return state_->ended;
}
size_t TestServer::handshake_attempts() const {
    std::lock_guard lock(state_->mutex);
    return state_->attempts;
}
std::vector<std::string> TestServer::frames() const {
    std::lock_guard lock(state_->mutex);
    return state_->frames;
}
size_t TestServer::texts_sent() const {
    std::lock_guard lock(state_->mutex);
    return state_->texts_sent;
}
bool TestServer::wait_for_texts_sent(size_t n, std::chrono::milliseconds timeout) {
    return state_->wait(timeout, [&] { return state_->texts_sent >= n; });
}
size_t TestServer::pings() const {
    std::lock_guard lock(state_->mutex);
    return state_->pings;
}
std::vector<uint16_t> TestServer::close_codes() const {
    std::lock_guard lock(state_->mutex);
    return state_->close_codes;
}
bool TestServer::wait_for_close_codes(size_t n, std::chrono::milliseconds timeout) {
    return state_->wait(timeout, [&] { return state_->close_codes.size() >= n; });
}
std::vector<std::string> TestServer::pong_payloads() const {
    std::lock_guard lock(state_->mutex);
    return state_->pongs;
}
bool TestServer::wait_for_pongs(size_t n, std::chrono::milliseconds timeout) {
    return state_->wait(timeout, [&] { return state_->pongs.size() >= n; });
}
std::vector<Handshake> TestServer::handshakes() const {
    std::lock_guard lock(state_->mutex);
    return state_->handshakes;
}

}  // namespace quarvo_test
