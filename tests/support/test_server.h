// A stand-in for the Business Layer: a WebSocket server on a loopback port chosen by the OS,
// plain or TLS (self-signed), serving "/ws/ide/main_ide" on a thread of its own. Tests script
// the newest connection and read back everything it received. Any thread may call it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quarvo_test {

using namespace std::chrono_literals;

struct Handshake {
    std::string target;
    std::map<std::string, std::string> headers;  // lower-case names
    std::string server_name = {};                // the TLS server name sent (SNI), if any
};

// A loopback port that is bound but not listening: connecting to it is refused, and no other
// process can take the port while this object lives.
class ClosedPort {
  public:
    ClosedPort();
    ~ClosedPort();
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;
    uint16_t port() const { return port_; }

  private:
    struct Socket;
    std::unique_ptr<Socket> socket_;
    uint16_t port_ = 0;
};

class TestServer {
  public:
    struct Options {
        bool tls = false;
        uint16_t port = 0;  // 0: any free port; a port again: a server restarted in its place
        int send_buffer_bytes = 0;  // SO_SNDBUF of accepted sockets; 0: the system's
        std::string address = "127.0.0.1";  // "::1": the IPv6 loopback
        std::string path = "/ws/ide/main_ide";  // the one path served; others get 404
        bool permessage_deflate = false;         // accepted when the client offers it
    };
    explicit TestServer(Options options);
    TestServer() : TestServer(Options{}) {}
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    uint16_t port() const;
    // The TLS server's certificate (PEM); empty for a plain server.
    std::string certificate_pem() const;

    // Behaviour of connections accepted from now on.
    void refuse_handshakes(int http_status);  // 0 accepts again
    void set_silent(bool silent);             // never read: pings stay unanswered
    void stall_handshakes(bool stall);        // read the upgrade request, never answer it
    // 0: the default patience. Otherwise the server pings a client silent for half this time
    // and drops it after all of it.
    void set_ping_patience(std::chrono::milliseconds patience);
    // Called on the server's thread for every text frame received; a returned text is sent
    // back on that connection at once.
    using Responder = std::function<std::optional<std::string>(const std::string& frame)>;
    void set_responder(Responder responder);
    // Forgets the frames and handshakes received so far (a long run would otherwise keep them
    // all).
    void clear_frames();
    // Stops reading (frames and control frames stay in the socket) until called with false.
    void pause_reading(bool paused);

    // Actions on the newest connection, carried out in call order.
    void send_text(std::string text);
    void send_binary(std::string data);
    void close(uint16_t code, std::string reason);  // closing handshake
    void drop();                                    // TCP closed without a close frame
    void reset();                                   // TCP reset (RST), no close frame
    // Bytes written as they are under the WebSocket layer (inside TLS on a TLS server):
    // hand-made frames, or a frame cut short.
    void send_raw(std::string bytes);

    // Deadline waits; true when the condition held in time.
    bool wait_for_connections(size_t n, std::chrono::milliseconds timeout = 5s);
    bool wait_for_ended(size_t n, std::chrono::milliseconds timeout = 5s);
    bool wait_for_frames(size_t n, std::chrono::milliseconds timeout = 5s);
    bool wait_for_pings(size_t n, std::chrono::milliseconds timeout = 5s);
    bool wait_for_handshake_attempts(size_t n, std::chrono::milliseconds timeout = 5s);

    size_t connections() const;  // WebSocket handshakes accepted
    size_t ended() const;        // accepted connections that have ended
    size_t handshake_attempts() const;
    std::vector<std::string> frames() const;  // text frames received, in order, all connections
    size_t pings() const;
    // Text frames this server has finished writing (its writes block while the client does
    // not read).
    size_t texts_sent() const;
    bool wait_for_texts_sent(size_t n, std::chrono::milliseconds timeout = 5s);
    std::vector<Handshake> handshakes() const;
    // The code of each close frame received from the client, in order (1005: none given).
    std::vector<uint16_t> close_codes() const;
    bool wait_for_close_codes(size_t n, std::chrono::milliseconds timeout = 5s);
    std::vector<std::string> pong_payloads() const;
    bool wait_for_pongs(size_t n, std::chrono::milliseconds timeout = 5s);

    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace quarvo_test
