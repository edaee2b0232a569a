// The loopback Business Layer stand-in: an accept loop and one coroutine per connection on
// the server's own io_context thread.
#include "test_server.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <variant>

#if QUARVO_WITH_TLS
#include <boost/asio/ssl.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "self_signed.h"
#endif

namespace quarvo_test {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
#if QUARVO_WITH_TLS
namespace ssl = asio::ssl;
#endif
using tcp = asio::ip::tcp;
using asio::awaitable;
constexpr auto nothrow = asio::as_tuple(asio::use_awaitable);

namespace {

struct SendText {
    std::string text;
};
struct SendBinary {
    std::string data;
};
struct Close {
    uint16_t code;
    std::string reason;
};
struct Drop {
    bool reset;
};
struct Raw {
    std::string bytes;
};
using Action = std::variant<SendText, SendBinary, Close, Drop, Raw>;

// What a session offers to the server's action queue.
class SessionBase {
  public:
    virtual ~SessionBase() = default;
    virtual void act(Action action) = 0;
};

}  // namespace

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
    int send_buffer_bytes = 0;
    std::string certificate_pem;
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
    asio::io_context io{1};
#if QUARVO_WITH_TLS
    std::optional<ssl::context> tls;
#endif
    tcp::acceptor acceptor{io};
    std::weak_ptr<SessionBase> newest;
    std::thread thread;

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
};

namespace {

template <class Stream>
class Session final : public SessionBase, public std::enable_shared_from_this<Session<Stream>> {
  public:
    template <class... Args>
    Session(TestServer::State& state, tcp::socket socket, Args&... args)
        : state_(state), ws_(std::move(socket), args...), wake_(ws_.get_executor()) {}

    void act(Action action) override {
        actions_.push_back(std::move(action));
        wake_.cancel();
    }

    awaitable<void> run() {
        auto self = this->shared_from_this();
        auto& tcp_layer = beast::get_lowest_layer(ws_);
        tcp_layer.expires_after(std::chrono::seconds(10));
#if QUARVO_WITH_TLS
        if constexpr (!std::is_same_v<Stream, websocket::stream<beast::tcp_stream>>) {
            auto [ec] =
                co_await ws_.next_layer().async_handshake(ssl::stream_base::server, nothrow);
            if (ec) co_return;
        }
#endif
        beast::flat_buffer buffer;
        http::request<http::string_body> req;
        auto [read_ec, n] = co_await http::async_read(ws_.next_layer(), buffer, req, nothrow);
        if (read_ec) co_return;
        int refuse = 0;
        bool silent = false;
        bool stall = false;
        std::chrono::milliseconds patience{0};
        state_.record([&] {
            ++state_.attempts;
            Handshake h;
            h.target = std::string(req.target());
            for (const auto& field : req) {
                std::string name(field.name_string());
                for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
                h.headers[name] = std::string(field.value());
            }
            state_.handshakes.push_back(std::move(h));
            refuse = state_.refuse_status;
            silent = state_.silent;
            stall = state_.stall;
            patience = state_.patience;
        });
        if (stall) {
            tcp_layer.expires_never();
            asio::steady_timer forever(ws_.get_executor(),
                                       std::chrono::steady_clock::time_point::max());
            co_await forever.async_wait(nothrow);
            co_return;
        }
        if (req.target() != "/ws/ide/main_ide") refuse = 404;
        if (refuse || !websocket::is_upgrade(req)) {
            http::response<http::string_body> res{http::status(refuse ? refuse : 400),
                                                  req.version()};
            res.body() = "refused";
            res.prepare_payload();
            co_await http::async_write(ws_.next_layer(), res, nothrow);
            beast::error_code ignored;
            tcp_layer.socket().shutdown(tcp::socket::shutdown_both, ignored);
            co_return;
        }
        tcp_layer.expires_never();
        auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
        if (patience.count() > 0) {
            timeouts.idle_timeout = patience;
            timeouts.keep_alive_pings = true;
        }
        ws_.set_option(timeouts);
        ws_.control_callback([this](websocket::frame_type kind, beast::string_view payload) {
            if (kind == websocket::frame_type::ping) state_.record([&] { ++state_.pings; });
            if (kind == websocket::frame_type::pong)
                state_.record([&] { state_.pongs.emplace_back(payload); });
        });
        auto [accept_ec] = co_await ws_.async_accept(req, nothrow);
        if (accept_ec) co_return;
        state_.newest = self;
        state_.record([&] { ++state_.connections; });

        asio::co_spawn(ws_.get_executor(), writer(), [self](std::exception_ptr) {});
        if (silent) {
            // Never read: control frames are answered only by a pending read.
            asio::steady_timer idle(ws_.get_executor());
            while (open_) {
                idle.expires_after(std::chrono::milliseconds(20));
                co_await idle.async_wait(nothrow);
            }
        } else {
            beast::flat_buffer frame;
            asio::steady_timer paused(ws_.get_executor());
            for (;;) {
                for (;;) {
                    bool hold = false;
                    state_.record([&] { hold = state_.reading_paused; });
                    if (!hold) break;
                    paused.expires_after(std::chrono::milliseconds(2));
                    co_await paused.async_wait(nothrow);
                }
                auto [ec, size] = co_await ws_.async_read(frame, nothrow);
                if (ec == websocket::error::closed) {
                    const auto code = uint16_t(ws_.reason().code);
                    state_.record([&] { state_.close_codes.push_back(code ? code : 1005); });
                }
                if (ec) break;
                std::string text = beast::buffers_to_string(frame.data());
                frame.consume(frame.size());
                if (!ws_.got_text()) continue;
                TestServer::Responder responder;
                state_.record([&] {
                    responder = state_.responder;
                    state_.frames.push_back(text);
                });
                if (responder) {
                    if (auto reply = responder(text)) act(SendText{std::move(*reply)});
                }
            }
        }
        open_ = false;
        wake_.cancel();
        state_.record([&] { ++state_.ended; });
    }

  private:
    awaitable<void> writer() {
        auto self = this->shared_from_this();
        while (open_) {
            if (actions_.empty()) {
                wake_.expires_at(std::chrono::steady_clock::time_point::max());
                co_await wake_.async_wait(nothrow);
                continue;
            }
            Action action = std::move(actions_.front());
            actions_.pop_front();
            if (auto* t = std::get_if<SendText>(&action)) {
                ws_.text(true);
                auto [ec, n] = co_await ws_.async_write(asio::buffer(t->text), nothrow);
                if (!ec) state_.record([&] { ++state_.texts_sent; });
            } else if (auto* b = std::get_if<SendBinary>(&action)) {
                ws_.binary(true);
                co_await ws_.async_write(asio::buffer(b->data), nothrow);
            } else if (auto* c = std::get_if<Close>(&action)) {
                co_await ws_.async_close(
                    websocket::close_reason(websocket::close_code(c->code), c->reason), nothrow);
            } else if (auto* r = std::get_if<Raw>(&action)) {
                co_await asio::async_write(ws_.next_layer(), asio::buffer(r->bytes), nothrow);
            } else {
                beast::error_code ignored;
                auto& socket = beast::get_lowest_layer(ws_).socket();
                if (std::get<Drop>(action).reset)
                    socket.set_option(tcp::socket::linger(true, 0), ignored);
                socket.close(ignored);
                open_ = false;
            }
        }
    }

    TestServer::State& state_;
    Stream ws_;
    asio::steady_timer wake_;
    std::deque<Action> actions_;
    bool open_ = true;
};

// Raw pointer: the State owns the io_context that owns this frame.
awaitable<void> accept_loop(TestServer::State* state) {
    for (;;) {
        auto [ec, socket] = co_await state->acceptor.async_accept(nothrow);
        if (ec) co_return;
        if (state->send_buffer_bytes > 0) {
            beast::error_code ignored;
            socket.set_option(asio::socket_base::send_buffer_size(state->send_buffer_bytes),
                              ignored);
        }
#if QUARVO_WITH_TLS
        if (state->tls) {
            auto s =
                std::make_shared<Session<websocket::stream<beast::ssl_stream<beast::tcp_stream>>>>(
                    *state, std::move(socket), *state->tls);
            asio::co_spawn(state->io, s->run(), asio::detached);
            continue;
        }
#endif
        {
            auto s = std::make_shared<Session<websocket::stream<beast::tcp_stream>>>(
                *state, std::move(socket));
            asio::co_spawn(state->io, s->run(), asio::detached);
        }
    }
}

}  // namespace

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
    state_->send_buffer_bytes = options.send_buffer_bytes;
    if (options.tls) {
#if !QUARVO_WITH_TLS
        throw std::runtime_error("no TLS in this build");
#else
        const quarvo_tools::PemPair pem = quarvo_tools::make_self_signed_certificate();
        state_->certificate_pem = pem.certificate;
        state_->tls.emplace(ssl::context::tls_server);
        state_->tls->use_certificate_chain(asio::buffer(pem.certificate));
        state_->tls->use_private_key(asio::buffer(pem.private_key), ssl::context::pem);
#endif
    }
    tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), options.port);
    state_->acceptor.open(endpoint.protocol());
    state_->acceptor.set_option(tcp::acceptor::reuse_address(true));
    state_->acceptor.bind(endpoint);
    state_->acceptor.listen();
    asio::co_spawn(state_->io, accept_loop(state_.get()), asio::detached);
    state_->thread = std::thread([state = state_] { state->io.run(); });
}

TestServer::~TestServer() {
    asio::post(state_->io, [state = state_.get()] { state->io.stop(); });
    state_->thread.join();
}

uint16_t TestServer::port() const {
    return state_->acceptor.local_endpoint().port();
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
void post_action(const std::shared_ptr<TestServer::State>& state, Action action) {
    asio::post(state->io, [state = state.get(), action = std::move(action)]() mutable {
        if (auto session = state->newest.lock()) session->act(std::move(action));
    });
}
}  // namespace

void TestServer::send_text(std::string text) {
    post_action(state_, SendText{std::move(text)});
}
void TestServer::send_binary(std::string data) {
    post_action(state_, SendBinary{std::move(data)});
}
void TestServer::close(uint16_t code, std::string reason) {
    post_action(state_, Close{code, std::move(reason)});
}
void TestServer::drop() {
    post_action(state_, Drop{false});
}
void TestServer::reset() {
    post_action(state_, Drop{true});
}
void TestServer::send_raw(std::string bytes) {
    post_action(state_, Raw{std::move(bytes)});
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
