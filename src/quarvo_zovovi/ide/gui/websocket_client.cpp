// WebSocketClient: the Qt layer's composition of the protocol core. It gives the core the
// handler table and the host window's notices (SessionHost), and the GUI-thread facility.
#include <quarvo_zovovi/ide/gui/websocket_client.h>

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include <quarvo_zovovi/ide/gui/client_access.h>
#include <quarvo_zovovi/ide/gui/client_signals.h>
#include <quarvo_zovovi/ide/gui/core/log.h>
#include <quarvo_zovovi/ide/gui/core/session.h>
#include <quarvo_zovovi/ide/gui/core/value.h>
#include <quarvo_zovovi/ide/gui/handler_table.h>
#include <quarvo_zovovi/ide/gui/testing.h>
#include <quarvo_zovovi/ide/gui/host/qt_log.h>
#include <quarvo_zovovi/ide/gui/host/qt_thread.h>

namespace quarvo_zovovi::ide::gui {

namespace {

Logger& logger = get_logger("quarvo_zovovi.ide.gui.websocket_client");

// The host window as the core sees it: the handler table, and what the window shows of the
// connection. Owned by the session; its GUI-thread calls run only while the client exists.
class WindowHost final : public detail::SessionHost {
  public:
    explicit WindowHost(MainWindow& window) : window_(window) {}

    const HandlerTable MESSAGE_HANDLERS;  // built once here, read-only afterwards

    // Any thread: the system's table first; a host's handlers only for the types it lacks.
    const HandlerEntry* find_handler(std::string_view type) const override {
        if (const HandlerEntry* entry = MESSAGE_HANDLERS.find(type)) return entry;
        std::lock_guard lock(host_mutex_);
        auto it = host_handlers_.find(type);
        return it == host_handlers_.end() ? nullptr : it->second.get();
    }
    // GUI thread.
    void run_handler(const HandlerEntry& handler, JsonObject& message) override {
        if (handler.body == &host_body) {
            static_cast<const HostEntry&>(handler).handler(message);
        } else {
            HandlerContext ctx{window_, logger};
            handler.body(ctx, message);
        }
        if (observer_) observer_(message);
    }

    // GUI thread. Entries are never removed: queued messages point at them.
    bool add_handler(std::string type, MessageHandler handler) {
        if (MESSAGE_HANDLERS.find(type)) {
            logger.warning("[WebSocketClient] Handler not registered: \"" + type +
                           "\" is a message type of the system");
            return false;
        }
        std::lock_guard lock(host_mutex_);
        if (host_handlers_.contains(type)) {
            logger.warning("[WebSocketClient] Handler not registered: \"" + type +
                           "\" has a handler already");
            return false;
        }
        auto entry = std::make_unique<HostEntry>();
        entry->name = "_handle_" + type;
        entry->handler = std::move(handler);
        HostEntry& e = *entry;
        auto [it, added] = host_handlers_.emplace(std::move(type), std::move(entry));
        e.type = it->first;
        e.HandlerEntry::name = e.name;
        e.body = &host_body;
        return added;
    }
    void set_observer(MessageObserver observer) { observer_ = std::move(observer); }
    void _on_connected_qt() override {
        window_.log_to_console("Connected to Quarvo Server", std::nullopt, OutputLevel::DETAILED,
                               std::nullopt);
        window_.statusBar().showMessage("Connected to Quarvo Server");
    }
    void _on_disconnected_qt() override {
        window_.log_to_console("Disconnected from Quarvo Server", std::nullopt,
                               OutputLevel::DETAILED, std::nullopt);
        window_.statusBar().showMessage("Disconnected - Reconnecting...");
    }
    void _on_reconnecting_qt(int attempt, double delay) override {
        window_.statusBar().showMessage("Reconnecting... (attempt " + std::to_string(attempt) +
                                        ", next try in " + format_fixed(delay, 0) + "s)");
    }
    void connection_changed(const ConnectionEvent& event) override {
        state.store(event.state);
        window_.connection_changed(event);
        if (qt_signals) Q_EMIT qt_signals->connectionChanged(event);
    }

    // The state of the last event the window was given. Set on the GUI thread, read anywhere.
    std::atomic<ConnectionState> state{ConnectionState::stopped};
    // The client's signals; set once by the client, used on the GUI thread while it exists.
    ClientSignals* qt_signals = nullptr;

  private:
    // A host's handler, in the table's form.
    struct HostEntry : HandlerEntry {
        std::string name;
        MessageHandler handler;
    };
    static void host_body(HandlerContext&, JsonObject&) {}  // marks a HostEntry

    MainWindow& window_;
    mutable std::mutex host_mutex_;  // host_handlers_, written on the GUI thread
    std::map<std::string, std::unique_ptr<HostEntry>, std::less<>> host_handlers_;
    MessageObserver observer_;  // GUI thread
};

std::shared_ptr<detail::Session> make_session(MainWindow& window, const std::string& host, int port,
                                              const ClientOptions& options, double time_scale) {
    detail::use_qt_log_sink();
    return detail::Session::create(std::make_unique<WindowHost>(window), gui_thread(), host, port,
                                   options, time_scale);
}

WindowHost& window_host(detail::Session& session) {
    return static_cast<WindowHost&>(session.session_host());
}

}  // namespace

WebSocketClient::WebSocketClient(MainWindow& window, std::string host_name, int port_number)
    : WebSocketClient(window, std::move(host_name), port_number, ClientOptions{},
                      ClientTestOptions{}) {}

WebSocketClient::WebSocketClient(MainWindow& window, std::string host_name, int port_number,
                                 const ClientOptions& options)
    : WebSocketClient(window, std::move(host_name), port_number, options, ClientTestOptions{}) {}

WebSocketClient::WebSocketClient(MainWindow& window, std::string host_name, int port_number,
                                 const ClientTestOptions& test_options)
    : WebSocketClient(window, std::move(host_name), port_number, ClientOptions{}, test_options) {}

WebSocketClient::WebSocketClient(MainWindow& window, std::string host_name, int port_number,
                                 const ClientOptions& options,
                                 const ClientTestOptions& test_options)
    : session_(make_session(window, host_name, port_number, options, test_options.time_scale)),
      main_window(window),
      host(std::move(host_name)),
      port(port_number),
      url(session_->url),
      signals_(std::make_unique<ClientSignals>([this] { return stats(); })) {
    window_host(*session_).qt_signals = signals_.get();
}

WebSocketClient::~WebSocketClient() {
    if (session_->running()) stop();
    session_->detach_host();
}

void WebSocketClient::start() {
    if (!session_->start()) return;
    logger.info("[WebSocketClient] Started, connecting to " + url);
}

void WebSocketClient::stop() {
    const bool was_running = session_->stop();
    logger.info("[WebSocketClient] Stopped");
    if (was_running) {
        // This is the GUI thread: the event goes behind the work queued so far.
        session_->handoff().gui().post(
            session_->handoff().guarded([host = &window_host(*session_), endpoint = session_->url] {
                host->connection_changed(
                    ConnectionEvent{.state = ConnectionState::stopped, .endpoint = endpoint});
            }));
    }
}

ConnectionState WebSocketClient::state() const {
    return window_host(*session_).state.load();
}

bool WebSocketClient::is_connected() const {
    return session_->is_connected();
}
bool WebSocketClient::connected() const {
    return session_->is_connected();
}

bool WebSocketClient::send_message(JsonObject message) {
    return session_->send(std::move(message));
}

bool WebSocketClient::send_text_message(std::string message) {
    return session_->send_text(std::move(message));
}

bool WebSocketClient::sendTextMessage(std::string message) {
    return send_text_message(std::move(message));
}

std::string WebSocketClient::send_and_wait_response(JsonObject& message, ResponseCallback callback,
                                                    std::optional<std::string> response_type,
                                                    double timeout) {
    return session_->register_request(message, std::move(callback), std::move(response_type),
                                      timeout);
}

std::string WebSocketClient::send_and_wait_response(JsonObject& message, const QObject* context,
                                                    ResponseCallback callback,
                                                    std::optional<std::string> response_type,
                                                    double timeout) {
    if (context) {
        // The guard is read, and dropped, on the GUI thread only, where the context lives and
        // dies: a callback that ends elsewhere (cancelled, or freed by the network thread after
        // it ran) sends the guard there to go. Qt keeps the guard's count in QtCore, where
        // ThreadSanitizer cannot see it pair with the object's own destruction.
        const std::shared_ptr<QPointer<const QObject>> guard(
            new QPointer<const QObject>(context), [gui = gui_thread()](QPointer<const QObject>* p) {
                const QCoreApplication* app = QCoreApplication::instance();
                if (!app || QThread::currentThread() == app->thread())
                    delete p;
                else
                    gui->post([p] { delete p; });
            });
        callback = [guard, callback = std::move(callback)](JsonObject answer) {
            if (*guard && callback) callback(std::move(answer));
        };
    }
    return send_and_wait_response(message, std::move(callback), std::move(response_type), timeout);
}

bool WebSocketClient::register_handler(std::string type, MessageHandler handler) {
    return window_host(*session_).add_handler(std::move(type), std::move(handler));
}

void WebSocketClient::observe_messages(MessageObserver observer) {
    window_host(*session_).set_observer(std::move(observer));
}

bool WebSocketClient::cancel_request(const std::string& request_id) {
    return session_->cancel_request(request_id);
}

ClientStats WebSocketClient::stats() const {
    return session_->stats();
}

void WebSocketClient::set_traffic_log_enabled(bool on) {
    session_->traffic().set_on(on);
}

bool WebSocketClient::traffic_log_enabled() const {
    return session_->traffic().on();
}

TrafficSnapshot WebSocketClient::traffic_log(std::uint64_t after_sequence) const {
    return session_->traffic().snapshot(after_sequence);
}

void WebSocketClient::clear_traffic_log() {
    session_->traffic().clear();
}

ClientSignals& WebSocketClient::client_signals() {
    return *signals_;
}

size_t WebSocketClient::pending_request_count() const {
    return session_->pending_request_count();
}

void WebSocketClient::_handle_message(std::string_view raw_message) {
    session_->handle_message(raw_message);
}

bool WebSocketClient::_try_handle_response(JsonObject& message) {
    return session_->inbound()._try_handle_response(message);
}

void WebSocketClient::_invoke_callback_in_qt_thread(ResponseCallback callback, JsonObject data) {
    session_->handoff()._invoke_callback_in_qt_thread(std::move(callback), std::move(data));
}

namespace detail {

const HandlerTable& ClientAccess::MESSAGE_HANDLERS(const WebSocketClient& client) {
    return window_host(*client.session_).MESSAGE_HANDLERS;
}

}  // namespace detail

}  // namespace quarvo_zovovi::ide::gui
