// The connection core: lifecycle, the connection loop with back-off, outbound sending,
// request correlation and the inbound pipeline. The only file besides asio_impl.cpp that
// sees Asio and Beast.
#include "websocket_client.h"

#include <pthread.h>

#include <atomic>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/parser.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "host/logger.h"
#include "host/qt_thread.h"
#include "json_text.h"
#include "value.h"

namespace quarvo_zovovi::ide::gui {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using asio::awaitable;

namespace {

Logger& logger = get_logger("quarvo_zovovi.ide.gui.websocket_client");

constexpr auto nothrow_awaitable = asio::as_tuple(asio::use_awaitable);
constexpr std::string_view endpoint_path = "/ws/ide/main_ide";

using Clock = std::chrono::steady_clock;

// QUARVO_SECURED: exactly "0" means plain ws; anything else, and unset, means wss.
bool tls_requested() {
    const char* value = std::getenv("QUARVO_SECURED");
    return !(value && std::string_view(value) == "0");
}

std::string build_url(const std::string& host, int port) {
    return std::string(tls_requested() ? "wss" : "ws") + "://" + host + ":" + std::to_string(port) +
           std::string(endpoint_path);
}

struct Timings {
    explicit Timings(double scale) : scale(scale) {}

    Clock::duration scaled(double seconds) const {
        double s = seconds * scale;
        // Keeps absurd values (NaN, negative, centuries) from overflowing the clock.
        if (!(s > 0)) s = 0;
        if (s > 1e9) s = 1e9;
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    }

    const double scale;
    const Clock::duration ping_interval = scaled(20.0);
    const Clock::duration pong_timeout = scaled(60.0);
    const Clock::duration close_timeout = scaled(10.0);
    const Clock::duration open_timeout = scaled(30.0);
    const Clock::duration stop_join = scaled(5.0);
};

// The library's description of a failure. OpenSSL's codes get OpenSSL's own text, which
// names the library and the reason ("error:0A00010B:SSL routines::wrong version number").
std::string describe(const boost::system::error_code& ec) {
    if (ec.category() == asio::error::get_ssl_category()) {
        char buf[256];
        ERR_error_string_n(static_cast<unsigned long>(ec.value()), buf, sizeof buf);
        return buf;
    }
    return ec.message();
}

std::string send_error_text(std::string_view description) {
    return "[WebSocketClient] Send error: " + std::string(description);
}

const std::string& closed_description() {
    static const std::string text = beast::error_code(websocket::error::closed).message();
    return text;
}

// The key of a request id in _pending_requests: text as it is, a scalar in its text form.
std::string request_key(const Json& id) {
    if (id.is_string()) return std::string(id.get_string());
    if (id.is_array() || id.is_object())
        throw std::invalid_argument("unhashable request_id: " + text_form(id));
    return text_form(id);
}

std::string_view kind_name(const Json& v) {
    switch (v.kind()) {
        case boost::json::kind::array:
            return "array";
        case boost::json::kind::string:
            return "string";
        case boost::json::kind::null:
            return "null";
        case boost::json::kind::bool_:
            return "boolean";
        case boost::json::kind::object:
            return "object";
        default:
            return "number";
    }
}

}  // namespace

namespace detail {

// How one connection ended.
struct Outcome {
    enum Kind { normal_close, abnormal_close, error } kind = error;
    std::string text;
};

struct Outgoing {
    std::string text;
    bool ping = false;
};

class Core;

// The client's counters, read by stats() from any thread without a lock.
struct Counters {
    std::atomic<uint64_t> frames_in{0}, bytes_in{0}, frames_out{0}, bytes_out{0};
    std::atomic<uint64_t> dispatched{0}, connections{0};
    std::atomic<size_t> pending{0};
    std::atomic<int64_t> ping_round_trip_us{-1};

    static void add(std::atomic<uint64_t>& counter, uint64_t n) {
        counter.fetch_add(n, std::memory_order_relaxed);
    }
};

// One WebSocket connection. Network thread only. The reader (listen), one writer coroutine
// that drains the outbox (Beast allows one write at a time, so pings go through it too) and
// the keep-alive coroutine share it; each holds a reference while it runs.
class Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(const asio::any_io_executor& ex, Counters& counters)
        : counters_(counters), wake_(ex), writer_done_(ex), keepalive_timer_(ex) {}
    virtual ~Connection() = default;

    bool is_open() const { return open_; }

    void enqueue(Outgoing item) {
        if (item.ping)
            outbox_.push_front(std::move(item));  // next frame boundary, not behind a burst
        else
            outbox_.push_back(std::move(item));
        wake_.cancel();
    }

    // Closes the socket at once, without a closing handshake.
    virtual void abandon() = 0;

  protected:
    Counters& counters_;  // the Core's; it outlives its connections
    bool open_ = false;
    bool writer_running_ = false;
    bool keepalive_failed_ = false;
    std::optional<Clock::time_point> unanswered_ping_since_;
    Clock::time_point ping_written_at_;
    std::deque<Outgoing> outbox_;
    asio::steady_timer wake_;
    asio::steady_timer writer_done_;
    asio::steady_timer keepalive_timer_;
};

template <class Stream>
class WsConnection;

// The network thread's event loop and the connections made on it.
// ws and attempt are for the network thread only.
struct EventLoop {
    asio::io_context context{1};
    std::shared_ptr<Connection> ws;       // the last connection that opened
    std::shared_ptr<Connection> attempt;  // the connection being opened or used
};

class Core : public std::enable_shared_from_this<Core> {
  public:
    Core(MainWindow& window, std::string host, int port, double time_scale)
        : main_window(window),
          host(std::move(host)),
          port(port),
          url(build_url(this->host, port)),
          timings(time_scale),
          gui(gui_thread()) {}

    MainWindow& main_window;  // touched only by tasks on the GUI thread
    const std::string host;
    const int port;
    const std::string url;
    const Timings timings;
    const std::shared_ptr<GuiThread> gui;
    const HandlerTable MESSAGE_HANDLERS;  // built once here, read-only afterwards

    // Shared by both threads: each is atomic.
    std::atomic<bool> _running{false};       // written by the GUI thread
    std::atomic<bool> _connected{false};     // written by the network thread
    std::atomic<EventLoop*> _loop{nullptr};  // written by the network thread
    // Written by the network thread; other threads only test it for null.
    std::atomic<Connection*> ws{nullptr};
    std::atomic<bool> gui_alive{true};  // cleared by the client's destructor
    // Back-off state; atomic because a network thread left behind by a timed-out join may
    // still be finishing while a new one starts.
    std::atomic<double> _reconnect_delay{1.0};
    const double _max_reconnect_delay = 30.0;
    std::atomic<int> _reconnect_attempts{0};

    // The one lock, for the pending requests and the list of event loops.
    mutable std::mutex pending_mutex;
    std::unordered_map<std::string, PendingRequest> _pending_requests;
    Counters counters;  // before loops_: the connections in them refer to it

    void _run_event_loop();
    awaitable<void> _connect_and_listen(EventLoop& loop);
    template <class Stream>
    awaitable<Outcome> connect_once(EventLoop& loop, ssl::context* tls);
    awaitable<void> _reconnect();
    awaitable<void> _check_timeout(std::string request_id, double timeout);

    void _async_send(EventLoop& loop, JsonObject message);
    void _async_send_text(EventLoop& loop, std::string message);
    void send_frame(EventLoop& loop, std::string text);

    void _handle_message(std::string_view raw_message);
    bool _try_handle_response(JsonObject& message);
    void _invoke_callback_in_qt_thread(ResponseCallback callback, JsonObject data);
    void dispatch(const HandlerEntry& handler, JsonObject data);

    void _on_connected() { _on_connected_qt(); }
    void _on_disconnected() { _on_disconnected_qt(); }
    void _on_reconnecting(int attempt, double delay) { _on_reconnecting_qt(attempt, delay); }
    void _on_connected_qt();
    void _on_disconnected_qt();
    void _on_reconnecting_qt(int attempt, double delay);

  private:
    // Runs f(main_window) on the GUI thread unless the client has been destroyed by then.
    template <class F>
    void on_gui_thread(F f) {
        gui->post([self = shared_from_this(), f = std::move(f)]() mutable {
            if (self->gui_alive.load()) f(self->main_window);
        });
    }

    // Guarded by pending_mutex. Every loop this client ran; they live as long as the Core so
    // that a late post to one (stop after the thread ended) stays harmless. Declared last:
    // destroyed first, with whatever coroutines an abandoned loop still holds.
    std::vector<std::unique_ptr<EventLoop>> loops_;
};

template <class Stream>
class WsConnection final : public Connection {
  public:
    template <class... Args>
    explicit WsConnection(const asio::any_io_executor& ex, Counters& counters, Args&... args)
        : Connection(ex, counters), ws(ex, args...) {}

    // The code of the close frame this side sends when it ends the connection.
    websocket::close_code close_code_ = websocket::close_code::normal;

    Stream ws;

    void abandon() override {
        beast::error_code ec;
        beast::get_lowest_layer(ws).socket().close(ec);
    }

    // Reads and hands every frame to the pipeline until the connection ends.
    awaitable<Outcome> listen(Core& core) {
        open_ = true;
        ws.control_callback([this](websocket::frame_type kind, beast::string_view) {
            if (kind != websocket::frame_type::pong) return;
            unanswered_ping_since_.reset();
            counters_.ping_round_trip_us.store(
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() -
                                                                      ping_written_at_)
                    .count(),
                std::memory_order_relaxed);
        });
        auto self = std::static_pointer_cast<WsConnection>(shared_from_this());
        writer_running_ = true;
        asio::co_spawn(ws.get_executor(), writer(),
                       [self](std::exception_ptr) { self->writer_finished(); });
        asio::co_spawn(ws.get_executor(), keepalive(core.timings), [self](std::exception_ptr) {});

        beast::flat_buffer buffer;
        Outcome outcome;
        for (;;) {
            auto [ec, n] = co_await ws.async_read(buffer, nothrow_awaitable);
            if (ec) {
                outcome = classify(ec);
                break;
            }
            Counters::add(counters_.frames_in, 1);
            Counters::add(counters_.bytes_in, n);
            if (!ws.got_text()) {
                close_code_ = websocket::close_code::unknown_data;  // 1003: a type it cannot take
                outcome = {Outcome::error,
                           "binary frame received; only text messages are accepted"};
                break;
            }
            const auto data = buffer.cdata();
            core._handle_message(
                std::string_view(static_cast<const char*>(data.data()), data.size()));
            buffer.consume(buffer.size());
        }
        open_ = false;
        co_return outcome;
    }

    // Ends the writer and keep-alive, then the closing handshake within the close time-out.
    awaitable<void> close(Clock::duration close_timeout) {
        open_ = false;
        wake_.cancel();
        keepalive_timer_.cancel();
        // A write stuck behind a peer that stopped reading gets the close time-out, then the
        // socket goes and the write fails.
        writer_done_.expires_after(close_timeout);
        while (writer_running_) {
            auto [ec] = co_await writer_done_.async_wait(nothrow_awaitable);
            if (!ec && writer_running_) {
                abandon();
                writer_done_.expires_at(Clock::time_point::max());
            }
        }
        for (const Outgoing& item : outbox_)
            if (!item.ping) logger.error(send_error_text(closed_description()));
        outbox_.clear();
        if (ws.is_open() && !keepalive_failed_) {
            ws.set_option(websocket::stream_base::timeout{close_timeout,
                                                          websocket::stream_base::none(), false});
            co_await ws.async_close(close_code_, nothrow_awaitable);
        }
        abandon();
    }

  private:
    Outcome classify(const beast::error_code& ec) const {
        if (keepalive_failed_) return {Outcome::abnormal_close, "keepalive ping timeout"};
        if (ec == websocket::error::closed) {
            const websocket::close_reason& reason = ws.reason();
            const unsigned code = reason.code == websocket::close_code::none
                                      ? unsigned(websocket::close_code::no_status)
                                      : unsigned(reason.code);
            std::string text = std::to_string(code);
            if (!reason.reason.empty())
                text += " " + std::string(reason.reason.data(), reason.reason.size());
            // 1000 (normal), 1001 (going away) and a close frame without a code end normally.
            const bool normal = code == 1000 || code == 1001 || code == 1005;
            return {normal ? Outcome::normal_close : Outcome::abnormal_close,
                    normal ? text : "received close frame " + text};
        }
        // The peer went away without a closing handshake.
        if (ec == asio::error::eof || ec == asio::error::connection_reset ||
            ec == asio::error::connection_aborted || ec == asio::error::broken_pipe ||
            ec == asio::error::operation_aborted || ec == ssl::error::stream_truncated ||
            ec == beast::error::timeout)
            return {Outcome::abnormal_close, describe(ec)};
        return {Outcome::error, describe(ec)};
    }

    awaitable<void> writer() {
        while (open_) {
            if (outbox_.empty()) {
                wake_.expires_at(Clock::time_point::max());
                co_await wake_.async_wait(nothrow_awaitable);
                continue;
            }
            Outgoing item = std::move(outbox_.front());
            outbox_.pop_front();
            if (item.ping) {
                ping_written_at_ = Clock::now();
                co_await ws.async_ping({}, nothrow_awaitable);  // a failure ends the read too
                continue;
            }
            ws.text(true);
            auto [ec, n] = co_await ws.async_write(asio::buffer(item.text), nothrow_awaitable);
            if (ec) {
                logger.error(send_error_text(describe(ec)));
                continue;
            }
            Counters::add(counters_.frames_out, 1);
            Counters::add(counters_.bytes_out, n);
        }
    }

    void writer_finished() {
        writer_running_ = false;
        writer_done_.cancel();
    }

    // A ping every interval; a ping without a pong for pong_timeout fails the connection.
    awaitable<void> keepalive(const Timings& timings) {
        Clock::time_point next_ping = Clock::now() + timings.ping_interval;
        while (open_) {
            Clock::time_point wake_at = next_ping;
            if (unanswered_ping_since_)
                wake_at = std::min(wake_at, *unanswered_ping_since_ + timings.pong_timeout);
            keepalive_timer_.expires_at(wake_at);
            co_await keepalive_timer_.async_wait(nothrow_awaitable);
            if (!open_) break;
            const Clock::time_point now = Clock::now();
            if (unanswered_ping_since_ && now >= *unanswered_ping_since_ + timings.pong_timeout) {
                keepalive_failed_ = true;
                abandon();  // the pending read fails and listen() reports the time-out
                break;
            }
            if (now >= next_ping) {
                enqueue(Outgoing{{}, true});
                if (!unanswered_ping_since_) unanswered_ping_since_ = now;
                next_ping = now + timings.ping_interval;
            }
        }
    }
};

using PlainStream = websocket::stream<beast::tcp_stream>;
using TlsStream = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

void Core::_run_event_loop() {
    auto owned = std::make_unique<EventLoop>();
    EventLoop* loop = owned.get();
    {
        std::lock_guard lock(pending_mutex);
        loops_.push_back(std::move(owned));
    }
    _loop.store(loop);
    try {
        bool finished = false;
        std::exception_ptr failure;
        asio::co_spawn(loop->context, _connect_and_listen(*loop), [&](std::exception_ptr e) {
            finished = true;
            failure = e;
        });
        loop->context.run();
        if (failure) std::rethrow_exception(failure);
        if (!finished)
            throw std::runtime_error("Event loop stopped before the connection task completed.");
    } catch (const std::exception& e) {
        logger.error(std::string("[WebSocketClient] Event loop error: ") + e.what());
    }
    // Closing the loop abandons its connection: no closing handshake, the socket goes now.
    if (loop->attempt) loop->attempt->abandon();
    if (loop->ws) loop->ws->abandon();
}

awaitable<void> Core::_connect_and_listen(EventLoop& loop) {
    // One TLS decision and configuration per run: verification and host-name checks off,
    // because the Business Layer's certificate is self-signed.
    const bool use_tls = tls_requested();
    std::optional<ssl::context> tls;
    if (use_tls) {
        tls.emplace(ssl::context::tls_client);
        tls->set_verify_mode(ssl::verify_none);
    }
    while (_running.load()) {  // Checking
        Outcome outcome;
        try {
            // Plain if/else: g++ 12 miscompiles co_await inside a conditional expression.
            if (use_tls)
                outcome = co_await connect_once<TlsStream>(loop, &*tls);
            else
                outcome = co_await connect_once<PlainStream>(loop, nullptr);
        } catch (const std::exception& e) {
            outcome = {Outcome::error, e.what()};
        }
        // Ending: the connection is closed by now.
        switch (outcome.kind) {
            case Outcome::normal_close:
                // A normal close is still a lost connection: say so, so that is_connected()
                // and the host's window do not report a connection that is gone.
                logger.info("[WebSocketClient] Connection closed: " + outcome.text);
                break;
            case Outcome::abnormal_close:
                logger.warning("[WebSocketClient] Connection closed: " + outcome.text);
                break;
            case Outcome::error:
                logger.error("[WebSocketClient] Connection error: " + outcome.text);
                break;
        }
        _connected.store(false);
        _on_disconnected();
        if (_running.load()) co_await _reconnect();  // Backing off
    }
}

template <class Stream>
awaitable<Outcome> Core::connect_once(EventLoop& loop, ssl::context* tls) {
    constexpr bool is_tls = std::is_same_v<Stream, TlsStream>;
    auto ex = co_await asio::this_coro::executor;
    std::shared_ptr<WsConnection<Stream>> conn;
    if constexpr (is_tls)
        conn = std::make_shared<WsConnection<Stream>>(ex, counters, *tls);
    else
        conn = std::make_shared<WsConnection<Stream>>(ex, counters);
    loop.attempt = conn;
    auto failed = [](const beast::error_code& ec) { return Outcome{Outcome::error, describe(ec)}; };

    // Connecting
    tcp::resolver resolver(ex);
    auto [resolve_ec, endpoints] =
        co_await resolver.async_resolve(host, std::to_string(port), nothrow_awaitable);
    if (resolve_ec) co_return failed(resolve_ec);
    auto& tcp_layer = beast::get_lowest_layer(conn->ws);
    tcp_layer.expires_after(timings.open_timeout);
    auto [connect_ec, endpoint] = co_await tcp_layer.async_connect(endpoints, nothrow_awaitable);
    if (connect_ec) co_return failed(connect_ec);
    // Requests and their answers are small frames: Nagle's wait on top of the peer's delayed
    // acknowledgement would hold each one for tens of milliseconds.
    beast::error_code nodelay_ec;
    tcp_layer.socket().set_option(tcp::no_delay(true), nodelay_ec);
    if constexpr (is_tls) {
        SSL_set_tlsext_host_name(conn->ws.next_layer().native_handle(), host.c_str());
        auto [tls_ec] = co_await conn->ws.next_layer().async_handshake(ssl::stream_base::client,
                                                                       nothrow_awaitable);
        if (tls_ec) co_return failed(tls_ec);
    }
    tcp_layer.expires_never();  // from here the WebSocket layer keeps the time
    conn->ws.set_option(websocket::stream_base::timeout{timings.open_timeout,
                                                        websocket::stream_base::none(), false});
    // The handshake carries the address only: no user agent, credentials or sub-protocol.
    conn->ws.set_option(websocket::stream_base::decorator(
        [](websocket::request_type& req) { req.erase(http::field::user_agent); }));
    auto [handshake_ec] = co_await conn->ws.async_handshake(host + ":" + std::to_string(port),
                                                            endpoint_path, nothrow_awaitable);
    if (handshake_ec) co_return failed(handshake_ec);

    // Listening
    loop.ws = conn;
    ws.store(conn.get());
    _reconnect_attempts.store(0);
    _reconnect_delay.store(1.0);
    Counters::add(counters.connections, 1);
    logger.info("[WebSocketClient] Connected to Business Layer");
    _on_connected();
    _connected.store(true);
    Outcome outcome = co_await conn->listen(*this);
    co_await conn->close(timings.close_timeout);
    co_return outcome;
}

awaitable<void> Core::_reconnect() {
    const int n = ++_reconnect_attempts;
    const double delay =
        std::min(_reconnect_delay.load() * std::pow(2.0, n - 1), _max_reconnect_delay);
    logger.info("[WebSocketClient] Reconnecting in " + format_fixed(delay, 1) + "s (attempt " +
                std::to_string(n) + ")...");
    _on_reconnecting(n, delay);
    asio::steady_timer timer(co_await asio::this_coro::executor);
    timer.expires_after(timings.scaled(delay));
    co_await timer.async_wait(nothrow_awaitable);
}

void Core::_on_connected_qt() {
    on_gui_thread([](MainWindow& w) {
        w.log_to_console("Connected to Quarvo Server", std::nullopt, OutputLevel::DETAILED,
                         std::nullopt);
        w.statusBar().showMessage("Connected to Quarvo Server");
    });
}

void Core::_on_disconnected_qt() {
    on_gui_thread([](MainWindow& w) {
        w.log_to_console("Disconnected from Quarvo Server", std::nullopt, OutputLevel::DETAILED,
                         std::nullopt);
        w.statusBar().showMessage("Disconnected - Reconnecting...");
    });
}

void Core::_on_reconnecting_qt(int attempt, double delay) {
    on_gui_thread([attempt, delay](MainWindow& w) {
        w.statusBar().showMessage("Reconnecting... (attempt " + std::to_string(attempt) +
                                  ", next try in " + format_fixed(delay, 0) + "s)");
    });
}

void Core::_async_send(EventLoop& loop, JsonObject message) {
    std::string text;
    try {
        text = to_json_text(message);
    } catch (const std::exception& e) {
        logger.error(send_error_text(e.what()));
        return;
    }
    send_frame(loop, std::move(text));
}

void Core::_async_send_text(EventLoop& loop, std::string message) {
    send_frame(loop, std::move(message));
}

void Core::send_frame(EventLoop& loop, std::string text) {
    Connection* conn = loop.ws.get();
    if (!conn) {
        // This loop never connected; a connection of an earlier run is gone with its loop.
        if (ws.load()) logger.error(send_error_text(closed_description()));
        return;
    }
    if (!conn->is_open()) {
        logger.error(send_error_text(closed_description()));
        return;
    }
    conn->enqueue(Outgoing{std::move(text)});
}

awaitable<void> Core::_check_timeout(std::string request_id, double timeout) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    timer.expires_after(timings.scaled(timeout));
    co_await timer.async_wait(nothrow_awaitable);
    std::optional<PendingRequest> entry;
    {
        std::lock_guard lock(pending_mutex);
        auto it = _pending_requests.find(request_id);
        if (it == _pending_requests.end()) co_return;  // answered first
        entry = std::move(it->second);
        _pending_requests.erase(it);
        counters.pending.store(_pending_requests.size(), std::memory_order_relaxed);
    }
    JsonObject timed_out;
    timed_out["error"] = "timeout";
    timed_out["request_id"] = request_id;
    timed_out["message"] = "Request timed out after " + format_real(timeout) + "s";
    _invoke_callback_in_qt_thread(std::move(entry->callback), std::move(timed_out));
}

void Core::_handle_message(std::string_view raw_message) {
    try {
        // One parser per thread, reused: its work buffers stay allocated between frames.
        thread_local boost::json::parser parser = [] {
            boost::json::parse_options options;
            options.max_depth = 256;
            return boost::json::parser({}, options);
        }();
        boost::system::error_code ec;
        parser.reset();
        parser.write(raw_message.data(), raw_message.size(), ec);
        Json parsed = ec ? Json() : parser.release();
        if (ec) {
            logger.error("[WebSocketClient] Failed to parse message: " + ec.message());
            return;
        }
        if (!parsed.is_object())
            throw std::invalid_argument("message is a JSON " + std::string(kind_name(parsed)) +
                                        ", not an object");
        JsonObject& data = parsed.get_object();
        if (_try_handle_response(data)) return;
        const Json& message_type = get(data, "type");
        const HandlerEntry* handler = nullptr;
        if (message_type.is_string())
            handler = MESSAGE_HANDLERS.find(message_type.get_string());
        else if (message_type.is_array() || message_type.is_object())
            throw std::invalid_argument("unhashable message type: " + text_form(message_type));
        if (handler) {
            dispatch(*handler, std::move(data));
            return;
        }
        logger.warning("[WebSocketClient] No handler for message type: " + text_form(message_type));
    } catch (const std::exception& e) {
        logger.error(std::string("[WebSocketClient] Error handling message: ") + e.what(), true);
    }
}

bool Core::_try_handle_response(JsonObject& message) {
    const Json* request_id = find(message, "request_id");
    if (!is_set(request_id)) return false;
    const std::string key = request_key(*request_id);
    std::optional<PendingRequest> entry;
    {
        // Look-up, type check and removal under one hold of the lock: the entry never
        // disappears for a moment when the type does not match.
        std::lock_guard lock(pending_mutex);
        auto it = _pending_requests.find(key);
        if (it == _pending_requests.end()) return false;
        const std::optional<std::string>& awaited = it->second.response_type;
        if (awaited && !awaited->empty()) {
            const Json* type = find(message, "type");
            if (!type || !type->is_string() || type->get_string() != *awaited) return false;
        }
        entry = std::move(it->second);
        _pending_requests.erase(it);
        counters.pending.store(_pending_requests.size(), std::memory_order_relaxed);
    }
    _invoke_callback_in_qt_thread(std::move(entry->callback), std::move(message));
    return true;
}

void Core::_invoke_callback_in_qt_thread(ResponseCallback callback, JsonObject data) {
    gui->post([self = shared_from_this(), callback = std::move(callback),
               data = std::move(data)]() mutable {
        if (self->gui_alive.load() && callback) callback(std::move(data));
    });
}

void Core::dispatch(const HandlerEntry& handler, JsonObject data) {
    Counters::add(counters.dispatched, 1);
    gui->post([self = shared_from_this(), body = handler.body, data = std::move(data)]() mutable {
        if (!self->gui_alive.load()) return;
        HandlerContext ctx{self->main_window, logger};
        body(ctx, data);
    });
}

}  // namespace detail

WebSocketClient::WebSocketClient(MainWindow& window, std::string host_name, int port_number)
    : WebSocketClient(window, std::move(host_name), port_number, ClientTestOptions{}) {}

WebSocketClient::WebSocketClient(MainWindow& window, std::string host_name, int port_number,
                                 const ClientTestOptions& test_options)
    : main_window(window),
      host(std::move(host_name)),
      port(port_number),
      url(build_url(host, port)),
      core_(std::make_shared<detail::Core>(window, host, port, test_options.time_scale)) {}

WebSocketClient::~WebSocketClient() {
    if (core_->_running.load()) stop();
    core_->gui_alive.store(false);
    // A thread that outlived the join keeps the Core alive and finishes on its own.
    if (_thread.joinable()) _thread.detach();
}

void WebSocketClient::start() {
    if (core_->_running.load()) return;
    core_->_running.store(true);
    if (_thread.joinable())
        _thread.detach();  // the thread of an earlier run that outlived its join
    std::promise<void> finished;
    _thread_finished = finished.get_future();
    _thread = std::thread([core = core_, finished = std::move(finished)]() mutable {
        pthread_setname_np(pthread_self(), "quarvo-ws");
        core->_run_event_loop();
        finished.set_value();
    });
    logger.info("[WebSocketClient] Started, connecting to " + url);
}

void WebSocketClient::stop() {
    core_->_running.store(false);
    if (detail::EventLoop* loop = core_->_loop.load())
        asio::post(loop->context, [loop] { loop->context.stop(); });
    if (_thread.joinable() &&
        _thread_finished.wait_for(core_->timings.stop_join) == std::future_status::ready)
        _thread.join();
    logger.info("[WebSocketClient] Stopped");
}

bool WebSocketClient::is_connected() const {
    return core_->_connected.load();
}
bool WebSocketClient::connected() const {
    return core_->_connected.load();
}

void WebSocketClient::send_message(JsonObject message) {
    detail::Core& core = *core_;
    if (!core._connected.load() || !core.ws.load()) {
        logger.warning("[WebSocketClient] Cannot send message: not connected");
        return;
    }
    detail::EventLoop* loop = core._loop.load();
    if (!loop) return;
    // The loop lives as long as the Core, and the Core as long as the loop's handlers.
    asio::post(loop->context, [core = &core, loop, message = std::move(message)]() mutable {
        core->_async_send(*loop, std::move(message));
    });
}

void WebSocketClient::send_text_message(std::string message) {
    detail::Core& core = *core_;
    if (!core._connected.load() || !core.ws.load()) {
        logger.warning("[WebSocketClient] Cannot send message: not connected");
        return;
    }
    detail::EventLoop* loop = core._loop.load();
    if (!loop) return;
    asio::post(loop->context, [core = &core, loop, message = std::move(message)]() mutable {
        core->_async_send_text(*loop, std::move(message));
    });
}

void WebSocketClient::sendTextMessage(std::string message) {
    send_text_message(std::move(message));
}

std::string WebSocketClient::send_and_wait_response(JsonObject& message, ResponseCallback callback,
                                                    std::optional<std::string> response_type,
                                                    double timeout) {
    std::string request_id;
    const Json* given = find(message, "request_id");
    if (is_set(given)) {
        request_id = request_key(*given);
    } else {
        thread_local boost::uuids::random_generator generate;
        request_id = boost::uuids::to_string(generate());
        message["request_id"] = request_id;
    }
    {
        std::lock_guard lock(core_->pending_mutex);
        core_->_pending_requests.insert_or_assign(
            request_id, PendingRequest{std::move(callback), std::move(response_type)});
        core_->counters.pending.store(core_->_pending_requests.size(),
                                      std::memory_order_relaxed);
    }
    send_message(message);
    if (detail::EventLoop* loop = core_->_loop.load()) {
        asio::post(loop->context, [core = core_.get(), loop, request_id, timeout] {
            asio::co_spawn(loop->context, core->_check_timeout(request_id, timeout),
                           asio::detached);
        });
    }
    return request_id;
}

ClientStats WebSocketClient::stats() const {
    const detail::Counters& c = core_->counters;
    constexpr auto relaxed = std::memory_order_relaxed;
    ClientStats s;
    s.frames_in = c.frames_in.load(relaxed);
    s.bytes_in = c.bytes_in.load(relaxed);
    s.frames_out = c.frames_out.load(relaxed);
    s.bytes_out = c.bytes_out.load(relaxed);
    s.messages_dispatched = c.dispatched.load(relaxed);
    s.connections = c.connections.load(relaxed);
    s.reconnections = s.connections > 0 ? s.connections - 1 : 0;
    s.pending_requests = c.pending.load(relaxed);
    s.gui_queue_depth = core_->gui->queued();
    if (const int64_t rtt = c.ping_round_trip_us.load(relaxed); rtt >= 0)
        s.last_ping_round_trip = std::chrono::microseconds(rtt);
    return s;
}

size_t WebSocketClient::pending_request_count() const {
    std::lock_guard lock(core_->pending_mutex);
    return core_->_pending_requests.size();
}

void WebSocketClient::_handle_message(std::string_view raw_message) {
    core_->_handle_message(raw_message);
}

bool WebSocketClient::_try_handle_response(JsonObject& message) {
    return core_->_try_handle_response(message);
}

void WebSocketClient::_invoke_callback_in_qt_thread(ResponseCallback callback, JsonObject data) {
    core_->_invoke_callback_in_qt_thread(std::move(callback), std::move(data));
}

const HandlerTable& WebSocketClient::MESSAGE_HANDLERS() const {
    return core_->MESSAGE_HANDLERS;
}

}  // namespace quarvo_zovovi::ide::gui
