// WebSocketClient: the IDE main window's connection to the Business Layer.
#pragma once

#include <quarvo_zovovi/ide/gui/export.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <quarvo_zovovi/ide/gui/core/client_options.h>
#include <quarvo_zovovi/ide/gui/core/client_stats.h>
#include <quarvo_zovovi/ide/gui/core/json.h>
#include <quarvo_zovovi/ide/gui/core/response.h>
#include <quarvo_zovovi/ide/gui/core/traffic_log.h>
#include <quarvo_zovovi/ide/gui/host/main_window.h>

class QObject;

namespace quarvo_zovovi::ide::gui {

class ClientSignals;

/// Shortened timings for a host's own tests; complete in <quarvo_zovovi/ide/gui/testing.h>.
struct ClientTestOptions;

/// A host's handler of a message type the system does not handle (see register_handler()).
using MessageHandler = std::function<void(JsonObject& message)>;
/// Sees each handled message (see observe_messages()).
using MessageObserver = std::function<void(const JsonObject& message)>;

namespace detail {
class Session;
struct ClientAccess;
}  // namespace detail

/// Threaded WebSocket client for IDE communication with Business Layer.
///
/// Runs in a separate thread to avoid blocking Qt's main event loop. This prevents keepalive
/// timeout issues when modal dialogs are open.
///
/// The host window constructs it on the GUI thread, calls start(), and from then on the
/// client keeps one connection to "/ws/ide/main_ide" alive (ws when QUARVO_SECURED is exactly
/// "0", otherwise wss), reconnects with back-off, sends what it is given from any thread,
/// matches answers to requests, and dispatches every other message by its "type" to a handler
/// that updates the host window on the GUI thread. It logs through the Qt logging category
/// "quarvo_zovovi.ide.gui.websocket_client" (lcWebSocketClient, host/logging.h), whose debug
/// lines are off by default.
///
/// Threads: the constructor, destructor, start() and stop() on the GUI thread; the other
/// operations on any thread; handlers, response callbacks and connection notices run on the
/// GUI thread. The client does not own `main_window`, which must outlive it.
class QUARVO_IDE_CLIENT_EXPORT WebSocketClient {
    // First, so that the endpoint below is the one the connection uses.
    std::shared_ptr<detail::Session> session_;

  public:
    /// A client of ws(s)://host:port/ws/ide/main_ide with the default options. Does no
    /// network work and starts no thread.
    explicit WebSocketClient(MainWindow& main_window, std::string host = "localhost",
                             int port = 8000);
    /// The same with the host's timings, bounds and TLS settings.
    WebSocketClient(MainWindow& main_window, std::string host, int port,
                    const ClientOptions& options);
    /// For a host's tests (testing.h): the same with every wait scaled down.
    WebSocketClient(MainWindow& main_window, std::string host, int port,
                    const ClientTestOptions& test_options);
    /// For a host's tests (testing.h): the host's options with every wait scaled down.
    WebSocketClient(MainWindow& main_window, std::string host, int port,
                    const ClientOptions& options, const ClientTestOptions& test_options);
    /// Stops the client if it runs. The network thread co-owns what it uses, so a thread left
    /// behind by a timed-out join never touches freed memory; GUI work still queued for this
    /// client is dropped.
    ~WebSocketClient();

    WebSocketClient(const WebSocketClient&) = delete;
    WebSocketClient& operator=(const WebSocketClient&) = delete;

    MainWindow& main_window;  ///< the host window; not owned
    const std::string host;   ///< the server's host name
    const int port;           ///< the server's port
    /// The endpoint, fixed at construction: "wss://localhost:8000/ws/ide/main_ide" by default
    /// (ClientOptions::secure and ClientOptions::path change it).
    const std::string url;

    /// Starts the network thread, which connects and keeps connecting. Returns at once; a
    /// second call while running does nothing. GUI thread.
    void start();
    /// Stops the connection loop and joins the network thread for at most
    /// ClientOptions::stop_timeout (5 s). No closing handshake; pending requests are kept. GUI
    /// thread.
    void stop();
    /// Whether a connection is open. Any thread.
    bool is_connected() const;
    /// The same as is_connected().
    bool connected() const;
    /// The state of the last connection event the host window was given (see
    /// MainWindow::connection_changed): `stopped` before start() and after stop(), then
    /// connecting, connected, disconnected and reconnecting as they happen. is_connected()
    /// follows the socket itself and may run ahead of it. Any thread.
    ConnectionState state() const;

    /// Sends `message` in the wire form. Any thread; returns at once: true when the message
    /// went to the network thread's queue, false when it was dropped with a warning because no
    /// connection is open. An error line follows when it cannot be written after all.
    bool send_message(JsonObject message);
    /// Sends `message` as it is, as one text frame. Any thread; as send_message().
    bool send_text_message(std::string message);
    /// The older name of send_text_message().
    bool sendTextMessage(std::string message);

    /// Registers a request, sends it and returns its id at once. Any thread.
    ///
    /// The id is `message`'s own "request_id" when it is set, otherwise a new UUID written
    /// into `message`. `callback` gets, on the GUI thread, the first message whose request_id
    /// matches and whose "type" is `response_type` (any type when empty), or after `timeout`
    /// seconds the time-out object (see is_timeout()).
    std::string send_and_wait_response(JsonObject& message, ResponseCallback callback,
                                       std::optional<std::string> response_type = std::nullopt,
                                       double timeout = 30.0);
    /// The same for a message the caller does not keep.
    std::string send_and_wait_response(JsonObject&& message, ResponseCallback callback,
                                       std::optional<std::string> response_type = std::nullopt,
                                       double timeout = 30.0) {
        return send_and_wait_response(message, std::move(callback), std::move(response_type),
                                      timeout);
    }

    /// The same, bound to `context` as QObject::connect binds a slot to its receiver: once
    /// `context` is destroyed, `callback` is dropped unrun (the request still ends, unseen, by
    /// its answer or its time-out). `context` lives on the GUI thread; null binds to nothing.
    std::string send_and_wait_response(JsonObject& message, const QObject* context,
                                       ResponseCallback callback,
                                       std::optional<std::string> response_type = std::nullopt,
                                       double timeout = 30.0);
    /// The same for a message the caller does not keep.
    std::string send_and_wait_response(JsonObject&& message, const QObject* context,
                                       ResponseCallback callback,
                                       std::optional<std::string> response_type = std::nullopt,
                                       double timeout = 30.0) {
        return send_and_wait_response(message, context, std::move(callback),
                                      std::move(response_type), timeout);
    }

    /// Removes the pending request `request_id` (as send_and_wait_response() returned it): its
    /// callback will not run, and an answer that comes later is handled as any message of its
    /// type. True when it was pending; false when it had ended (its callback has run or is on
    /// its way to the GUI thread). Any thread.
    bool cancel_request(const std::string& request_id);

    /// Handles messages of `type`, a type the system's 47 handlers do not take, from now on:
    /// `handler` gets each such message on the GUI thread, in arrival order with the others.
    /// False, with a warning, for a type of the system's or one already registered (neither is
    /// replaced). GUI thread; before or after start().
    bool register_handler(std::string type, MessageHandler handler);
    /// Shows `observer` every message after its handler (the system's or a registered one)
    /// has run, on the GUI thread; an empty observer stops it. GUI thread.
    void observe_messages(MessageObserver observer);

    /// Requests registered and not yet answered or timed out. Any thread.
    size_t pending_request_count() const;

    /// The client's counters. Any thread; no lock taken.
    ClientStats stats() const;

    /// @name The traffic log (traffic_log.h)
    /// Off by default. While on, every frame both ways and the client's own events go into a
    /// ring bounded by ClientOptions::traffic_log_entries and traffic_log_bytes (the oldest
    /// are dropped first, and counted); the network thread never waits for the GUI thread.
    /// @{
    /// Switches the log on or off. Any thread; what it holds stays.
    void set_traffic_log_enabled(bool on);
    /// Whether it is on. Any thread.
    bool traffic_log_enabled() const;
    /// What the log holds now (entries after `after_sequence`, when given: a view that follows
    /// the log asks for what came since the last entry it has). Any thread; copies pointers.
    TrafficSnapshot traffic_log(std::uint64_t after_sequence = 0) const;
    /// Empties the log and its count of dropped entries; sequence numbers go on. Any thread.
    void clear_traffic_log();
    /// @}

    /// The client's Qt signals (client_signals.h): connectionChanged for every connection
    /// event, statsChanged for the counters at the rate the host sets. Owned by the client;
    /// GUI thread.
    ClientSignals& client_signals();

  private:
    friend struct detail::ClientAccess;  // the tests' one way in

    // The system's internal operations, reached by tests through detail::ClientAccess.
    // The inbound pipeline for one text frame: parse, match to a request, dispatch by type.
    // Never throws. The network thread's: on a started client the frame is handed to it.
    void _handle_message(std::string_view raw_message);
    // True when `message` answered a pending request; it has then been moved to the callback.
    bool _try_handle_response(JsonObject& message);
    // Runs `callback(data)` on the GUI thread. Any thread.
    void _invoke_callback_in_qt_thread(ResponseCallback callback, JsonObject data);

    std::unique_ptr<ClientSignals> signals_;  // GUI thread; goes before the session
};

}  // namespace quarvo_zovovi::ide::gui
