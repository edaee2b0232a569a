// Where a client connects: scheme, host, port and path, fixed once when it is constructed, and
// the forms they take in the url, the Host field and the TLS server name.
#pragma once

#include <string>
#include <string_view>

#include <quarvo_zovovi/ide/gui/core/client_options.h>

namespace quarvo_zovovi::ide::gui::detail {

struct Endpoint {
    // Reads QUARVO_SECURED here when options.secure is unset.
    Endpoint(std::string host, int port, const ClientOptions& options);

    std::string host;  // as resolved: an IPv6 literal without its brackets
    int port;
    bool tls;
    std::string path;
    bool ip_literal;  // an IPv4 or IPv6 address: no TLS server name is sent for it

    // "host:port", "[::1]:port" for an IPv6 literal: the Host field and the CONNECT target.
    std::string authority() const;
    // "wss://localhost:8000/ws/ide/main_ide".
    std::string url() const;
};

// A field the WebSocket handshake sets itself (Host, Upgrade, Connection, Sec-WebSocket-*), in
// any case: a host's header of such a name is not sent.
bool is_handshake_field(std::string_view name);

}  // namespace quarvo_zovovi::ide::gui::detail
