#include "push_server.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/zlib/deflate_stream.hpp>
#include <boost/json.hpp>
#include <chrono>
#include <cstdio>
#include <future>
#include <optional>

#include "self_signed.h"
#include "ws_server.h"

namespace quarvo_bench {

namespace asio = boost::asio;
namespace ws = quarvo_tools::ws;
using asio::awaitable;

struct PushServer::State {
    std::chrono::milliseconds patience{0};
    std::atomic<int64_t> flood_end_sent_ns{0};
    std::atomic<int> dropped{0};
    ws::ServerThread server;
    std::optional<ws::Listener> listener;

    void note_end(ws::error_code ec) {
        if (ec == boost::beast::error::timeout) ++dropped;
    }
    void mark_flood_end() {
        flood_end_sent_ns = std::chrono::steady_clock::now().time_since_epoch().count();
    }
    awaitable<void> session(std::shared_ptr<ws::Connection> c);
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

// The same frame compressed on its own (RFC 7692): raw deflate ended by a sync flush whose
// trailing 00 00 FF FF is dropped, and RSV1 set. Each copy decodes alone, with or without the
// context takeover the client offered.
std::string deflated_websocket_frame(const std::string& payload) {
    namespace zlib = boost::beast::zlib;
    zlib::deflate_stream deflater;
    deflater.reset(6, 15, 8, zlib::Strategy::normal);
    std::string out(payload.size() + 1024, '\0');
    zlib::z_params zs;
    zs.next_in = payload.data();
    zs.avail_in = payload.size();
    zs.next_out = out.data();
    zs.avail_out = out.size();
    boost::system::error_code ec;
    deflater.write(zs, zlib::Flush::sync, ec);
    if (ec || zs.avail_in != 0) throw std::runtime_error("deflate: " + ec.message());
    out.resize(zs.total_out - 4);
    std::string framed = websocket_frame(out);
    framed[0] = char(0xC1);  // FIN, RSV1 (compressed), text
    return framed;
}

}  // namespace

awaitable<void> PushServer::State::session(std::shared_ptr<ws::Connection> c) {
    ws::Request req;
    if (const auto ec = co_await c->tls_handshake(std::chrono::seconds(30)); ec) co_return;
    if (const auto ec = co_await c->read_request(req); ec) co_return;
    if (const auto ec = co_await c->accept(req, patience); ec) co_return;
    bool answering = false;
    std::string text;
    for (;;) {
        const ws::error_code ec = co_await c->read(text);
        note_end(ec);
        if (ec) break;
        boost::system::error_code parse_ec;
        boost::json::value v = boost::json::parse(text, parse_ec);
        if (parse_ec || !v.is_object()) continue;
        auto& o = v.as_object();
        if (answering && o.contains("request_id")) {
            const std::string answer = boost::json::serialize(
                boost::json::object{{"type", "bench_answer"}, {"request_id", o["request_id"]}});
            co_await c->write(ws::Outgoing::text, answer);
            continue;
        }
        const auto* cmd = o.if_contains("cmd");
        if (!cmd || !cmd->is_string()) continue;
        if (*cmd == "flood" && patience.count() > 0) {
            // A strict server: its keep-alive must see the client's pongs while it floods, so
            // a reader runs beside the flood, and the flood goes through the WebSocket layer
            // frame by frame (raw writes would cut through the pings it sends). One flood per
            // connection: the reader keeps the stream's one read.
            asio::co_spawn(
                c->executor(),
                [c, this]() -> awaitable<void> {
                    for (;;) {
                        const ws::error_code read_ec = co_await c->skip();
                        note_end(read_ec);
                        if (read_ec) co_return;
                    }
                },
                asio::detached);
            std::string frame(o["frame"].as_string());
            const int64_t count = o["count"].as_int64();
            const size_t number_at = frame.find("##########");
            char digits[24];
            bool failed = false;
            if (const auto* first = o.if_contains("first"))
                failed = bool(co_await c->write(ws::Outgoing::text, first->as_string()));
            for (int64_t i = 0; i < count && !failed; ++i) {
                if (number_at != std::string::npos) {
                    std::snprintf(digits, sizeof digits, "%010lld", (long long)i);
                    frame.replace(number_at, 10, digits, 10);
                }
                failed = bool(co_await c->write(ws::Outgoing::text, frame));
            }
            if (!failed) {
                mark_flood_end();
                co_await c->write(ws::Outgoing::text, flood_end);
            }
            break;
        } else if (*cmd == "flood") {
            const std::string frame(o["frame"].as_string());
            const int64_t count = o["count"].as_int64();
            // Server frames are unmasked: built once by hand and written many to a write, so
            // that the server is not what limits the readers being measured.
            const bool deflated = o.contains("deflate");
            const std::string framed =
                deflated ? deflated_websocket_frame(frame) : websocket_frame(frame);
            const size_t number_at = deflated ? std::string::npos : framed.find("##########");
            const int64_t per_chunk = std::max<int64_t>(1, int64_t(256 * 1024 / framed.size()));
            std::string chunk;
            for (int64_t i = 0; i < per_chunk; ++i) chunk += framed;
            bool failed = false;
            for (int64_t sent = 0; sent < count && !failed;) {
                const int64_t n = std::min(per_chunk, count - sent);
                if (number_at != std::string::npos) {
                    char digits[24];
                    for (int64_t i = 0; i < n; ++i) {
                        std::snprintf(digits, sizeof digits, "%010lld", (long long)(sent + i));
                        chunk.replace(size_t(i) * framed.size() + number_at, 10, digits, 10);
                    }
                }
                const auto write_ec = co_await c->write(
                    ws::Outgoing::raw, std::string_view(chunk.data(), size_t(n) * framed.size()));
                failed = bool(write_ec);
                sent += n;
            }
            if (failed) break;
            mark_flood_end();
            co_await c->write(ws::Outgoing::text, flood_end);
        } else if (*cmd == "answer") {
            answering = true;
        } else if (*cmd == "sink") {
            const int64_t count = o["count"].as_int64();
            std::chrono::steady_clock::time_point first;
            bool failed = false;
            for (int64_t i = 0; i < count && !failed; ++i) {
                failed = bool(co_await c->skip());
                if (i == 0) first = std::chrono::steady_clock::now();
            }
            if (failed) break;
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - first).count();
            boost::json::object reply{{"type", "sink_done"}, {"seconds", seconds}};
            if (const auto* id = o.if_contains("request_id")) reply["request_id"] = *id;
            co_await c->write(ws::Outgoing::text, boost::json::serialize(reply));
        }
    }
    c->finish();
}

PushServer::PushServer(bool tls, std::chrono::milliseconds ping_patience, int send_buffer_bytes)
    : state_(std::make_shared<State>()) {
    state_->patience = ping_patience;
    ws::ListenOptions listen;
    listen.send_buffer_bytes = send_buffer_bytes;
    listen.no_delay = true;
    listen.permessage_deflate = true;  // taken only by a client that offers it
    if (tls) listen.tls = quarvo_tools::make_self_signed_certificate();
    State* state = state_.get();
    state_->listener.emplace(
        state_->server.io(), listen,
        [state](std::shared_ptr<ws::Connection> c) { return state->session(std::move(c)); });
    state_->server.start();
}

PushServer::~PushServer() {
    state_->server.stop();
    state_->listener.reset();
}

uint16_t PushServer::port() const {
    return state_->listener->port();
}

std::chrono::steady_clock::time_point PushServer::flood_end_sent() const {
    return std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(state_->flood_end_sent_ns.load()));
}

double PushServer::cpu_seconds() const {
    // Read on the server's own thread, as CLOCK_THREAD_CPUTIME_ID is.
    std::promise<double> seconds;
    asio::post(state_->server.io(), [&] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        seconds.set_value(double(t.tv_sec) + double(t.tv_nsec) / 1e9);
    });
    return seconds.get_future().get();
}

int PushServer::dropped() const {
    return state_->dropped.load();
}

}  // namespace quarvo_bench
