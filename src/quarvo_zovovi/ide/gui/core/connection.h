// One WebSocket connection to the Business Layer, ws or wss: opening it, the reader with its
// flow-control holds, the writer that drains the outbox, the keep-alive, and the close.
// Network thread only; the client's connection loop makes one per attempt.
#pragma once

#include <atomic>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/system/error_code.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <quarvo_zovovi/ide/gui/core/client_options.h>
#include <quarvo_zovovi/ide/gui/core/endpoint.h>

namespace boost::asio::ssl {
class context;
}

namespace quarvo_zovovi::ide::gui::detail {

using Clock = std::chrono::steady_clock;

// Every wait of the client, from its options, multiplied by the test-only time scale.
struct Timings {
    Timings(const ClientOptions& options, double scale);
    Clock::duration scaled(double seconds) const;
    Clock::duration scaled(ClientOptions::Seconds s) const { return scaled(s.count()); }

    const double scale;
    const Clock::duration ping_interval;
    const Clock::duration pong_timeout;
    const Clock::duration close_timeout;
    const Clock::duration open_timeout;
    const Clock::duration max_read_pause;
    const Clock::duration stop_join;
};

// The client's counters, read by stats() from any thread without a lock; written by the
// network thread.
struct Counters {
    std::atomic<uint64_t> frames_in{0}, bytes_in{0}, frames_out{0}, bytes_out{0};
    std::atomic<uint64_t> dispatched{0}, connections{0};
    std::atomic<size_t> pending{0};
    std::atomic<int64_t> ping_round_trip_us{-1};
    std::atomic<uint64_t> read_pauses{0};
    std::atomic<int64_t> read_pause_us{0};
    std::atomic<bool> reading_paused{false};
    std::atomic<size_t> backlog_frames{0}, backlog_bytes{0}, outbox_bytes{0};

    static void add(std::atomic<uint64_t>& counter, uint64_t n) {
        counter.fetch_add(n, std::memory_order_relaxed);
    }
};

// How one connection ended.
struct Outcome {
    enum Kind { normal_close, abnormal_close, error } kind = error;
    std::string text = {};
    std::optional<int> close_code = {};  // the peer's close frame's code, when it sent one
    // Ended by an incoming message over max_message_bytes: the Business Layer would send it
    // again at once, so the back-off goes on growing instead of starting again.
    bool message_too_big = false;
};

// Why the reader holds back before its next read.
enum class Hold {
    none,
    watermark,     // the GUI thread's queue is over its high watermark
    backlog_full,  // the text backlog holds all it may
};

// Where a connection's frames go, and who decides when it reads. Network thread only.
class FrameSink {
  public:
    virtual ~FrameSink() = default;
    virtual void on_frame(std::string_view text) = 0;
    virtual Hold read_hold() = 0;
    // While holding for `why`: whether the reason has passed.
    virtual bool may_resume(Hold why) = 0;
    // A watermark hold lasted max_read_pause: the reader reads on into the backlog.
    virtual void stalled() = 0;
    // Asks for wake_reader() once the GUI thread has drained its queue; false when there is
    // nothing to wait for now (the caller checks again).
    virtual bool request_wake() = 0;
    // A hold begins, and ends after `held_for`.
    virtual void held(Hold) {}
    virtual void released(Clock::duration) {}
};

class Connection {
  public:
    virtual ~Connection() = default;

    // Opens the connection (resolve, TCP, the proxy's tunnel when one is set, TLS for wss,
    // WebSocket handshake), calls on_open, reads until the connection ends, closes it, and
    // says how it ended.
    virtual boost::asio::awaitable<Outcome> run(const Endpoint& endpoint,
                                                std::function<void()> on_open) = 0;
    virtual bool is_open() const = 0;
    // Queues a text frame behind the others; false (and nothing queued) when the outbox
    // already holds max_outbox_bytes.
    virtual bool send(std::string text) = 0;
    // Ends a hold of the reader early: the reason may have passed.
    virtual void wake_reader() = 0;
    // Closes the socket at once, without a closing handshake.
    virtual void abandon() = 0;
};

// The TLS configuration of the client's connections: verification as the options ask (off by
// default), the host name checked when a CA file is given. Throws std::runtime_error with a
// readable reason when the options cannot be applied (a CA file that cannot be read, a
// fingerprint that is not 64 hex digits).
// Without TLS in the build, throws std::runtime_error saying so.
std::shared_ptr<boost::asio::ssl::context> make_tls_context(const ClientOptions& options,
                                                            const std::string& host);

// The library's description of a failure. OpenSSL's codes get OpenSSL's own text, which names
// the library and the reason ("error:0A00010B:SSL routines::wrong version number").
std::string describe(const boost::system::error_code& ec);

// The text of a send error on a connection that has closed.
const std::string& closed_description();
// "[WebSocketClient] Send error: " and the description: the one form of every send error.
std::string send_error_text(std::string_view description);
// Bytes as whole MiB, rounded ("3 MiB"), for the log lines on the client's bounds.
std::string mib(std::size_t bytes);

// tls: the TLS configuration for wss, or nullptr for ws. The sink, counters, timings and
// options outlive the connection.
std::shared_ptr<Connection> make_connection(const boost::asio::any_io_executor& ex,
                                            boost::asio::ssl::context* tls, FrameSink& sink,
                                            Counters& counters, const Timings& timings,
                                            const ClientOptions& options);

}  // namespace quarvo_zovovi::ide::gui::detail
