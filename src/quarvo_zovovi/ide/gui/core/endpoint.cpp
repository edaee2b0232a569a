// The endpoint's forms: scheme from the options or QUARVO_SECURED, IPv6 literals bracketed.
#include <quarvo_zovovi/ide/gui/core/endpoint.h>

#include <boost/asio/ip/address.hpp>
#include <cctype>
#include <cstdlib>
#include <string_view>

namespace quarvo_zovovi::ide::gui::detail {

namespace {

// QUARVO_SECURED: exactly "0" means plain ws; anything else, and unset, means wss.
bool tls_from_environment() {
    const char* value = std::getenv("QUARVO_SECURED");
    return !(value && std::string_view(value) == "0");
}

// "[::1]" as a host name is the literal ::1.
std::string unbracketed(std::string_view host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return std::string(host);
}

bool is_ip_address(const std::string& host) {
    boost::system::error_code ec;
    boost::asio::ip::make_address(host, ec);
    return !ec;
}

}  // namespace

Endpoint::Endpoint(std::string host_name, int port_number, const ClientOptions& options)
    : host(unbracketed(host_name)),
      port(port_number),
      tls(options.secure.value_or(tls_from_environment())),
      path(options.path),
      ip_literal(is_ip_address(host)) {}

std::string Endpoint::authority() const {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string Endpoint::url() const {
    return std::string(tls ? "wss" : "ws") + "://" + authority() + path;
}

bool is_handshake_field(std::string_view name) {
    std::string n(name);
    for (char& c : n) c = char(std::tolower(static_cast<unsigned char>(c)));
    return n == "host" || n == "upgrade" || n == "connection" || n.starts_with("sec-websocket-");
}

}  // namespace quarvo_zovovi::ide::gui::detail
