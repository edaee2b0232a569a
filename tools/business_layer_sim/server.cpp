// Accept loop and sessions of the simulator, all on one io_context thread.
#include "server.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/websocket/error.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <boost/json/parse.hpp>
#include <fstream>
#include <iostream>

#include <quarvo_zovovi/ide/gui/core/json_text.h>
#include "responder.h"
#include "self_signed.h"
#include "ws_server.h"

namespace quarvo_tools::sim {

namespace asio = boost::asio;
namespace websocket = boost::beast::websocket;
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

struct Shared {
    asio::io_context io{1};
    const Scenario* scenario = nullptr;
    Responder responder;
    int next_id = 1;
    int exit_status = 0;
    unsigned ping_patience_ms = 0;
};

class Session final : public std::enable_shared_from_this<Session> {
  public:
    Session(Shared& shared, int id, std::shared_ptr<ws::Connection> connection)
        : shared_(shared), id_(id), c_(std::move(connection)), awaited_(c_->executor()) {}

    awaitable<void> run() {
        auto self = shared_from_this();
        if (auto ec = co_await c_->tls_handshake(std::chrono::seconds(30)); ec) {
            print(id_, "tls-failed", ec.message());
            co_return;
        }
        ws::Request req;
        if (auto ec = co_await c_->read_request(req); ec) {
            print(id_, "handshake-failed", ec.message());
            co_return;
        }
        if (req.target() != endpoint_path || !websocket::is_upgrade(req)) {
            print(id_, "refused", "404 " + std::string(req.target()));
            co_await c_->refuse(req, 404, "not found\n");
            co_return;
        }
        // The connection's writer may outlive this session: the hooks keep only the number.
        c_->before_write = [id = id_](const ws::Outgoing& item) {
            if (item.kind == ws::Outgoing::close)
                print(id, "close", std::to_string(item.code) + " " + item.data);
            else if (item.kind == ws::Outgoing::drop)
                print(id, "drop");
        };
        c_->written = [id = id_](const ws::Outgoing& item, ws::error_code ec) {
            if (item.kind == ws::Outgoing::text)
                print(id, ec ? "send-failed" : "send", ec ? ec.message() : item.data);
            else if (item.kind == ws::Outgoing::binary)
                print(id, "send-binary", std::to_string(item.data.size()) + " bytes");
        };
        const auto patience = std::chrono::milliseconds(shared_.ping_patience_ms);
        if (auto ec = co_await c_->accept(req, patience); ec) {
            print(id_, "handshake-failed", ec.message());
            co_return;
        }
        print(id_, "open", c_->remote());
        asio::co_spawn(c_->executor(), play(), [self](std::exception_ptr) {});
        co_await read_loop();
    }

  private:
    awaitable<void> read_loop() {
        std::string text;
        for (;;) {
            // The scenario may stop reading before the first read starts, or cancel a pending one.
            // (No co_await in a conditional expression: g++ 12 miscompiles it.)
            ws::error_code ec = asio::error::operation_aborted;
            if (reading_) ec = co_await c_->read(text);
            if (ec) {
                if (!reading_) {
                    // Stopped on purpose: keep the connection, answer nothing, not even pings.
                    asio::steady_timer forever(c_->executor(),
                                               asio::steady_timer::time_point::max());
                    co_await forever.async_wait(nothrow);
                    co_return;
                }
                print(id_, "closed",
                      ec == websocket::error::closed
                          ? "by peer " + std::to_string(c_->close_code()) + " " + c_->close_reason()
                          : ec.message());
                break;
            }
            if (!c_->got_text()) {
                print(id_, "recv-binary", std::to_string(text.size()) + " bytes");
                continue;
            }
            print(id_, "recv", text);
            on_frame(text);
        }
        c_->finish();
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
            c_->send({ws::Outgoing::text, to_json_text(reply)});
    }

    // The scenario, from its first action, for this connection.
    awaitable<void> play() {
        auto self = shared_from_this();
        for (const Action& a : shared_.scenario->actions) {
            if (!c_->is_open()) co_return;
            switch (a.kind) {
                case Action::send:
                    c_->send({ws::Outgoing::text, to_json_text(a.message)});
                    break;
                case Action::send_text:
                    c_->send({ws::Outgoing::text, a.text});
                    break;
                case Action::send_binary:
                    c_->send({ws::Outgoing::binary, a.text});
                    break;
                case Action::close:
                    c_->send({ws::Outgoing::close, a.text, uint16_t(a.number)});
                    break;
                case Action::drop:
                    c_->send({ws::Outgoing::drop, {}});
                    break;
                case Action::sleep: {
                    asio::steady_timer t(c_->executor(), std::chrono::milliseconds(a.number));
                    co_await t.async_wait(nothrow);
                    break;
                }
                case Action::wait_for: {
                    awaited_type_ = a.text;
                    awaited_frame_.reset();
                    while (c_->is_open() && !awaited_frame_) {
                        awaited_.expires_at(asio::steady_timer::time_point::max());
                        co_await awaited_.async_wait(nothrow);
                    }
                    if (!awaited_frame_) co_return;
                    if (!a.message.empty()) {
                        JsonObject reply = a.message;
                        if (const Json* id = awaited_frame_->if_contains("request_id"))
                            reply["request_id"] = *id;
                        c_->send({ws::Outgoing::text, to_json_text(reply)});
                    }
                    break;
                }
                case Action::stop_reading:
                    print(id_, "stop-reading");
                    reading_ = false;
                    c_->cancel();
                    break;
                case Action::exit:
                    print(id_, "exit", std::to_string(a.number));
                    shared_.exit_status = int(a.number);
                    shared_.io.stop();
                    co_return;
            }
        }
    }

    Shared& shared_;
    const int id_;
    const std::shared_ptr<ws::Connection> c_;
    asio::steady_timer awaited_;
    std::optional<std::string> awaited_type_;
    std::optional<JsonObject> awaited_frame_;
    bool reading_ = true;
};

awaitable<void> serve(Shared& shared, std::shared_ptr<ws::Connection> connection) {
    auto session = std::make_shared<Session>(shared, shared.next_id++, std::move(connection));
    co_await session->run();
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
    ws::ListenOptions listen;
    if (options.tls) {
        if (options.cert_file.empty())
            listen.tls = make_self_signed_certificate();
        else
            listen.tls = PemPair{read_file(options.cert_file), read_file(options.key_file)};
        certificate_line = "certificate sha256 " + sha256_fingerprint(listen.tls->certificate);
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
    listen.address = endpoint.address().to_string();
    listen.port = endpoint.port();
    std::optional<ws::Listener> listener;
    try {
        listener.emplace(shared.io, listen, [&shared](std::shared_ptr<ws::Connection> c) {
            return serve(shared, std::move(c));
        });
    } catch (const ws::ListenError& e) {
        throw std::runtime_error("cannot " + e.step + " " + options.host + ":" +
                                 std::to_string(options.port) + ": " + e.ec.message());
    }
    asio::signal_set signals(shared.io, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& ec, int) {
        if (!ec) shared.io.stop();
    });
    std::cout << "listening " << (options.tls ? "wss" : "ws") << "://" << options.host << ":"
              << listener->port() << endpoint_path << " scenario " << scenario.name << std::endl;
    if (!certificate_line.empty()) std::cout << certificate_line << std::endl;
    shared.io.run();
    return shared.exit_status;
}

}  // namespace quarvo_tools::sim
