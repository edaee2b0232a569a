// The tunnel through an HTTP proxy: a CONNECT request for the endpoint on a freshly connected
// TCP stream, before TLS and the WebSocket handshake. Network thread only.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/basic_stream.hpp>
#include <string>

#include <quarvo_zovovi/ide/gui/core/client_options.h>
#include <quarvo_zovovi/ide/gui/core/endpoint.h>

namespace quarvo_zovovi::ide::gui::detail {

using ProxyStream =
    boost::beast::basic_stream<boost::asio::ip::tcp, boost::asio::io_context::executor_type>;

// Asks the proxy for a tunnel to `endpoint`. Empty when the tunnel is open; otherwise why not
// ("proxy refused CONNECT: 407 Proxy Authentication Required", or the stream's error).
boost::asio::awaitable<std::string> open_tunnel(ProxyStream& stream, const Endpoint& endpoint,
                                                const ClientOptions& options);

// RFC 4648 base64, for the proxy's Basic credentials.
std::string base64(std::string_view bytes);

}  // namespace quarvo_zovovi::ide::gui::detail
