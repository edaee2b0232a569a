// Accept loop and sessions of the simulator, all on one io_context thread.
#include "server.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/json/parse.hpp>
#include <deque>
#include <fstream>
#include <iostream>
#include <sstream>

#include <quarvo_zovovi/ide/gui/core/json_text.h>
#include "responder.h"
#include "self_signed.h"

namespace quarvo_tools::sim {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using asio::awaitable;
using quarvo_zovovi::ide::gui::to_json_text;
constexpr auto nothrow = asio::as_tuple(asio::use_awaitable);
constexpr std::string_view endpoint_path = "/ws/ide/main_ide";

namespace {

// One event, one line: control characters of a frame are escaped so a line stays a line.
void print(int id, std::string_view event, std::string_view detail = {}) {
    std::string line = "#" + std::to_string(id) + " " + std::string(event);
    if (!detail.empty()) {
        line += ' ';
        for (char c : detail) {
            if (c == '\n')
                line += "\\n";
            else if (c == '\r')
                line += "\\r";
            else
                line += c;
        }
    }
    std::cout << line << std::endl;
}

struct Outgoing {
    enum Kind { text, binary, close, drop } kind;
    std::string data;
    uint16_t code = 1000;
};

struct Shared {
    asio::io_context io{1};
    std::optional<ssl::context> tls;
    const Scenario* scenario = nullptr;
    Responder responder;
    int next_id = 1;
    int exit_status = 0;
    unsigned ping_patience_ms = 0;
};

template <class Stream>
class Session final : public std::enable_shared_from_this<Session<Stream>> {
  public:
    template <class... Args>
    Session(Shared& shared, int id, tcp::socket socket, Args&... args)
        : shared_(shared),
          id_(id),
          ws_(std::move(socket), args...),
          wake_(ws_.get_executor()),
          awaited_(ws_.get_executor()) {}

    awaitable<void> run() {
        auto self = this->shared_from_this();
        auto& tcp_layer = beast::get_lowest_layer(ws_);
        tcp_layer.expires_after(std::chrono::seconds(30));
        if constexpr (!std::is_same_v<Stream, websocket::stream<beast::tcp_stream>>) {
            auto [ec] =
                co_await ws_.next_layer().async_handshake(ssl::stream_base::server, nothrow);
            if (ec) {
                print(id_, "tls-failed", ec.message());
                co_return;
            }
        }
        beast::flat_buffer buffer;
        http::request<http::string_body> req;
        auto [read_ec, n] = co_await http::async_read(ws_.next_layer(), buffer, req, nothrow);
        if (read_ec) {
            print(id_, "handshake-failed", read_ec.message());
            co_return;
        }
        if (req.target() != endpoint_path || !websocket::is_upgrade(req)) {
            print(id_, "refused", "404 " + std::string(req.target()));
            http::response<http::string_body> res{http::status::not_found, req.version()};
            res.set(http::field::content_type, "text/plain");
            res.body() = "not found\n";
            res.prepare_payload();
            co_await http::async_write(ws_.next_layer(), res, nothrow);
            co_return;
        }
        tcp_layer.expires_never();
        auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
        if (shared_.ping_patience_ms > 0) {
            timeouts.idle_timeout = std::chrono::milliseconds(shared_.ping_patience_ms);
            timeouts.keep_alive_pings = true;
        }
        ws_.set_option(timeouts);
        auto [accept_ec] = co_await ws_.async_accept(req, nothrow);
        if (accept_ec) {
            print(id_, "handshake-failed", accept_ec.message());
            co_return;
        }
        std::ostringstream peer;
        peer << tcp_layer.socket().remote_endpoint();
        print(id_, "open", peer.str());
        asio::co_spawn(ws_.get_executor(), writer(), [self](std::exception_ptr) {});
        asio::co_spawn(ws_.get_executor(), play(), [self](std::exception_ptr) {});
        co_await read_loop();
    }

  private:
    awaitable<void> read_loop() {
        beast::flat_buffer frame;
        for (;;) {
            // The scenario may stop reading before the first read starts, or cancel a pending one.
            // (No co_await in a conditional expression: g++ 12 miscompiles it.)
            beast::error_code ec = asio::error::operation_aborted;
            if (reading_) std::tie(ec, std::ignore) = co_await ws_.async_read(frame, nothrow);
            if (ec) {
                if (!reading_) {
                    // Stopped on purpose: keep the connection, answer nothing, not even pings.
                    asio::steady_timer forever(ws_.get_executor(),
                                               asio::steady_timer::time_point::max());
                    co_await forever.async_wait(nothrow);
                    co_return;
                }
                print(id_, "closed",
                      ec == websocket::error::closed
                          ? "by peer " + std::to_string(ws_.reason().code) + " " +
                                std::string(ws_.reason().reason.c_str())
                          : ec.message());
                break;
            }
            const std::string text = beast::buffers_to_string(frame.data());
            frame.consume(frame.size());
            if (!ws_.got_text()) {
                print(id_, "recv-binary", std::to_string(text.size()) + " bytes");
                continue;
            }
            print(id_, "recv", text);
            on_frame(text);
        }
        open_ = false;
        wake_.cancel();
        awaited_.cancel();
    }

    void on_frame(const std::string& text) {
        boost::system::error_code ec;
        boost::json::value v = boost::json::parse(text, ec);
        if (ec || !v.is_object()) return;
        JsonObject& message = v.get_object();
        const Json* type = message.if_contains("type");
        if (awaited_type_ && type && type->is_string() && type->get_string() == *awaited_type_) {
            awaited_frame_ = std::move(message);
            awaited_type_.reset();
            awaited_.cancel();
            return;
        }
        for (JsonObject& reply : shared_.responder.answer(message))
            enqueue({Outgoing::text, to_json_text(reply)});
    }

    void enqueue(Outgoing item) {
        outbox_.push_back(std::move(item));
        wake_.cancel();
    }

    // The scenario, from its first action, for this connection.
    awaitable<void> play() {
        auto self = this->shared_from_this();
        for (const Action& a : shared_.scenario->actions) {
            if (!open_) co_return;
            switch (a.kind) {
                case Action::send:
                    enqueue({Outgoing::text, to_json_text(a.message)});
                    break;
                case Action::send_text:
                    enqueue({Outgoing::text, a.text});
                    break;
                case Action::send_binary:
                    enqueue({Outgoing::binary, a.text});
                    break;
                case Action::close:
                    enqueue({Outgoing::close, a.text, uint16_t(a.number)});
                    break;
                case Action::drop:
                    enqueue({Outgoing::drop, {}});
                    break;
                case Action::sleep: {
                    asio::steady_timer t(ws_.get_executor(), std::chrono::milliseconds(a.number));
                    co_await t.async_wait(nothrow);
                    break;
                }
                case Action::wait_for: {
                    awaited_type_ = a.text;
                    awaited_frame_.reset();
                    while (open_ && !awaited_frame_) {
                        awaited_.expires_at(asio::steady_timer::time_point::max());
                        co_await awaited_.async_wait(nothrow);
                    }
                    if (!awaited_frame_) co_return;
                    if (!a.message.empty()) {
                        JsonObject reply = a.message;
                        if (const Json* id = awaited_frame_->if_contains("request_id"))
                            reply["request_id"] = *id;
                        enqueue({Outgoing::text, to_json_text(reply)});
                    }
                    break;
                }
                case Action::stop_reading:
                    print(id_, "stop-reading");
                    reading_ = false;
                    beast::get_lowest_layer(ws_).socket().cancel();
                    break;
                case Action::exit:
                    print(id_, "exit", std::to_string(a.number));
                    shared_.exit_status = int(a.number);
                    shared_.io.stop();
                    co_return;
            }
        }
    }

    awaitable<void> writer() {
        auto self = this->shared_from_this();
        while (open_) {
            if (outbox_.empty()) {
                wake_.expires_at(asio::steady_timer::time_point::max());
                co_await wake_.async_wait(nothrow);
                continue;
            }
            Outgoing item = std::move(outbox_.front());
            outbox_.pop_front();
            switch (item.kind) {
                case Outgoing::text: {
                    ws_.text(true);
                    auto [ec, n] = co_await ws_.async_write(asio::buffer(item.data), nothrow);
                    print(id_, ec ? "send-failed" : "send", ec ? ec.message() : item.data);
                    break;
                }
                case Outgoing::binary: {
                    ws_.binary(true);
                    co_await ws_.async_write(asio::buffer(item.data), nothrow);
                    print(id_, "send-binary", std::to_string(item.data.size()) + " bytes");
                    break;
                }
                case Outgoing::close: {
                    print(id_, "close", std::to_string(item.code) + " " + item.data);
                    co_await ws_.async_close(
                        websocket::close_reason(websocket::close_code(item.code), item.data),
                        nothrow);
                    break;
                }
                case Outgoing::drop: {
                    print(id_, "drop");
                    beast::error_code ignored;
                    beast::get_lowest_layer(ws_).socket().close(ignored);
                    open_ = false;
                    break;
                }
            }
        }
    }

    Shared& shared_;
    const int id_;
    Stream ws_;
    asio::steady_timer wake_;
    asio::steady_timer awaited_;
    std::deque<Outgoing> outbox_;
    std::optional<std::string> awaited_type_;
    std::optional<JsonObject> awaited_frame_;
    bool open_ = true;
    bool reading_ = true;
};

awaitable<void> accept_loop(Shared& shared, tcp::acceptor& acceptor) {
    for (;;) {
        auto [ec, socket] = co_await acceptor.async_accept(nothrow);
        if (ec) co_return;
        const int id = shared.next_id++;
        if (shared.tls) {
            auto s =
                std::make_shared<Session<websocket::stream<beast::ssl_stream<beast::tcp_stream>>>>(
                    shared, id, std::move(socket), *shared.tls);
            asio::co_spawn(shared.io, s->run(), asio::detached);
        } else {
            auto s = std::make_shared<Session<websocket::stream<beast::tcp_stream>>>(
                shared, id, std::move(socket));
            asio::co_spawn(shared.io, s->run(), asio::detached);
        }
    }
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

int run_server(const ServerOptions& options, const Scenario& scenario) {
    Shared shared;
    std::string certificate_line;
    shared.scenario = &scenario;
    shared.ping_patience_ms = options.ping_patience_ms;
    if (options.tls) {
        shared.tls.emplace(ssl::context::tls_server);
        PemPair pem;
        if (options.cert_file.empty())
            pem = make_self_signed_certificate();
        else
            pem = PemPair{read_file(options.cert_file), read_file(options.key_file)};
        shared.tls->use_certificate_chain(asio::buffer(pem.certificate));
        shared.tls->use_private_key(asio::buffer(pem.private_key), ssl::context::pem);
        certificate_line = "certificate sha256 " + sha256_fingerprint(pem.certificate);
    }
    // A host name is resolved; errors are said in one plain line, without Boost's locations.
    boost::system::error_code ec;
    tcp::resolver resolver(shared.io);
    const auto found =
        resolver.resolve(options.host, std::to_string(options.port), tcp::resolver::passive, ec);
    if (ec || found.empty())
        throw std::runtime_error("cannot resolve --host \"" + options.host +
                                 "\": " + (ec ? ec.message() : std::string("no address")));
    // IPv4 first: "localhost" may resolve to ::1 on machines without IPv6.
    tcp::endpoint endpoint = found.begin()->endpoint();
    for (const auto& entry : found)
        if (entry.endpoint().address().is_v4()) {
            endpoint = entry.endpoint();
            break;
        }
    tcp::acceptor acceptor(shared.io);
    auto fail = [&](const char* what) {
        throw std::runtime_error(std::string("cannot ") + what + " " + options.host + ":" +
                                 std::to_string(options.port) + ": " + ec.message());
    };
    if (acceptor.open(endpoint.protocol(), ec)) fail("open a socket for");
    acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (acceptor.bind(endpoint, ec)) fail("listen on");
    if (acceptor.listen(asio::socket_base::max_listen_connections, ec)) fail("listen on");
    asio::signal_set signals(shared.io, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& ec, int) {
        if (!ec) shared.io.stop();
    });
    std::cout << "listening " << (options.tls ? "wss" : "ws") << "://" << options.host << ":"
              << acceptor.local_endpoint().port() << endpoint_path << " scenario " << scenario.name
              << std::endl;
    if (!certificate_line.empty()) std::cout << certificate_line << std::endl;
    asio::co_spawn(shared.io, accept_loop(shared, acceptor), asio::detached);
    shared.io.run();
    return shared.exit_status;
}

}  // namespace quarvo_tools::sim
