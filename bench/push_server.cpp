#include "push_server.h"

#include <algorithm>
#include <atomic>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/json.hpp>
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

#include "self_signed.h"

namespace quarvo_bench {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using asio::awaitable;
constexpr auto nothrow = asio::as_tuple(asio::use_awaitable);

struct PushServer::State {
    std::chrono::milliseconds patience{0};
    int send_buffer_bytes = 0;
    std::atomic<int64_t> flood_end_sent_ns{0};
    std::atomic<int> dropped{0};
    asio::io_context io{1};
    std::optional<ssl::context> tls;
    tcp::acceptor acceptor{io};
    std::thread thread;
};

namespace {

// One unmasked, final text frame (RFC 6455 5.2).
std::string websocket_frame(const std::string& payload) {
    std::string out{char(0x81)};
    const uint64_t n = payload.size();
    if (n < 126) {
        out += char(n);
    } else if (n < 65536) {
        out += char(126);
        out += char(n >> 8);
        out += char(n & 0xFF);
    } else {
        out += char(127);
        for (int i = 7; i >= 0; --i) out += char((n >> (8 * i)) & 0xFF);
    }
    return out + payload;
}

template <class Stream>
awaitable<void> session(std::shared_ptr<Stream> ws, PushServer::State* state) {
    if constexpr (!std::is_same_v<Stream, websocket::stream<beast::tcp_stream>>) {
        auto [ec] = co_await ws->next_layer().async_handshake(ssl::stream_base::server, nothrow);
        if (ec) co_return;
    }
    auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
    if (state->patience.count() > 0) {
        timeouts.idle_timeout = state->patience;
        timeouts.keep_alive_pings = true;
    }
    ws->set_option(timeouts);
    ws->read_message_max(64u << 20);
    auto [accept_ec] = co_await ws->async_accept(nothrow);
    if (accept_ec) co_return;
    bool answering = false;
    beast::flat_buffer buffer;
    for (;;) {
        auto [ec, n] = co_await ws->async_read(buffer, nothrow);
        if (ec == beast::error::timeout) ++state->dropped;
        if (ec) co_return;
        const std::string text = beast::buffers_to_string(buffer.data());
        buffer.consume(buffer.size());
        boost::system::error_code parse_ec;
        boost::json::value v = boost::json::parse(text, parse_ec);
        if (parse_ec || !v.is_object()) continue;
        auto& o = v.as_object();
        if (answering && o.contains("request_id")) {
            const std::string answer = boost::json::serialize(
                boost::json::object{{"type", "bench_answer"}, {"request_id", o["request_id"]}});
            ws->text(true);
            co_await ws->async_write(asio::buffer(answer), nothrow);
            continue;
        }
        const auto* cmd = o.if_contains("cmd");
        if (!cmd || !cmd->is_string()) continue;
        if (*cmd == "flood" && state->patience.count() > 0) {
            // A strict server: its keep-alive must see the client's pongs while it floods, so
            // a reader runs beside the flood, and the flood goes through the WebSocket layer
            // frame by frame (raw writes would cut through the pings it sends). One flood per
            // connection: the reader keeps the stream's one read.
            asio::co_spawn(
                ws->get_executor(),
                [ws, state]() -> awaitable<void> {
                    beast::flat_buffer in;
                    for (;;) {
                        auto [read_ec, size] = co_await ws->async_read(in, nothrow);
                        if (read_ec == beast::error::timeout) ++state->dropped;
                        if (read_ec) co_return;
                        in.consume(in.size());
                    }
                },
                asio::detached);
            std::string frame(o["frame"].as_string());
            const int64_t count = o["count"].as_int64();
            const size_t number_at = frame.find("##########");
            char digits[24];
            ws->text(true);
            for (int64_t i = 0; i < count; ++i) {
                if (number_at != std::string::npos) {
                    std::snprintf(digits, sizeof digits, "%010lld", (long long)i);
                    frame.replace(number_at, 10, digits, 10);
                }
                auto [write_ec, written] = co_await ws->async_write(asio::buffer(frame), nothrow);
                if (write_ec) co_return;
            }
            state->flood_end_sent_ns = std::chrono::steady_clock::now().time_since_epoch().count();
            co_await ws->async_write(asio::buffer(flood_end), nothrow);
            co_return;
        } else if (*cmd == "flood") {
            const std::string frame(o["frame"].as_string());
            const int64_t count = o["count"].as_int64();
            // Server frames are unmasked: built once by hand and written many to a write, so
            // that the server is not what limits the readers being measured.
            const std::string framed = websocket_frame(frame);
            const size_t number_at = framed.find("##########");
            const int64_t per_chunk = std::max<int64_t>(1, int64_t(256 * 1024 / framed.size()));
            std::string chunk;
            for (int64_t i = 0; i < per_chunk; ++i) chunk += framed;
            for (int64_t sent = 0; sent < count;) {
                const int64_t n = std::min(per_chunk, count - sent);
                if (number_at != std::string::npos) {
                    char digits[24];
                    for (int64_t i = 0; i < n; ++i) {
                        std::snprintf(digits, sizeof digits, "%010lld", (long long)(sent + i));
                        chunk.replace(size_t(i) * framed.size() + number_at, 10, digits, 10);
                    }
                }
                auto [write_ec, written] = co_await asio::async_write(
                    ws->next_layer(), asio::buffer(chunk.data(), size_t(n) * framed.size()),
                    nothrow);
                if (write_ec) co_return;
                sent += n;
            }
            ws->text(true);
            state->flood_end_sent_ns = std::chrono::steady_clock::now().time_since_epoch().count();
            co_await ws->async_write(asio::buffer(flood_end), nothrow);
        } else if (*cmd == "answer") {
            answering = true;
        } else if (*cmd == "sink") {
            const int64_t count = o["count"].as_int64();
            std::chrono::steady_clock::time_point first;
            for (int64_t i = 0; i < count; ++i) {
                auto [read_ec, m] = co_await ws->async_read(buffer, nothrow);
                if (read_ec) co_return;
                buffer.consume(buffer.size());
                if (i == 0) first = std::chrono::steady_clock::now();
            }
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - first).count();
            boost::json::object reply{{"type", "sink_done"}, {"seconds", seconds}};
            if (const auto* id = o.if_contains("request_id")) reply["request_id"] = *id;
            const std::string done = boost::json::serialize(reply);
            ws->text(true);
            co_await ws->async_write(asio::buffer(done), nothrow);
        }
    }
}

awaitable<void> accept_loop(PushServer::State* state) {
    for (;;) {
        auto [ec, socket] = co_await state->acceptor.async_accept(nothrow);
        if (ec) co_return;
        socket.set_option(tcp::no_delay(true));
        if (state->send_buffer_bytes > 0)
            socket.set_option(asio::socket_base::send_buffer_size(state->send_buffer_bytes));
        if (state->tls) {
            auto ws = std::make_shared<websocket::stream<beast::ssl_stream<beast::tcp_stream>>>(
                std::move(socket), *state->tls);
            asio::co_spawn(state->io, session(ws, state), asio::detached);
        } else {
            auto ws = std::make_shared<websocket::stream<beast::tcp_stream>>(std::move(socket));
            asio::co_spawn(state->io, session(ws, state), asio::detached);
        }
    }
}

}  // namespace

PushServer::PushServer(bool tls, std::chrono::milliseconds ping_patience, int send_buffer_bytes)
    : state_(std::make_shared<State>()) {
    state_->patience = ping_patience;
    state_->send_buffer_bytes = send_buffer_bytes;
    if (tls) {
        const quarvo_tools::PemPair pem = quarvo_tools::make_self_signed_certificate();
        state_->tls.emplace(ssl::context::tls_server);
        state_->tls->use_certificate_chain(asio::buffer(pem.certificate));
        state_->tls->use_private_key(asio::buffer(pem.private_key), ssl::context::pem);
    }
    const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
    state_->acceptor.open(endpoint.protocol());
    state_->acceptor.bind(endpoint);
    state_->acceptor.listen();
    asio::co_spawn(state_->io, accept_loop(state_.get()), asio::detached);
    state_->thread = std::thread([state = state_] { state->io.run(); });
}

PushServer::~PushServer() {
    asio::post(state_->io, [state = state_.get()] { state->io.stop(); });
    state_->thread.join();
}

uint16_t PushServer::port() const {
    return state_->acceptor.local_endpoint().port();
}

std::chrono::steady_clock::time_point PushServer::flood_end_sent() const {
    return std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(state_->flood_end_sent_ns.load()));
}

int PushServer::dropped() const {
    return state_->dropped.load();
}

}  // namespace quarvo_bench
