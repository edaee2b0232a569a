// The proxy: one coroutine per client reads the request, answers 407 or opens the tunnel, then
// relays both ways until either side ends.
#include "connect_proxy.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <mutex>
#include <optional>

#include "ws_server.h"

namespace quarvo_test {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;
constexpr auto nothrow_awaitable = asio::as_tuple(asio::use_awaitable);

struct ConnectProxy::State {
    quarvo_tools::ws::ServerThread server;
    std::optional<tcp::acceptor> acceptor;
    uint16_t port = 0;
    std::string authorization;
    mutable std::mutex mutex;
    std::vector<Handshake> requests;
    size_t tunnels = 0;

    asio::awaitable<void> accept() {
        for (;;) {
            auto [ec, socket] = co_await acceptor->async_accept(nothrow_awaitable);
            if (ec) co_return;
            asio::co_spawn(server.io(), serve(std::move(socket)), asio::detached);
        }
    }

    static asio::awaitable<void> pump(tcp::socket& from, tcp::socket& to) {
        char data[16384];
        for (;;) {
            auto [ec, n] = co_await from.async_read_some(asio::buffer(data), nothrow_awaitable);
            if (ec) co_return;
            auto [write_ec, written] =
                co_await asio::async_write(to, asio::buffer(data, n), nothrow_awaitable);
            if (write_ec) co_return;
        }
    }

    asio::awaitable<void> serve(tcp::socket client) {
        boost::beast::flat_buffer buffer;
        http::request<http::empty_body> request;
        auto [read_ec, read] = co_await http::async_read(client, buffer, request, nothrow_awaitable);
        if (read_ec) co_return;
        const std::string target(request.target());
        {
            std::lock_guard lock(mutex);
            Handshake h{std::string(request.method_string()) + " " + target, {}};
            for (const auto& field : request) {
                std::string name(field.name_string());
                for (char& ch : name) ch = char(std::tolower(static_cast<unsigned char>(ch)));
                h.headers[name] = std::string(field.value());
            }
            requests.push_back(std::move(h));
        }
        auto answer = [&](std::string text) {
            return asio::async_write(client, asio::buffer(text), nothrow_awaitable);
        };
        if (!authorization.empty() && request[http::field::proxy_authorization] != authorization) {
            co_await answer(
                "HTTP/1.1 407 Proxy Authentication Required\r\n"
                "Proxy-Authenticate: Basic realm=\"test\"\r\nContent-Length: 0\r\n\r\n");
            co_return;
        }
        // "host:port" or "[v6]:port".
        const size_t colon = target.rfind(':');
        std::string host = target.substr(0, colon);
        if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
        tcp::resolver resolver(client.get_executor());
        auto [resolve_ec, endpoints] = co_await resolver.async_resolve(
            host, target.substr(colon + 1), nothrow_awaitable);
        tcp::socket upstream(client.get_executor());
        if (!resolve_ec) {
            auto [connect_ec, peer] =
                co_await asio::async_connect(upstream, endpoints, nothrow_awaitable);
            if (connect_ec) resolve_ec = connect_ec;
        }
        if (resolve_ec) {
            co_await answer("HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
            co_return;
        }
        co_await answer("HTTP/1.1 200 Connection established\r\n\r\n");
        {
            std::lock_guard lock(mutex);
            ++tunnels;
        }
        co_await (pump(client, upstream) || pump(upstream, client));
    }
};

ConnectProxy::ConnectProxy(Options options) : state_(std::make_shared<State>()) {
    state_->authorization = std::move(options.authorization);
    state_->acceptor.emplace(state_->server.io(),
                             tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    state_->port = state_->acceptor->local_endpoint().port();
    asio::co_spawn(state_->server.io(), state_->accept(), asio::detached);
    state_->server.start();
}

ConnectProxy::~ConnectProxy() {
    state_->server.stop();
    state_->acceptor.reset();
}

uint16_t ConnectProxy::port() const {
    return state_->port;
}

std::vector<Handshake> ConnectProxy::requests() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}

size_t ConnectProxy::tunnels() const {
    std::lock_guard lock(state_->mutex);
    return state_->tunnels;
}

}  // namespace quarvo_test
