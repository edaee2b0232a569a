// The client: lifecycle, the connection loop with back-off, outbound sending, request
// correlation, and the inbound pipeline with its flow control. The connection itself (Beast)
// lives in connection.cpp.
#include <quarvo_zovovi/ide/gui/websocket_client.h>

#include <malloc.h>
#include <pthread.h>

#include <atomic>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <vector>

#include <quarvo_zovovi/ide/gui/backlog.h>
#include <quarvo_zovovi/ide/gui/connection.h>
#include <quarvo_zovovi/ide/gui/flow_control.h>
#include <quarvo_zovovi/ide/gui/host/logger.h>
#include <quarvo_zovovi/ide/gui/host/qt_thread.h>
#include <quarvo_zovovi/ide/gui/json_parse.h>
#include <quarvo_zovovi/ide/gui/json_text.h>
#include <quarvo_zovovi/ide/gui/message_memory.h>
#include <quarvo_zovovi/ide/gui/value.h>

namespace quarvo_zovovi::ide::gui {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
using asio::awaitable;

namespace {

Logger& logger = get_logger("quarvo_zovovi.ide.gui.websocket_client");

constexpr std::string_view endpoint_path = "/ws/ide/main_ide";
// A batch of GUI work goes over at this many tasks or bytes of messages, burst or not.
constexpr std::size_t kMaxBatchTasks = 64;
constexpr std::size_t kMaxBatchBytes = 256 * 1024;
// Backlog frames handed on in one go before the loop's other work gets a turn.
constexpr std::size_t kFeedSlice = 256;
// A backlog this large is followed by giving freed memory back once it has drained.
constexpr std::size_t kLargeBacklog = std::size_t{4} << 20;

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

// One parser per thread, reused: its work buffers stay allocated between frames.
detail::MessageParser& frame_parser() {
    thread_local detail::MessageParser parser;
    return parser;
}

std::string send_error_text(std::string_view description) {
    return "[WebSocketClient] Send error: " + std::string(description);
}

std::string mib(std::size_t bytes) {
    return std::to_string((bytes + (std::size_t{1} << 19)) >> 20) + " MiB";
}

// The key of a request id in _pending_requests: text as it is, a scalar in its text form.
std::string request_key(const Json& id) {
    if (id.is_string()) return std::string(id.get_string());
    if (id.is_array() || id.is_object())
        throw std::invalid_argument("unhashable request_id: " + text_form(id));
    return text_form(id);
}

// Network threads that outlived stop()'s bounded join. A process that exits while one of them
// still runs would free, in its exit handlers, what the thread still uses (OpenSSL's global
// state, which OpenSSL's own exit handler frees). The first adoption registers an exit handler
// that waits for them, up to kExitWait: registered after OpenSSL was set up, it runs before
// OpenSSL's. The registry is never destroyed, so a thread adopted during exit is safe too.
class LeftBehind {
  public:
    static constexpr auto kExitWait = std::chrono::seconds(5);

    static void adopt(std::thread thread, std::future<void> finished) {
        if (!thread.joinable()) return;
        LeftBehind& self = instance();
        std::lock_guard lock(self.mutex_);
        if (self.exited_) {
            thread.detach();  // exit handlers have run: nothing left to wait in
            return;
        }
        // Only live threads stay listed: those that finished meanwhile are joined now.
        std::erase_if(self.threads_, [](Entry& e) {
            if (e.finished.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
                return false;
            e.thread.join();
            return true;
        });
        self.threads_.push_back(Entry{std::move(thread), std::move(finished)});
    }

  private:
    struct Entry {
        std::thread thread;
        std::future<void> finished;
    };

    static LeftBehind& instance() {
        static LeftBehind* const registry = [] {
            auto* r = new LeftBehind;
            std::atexit([] { instance().wait_at_exit(); });
            return r;
        }();
        return *registry;
    }

    void wait_at_exit() {
        std::vector<Entry> threads;
        {
            std::lock_guard lock(mutex_);
            exited_ = true;
            threads.swap(threads_);
        }
        const auto deadline = Clock::now() + kExitWait;
        for (Entry& e : threads) {
            if (e.finished.wait_until(deadline) == std::future_status::ready)
                e.thread.join();
            else
                e.thread.detach();
        }
    }

    std::mutex mutex_;
    std::vector<Entry> threads_;
    bool exited_ = false;
};

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

// The network thread's event loop and the connections made on it.
// ws and attempt are for the network thread only.
struct EventLoop : std::enable_shared_from_this<EventLoop> {
    asio::io_context context{1};
    std::shared_ptr<Connection> ws;       // the last connection that opened
    std::shared_ptr<Connection> attempt;  // the connection being opened or used
    // GUI work gathered while frames arrive back to back, handed over as one task: the two
    // threads then meet once per burst instead of once per message.
    std::vector<Task> batch;
    std::size_t batch_cost = 0;
    std::size_t batch_seen = 0;  // the batch's size when the flush check last looked
    int idle_looks = 0;          // looks in a row that found it the same
    bool flush_check_posted = false;
};

// A shared loop pointer that any thread reads and the network thread sets. A mutex rather
// than std::atomic<std::shared_ptr>: libstdc++ 12 unlocks that one with a relaxed store after a
// read, which leaves the read unordered against the next writer.
class LoopSlot {
  public:
    std::shared_ptr<EventLoop> load() const {
        std::lock_guard lock(mutex_);
        return loop_;
    }
    void store(std::shared_ptr<EventLoop> loop) {
        std::lock_guard lock(mutex_);
        loop_.swap(loop);
    }  // the old one goes outside the lock
    // Clears the slot if it still holds `loop`.
    void clear_if(const std::shared_ptr<EventLoop>& loop) {
        std::shared_ptr<EventLoop> old;
        std::lock_guard lock(mutex_);
        if (loop_ == loop) old.swap(loop_);
    }

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<EventLoop> loop_;
};

namespace {
// The loop this thread runs, if it is a network thread: GUI work posted from it is batched.
thread_local EventLoop* this_thread_loop = nullptr;
}  // namespace

// GUI work held back behind the backlog's frames, to keep arrival order: it goes to the GUI
// thread once the frames pushed before it have been.
struct Deferred {
    uint64_t after_frames;  // the backlog's pushed() when it was deferred
    std::size_t cost;       // charged to the flow control when posted; 0: not a message
    Task task;
};

class Core : public std::enable_shared_from_this<Core>, public FrameSink {
  public:
    Core(MainWindow& window, std::string host, int port, const ClientOptions& options,
         double time_scale)
        : main_window(window),
          host(std::move(host)),
          port(port),
          url(build_url(this->host, port)),
          options(options),
          timings(options, time_scale),
          gui(gui_thread()),
          _reconnect_delay(options.reconnect_delay.count()),
          _max_reconnect_delay(options.max_reconnect_delay.count()),
          flow(options),
          backlog(options.backlog_memory_bytes, options.backlog_limit_bytes,
                  options.backlog_spill_dir) {
        // Runs on the GUI thread when it has drained its queue and the reader asked for it.
        // The loop lives as long as this Core, and the Core as long as the task calling this.
        flow.set_waker([this] {
            if (std::shared_ptr<EventLoop> loop = _loop.load())
                asio::post(loop->context, [this, loop = loop.get()] { on_gui_drained(*loop); });
        });
    }

    MainWindow& main_window;  // touched only by tasks on the GUI thread
    const std::string host;
    const int port;
    const std::string url;
    const ClientOptions options;
    const Timings timings;
    const std::shared_ptr<GuiThread> gui;
    const HandlerTable MESSAGE_HANDLERS;  // built once here, read-only afterwards

    // Shared by both threads: each is atomic.
    std::atomic<bool> _running{false};    // written by the GUI thread
    std::atomic<bool> _connected{false};  // written by the network thread
    // Written by the network thread; the GUI thread posts to it. Shared, so that a loop lives
    // while another thread posts to it, and goes once its thread has ended.
    LoopSlot _loop;
    // Written by the network thread; other threads only test it for null.
    std::atomic<Connection*> ws{nullptr};
    std::atomic<bool> gui_alive{true};  // cleared by the client's destructor
    // Back-off state; atomic because a network thread left behind by a timed-out join may
    // still be finishing while a new one starts.
    std::atomic<double> _reconnect_delay;
    const double _max_reconnect_delay;
    std::atomic<int> _reconnect_attempts{0};

    // The one lock, for the pending requests, their time-outs and the running loop.
    mutable std::mutex pending_mutex;
    std::unordered_map<std::string, PendingRequest> _pending_requests;
    // One registration's time-out: when it falls due, once a loop has run since it was made.
    // Like the time-out check of each registration, it looks for its id when it falls due.
    struct Deadline {
        std::string request_id;
        double timeout;
        std::optional<Clock::time_point> at;
    };
    std::unordered_map<uint64_t, Deadline> deadlines_;  // by registration; under pending_mutex
    uint64_t last_registration_ = 0;                    // under pending_mutex
    // The loop that runs now and takes time-outs; null before start, once stop is asked, and
    // after the thread ended. Under pending_mutex.
    std::shared_ptr<EventLoop> live_loop_;
    Counters counters;  // before the loops: their connections refer to it
    FlowControl flow;   // atomics: charged here, released on the GUI thread

    void _run_event_loop();
    awaitable<void> _connect_and_listen(EventLoop& loop);
    awaitable<void> _reconnect();
    awaitable<void> _check_timeout(uint64_t registration, Clock::time_point at);
    // Registers a request's time-out; schedules it on the running loop, or on the next one.
    void register_timeout(const std::string& request_id, double timeout);

    void _async_send(EventLoop& loop, JsonObject message);
    void _async_send_text(EventLoop& loop, std::string message);
    void send_frame(EventLoop& loop, std::string text);
    // The loop a send from any thread goes to, or null after saying why it cannot go.
    std::shared_ptr<EventLoop> send_loop();

    void _handle_message(std::string_view raw_message) { handle_frame(raw_message, true); }
    bool _try_handle_response(JsonObject& message);
    void _invoke_callback_in_qt_thread(ResponseCallback callback, JsonObject data);

    void _on_connected() { _on_connected_qt(); }
    void _on_disconnected() { _on_disconnected_qt(); }
    void _on_reconnecting(int attempt, double delay) { _on_reconnecting_qt(attempt, delay); }
    void _on_connected_qt();
    void _on_disconnected_qt();
    void _on_reconnecting_qt(int attempt, double delay);
    // The host's typed connection event, after the notices posted before it (network thread).
    void notify(ConnectionEvent event);

    // FrameSink: network thread.
    void on_frame(std::string_view text) override;
    Hold read_hold() override;
    bool may_resume(Hold why) override;
    void stalled() override;
    bool request_wake() override;

  private:
    void handle_frame(std::string_view raw_message, bool match_responses);
    void dispatch(const HandlerEntry& handler, JsonObject data);
    void feed();
    void post_due_deferred();
    void on_gui_drained(EventLoop& loop);
    void publish_backlog();
    void post_in_order(std::size_t cost, Task task);
    // Hands a task to the GUI thread behind the ones handed before it; batched on the network
    // thread. flush_to_gui() hands the batch over now.
    void to_gui(std::size_t cost, Task task);
    void flush_to_gui(EventLoop& loop);
    void flush_check(EventLoop& loop);

    // Hands a message's GUI work to the GUI thread, charged to the flow control until it has
    // run: f(Core&) runs there unless the client has been destroyed by then.
    template <class F>
    void post_message_work(std::size_t cost, F f) {
        post_in_order(cost, [self = shared_from_this(), cost, f = std::move(f)]() mutable {
            struct Release {
                Core& core;
                std::size_t cost;
                ~Release() {
                    if (core.flow.release(cost)) core.return_memory();
                }
            } release{*self, cost};
            if (!self->gui_alive.load()) return;
            if (!self->flow.sample_next()) return f(*self);
            const Clock::time_point started = Clock::now();
            f(*self);
            self->flow.record_handling(Clock::now() - started);
        });
    }

    // Runs f(main_window) on the GUI thread unless the client has been destroyed by then; in
    // arrival order behind the backlog. Network thread only.
    template <class F>
    void on_gui_thread(F f) {
        post_in_order(0, [self = shared_from_this(), f = std::move(f)]() mutable {
            if (self->gui_alive.load()) f(self->main_window);
        });
    }

    void return_memory();

    // Network thread only: the frames kept as text while the GUI thread was stuck, and the
    // GUI work that waits behind them.
    Backlog backlog;
    std::deque<Deferred> deferred_;
    std::string feed_buffer_;
    bool draining_ = false;       // feed() is handing a backlog frame on
    bool feed_posted_ = false;    // a feed() that goes on with the backlog waits in the loop
    bool backlog_large_ = false;  // the backlog held a lot since it was last empty
    bool overflow_ = false;       // reading on into the backlog through a stalled GUI thread
    bool backlog_full_ = false;   // holding at the backlog's limit
};

void Core::_run_event_loop() {
    const auto owned = std::make_shared<EventLoop>();
    EventLoop* loop = owned.get();
    _loop.store(owned);
    // Time-outs of requests that no loop has run yet: registered before this one existed, or
    // left behind by a loop that was stopped first.
    std::vector<std::pair<uint64_t, Clock::time_point>> due;
    {
        std::lock_guard lock(pending_mutex);
        if (_running.load()) live_loop_ = owned;
        const Clock::time_point now = Clock::now();
        std::erase_if(deadlines_, [&](const auto& d) {
            return !_pending_requests.contains(d.second.request_id);  // nothing left to time out
        });
        for (auto& [registration, deadline] : deadlines_) {
            if (!deadline.at) deadline.at = now + timings.scaled(deadline.timeout);
            due.emplace_back(registration, *deadline.at);
        }
    }
    for (const auto& [registration, at] : due)
        asio::co_spawn(loop->context, _check_timeout(registration, at), asio::detached);
    this_thread_loop = loop;
    // The messages come back here to be freed: their blocks serve the next ones.
    MessageMemory::cache_on();
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
    // What the loop gathered for the GUI thread goes there, whatever stopped the loop.
    flush_to_gui(*loop);
    this_thread_loop = nullptr;
    MessageMemory::cache_off();
    {
        std::lock_guard lock(pending_mutex);
        if (live_loop_ == owned) live_loop_.reset();
    }
    // The loop goes with the last reference: here, or in a thread posting to it right now.
    _loop.clear_if(owned);
}

awaitable<void> Core::_connect_and_listen(EventLoop& loop) {
    // One TLS decision and configuration per run. Verification is off unless the options ask
    // for it: the Business Layer's certificate is self-signed.
    const bool use_tls = tls_requested();
    std::unique_ptr<ssl::context> tls;
    std::string tls_failure;
    if (use_tls) {
        try {
            tls = make_tls_context(options, host);
        } catch (const std::exception& e) {
            tls_failure = std::string("TLS configuration: ") + e.what();
        }
    }
    const auto ex = co_await asio::this_coro::executor;
    while (_running.load()) {  // Checking
        notify({.state = ConnectionState::connecting, .attempt = _reconnect_attempts.load()});
        Outcome outcome{Outcome::error, tls_failure};
        if (tls_failure.empty()) {
            std::shared_ptr<Connection> conn =
                make_connection(ex, tls.get(), *this, counters, timings, options);
            loop.attempt = conn;
            try {
                // Connecting, then Listening once the handshake is done.
                outcome = co_await conn->run(host, port, [&] {
                    loop.ws = conn;
                    ws.store(conn.get());
                    _reconnect_attempts.store(0);
                    _reconnect_delay.store(options.reconnect_delay.count());
                    Counters::add(counters.connections, 1);
                    logger.info("[WebSocketClient] Connected to Business Layer");
                    _on_connected();
                    notify({.state = ConnectionState::connected});
                    _connected.store(true);
                });
            } catch (const std::exception& e) {
                outcome = {Outcome::error, e.what()};
            }
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
        notify({.state = ConnectionState::disconnected,
                .error = outcome.text,
                .close_code = outcome.close_code});
        if (_running.load()) co_await _reconnect();  // Backing off
    }
}

awaitable<void> Core::_reconnect() {
    const int n = ++_reconnect_attempts;
    const double delay =
        std::min(_reconnect_delay.load() * std::pow(2.0, n - 1), _max_reconnect_delay);
    logger.info("[WebSocketClient] Reconnecting in " + format_fixed(delay, 1) + "s (attempt " +
                std::to_string(n) + ")...");
    _on_reconnecting(n, delay);
    notify({.state = ConnectionState::reconnecting,
            .attempt = n,
            .delay = std::chrono::duration<double>(delay)});
    asio::steady_timer timer(co_await asio::this_coro::executor);
    timer.expires_after(timings.scaled(delay));
    co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
}

void Core::notify(ConnectionEvent event) {
    event.endpoint = url;
    on_gui_thread([event = std::move(event)](MainWindow& w) { w.connection_changed(event); });
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

std::shared_ptr<EventLoop> Core::send_loop() {
    if (!_connected.load() || !ws.load()) {
        logger.warning("[WebSocketClient] Cannot send message: not connected");
        return nullptr;
    }
    // After stop the last connection still reads as connected, but its loop is halted: a
    // message posted there would be lost without a word. Right after start, the new loop may
    // not be there yet.
    if (!_running.load()) {
        logger.error(send_error_text("the client is stopped"));
        return nullptr;
    }
    std::shared_ptr<EventLoop> loop = _loop.load();
    if (!loop) logger.error(send_error_text("the client is starting; no connection is open yet"));
    return loop;
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
    const std::size_t size = text.size();
    if (!conn->send(std::move(text)))
        logger.error(send_error_text("outbox full (" + mib(counters.outbox_bytes.load()) +
                                     " wait for the server to read; this message of " +
                                     std::to_string(size) + " bytes was not sent)"));
}

void Core::register_timeout(const std::string& request_id, double timeout) {
    std::shared_ptr<EventLoop> loop;
    uint64_t registration = 0;
    Clock::time_point at;
    {
        std::lock_guard lock(pending_mutex);
        registration = ++last_registration_;
        Deadline& deadline = deadlines_[registration];
        deadline.request_id = request_id;
        deadline.timeout = timeout;
        if (live_loop_) {
            at = Clock::now() + timings.scaled(timeout);
            deadline.at = at;
            loop = live_loop_;
        }
    }
    // A loop halted before it runs this keeps the deadline for the next one.
    if (loop)
        asio::post(loop->context, [this, context = &loop->context, registration, at] {
            asio::co_spawn(*context, _check_timeout(registration, at), asio::detached);
        });
}

awaitable<void> Core::_check_timeout(uint64_t registration, Clock::time_point at) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    timer.expires_at(at);
    co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
    std::optional<PendingRequest> entry;
    std::string request_id;
    double timeout = 0;
    {
        std::lock_guard lock(pending_mutex);
        auto d = deadlines_.find(registration);
        if (d == deadlines_.end()) co_return;  // already checked by another loop's copy
        request_id = std::move(d->second.request_id);
        timeout = d->second.timeout;
        deadlines_.erase(d);
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

void Core::handle_frame(std::string_view raw_message, bool match_responses) {
    try {
        boost::system::error_code ec;
        Json parsed = frame_parser().parse(raw_message, ec);
        if (ec) {
            logger.error("[WebSocketClient] Failed to parse message: " + ec.message());
            return;
        }
        if (!parsed.is_object())
            throw std::invalid_argument("message is a JSON " + std::string(kind_name(parsed)) +
                                        ", not an object");
        JsonObject& data = parsed.get_object();
        if (match_responses && _try_handle_response(data)) return;
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
    post_message_work(message_cost(message), [callback = std::move(entry->callback),
                                              data = std::move(message)](Core&) mutable {
        if (callback) callback(std::move(data));
    });
    return true;
}

void Core::_invoke_callback_in_qt_thread(ResponseCallback callback, JsonObject data) {
    to_gui(0, [self = shared_from_this(), callback = std::move(callback),
               data = std::move(data)]() mutable {
        if (self->gui_alive.load() && callback) callback(std::move(data));
    });
}

void Core::dispatch(const HandlerEntry& handler, JsonObject data) {
    Counters::add(counters.dispatched, 1);
    const std::size_t cost = message_cost(data);
    post_message_work(cost, [body = handler.body, data = std::move(data)](Core& core) mutable {
        HandlerContext ctx{core.main_window, logger};
        body(ctx, data);
    });
}

void Core::post_in_order(std::size_t cost, Task task) {
    if (!backlog.empty() && !draining_) {
        deferred_.push_back(Deferred{backlog.pushed(), cost, std::move(task)});
        return;
    }
    to_gui(cost, std::move(task));
}

void Core::post_due_deferred() {
    while (!deferred_.empty() && deferred_.front().after_frames <= backlog.popped()) {
        Deferred& d = deferred_.front();
        to_gui(d.cost, std::move(d.task));
        deferred_.pop_front();
    }
}

void Core::to_gui(std::size_t cost, Task task) {
    if (cost) flow.charge(cost);
    EventLoop* loop = this_thread_loop;
    if (!loop) {
        gui->post(std::move(task));  // not a network thread (a host or test calling in)
        return;
    }
    loop->batch.push_back(std::move(task));
    loop->batch_cost += cost;
    if (loop->batch.size() >= kMaxBatchTasks || loop->batch_cost >= kMaxBatchBytes) {
        flush_to_gui(*loop);
    } else if (!loop->flush_check_posted) {
        // Flushed once the loop has gone two full turns without adding to it: a read that
        // completes from data already received, or from the socket's, runs before that.
        loop->flush_check_posted = true;
        loop->batch_seen = 0;
        loop->idle_looks = 0;
        asio::post(loop->context, [this, loop] { flush_check(*loop); });
    }
}

void Core::flush_check(EventLoop& loop) {
    if (loop.batch.empty() || (loop.batch.size() == loop.batch_seen && ++loop.idle_looks == 2)) {
        loop.flush_check_posted = false;
        flush_to_gui(loop);
        return;
    }
    if (loop.batch.size() != loop.batch_seen) loop.idle_looks = 0;
    loop.batch_seen = loop.batch.size();
    asio::post(loop.context, [this, loop = &loop] { flush_check(*loop); });
}

void Core::flush_to_gui(EventLoop& loop) {
    if (loop.batch.empty()) return;
    std::vector<Task> tasks;
    tasks.reserve(kMaxBatchTasks);
    tasks.swap(loop.batch);
    loop.batch_cost = 0;
    loop.batch_seen = 0;
    gui->post([home = loop.shared_from_this(), tasks = std::move(tasks)]() mutable {
        // Each task on its own: one that throws does not keep the others from running.
        for (Task& task : tasks) run_guarded(task);
        // The messages go back to be freed on the thread that allocated them: glibc's free
        // from the GUI thread would take the network thread's arena lock for each of them.
        asio::post(home->context, [spent = std::move(tasks)] {});
    });
}

void Core::on_frame(std::string_view text) {
    if (!backlog.empty()) feed();  // older frames first, as far as the GUI thread takes them
    if (backlog.empty() && !flow.over_high()) {
        handle_frame(text, true);
        return;
    }
    // Reading on through a stalled GUI thread: the frame waits as text. An answer to a pending
    // request is matched now, as it would have been at once, so its time-out does not fire
    // while it waits; its callback still runs in arrival order.
    if (counters.pending.load(std::memory_order_relaxed) > 0 &&
        text.find("\"request_id\"") != std::string_view::npos) {
        try {
            boost::system::error_code ec;
            Json parsed = frame_parser().parse(text, ec);
            if (!ec && parsed.is_object() && _try_handle_response(parsed.get_object())) return;
        } catch (const std::exception&) {
            // Not an answer: it goes through the pipeline, and its error, in its turn.
        }
    }
    backlog.push(text);
    if (backlog.bytes() >= kLargeBacklog) backlog_large_ = true;
    publish_backlog();
    feed();  // also asks the GUI thread to call back once it has drained
}

void Core::feed() {
    std::size_t handed = 0;
    for (;;) {
        while (!backlog.empty() && !flow.over_high()) {
            if (EventLoop* loop = this_thread_loop; loop && ++handed > kFeedSlice) {
                // A GUI thread that keeps up would keep this loop going through the whole
                // backlog: the reader (and so the pongs) and the freeing of what the GUI thread
                // has handled get their turns first.
                if (!feed_posted_) {
                    feed_posted_ = true;
                    asio::post(loop->context, [this] {
                        feed_posted_ = false;
                        feed();
                    });
                }
                post_due_deferred();
                publish_backlog();
                return;
            }
            post_due_deferred();
            try {
                backlog.pop(feed_buffer_);
            } catch (const std::exception& e) {
                logger.error(std::string("[WebSocketClient] ") + e.what());
                continue;
            }
            draining_ = true;
            handle_frame(feed_buffer_, false);
            draining_ = false;
        }
        post_due_deferred();
        publish_backlog();
        if (backlog.empty() && backlog_large_) {
            // Its memory, and the messages handed on from it, are freed by now or once the
            // GUI thread has handled the last of them: then the pages go back.
            backlog_large_ = false;
            if (flow.mark_large()) malloc_trim(0);
        }
        if (backlog.empty() || flow.request_wake()) return;
        // The GUI thread drained everything meanwhile: hand on more.
    }
}

void Core::publish_backlog() {
    counters.backlog_frames.store(backlog.frames(), std::memory_order_relaxed);
    counters.backlog_bytes.store(backlog.bytes(), std::memory_order_relaxed);
}

void Core::on_gui_drained(EventLoop& loop) {
    feed();
    if (loop.attempt) loop.attempt->wake_reader();
}

Hold Core::read_hold() {
    if (backlog_full_) return Hold::backlog_full;
    if (backlog.at_limit()) {
        backlog_full_ = true;
        logger.warning("[WebSocketClient] Receive backlog full: " + mib(backlog.bytes()) +
                       " of messages wait for the window; reading paused until it catches up "
                       "(the Business Layer may drop the connection meanwhile)");
        return Hold::backlog_full;
    }
    if (overflow_) {
        if (!backlog.empty() || flow.over_high()) return Hold::none;
        overflow_ = false;  // caught up: back to holding at the watermark
    }
    return !backlog.empty() || flow.over_high() ? Hold::watermark : Hold::none;
}

bool Core::may_resume(Hold why) {
    if (why == Hold::watermark) return backlog.empty() && flow.under_low();
    if (backlog.at_limit(options.resume_fraction)) return false;
    backlog_full_ = false;
    logger.info("[WebSocketClient] Receive backlog down to " + mib(backlog.bytes()) +
                ": reading resumed");
    return true;
}

void Core::stalled() {
    overflow_ = true;
    logger.info("[WebSocketClient] The window has not caught up for " +
                format_real(options.max_read_pause.count()) +
                "s: reading on, keeping messages as text until it does");
}

bool Core::request_wake() {
    // The GUI thread can only drain what it has been given.
    if (EventLoop* loop = this_thread_loop) flush_to_gui(*loop);
    if (flow.request_wake()) return true;
    feed();
    return false;
}

void Core::return_memory() {
    // After a large drain glibc keeps the freed pages; give them back, off the GUI thread.
    if (std::shared_ptr<EventLoop> loop = _loop.load())
        asio::post(loop->context, [] { malloc_trim(0); });
}

}  // namespace detail

bool is_timeout(const JsonObject& answer) {
    const Json* error = answer.if_contains("error");
    return error && error->is_string() && error->get_string() == "timeout" &&
           !answer.contains("type");
}

WebSocketClient::WebSocketClient(MainWindow& window, std::string host_name, int port_number)
    : WebSocketClient(window, std::move(host_name), port_number, ClientOptions{},
                      ClientTestOptions{}) {}

WebSocketClient::WebSocketClient(MainWindow& window, std::string host_name, int port_number,
                                 const ClientTestOptions& test_options)
    : WebSocketClient(window, std::move(host_name), port_number, ClientOptions{}, test_options) {}

WebSocketClient::WebSocketClient(MainWindow& window, std::string host_name, int port_number,
                                 const ClientOptions& options,
                                 const ClientTestOptions& test_options)
    : main_window(window),
      host(std::move(host_name)),
      port(port_number),
      url(build_url(host, port)),
      core_(std::make_shared<detail::Core>(window, host, port, options, test_options.time_scale)) {}

WebSocketClient::~WebSocketClient() {
    if (core_->_running.load()) stop();
    core_->gui_alive.store(false);
    // A thread that outlived the join keeps the Core alive and finishes on its own.
    LeftBehind::adopt(std::move(_thread), std::move(_thread_finished));
}

void WebSocketClient::start() {
    if (core_->_running.load()) return;
    core_->_running.store(true);
    // The thread of an earlier run that outlived its join.
    LeftBehind::adopt(std::move(_thread), std::move(_thread_finished));
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
    const bool was_running = core_->_running.exchange(false);
    {
        // Requests registered from now on wait for the next loop for their time-outs.
        std::lock_guard lock(core_->pending_mutex);
        core_->live_loop_.reset();
    }
    if (std::shared_ptr<detail::EventLoop> loop = core_->_loop.load())
        asio::post(loop->context, [context = &loop->context] { context->stop(); });
    if (_thread.joinable() &&
        _thread_finished.wait_for(core_->timings.stop_join) == std::future_status::ready)
        _thread.join();
    logger.info("[WebSocketClient] Stopped");
    if (was_running) {
        // This is the GUI thread: the event goes behind the work queued so far.
        core_->gui->post([core = core_] {
            if (core->gui_alive.load())
                core->main_window.connection_changed(
                    ConnectionEvent{.state = ConnectionState::stopped, .endpoint = core->url});
        });
    }
}

bool WebSocketClient::is_connected() const {
    return core_->_connected.load();
}
bool WebSocketClient::connected() const {
    return core_->_connected.load();
}

void WebSocketClient::send_message(JsonObject message) {
    const std::shared_ptr<detail::EventLoop> loop = core_->send_loop();
    if (!loop) return;
    // The Core outlives the loop's handlers; the handler lives in the loop it names.
    asio::post(loop->context,
               [core = core_.get(), loop = loop.get(), message = std::move(message)]() mutable {
                   core->_async_send(*loop, std::move(message));
               });
}

void WebSocketClient::send_text_message(std::string message) {
    const std::shared_ptr<detail::EventLoop> loop = core_->send_loop();
    if (!loop) return;
    asio::post(loop->context,
               [core = core_.get(), loop = loop.get(), message = std::move(message)]() mutable {
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
        core_->counters.pending.store(core_->_pending_requests.size(), std::memory_order_relaxed);
    }
    send_message(message);
    core_->register_timeout(request_id, timeout);
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
    s.pending_bytes = core_->flow.pending_bytes();
    s.peak_pending_bytes = core_->flow.peak_pending_bytes();
    s.read_pauses = c.read_pauses.load(relaxed);
    s.read_pause_time = std::chrono::microseconds(c.read_pause_us.load(relaxed));
    s.reading_paused = c.reading_paused.load(relaxed);
    s.backlog_frames = c.backlog_frames.load(relaxed);
    s.backlog_bytes = c.backlog_bytes.load(relaxed);
    s.outbox_bytes = c.outbox_bytes.load(relaxed);
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
