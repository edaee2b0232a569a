// The connection's life: the network thread, the connection loop (checking, connecting,
// listening, ending, backing off), the send path, and the counters.
#include <quarvo_zovovi/ide/gui/core/session.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <cmath>
#include <stdexcept>

#include <quarvo_zovovi/ide/gui/core/json_text.h>
#include <quarvo_zovovi/ide/gui/core/left_behind.h>
#include <quarvo_zovovi/ide/gui/core/log.h>
#include <quarvo_zovovi/ide/gui/core/message_memory.h>
#include <quarvo_zovovi/ide/gui/core/platform.h>
#include <quarvo_zovovi/ide/gui/core/value.h>

namespace quarvo_zovovi::ide::gui::detail {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
using asio::awaitable;

namespace {

Logger& logger = get_logger("quarvo_zovovi.ide.gui.websocket_client");

}  // namespace

std::shared_ptr<Session> Session::create(std::unique_ptr<SessionHost> host,
                                         std::shared_ptr<GuiThread> gui, std::string host_name,
                                         int port, const ClientOptions& options,
                                         double time_scale) {
    auto session = std::make_shared<Session>(std::move(host), std::move(gui), std::move(host_name),
                                             port, options, time_scale);
    // Work waiting for the GUI thread keeps the whole session alive through these.
    session->handoff_.set_self(std::shared_ptr<GuiHandoff>(session, &session->handoff_));
    session->inbound_.set_self(std::shared_ptr<Inbound>(session, &session->inbound_));
    return session;
}

Session::Session(std::unique_ptr<SessionHost> host_layer, std::shared_ptr<GuiThread> gui,
                 std::string host_name, int port_number, const ClientOptions& client_options,
                 double time_scale)
    : host(std::move(host_name)),
      port(port_number),
      options(client_options),
      endpoint(host, port_number, options),
      url(endpoint.url()),
      timings(options, time_scale),
      host_(std::move(host_layer)),
      _reconnect_delay(options.reconnect_delay.count()),
      _max_reconnect_delay(options.max_reconnect_delay.count()),
      traffic_(options, counters_.connections),
      flow_(options),
      handoff_(std::move(gui), flow_),
      requests_(timings, counters_, handoff_, traffic_),
      inbound_(options, *host_, requests_, handoff_, flow_, counters_, traffic_, _loop) {
    // Runs on the GUI thread when it has drained its queue and the reader asked for it.
    // The loop lives as long as this session, and the session as long as the task calling this.
    flow_.set_waker([this] {
        if (std::shared_ptr<EventLoop> loop = _loop.load())
            asio::post(loop->context,
                       [this, loop = loop.get()] { inbound_.on_gui_drained(*loop); });
    });
}

bool Session::start() {
    if (_running.load()) return false;
    _running.store(true);
    // The thread of an earlier run that outlived its join.
    adopt_left_behind(std::move(thread_), std::move(thread_finished_));
    std::promise<void> finished;
    thread_finished_ = finished.get_future();
    thread_ = std::thread([self = shared_from_this(), finished = std::move(finished)]() mutable {
        platform::name_this_thread("quarvo-ws");
        self->_run_event_loop();
        finished.set_value();
    });
    return true;
}

bool Session::stop() {
    const bool was_running = _running.exchange(false);
    if (was_running) traffic_.event("stopped");
    // Requests registered from now on wait for the next loop for their time-outs.
    requests_.detach_loop();
    if (std::shared_ptr<EventLoop> loop = _loop.load())
        asio::post(loop->context, [context = &loop->context] { context->stop(); });
    if (thread_.joinable() &&
        thread_finished_.wait_for(timings.stop_join) == std::future_status::ready)
        thread_.join();
    return was_running;
}

void Session::detach_host() {
    handoff_.host_alive.store(false);
    // A thread that outlived the join keeps the session alive and finishes on its own.
    adopt_left_behind(std::move(thread_), std::move(thread_finished_));
}

void Session::_run_event_loop() {
    const auto owned = std::make_shared<EventLoop>();
    EventLoop* loop = owned.get();
    _loop.store(owned);
    requests_.attach_loop(owned, _running);
    EventLoop::set_current(loop);
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
    handoff_.flush(*loop);
    EventLoop::set_current(nullptr);
    MessageMemory::cache_off();
    requests_.detach_loop(loop);
    // The loop goes with the last reference: here, or in a thread posting to it right now.
    _loop.clear_if(owned);
}

awaitable<void> Session::_connect_and_listen(EventLoop& loop) {
    // One TLS decision and configuration per run. Verification is off unless the options ask
    // for it: the Business Layer's certificate is self-signed.
    std::shared_ptr<ssl::context> tls;
    std::string tls_failure;
    if (endpoint.tls) {
        try {
            tls = make_tls_context(options, endpoint.host);
        } catch (const std::exception& e) {
            tls_failure = std::string("TLS configuration: ") + e.what();
        }
    }
    const auto ex = co_await asio::this_coro::executor;
    while (_running.load()) {  // Checking
        notify({.state = ConnectionState::connecting, .attempt = _reconnect_attempts.load()});
        Outcome outcome{Outcome::error, tls_failure};
        const int attempts_before = _reconnect_attempts.load();
        if (tls_failure.empty()) {
            std::shared_ptr<Connection> conn =
                make_connection(ex, tls.get(), inbound_, counters_, timings, options);
            loop.attempt = conn;
            try {
                // Connecting, then Listening once the handshake is done.
                outcome = co_await conn->run(endpoint, [&] {
                    loop.ws = conn;
                    ws.store(conn.get());
                    _reconnect_attempts.store(0);
                    _reconnect_delay.store(options.reconnect_delay.count());
                    Counters::add(counters_.connections, 1);
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
        // A message over the bound comes again on the next connection: keep backing off.
        if (outcome.message_too_big) _reconnect_attempts.store(attempts_before);
        _connected.store(false);
        _on_disconnected();
        notify({.state = ConnectionState::disconnected,
                .error = outcome.text,
                .close_code = outcome.close_code});
        if (_running.load()) co_await _reconnect();  // Backing off
    }
}

awaitable<void> Session::_reconnect() {
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

void Session::_on_connected() {
    inbound_.on_gui_thread([host = host_.get()] { host->_on_connected_qt(); });
}

void Session::_on_disconnected() {
    inbound_.on_gui_thread([host = host_.get()] { host->_on_disconnected_qt(); });
}

void Session::_on_reconnecting(int attempt, double delay) {
    inbound_.on_gui_thread(
        [host = host_.get(), attempt, delay] { host->_on_reconnecting_qt(attempt, delay); });
}

void Session::notify(ConnectionEvent event) {
    event.endpoint = url;
    if (traffic_.on()) {
        switch (event.state) {
            case ConnectionState::connecting:
                traffic_.event("connecting", url + (event.attempt ? ", attempt " +
                                                                    std::to_string(event.attempt)
                                                              : std::string()));
                break;
            case ConnectionState::connected:
                traffic_.event("connected", url);
                break;
            case ConnectionState::disconnected:
                traffic_.event("closed", event.error);
                break;
            case ConnectionState::reconnecting:
                traffic_.event("reconnecting", "attempt " + std::to_string(event.attempt) +
                                                   " in " + format_fixed(event.delay.count(), 1) +
                                                   "s");
                break;
            case ConnectionState::stopped:
                break;
        }
    }
    inbound_.on_gui_thread(
        [host = host_.get(), event = std::move(event)] { host->connection_changed(event); });
}

std::shared_ptr<EventLoop> Session::send_loop() {
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

bool Session::send(JsonObject message) {
    const std::shared_ptr<EventLoop> loop = send_loop();
    if (!loop) return false;
    // The session outlives the loop's handlers; the handler lives in the loop it names.
    asio::post(loop->context,
               [self = this, loop = loop.get(), message = std::move(message)]() mutable {
                   self->_async_send(*loop, std::move(message));
               });
    return true;
}

bool Session::send_text(std::string message) {
    const std::shared_ptr<EventLoop> loop = send_loop();
    if (!loop) return false;
    asio::post(loop->context,
               [self = this, loop = loop.get(), message = std::move(message)]() mutable {
                   self->send_frame(*loop, std::move(message));
               });
    return true;
}

void Session::_async_send(EventLoop& loop, JsonObject message) {
    std::string text;
    try {
        text = to_json_text(message);
    } catch (const std::exception& e) {
        logger.error(send_error_text(e.what()));
        return;
    }
    send_frame(loop, std::move(text));
}

void Session::send_frame(EventLoop& loop, std::string text) {
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
    traffic_.frame(TrafficEntry::Kind::sent, text);
    if (!conn->send(std::move(text))) {
        traffic_.event("outbox_full", std::to_string(size) + " bytes not sent");
        logger.error(send_error_text("outbox full (" + mib(counters_.outbox_bytes.load()) +
                                     " wait for the server to read; this message of " +
                                     std::to_string(size) + " bytes was not sent)"));
    }
}

std::string Session::register_request(JsonObject& message, ResponseCallback callback,
                                      std::optional<std::string> response_type, double timeout) {
    std::string request_id;
    const Json* given = find(message, "request_id");
    if (is_set(given)) {
        request_id = RequestTable::request_key(*given);
    } else {
        thread_local boost::uuids::random_generator generate;
        request_id = boost::uuids::to_string(generate());
        message["request_id"] = request_id;
    }
    // Registered before the send, so no answer can arrive unregistered.
    PendingRequest request{std::move(callback), std::move(response_type)};
    const uint64_t registration = requests_.add(request_id, std::move(request));
    if (!registration) {
        // The pending request keeps its id: this one is refused, not sent.
        logger.warning("[WebSocketClient] Request id already pending, request not sent: " +
                       request_id);
        refuse(std::move(request.callback), request_id, "duplicate_request_id",
               "Request id " + request_id + " is already pending");
        return request_id;
    }
    if (traffic_.on()) traffic_.event("request_sent", {}, request_id);
    if (!send(message) && options.fail_requests_while_disconnected) {
        // The host chose to hear of it at once rather than at the time-out.
        if (std::optional<PendingRequest> entry = requests_.take(request_id, registration)) {
            refuse(std::move(entry->callback), request_id, "not_sent",
                   "Request not sent: not connected");
            return request_id;
        }
    }
    requests_.schedule_timeout(registration, request_id, timeout);
    return request_id;
}

void Session::refuse(ResponseCallback callback, const std::string& request_id,
                     std::string_view error, std::string message) {
    JsonObject refused;
    refused["error"] = error;
    refused["request_id"] = request_id;
    refused["message"] = std::move(message);
    handoff_._invoke_callback_in_qt_thread(std::move(callback), std::move(refused));
}

void Session::handle_message(std::string_view raw_message) {
    if (std::shared_ptr<EventLoop> loop = _loop.load()) {
        asio::post(loop->context, [self = shared_from_this(), text = std::string(raw_message)] {
            self->inbound_._handle_message(text);
        });
        return;
    }
    inbound_._handle_message(raw_message);
}

ClientStats Session::stats() const {
    const Counters& c = counters_;
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
    s.gui_queue_depth = handoff_.gui().queued();
    if (const int64_t rtt = c.ping_round_trip_us.load(relaxed); rtt >= 0)
        s.last_ping_round_trip = std::chrono::microseconds(rtt);
    s.pending_bytes = flow_.pending_bytes();
    s.peak_pending_bytes = flow_.peak_pending_bytes();
    s.read_pauses = c.read_pauses.load(relaxed);
    s.read_pause_time = std::chrono::microseconds(c.read_pause_us.load(relaxed));
    s.reading_paused = c.reading_paused.load(relaxed);
    s.backlog_frames = c.backlog_frames.load(relaxed);
    s.backlog_bytes = c.backlog_bytes.load(relaxed);
    s.outbox_bytes = c.outbox_bytes.load(relaxed);
    return s;
}

}  // namespace quarvo_zovovi::ide::gui::detail
