// The shared server parts: one connection type per stream (plain or TLS) behind Connection,
// and the accept loop.
#include "ws_server.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <sstream>

#if !defined(QUARVO_WITH_TLS) || QUARVO_WITH_TLS
#define QUARVO_SERVER_TLS 1
#include <boost/asio/ssl.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket/ssl.hpp>
#else
#define QUARVO_SERVER_TLS 0
#endif

namespace quarvo_tools::ws {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using asio::awaitable;
constexpr auto nothrow = asio::as_tuple(asio::use_awaitable);

namespace {

using PlainStream = websocket::stream<beast::tcp_stream>;

template <class Stream>
class StreamConnection final : public Connection {
  public:
    template <class... Args>
    explicit StreamConnection(bool deflate, tcp::socket socket, Args&... args)
        : ws_(std::move(socket), args...), wake_(ws_.get_executor()) {
        if (deflate) {
            websocket::permessage_deflate pmd;
            pmd.server_enable = true;
            ws_.set_option(pmd);
        }
    }

    awaitable<error_code> tls_handshake(std::chrono::seconds deadline) override {
        beast::get_lowest_layer(ws_).expires_after(deadline);
#if QUARVO_SERVER_TLS
        if constexpr (!std::is_same_v<Stream, PlainStream>) {
            auto [ec] =
                co_await ws_.next_layer().async_handshake(asio::ssl::stream_base::server, nothrow);
            co_return ec;
        }
#endif
        co_return error_code{};
    }

    awaitable<error_code> read_request(Request& request) override {
        auto [ec, n] = co_await http::async_read(ws_.next_layer(), buffer_, request, nothrow);
        co_return ec;
    }

    awaitable<void> refuse(const Request& request, int status, std::string body) override {
        http::response<http::string_body> response{http::status(status), request.version()};
        response.set(http::field::content_type, "text/plain");
        response.body() = std::move(body);
        response.prepare_payload();
        co_await http::async_write(ws_.next_layer(), response, nothrow);
        error_code ignored;
        beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    }

    awaitable<error_code> accept(const Request& request,
                                 std::chrono::milliseconds patience) override {
        beast::get_lowest_layer(ws_).expires_never();
        auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
        if (patience.count() > 0) {
            timeouts.idle_timeout = patience;
            timeouts.keep_alive_pings = true;
        }
        ws_.set_option(timeouts);
        ws_.read_message_max(std::size_t{64} << 20);
        auto [ec] = co_await ws_.async_accept(request, nothrow);
        if (!ec) asio::co_spawn(ws_.get_executor(), writer(), asio::detached);
        co_return ec;
    }

    awaitable<error_code> read(std::string& out) override {
        auto [ec, n] = co_await ws_.async_read(buffer_, nothrow);
        out = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        co_return ec;
    }
    awaitable<error_code> skip() override {
        auto [ec, n] = co_await ws_.async_read(buffer_, nothrow);
        buffer_.consume(buffer_.size());
        co_return ec;
    }
    bool got_text() const override {
        return ws_.got_text();
    }
    uint16_t close_code() const override {
        return uint16_t(ws_.reason().code);
    }
    std::string close_reason() const override {
        return std::string(ws_.reason().reason.c_str());
    }
    void on_control(std::function<void(bool, std::string_view)> f) override {
        ws_.control_callback(
            [f = std::move(f)](websocket::frame_type kind, beast::string_view payload) {
                if (kind != websocket::frame_type::close)
                    f(kind == websocket::frame_type::ping, std::string_view(payload));
            });
    }

    awaitable<error_code> write(Outgoing::Kind kind, std::string_view data,
                                uint16_t code) override {
        error_code ec;
        switch (kind) {
            case Outgoing::text:
            case Outgoing::binary: {
                ws_.text(kind == Outgoing::text);
                std::tie(ec, std::ignore) =
                    co_await ws_.async_write(asio::buffer(data.data(), data.size()), nothrow);
                break;
            }
            case Outgoing::close: {
                websocket::close_reason reason(code);
                reason.reason = beast::string_view(data.data(), data.size());
                std::tie(ec) = co_await ws_.async_close(reason, nothrow);
                break;
            }
            case Outgoing::raw:
                std::tie(ec, std::ignore) = co_await asio::async_write(
                    ws_.next_layer(), asio::buffer(data.data(), data.size()), nothrow);
                break;
            case Outgoing::drop:
            case Outgoing::reset: {
                auto& socket = beast::get_lowest_layer(ws_).socket();
                if (kind == Outgoing::reset) socket.set_option(tcp::socket::linger(true, 0), ec);
                socket.close(ec);
                finish();
                break;
            }
        }
        co_return ec;
    }

    void send(Outgoing item) override {
        outbox_.push_back(std::move(item));
        wake_.cancel();
    }
    void finish() override {
        open_ = false;
        wake_.cancel();
    }
    bool is_open() const override {
        return open_;
    }
    void cancel() override {
        error_code ignored;
        beast::get_lowest_layer(ws_).socket().cancel(ignored);
    }
    asio::any_io_executor executor() override {
        return ws_.get_executor();
    }
    std::string server_name() const override {
#if QUARVO_SERVER_TLS
        if constexpr (!std::is_same_v<Stream, PlainStream>) {
            auto* ssl = const_cast<Stream&>(ws_).next_layer().native_handle();
            if (const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name)) return name;
        }
#endif
        return {};
    }
    std::string remote() const override {
        std::ostringstream out;
        error_code ec;
        out << beast::get_lowest_layer(ws_).socket().remote_endpoint(ec);
        return out.str();
    }

  private:
    // The outbox's writer; it keeps the connection until finish().
    awaitable<void> writer() {
        auto self = shared_from_this();
        while (open_) {
            if (outbox_.empty()) {
                wake_.expires_at(asio::steady_timer::time_point::max());
                co_await wake_.async_wait(nothrow);
                continue;
            }
            Outgoing item = std::move(outbox_.front());
            outbox_.pop_front();
            if (before_write) before_write(item);
            const error_code ec = co_await write(item.kind, item.data, item.code);
            if (written) written(item, ec);
        }
    }

    Stream ws_;
    beast::flat_buffer buffer_;
    asio::steady_timer wake_;
    std::deque<Outgoing> outbox_;
    bool open_ = true;
};

}  // namespace

struct Listener::State {
    explicit State(asio::io_context& io) : io(io), acceptor(io) {}
    asio::io_context& io;
    tcp::acceptor acceptor;
    Session session;
    int send_buffer_bytes = 0;
    bool no_delay = false;
    bool deflate = false;
#if QUARVO_SERVER_TLS
    std::optional<asio::ssl::context> tls;
#endif

    // Raw pointer: the listener's owner keeps the io_context, and so this frame, inside its own
    // lifetime.
    static awaitable<void> accept_loop(State* state) {
        for (;;) {
            auto [ec, socket] = co_await state->acceptor.async_accept(nothrow);
            if (ec == asio::error::operation_aborted || !state->acceptor.is_open()) co_return;
            if (ec) continue;
            error_code ignored;
            if (state->no_delay) socket.set_option(tcp::no_delay(true), ignored);
            if (state->send_buffer_bytes > 0)
                socket.set_option(asio::socket_base::send_buffer_size(state->send_buffer_bytes),
                                  ignored);
            std::shared_ptr<Connection> connection;
#if QUARVO_SERVER_TLS
            if (state->tls)
                connection = std::make_shared<
                    StreamConnection<websocket::stream<beast::ssl_stream<beast::tcp_stream>>>>(
                    state->deflate, std::move(socket), *state->tls);
#endif
            if (!connection)
                connection = std::make_shared<StreamConnection<PlainStream>>(state->deflate,
                                                                             std::move(socket));
            asio::co_spawn(state->io, state->session(std::move(connection)), asio::detached);
        }
    }
};

Listener::Listener(asio::io_context& io, const ListenOptions& options, Session session)
    : state_(std::make_shared<State>(io)) {
    state_->session = std::move(session);
    state_->send_buffer_bytes = options.send_buffer_bytes;
    state_->no_delay = options.no_delay;
    state_->deflate = options.permessage_deflate;
    if (options.tls) {
#if QUARVO_SERVER_TLS
        auto& tls = state_->tls.emplace(asio::ssl::context::tls_server);
        tls.use_certificate_chain(asio::buffer(options.tls->certificate));
        tls.use_private_key(asio::buffer(options.tls->private_key), asio::ssl::context::pem);
#else
        throw std::runtime_error("no TLS in this build");
#endif
    }
    error_code ec;
    const tcp::endpoint endpoint(asio::ip::make_address(options.address, ec), options.port);
    if (ec) throw ListenError("listen on", ec);
    auto& acceptor = state_->acceptor;
    acceptor.open(endpoint.protocol(), ec);
    if (ec) throw ListenError("open a socket for", ec);
    acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) throw ListenError("listen on", ec);
    asio::co_spawn(io, State::accept_loop(state_.get()), asio::detached);
}

Listener::~Listener() {
    error_code ignored;
    state_->acceptor.close(ignored);
}

uint16_t Listener::port() const {
    return state_->acceptor.local_endpoint().port();
}

void ServerThread::start() {
    thread_ = std::thread([this] { io_.run(); });
}

void ServerThread::stop() {
    if (!thread_.joinable()) return;
    asio::post(io_, [this] { io_.stop(); });
    thread_.join();
}

}  // namespace quarvo_tools::ws
