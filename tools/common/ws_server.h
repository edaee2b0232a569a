// What the WebSocket servers of the tools, the tests and the benchmarks share: a listener on one
// io_context (plain or TLS) that runs a program's own session coroutine for each connection,
// and the connection's steps (the upgrade request, accepting or refusing it, frame reads and
// writes, an ordered outbox). Everything runs on the io_context's thread. Compiled into each
// program, against that program's own Asio.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "self_signed.h"

namespace quarvo_tools::ws {

namespace asio = boost::asio;
using Request = boost::beast::http::request<boost::beast::http::string_body>;
using boost::system::error_code;

// One write of a connection.
struct Outgoing {
    enum Kind {
        text,
        binary,
        close,  // closing handshake with `code` and `data` as the reason
        drop,   // TCP closed without a close frame
        reset,  // TCP reset (RST), no close frame
        raw     // bytes as they are under the WebSocket layer (inside TLS on a TLS server)
    } kind;
    std::string data;
    uint16_t code = 1000;
};

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    virtual ~Connection() = default;

    // Opening: the TLS handshake (nothing on a plain server), then the HTTP upgrade request,
    // both within `deadline` of the first.
    virtual asio::awaitable<error_code> tls_handshake(std::chrono::seconds deadline) = 0;
    virtual asio::awaitable<error_code> read_request(Request& request) = 0;
    // Answers `request` with `status` and a plain-text body, then shuts the socket down.
    virtual asio::awaitable<void> refuse(const Request& request, int status, std::string body) = 0;
    // Completes the upgrade. patience > 0: the server pings a client silent for half of it
    // and drops one silent for all of it; otherwise Beast's suggested server time-outs.
    virtual asio::awaitable<error_code> accept(const Request& request,
                                               std::chrono::milliseconds patience) = 0;

    // One whole message into `out`; got_text() tells its kind. A closing handshake from the
    // client ends in websocket::error::closed, with close_code() and close_reason() set.
    virtual asio::awaitable<error_code> read(std::string& out) = 0;
    // The same, dropping the message unread.
    virtual asio::awaitable<error_code> skip() = 0;
    virtual bool got_text() const = 0;
    virtual uint16_t close_code() const = 0;
    virtual std::string close_reason() const = 0;
    // Called for every ping (true) and pong (false) received, with its payload.
    virtual void on_control(std::function<void(bool ping, std::string_view payload)> f) = 0;

    // Writes at once (not behind the outbox).
    virtual asio::awaitable<error_code> write(Outgoing::Kind kind, std::string_view data,
                                              uint16_t code = 1000) = 0;
    // Queues a write behind the earlier ones; the outbox's writer, started by accept(), writes
    // them in order until finish(). Hooks for each: before_write as it starts, written once
    // it is done.
    virtual void send(Outgoing item) = 0;
    std::function<void(const Outgoing&)> before_write;
    std::function<void(const Outgoing&, error_code)> written;
    // Ends the outbox's writer; what it still holds is not written.
    virtual void finish() = 0;
    virtual bool is_open() const = 0;
    // Cancels the socket's pending operations (a read, a write).
    virtual void cancel() = 0;

    virtual asio::any_io_executor executor() = 0;
    // "address:port" of the client.
    virtual std::string remote() const = 0;
    // The TLS server name the client sent (SNI), after tls_handshake(); empty when it sent
    // none, or on a plain server.
    virtual std::string server_name() const = 0;
};

// A failure to listen: `step` is "open a socket for" or "listen on".
struct ListenError : std::runtime_error {
    ListenError(std::string step, error_code ec)
        : std::runtime_error(step + ": " + ec.message()), step(std::move(step)), ec(ec) {}
    std::string step;
    error_code ec;
};

struct ListenOptions {
    std::string address = "127.0.0.1";
    uint16_t port = 0;           // 0: any free port
    std::optional<PemPair> tls;  // a TLS server with this certificate
    int send_buffer_bytes = 0;   // SO_SNDBUF of accepted sockets; 0: the system's
    bool no_delay = false;       // TCP_NODELAY on accepted sockets
    bool permessage_deflate = false;  // accept the extension when a client offers it
};

// Runs session(connection) as a coroutine on `io` for each connection accepted. The session
// owns the connection; nothing else keeps it.
using Session = std::function<asio::awaitable<void>(std::shared_ptr<Connection>)>;

class Listener {
  public:
    // Binds and listens at once (throws ListenError); accepts once `io` runs.
    Listener(asio::io_context& io, const ListenOptions& options, Session session);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    uint16_t port() const;

  private:
    struct State;
    std::shared_ptr<State> state_;
};

// An io_context of its own, run on a thread of its own until destruction.
class ServerThread {
  public:
    ServerThread() = default;
    ~ServerThread() { stop(); }
    ServerThread(const ServerThread&) = delete;
    ServerThread& operator=(const ServerThread&) = delete;
    asio::io_context& io() { return io_; }
    void start();  // once the listeners are made
    // Stops the io_context and joins the thread. Its owner calls it before destroying what
    // runs on it (a Listener, a session's state), then destroys those before this.
    void stop();

  private:
    asio::io_context io_{1};
    std::thread thread_;
};

}  // namespace quarvo_tools::ws
