// One WebSocket connection over Beast: opening, the reader and its holds, the writer, the
// keep-alive and the close, each a coroutine on the network thread's event loop.
#include <quarvo_zovovi/ide/gui/core/connection.h>
#include <quarvo_zovovi/ide/gui/core/read_executor.h>

#if QUARVO_WITH_TLS
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <boost/asio/ssl.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket/ssl.hpp>
#endif

#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cctype>
#include <deque>
#include <limits>
#include <optional>
#include <stdexcept>

#include <quarvo_zovovi/ide/gui/core/log.h>
#include <quarvo_zovovi/ide/gui/core/proxy.h>

namespace quarvo_zovovi::ide::gui::detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using asio::awaitable;

namespace {

Logger& logger = get_logger("quarvo_zovovi.ide.gui.websocket_client");

constexpr auto nothrow_awaitable = asio::as_tuple(asio::use_awaitable);

}  // namespace

std::string describe(const boost::system::error_code& ec) {
#if QUARVO_WITH_TLS
    if (ec.category() == asio::error::get_ssl_category()) {
        char buf[256];
        ERR_error_string_n(static_cast<unsigned long>(ec.value()), buf, sizeof buf);
        return buf;
    }
#endif
    return ec.message();
}

namespace {

// A TLS peer that closed the socket without TLS's own close.
bool is_truncated(const boost::system::error_code& ec) {
#if QUARVO_WITH_TLS
    return ec == asio::ssl::error::stream_truncated;
#else
    (void)ec;
    return false;
#endif
}

struct Outgoing {
    std::string text;
    bool ping = false;
};

// The stream names the event loop's own executor type rather than the polymorphic one: every
// operation of a read copies the stream's executor a few times.
using LoopExecutor = asio::io_context::executor_type;
using TcpStream = beast::basic_stream<tcp, LoopExecutor>;
using PlainStream = websocket::stream<TcpStream>;
#if QUARVO_WITH_TLS
using TlsStream = websocket::stream<beast::ssl_stream<TcpStream>>;
#else
struct TlsStream;  // no TLS in this build: never instantiated
#endif

LoopExecutor loop_executor(const asio::any_io_executor& ex) {
    const auto* loop = ex.target<LoopExecutor>();
    if (!loop) throw std::logic_error("a connection runs on an io_context");
    return *loop;
}

// The reader (run), one writer coroutine that drains the outbox (Beast allows one write at a
// time, so pings go through it too) and the keep-alive coroutine share the stream; each holds
// a reference to the connection while it runs.
template <class Stream>
class WsConnection final : public Connection,
                           public std::enable_shared_from_this<WsConnection<Stream>> {
  public:
    static constexpr bool is_tls = std::is_same_v<Stream, TlsStream>;

    template <class... Args>
    WsConnection(const asio::any_io_executor& ex, FrameSink& sink, Counters& counters,
                 const Timings& timings, const ClientOptions& options, Args&... args)
        : sink_(sink),
          counters_(counters),
          timings_(timings),
          max_outbox_(options.max_outbox_bytes),
          receive_buffer_(options.receive_buffer_bytes),
          ws_(loop_executor(ex), args...),
          wake_(ex),
          writer_done_(ex),
          keepalive_timer_(ex),
          hold_timer_(ex),
          max_message_(options.max_message_bytes),
          options_(options) {
        // A larger message ends the connection with close code 1009.
        ws_.read_message_max(options.max_message_bytes);
    }

    bool is_open() const override { return open_; }

    bool send(std::string text) override {
        if (outbox_bytes_ + text.size() > max_outbox_) return false;
        outbox_bytes_ += text.size();
        counters_.outbox_bytes.store(outbox_bytes_, std::memory_order_relaxed);
        outbox_.push_back(Outgoing{std::move(text)});
        wake_.cancel();
        return true;
    }

    void wake_reader() override { hold_timer_.cancel(); }

    void abandon() override {
        beast::error_code ec;
        beast::get_lowest_layer(ws_).socket().close(ec);
        abandoned_ = true;
        hold_timer_.cancel();  // a held reader goes on to its read, which fails
    }

    awaitable<Outcome> run(const Endpoint& endpoint, std::function<void()> on_open) override {
        auto self = this->shared_from_this();
        auto ex = co_await asio::this_coro::executor;
        auto failed = [](const beast::error_code& ec) {
            return Outcome{Outcome::error, describe(ec)};
        };
        const bool via_proxy = !options_.proxy_host.empty();

        // Connecting, to the proxy when there is one
        tcp::resolver resolver(ex);
        auto [resolve_ec, endpoints] = co_await resolver.async_resolve(
            via_proxy ? options_.proxy_host : endpoint.host,
            std::to_string(via_proxy ? options_.proxy_port : endpoint.port), nothrow_awaitable);
        if (resolve_ec) co_return failed(resolve_ec);
        auto& tcp_layer = beast::get_lowest_layer(ws_);
        tcp_layer.expires_after(timings_.open_timeout);
        auto [connect_ec, peer] =
            co_await tcp_layer.async_connect(endpoints, nothrow_awaitable);
        if (connect_ec) co_return failed(connect_ec);
        // Requests and their answers are small frames: Nagle's wait on top of the peer's
        // delayed acknowledgement would hold each one for tens of milliseconds.
        beast::error_code option_ec;
        tcp_layer.socket().set_option(tcp::no_delay(true), option_ec);
        if (receive_buffer_ > 0)
            tcp_layer.socket().set_option(
                asio::socket_base::receive_buffer_size(int(std::min<std::size_t>(
                    receive_buffer_, std::size_t(std::numeric_limits<int>::max() / 2)))),
                option_ec);
        if (via_proxy) {
            if (std::string refused = co_await open_tunnel(tcp_layer, endpoint, options_);
                !refused.empty())
                co_return Outcome{Outcome::error, std::move(refused)};
        }
#if QUARVO_WITH_TLS
        if constexpr (is_tls) {
            // A server name is a host name: an address literal is not sent (RFC 6066).
            if (!endpoint.ip_literal)
                SSL_set_tlsext_host_name(ws_.next_layer().native_handle(), endpoint.host.c_str());
            auto [tls_ec] = co_await ws_.next_layer().async_handshake(
                asio::ssl::stream_base::client, nothrow_awaitable);
            if (tls_ec) {
                // OpenSSL says "certificate verify failed"; the verification says why.
                Outcome outcome = failed(tls_ec);
                const long verify = SSL_get_verify_result(ws_.next_layer().native_handle());
                if (verify != X509_V_OK)
                    outcome.text += std::string(" (") + X509_verify_cert_error_string(verify) + ")";
                co_return outcome;
            }
        }
#endif
        tcp_layer.expires_never();  // from here the WebSocket layer keeps the time
        ws_.set_option(websocket::stream_base::timeout{timings_.open_timeout,
                                                       websocket::stream_base::none(), false});
        if (options_.permessage_deflate) {
            websocket::permessage_deflate offer;
            offer.client_enable = true;
            ws_.set_option(offer);
        }
        // The handshake carries the address and the host's own fields only: no user agent.
        ws_.set_option(websocket::stream_base::decorator([this](websocket::request_type& req) {
            req.erase(http::field::user_agent);
            for (const auto& [name, value] : options_.headers)
                if (!is_handshake_field(name)) req.insert(name, value);
        }));
        auto [handshake_ec] =
            co_await ws_.async_handshake(endpoint.authority(), endpoint.path, nothrow_awaitable);
        if (handshake_ec) co_return failed(handshake_ec);

        // Listening
        on_open();
        Outcome outcome = co_await listen();
        co_await close();
        co_return outcome;
    }

  private:
    // Reads and hands every frame to the sink until the connection ends, holding back
    // whenever the sink says so.
    awaitable<Outcome> listen() {
        open_ = true;
        ws_.control_callback([this](websocket::frame_type kind, beast::string_view) {
            if (kind != websocket::frame_type::pong) return;
            pong_wait_since_.reset();
            counters_.ping_round_trip_us.store(
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() -
                                                                      ping_written_at_)
                    .count(),
                std::memory_order_relaxed);
        });
        auto self = this->shared_from_this();
        writer_running_ = true;
        asio::co_spawn(ws_.get_executor(), writer(),
                       [self](std::exception_ptr) { self->writer_finished(); });
        asio::co_spawn(ws_.get_executor(), keepalive(), [self](std::exception_ptr) {});

        beast::flat_buffer buffer;
        const ReadExecutor read_ex(ws_.get_executor());
        Outcome outcome;
        for (;;) {
            if (const Hold why = sink_.read_hold(); why != Hold::none && !abandoned_) {
                co_await hold(why);
                continue;
            }
            auto [ec, n] =
                co_await ws_.async_read(buffer, asio::bind_executor(read_ex, nothrow_awaitable));
            if (ec) {
                outcome = classify(ec);
                break;
            }
            Counters::add(counters_.frames_in, 1);
            Counters::add(counters_.bytes_in, n);
            if (pong_wait_since_) {
                // The peer is alive and the pong may be behind what it sent first: the wait
                // counts from here.
                const Clock::time_point now = Clock::now();
                pong_wait_since_ = now;
                held_at_pong_wait_ = held_time(now);
            }
            if (!ws_.got_text()) {
                close_code_ = websocket::close_code::unknown_data;  // 1003: a type it cannot take
                outcome = {Outcome::error,
                           "binary frame received; only text messages are accepted"};
                break;
            }
            const auto data = buffer.cdata();
            sink_.on_frame(std::string_view(static_cast<const char*>(data.data()), data.size()));
            buffer.consume(buffer.size());
        }
        open_ = false;
        co_return outcome;
    }

    // Holds the reads back until the sink's reason has passed. A watermark hold lasts at most
    // max_read_pause: a paused reader answers no ping.
    awaitable<void> hold(Hold why) {
        const Clock::time_point started = Clock::now();
        const Clock::time_point deadline =
            why == Hold::watermark ? started + timings_.max_read_pause : Clock::time_point::max();
        holding_since_ = started;
        Counters::add(counters_.read_pauses, 1);
        counters_.reading_paused.store(true, std::memory_order_relaxed);
        sink_.held(why);
        while (!abandoned_ && !sink_.may_resume(why)) {
            if (Clock::now() >= deadline) {
                sink_.stalled();
                break;
            }
            if (!sink_.request_wake()) continue;
            hold_timer_.expires_at(deadline);
            co_await hold_timer_.async_wait(nothrow_awaitable);
        }
        const Clock::duration held = Clock::now() - started;
        held_total_ += held;
        holding_since_.reset();
        counters_.reading_paused.store(false, std::memory_order_relaxed);
        sink_.released(held);
        counters_.read_pause_us.fetch_add(
            std::chrono::duration_cast<std::chrono::microseconds>(held).count(),
            std::memory_order_relaxed);
        // A keep-alive deadline that passed during the hold is looked at again now.
        keepalive_timer_.cancel();
    }

    // Time the reader has held back since the connection opened, the running hold included.
    Clock::duration held_time(Clock::time_point now) const {
        return held_total_ + (holding_since_ ? now - *holding_since_ : Clock::duration::zero());
    }

    // Ends the writer and keep-alive, then the closing handshake within the close time-out.
    awaitable<void> close() {
        open_ = false;
        wake_.cancel();
        keepalive_timer_.cancel();
        // A write stuck behind a peer that stopped reading gets the close time-out, then the
        // socket goes and the write fails.
        writer_done_.expires_after(timings_.close_timeout);
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
        outbox_bytes_ = 0;
        counters_.outbox_bytes.store(0, std::memory_order_relaxed);
        if (ws_.is_open() && !keepalive_failed_) {
            ws_.set_option(websocket::stream_base::timeout{timings_.close_timeout,
                                                           websocket::stream_base::none(), false});
            co_await ws_.async_close(close_code_, nothrow_awaitable);
        }
        abandon();
    }

    Outcome classify(const beast::error_code& ec) const {
        if (keepalive_failed_) return {Outcome::abnormal_close, "keepalive ping timeout"};
        if (ec == websocket::error::message_too_big) {
            // Beast stops at the frame header that goes over the bound: the whole size is not
            // read, which is what the bound is for.
            Outcome too_big{Outcome::error,
                            "message too big: an incoming message is over " +
                                std::to_string(max_message_) +
                                " bytes, the limit set by ClientOptions::max_message_bytes; "
                                "closed with 1009, reconnecting with a growing back-off"};
            too_big.message_too_big = true;
            return too_big;
        }
        if (ec == websocket::error::closed) {
            const websocket::close_reason& reason = ws_.reason();
            const unsigned code = reason.code == websocket::close_code::none
                                      ? unsigned(websocket::close_code::no_status)
                                      : unsigned(reason.code);
            std::string text = std::to_string(code);
            if (!reason.reason.empty())
                text += " " + std::string(reason.reason.data(), reason.reason.size());
            // 1000 (normal), 1001 (going away) and a close frame without a code end normally.
            const bool normal = code == 1000 || code == 1001 || code == 1005;
            return {normal ? Outcome::normal_close : Outcome::abnormal_close,
                    normal ? text : "received close frame " + text, int(code)};
        }
        // The peer went away without a closing handshake.
        if (ec == asio::error::eof || ec == asio::error::connection_reset ||
            ec == asio::error::connection_aborted || ec == asio::error::broken_pipe ||
            ec == asio::error::operation_aborted || is_truncated(ec) || ec == beast::error::timeout)
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
                co_await ws_.async_ping({}, nothrow_awaitable);  // a failure ends the read too
                continue;
            }
            outbox_bytes_ -= item.text.size();
            counters_.outbox_bytes.store(outbox_bytes_, std::memory_order_relaxed);
            ws_.text(true);
            auto [ec, n] = co_await ws_.async_write(asio::buffer(item.text), nothrow_awaitable);
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

    // A ping every interval; a ping followed by pong_timeout in which nothing arrived fails the
    // connection. Time in which the reader held back does not count, and every frame read starts
    // the wait again: the pong may be waiting unread behind them.
    awaitable<void> keepalive() {
        Clock::time_point next_ping = Clock::now() + timings_.ping_interval;
        while (open_) {
            const Clock::time_point now = Clock::now();
            Clock::time_point wake_at = next_ping;
            if (pong_wait_since_) {
                const Clock::duration waited =
                    now - *pong_wait_since_ - (held_time(now) - held_at_pong_wait_);
                if (waited < timings_.pong_timeout) {
                    wake_at = std::min(wake_at, now + (timings_.pong_timeout - waited));
                } else if (!holding_since_) {
                    keepalive_failed_ = true;
                    abandon();  // the pending read fails and listen() reports the time-out
                    break;
                }
                // Otherwise the pong may be unread behind the hold: the hold's end wakes us.
            }
            if (now >= next_ping) {
                outbox_.push_front(Outgoing{{}, true});  // next frame boundary, not behind a burst
                wake_.cancel();
                if (!pong_wait_since_) {
                    pong_wait_since_ = now;
                    held_at_pong_wait_ = held_time(now);
                }
                next_ping = now + timings_.ping_interval;
                continue;
            }
            keepalive_timer_.expires_at(wake_at);
            co_await keepalive_timer_.async_wait(nothrow_awaitable);
        }
    }

    FrameSink& sink_;
    Counters& counters_;  // the client's; it outlives its connections
    const Timings& timings_;
    const std::size_t max_outbox_;
    const std::size_t receive_buffer_;
    Stream ws_;
    // The code of the close frame this side sends when it ends the connection.
    websocket::close_code close_code_ = websocket::close_code::normal;
    bool open_ = false;
    bool writer_running_ = false;
    bool keepalive_failed_ = false;
    bool abandoned_ = false;
    // Set while a ping is unanswered: when it was sent, or the last frame read since.
    std::optional<Clock::time_point> pong_wait_since_;
    Clock::duration held_at_pong_wait_{};
    Clock::time_point ping_written_at_;
    std::optional<Clock::time_point> holding_since_;
    Clock::duration held_total_{};
    std::deque<Outgoing> outbox_;
    std::size_t outbox_bytes_ = 0;  // text frames in the outbox
    asio::steady_timer wake_;
    asio::steady_timer writer_done_;
    asio::steady_timer keepalive_timer_;
    asio::steady_timer hold_timer_;
    const std::size_t max_message_;
    const ClientOptions& options_;  // the session's; outlives the connection
};

}  // namespace

std::string send_error_text(std::string_view description) {
    return "[WebSocketClient] Send error: " + std::string(description);
}

std::string mib(std::size_t bytes) {
    return std::to_string((bytes + (std::size_t{1} << 19)) >> 20) + " MiB";
}

const std::string& closed_description() {
    static const std::string text = beast::error_code(websocket::error::closed).message();
    return text;
}

Timings::Timings(const ClientOptions& options, double scale)
    : scale(scale),
      ping_interval(scaled(options.ping_interval)),
      pong_timeout(scaled(options.pong_timeout)),
      close_timeout(scaled(options.close_timeout)),
      open_timeout(scaled(options.open_timeout)),
      max_read_pause(scaled(options.max_read_pause)),
      stop_join(scaled(options.stop_timeout)) {}

Clock::duration Timings::scaled(double seconds) const {
    double s = seconds * scale;
    // Keeps absurd values (NaN, negative, centuries) from overflowing the clock.
    if (!(s > 0)) s = 0;
    if (s > 1e9) s = 1e9;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

std::shared_ptr<Connection> make_connection(const asio::any_io_executor& ex,
                                            asio::ssl::context* tls, FrameSink& sink,
                                            Counters& counters, const Timings& timings,
                                            const ClientOptions& options) {
#if QUARVO_WITH_TLS
    if (tls)
        return std::make_shared<WsConnection<TlsStream>>(ex, sink, counters, timings, options,
                                                         *tls);
#else
    if (tls) throw std::logic_error("no TLS in this build");
#endif
    return std::make_shared<WsConnection<PlainStream>>(ex, sink, counters, timings, options);
}

}  // namespace quarvo_zovovi::ide::gui::detail
