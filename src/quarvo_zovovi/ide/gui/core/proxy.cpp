// The CONNECT tunnel: one request, one response header, nothing else read from the proxy, so
// that the first bytes after the header belong to TLS or the WebSocket handshake.
#include <quarvo_zovovi/ide/gui/core/proxy.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <quarvo_zovovi/ide/gui/core/connection.h>

namespace quarvo_zovovi::ide::gui::detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

std::string base64(std::string_view bytes) {
    static constexpr char digits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        uint32_t chunk = 0;
        for (std::size_t k = 0; k < 3; ++k)
            chunk = chunk << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; ++k)
            out += k <= n ? digits[(chunk >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

asio::awaitable<std::string> open_tunnel(ProxyStream& stream, const Endpoint& endpoint,
                                         const ClientOptions& options) {
    constexpr auto nothrow_awaitable = asio::as_tuple(asio::use_awaitable);
    const std::string target = endpoint.authority();
    http::request<http::empty_body> request{http::verb::connect, target, 11};
    request.set(http::field::host, target);
    if (!options.proxy_username.empty())
        request.set(http::field::proxy_authorization,
                    "Basic " + base64(options.proxy_username + ":" + options.proxy_password));
    auto [write_ec, written] = co_await http::async_write(stream, request, nothrow_awaitable);
    if (write_ec) co_return describe(write_ec);

    // A CONNECT response has no body, whatever its header says; the tunnel starts after it.
    http::response_parser<http::empty_body> parser;
    parser.skip(true);
    beast::flat_buffer buffer;
    auto [read_ec, read] =
        co_await http::async_read_header(stream, buffer, parser, nothrow_awaitable);
    if (read_ec) co_return "proxy: " + describe(read_ec);
    const auto& response = parser.get();
    if (response.result() != http::status::ok)
        co_return "proxy refused CONNECT: " + std::to_string(response.result_int()) + " " +
            std::string(response.reason());
    if (buffer.size() != 0) co_return std::string("proxy sent data before the tunnel was used");
    co_return std::string();
}

}  // namespace quarvo_zovovi::ide::gui::detail
