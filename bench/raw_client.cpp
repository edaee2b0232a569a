#include "raw_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/json.hpp>
#include <chrono>

#include "push_server.h"

namespace quarvo_bench {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

namespace {

template <class Stream, class F>
auto with_stream(Stream& ws, uint16_t port, F f) {
    beast::get_lowest_layer(ws).connect(
        tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    beast::get_lowest_layer(ws).set_option(tcp::no_delay(true));
    if constexpr (!std::is_same_v<Stream, websocket::stream<tcp::socket>>)
        ws.next_layer().handshake(ssl::stream_base::client);
    ws.read_message_max(64u << 20);
    ws.handshake("127.0.0.1", "/ws/ide/main_ide");
    auto result = f(ws);
    beast::error_code ignored;
    ws.close(websocket::close_code::normal, ignored);
    return result;
}

template <class F>
auto with_connection(uint16_t port, bool tls, F f) {
    asio::io_context io;
    if (tls) {
        ssl::context ctx(ssl::context::tls_client);
        ctx.set_verify_mode(ssl::verify_none);
        websocket::stream<ssl::stream<tcp::socket>> ws(io, ctx);
        return with_stream(ws, port, f);
    }
    websocket::stream<tcp::socket> ws(io);
    return with_stream(ws, port, f);
}

}  // namespace

double raw_flood(uint16_t port, bool tls, int64_t count, const std::string& frame) {
    return with_connection(port, tls, [&](auto& ws) {
        const std::string command = boost::json::serialize(
            boost::json::object{{"cmd", "flood"}, {"count", count}, {"frame", frame}});
        const auto start = std::chrono::steady_clock::now();
        ws.write(asio::buffer(command));
        beast::flat_buffer buffer;
        for (;;) {
            ws.read(buffer);
            const bool end = buffer.size() == flood_end.size() &&
                             beast::buffers_to_string(buffer.data()) == flood_end;
            buffer.consume(buffer.size());
            if (end) break;
        }
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    });
}

double raw_write_loop(uint16_t port, bool tls, int64_t count, const std::string& frame) {
    return with_connection(port, tls, [&](auto& ws) {
        ws.write(asio::buffer(
            boost::json::serialize(boost::json::object{{"cmd", "sink"}, {"count", count}})));
        for (int64_t i = 0; i < count; ++i) ws.write(asio::buffer(frame));
        beast::flat_buffer buffer;
        ws.read(buffer);
        const auto done = boost::json::parse(beast::buffers_to_string(buffer.data()));
        return done.at("seconds").as_double();
    });
}

}  // namespace quarvo_bench
