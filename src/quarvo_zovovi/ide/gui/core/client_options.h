// ClientOptions: the connection timings and the bounds of a WebSocketClient, in one place.
// The defaults are the Business Layer's own and need no configuration.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quarvo_zovovi::ide::gui {

/// Timings and bounds of one WebSocketClient, fixed when it is constructed.
///
/// Every field has the default the client uses when the host passes no options. Durations are
/// seconds as reals (`options.ping_interval = std::chrono::seconds(5)` works too).
struct ClientOptions {
    /// Seconds as a real number.
    using Seconds = std::chrono::duration<double>;

    /// @name The endpoint
    /// The client connects to scheme://host:port/path, with host and port as the constructor
    /// got them (an IPv6 literal such as "::1" is written "[::1]" in the url and the Host
    /// field, and gets no TLS server name).
    /// @{
    /// wss (true) or ws (false). Unset: the environment variable QUARVO_SECURED decides,
    /// exactly "0" meaning ws and anything else, unset too, wss; it is read once, when the
    /// client is constructed.
    std::optional<bool> secure;
    /// The path of the endpoint on the server.
    std::string path = "/ws/ide/main_ide";
    /// Header fields added to the upgrade request, in this order: an "Authorization" token,
    /// an "Origin". The fields of the WebSocket handshake itself (Host, Upgrade, Connection,
    /// Sec-WebSocket-*) are the client's and are not taken from here.
    std::vector<std::pair<std::string, std::string>> headers;
    /// An HTTP proxy to reach the server through, by CONNECT (ws and wss alike): its host
    /// name; empty (the default) connects directly.
    std::string proxy_host;
    /// The proxy's port.
    int proxy_port = 3128;
    /// Basic credentials for the proxy ("Proxy-Authorization"), sent when the user name is
    /// not empty.
    std::string proxy_username;
    /// The password of proxy_username.
    std::string proxy_password;
    /// Offers permessage-deflate (RFC 7692) in the upgrade request; when the server accepts
    /// it, messages are compressed both ways. max_message_bytes bounds a message as inflated.
    bool permessage_deflate = false;
    /// @}

    /// @name Connection timings
    /// @{
    /// A ping goes to the Business Layer this long after the last one.
    Seconds ping_interval{20.0};
    /// A ping left unanswered this long ends the connection ("keepalive ping timeout"). Time
    /// in which the client itself holds back its reads (see max_read_pause) does not count.
    Seconds pong_timeout{60.0};
    /// Bound on the closing handshake, and on a write stuck behind a server that stopped
    /// reading when the connection ends.
    Seconds close_timeout{10.0};
    /// Bound on each step of opening a connection: TCP connect, TLS and WebSocket handshakes.
    Seconds open_timeout{30.0};
    /// Back-off before reconnection attempt n: reconnect_delay * 2^(n-1), at most
    /// max_reconnect_delay. A connection that opens starts the count again, unless an
    /// incoming message over max_message_bytes ends it.
    Seconds reconnect_delay{1.0};
    /// The longest back-off.
    Seconds max_reconnect_delay{30.0};
    /// The longest stop() waits for the network thread to end. A thread that outlives it
    /// finishes on its own; the process waits for it at exit (5 s at most).
    Seconds stop_timeout{5.0};
    /// @}

    /// @name Flow control between the socket and the GUI thread
    /// Messages parsed on the network thread wait for the GUI thread in a queue. When what
    /// waits reaches max_pending_bytes (the memory of the parsed messages and their tasks) or
    /// max_pending_latency (the GUI time it will take, from the GUI thread's measured pace),
    /// the client stops reading the socket, so TCP slows the Business Layer to the window's
    /// pace; it reads again once the queue is down to resume_fraction of either bound.
    /// @{
    /// Memory of the parsed messages waiting for the GUI thread at which reading pauses.
    std::size_t max_pending_bytes = std::size_t{16} << 20;
    /// GUI time of the messages waiting for it at which reading pauses: about how late the
    /// window may show what arrives.
    Seconds max_pending_latency{0.25};
    /// Where reading resumes, as a fraction of both bounds (also of the backlog's limit).
    double resume_fraction = 0.5;
    /// The longest the client holds its reads back. A paused reader answers no ping, so once a
    /// pause reaches this bound (the GUI thread is stuck: a modal dialog, a long handler) the
    /// client reads on and keeps the frames as text in a backlog until the GUI drains it.
    Seconds max_read_pause{5.0};
    /// The backlog's memory; frames beyond it go to an unlinked temporary file (when
    /// backlog_spill_dir is not "-") until the backlog holds backlog_limit_bytes in all.
    /// At that limit the client pauses its reads again, with one warning, until the GUI
    /// thread drains the backlog: a server that enforces its ping patience may then drop the
    /// connection, and the usual reconnection follows.
    std::size_t backlog_memory_bytes = std::size_t{64} << 20;
    /// The backlog's whole limit, memory and spill file together.
    std::size_t backlog_limit_bytes = std::size_t{1} << 30;
    /// Folder of the spill file; empty: $TMPDIR, else /tmp. "-": no spill file.
    std::string backlog_spill_dir;
    /// The socket's receive buffer (SO_RCVBUF). A held-back reader leaves what arrives in
    /// this buffer and the server's send buffer, ahead of the GUI's queue: a small one keeps
    /// the window close behind the Business Layer. 0 leaves the system's automatic sizing.
    std::size_t receive_buffer_bytes = std::size_t{256} << 10;
    /// @}

    /// @name TLS (wss)
    /// @{
    /// Certificate verification is off by default: the Business Layer's certificate is
    /// self-signed, so any certificate and host name are accepted. Either TLS field turns it
    /// on; with both, the server must pass both checks. A server that fails them is refused
    /// like any failed attempt ("[WebSocketClient] Connection error: ... certificate verify
    /// failed (...)") and the back-off follows.
    ///
    /// tls_ca_file: PEM file of the certificate authorities to trust; the server's chain must
    /// lead to one of them and its certificate must name the client's host.
    std::string tls_ca_file;
    /// SHA-256 fingerprint of the one certificate to accept, as 64 hex digits (colons and
    /// case do not matter): trusts the Business Layer's self-signed certificate without
    /// accepting any other.
    std::string tls_certificate_sha256;
    /// @}

    /// The largest incoming message. A larger one ends the connection (close code 1009) with
    /// one error line that names this bound, and the reconnection that follows keeps the
    /// back-off growing: the Business Layer would send the same message again at once. 64 MiB:
    /// a workbook's `all_modules` of a few MiB fits many times over, and one message this
    /// large still fits, as text, in the backlog's memory (backlog_memory_bytes).
    std::size_t max_message_bytes = std::size_t{64} << 20;

    /// Off (the default): a request made while no connection is open is registered anyway and
    /// ends by its answer (none comes) or its time-out, as the Business Layer's own client
    /// does. On: its callback gets at once, on the GUI thread, the client's "not sent" object
    /// ({"error": "not_sent", "request_id": ..., "message": "Request not sent: not
    /// connected"}; ResponseKind::not_sent).
    bool fail_requests_while_disconnected = false;

    /// @name The traffic log (WebSocketClient::set_traffic_log_enabled(), off by default)
    /// @{
    /// Entries kept at most; the oldest go first.
    std::size_t traffic_log_entries = 10000;
    /// Memory the entries take at most (their texts and records); the oldest go first.
    std::size_t traffic_log_bytes = std::size_t{16} << 20;
    /// A frame's text kept in its entry, at most; the rest is cut (TrafficEntry::truncated).
    std::size_t traffic_log_text_bytes = 4096;
    /// @}

    /// Outbound frames waiting for the socket, at most. A send beyond it fails with
    /// "[WebSocketClient] Send error: outbox full ..."; pings are never refused.
    std::size_t max_outbox_bytes = std::size_t{64} << 20;
};

}  // namespace quarvo_zovovi::ide::gui
