// WebSocketClient: the IDE main window's connection to the Business Layer.
//
// Threaded WebSocket client for IDE communication with Business Layer.
// Runs in a separate thread to avoid blocking Qt's main event loop.
// This prevents keepalive timeout issues when modal dialogs are open.
//
// Threads:
//  - GUI thread: constructor, destructor, start, stop.
//  - Any thread: is_connected, connected, send_message, send_text_message, sendTextMessage,
//    send_and_wait_response, pending_request_count, _invoke_callback_in_qt_thread.
//  - Network thread: the connection loop and the inbound pipeline (_handle_message,
//    _try_handle_response); tests may call those directly while the client is not started.
//  - Handler bodies, response callbacks and connection notices run on the GUI thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include <quarvo_zovovi/ide/gui/client_options.h>
#include <quarvo_zovovi/ide/gui/handler_table.h>
#include <quarvo_zovovi/ide/gui/host/main_window.h>

namespace quarvo_zovovi::ide::gui {

// Receives the response to a request, or the time-out object. Always runs on the GUI thread,
// at most once per registration.
using ResponseCallback = std::function<void(JsonObject)>;

/// True when `answer`, as a ResponseCallback receives it, is the client's time-out object
/// ({"error": "timeout", "request_id": ..., "message": "Request timed out after ...s"}) and not
/// the Business Layer's answer: its "error" is "timeout" and it has no "type". (An answer may
/// carry an "error" of its own, as a failed execution_result does.)
bool is_timeout(const JsonObject& answer);

struct PendingRequest {
    ResponseCallback callback;
    std::optional<std::string> response_type;  // empty or "" accepts any type
};

// A snapshot of the client's counters, cheap enough to take on every repaint of a status panel.
struct ClientStats {
    uint64_t frames_in = 0;   // text frames received
    uint64_t bytes_in = 0;    // their payload bytes
    uint64_t frames_out = 0;  // text frames written
    uint64_t bytes_out = 0;
    uint64_t messages_dispatched = 0;  // messages handed to a handler for the GUI thread
    uint64_t connections = 0;          // connections opened since construction
    uint64_t reconnections = 0;        // of those, the ones after the first
    size_t pending_requests = 0;
    size_t gui_queue_depth = 0;  // work waiting for the GUI thread (all clients)
    std::optional<std::chrono::microseconds> last_ping_round_trip;
    // Flow control: the memory of the parsed messages waiting for the GUI thread, and its peak.
    size_t pending_bytes = 0;
    size_t peak_pending_bytes = 0;
    uint64_t read_pauses = 0;  // times the reader held back, and for how long in all
    std::chrono::microseconds read_pause_time{0};
    bool reading_paused = false;  // holding back now
    size_t backlog_frames = 0;    // frames kept as text while the GUI thread was stuck
    size_t backlog_bytes = 0;     // their bytes, memory and spill file together
    size_t outbox_bytes = 0;      // text frames waiting to be written
};

// Test-only timings. time_scale multiplies every wait the client makes (ping interval, pong
// time-out, opening and close time-outs, back-off waits, request time-outs, the stop join);
// texts keep the unscaled values.
struct ClientTestOptions {
    double time_scale = 1.0;
};

namespace detail {
class Core;
}

class WebSocketClient {
  public:
    explicit WebSocketClient(MainWindow& main_window, std::string host = "localhost",
                             int port = 8000);
    WebSocketClient(MainWindow& main_window, std::string host, int port,
                    const ClientTestOptions& test_options);
    WebSocketClient(MainWindow& main_window, std::string host, int port,
                    const ClientOptions& options,
                    const ClientTestOptions& test_options = ClientTestOptions{});
    // Stops the client if it runs. The network thread co-owns what it uses, so a thread left
    // behind by a timed-out join never touches freed memory; queued GUI work of this client
    // is dropped.
    ~WebSocketClient();

    WebSocketClient(const WebSocketClient&) = delete;
    WebSocketClient& operator=(const WebSocketClient&) = delete;

    MainWindow& main_window;
    const std::string host;
    const int port;
    const std::string url;

    void start();
    void stop();
    bool is_connected() const;
    bool connected() const;

    void send_message(JsonObject message);
    void send_text_message(std::string message);
    void sendTextMessage(std::string message);

    // Registers the request, sends it and returns its id at once. The id is written into
    // `message`. The callback gets the response or a time-out object on the GUI thread.
    std::string send_and_wait_response(JsonObject& message, ResponseCallback callback,
                                       std::optional<std::string> response_type = std::nullopt,
                                       double timeout = 30.0);
    std::string send_and_wait_response(JsonObject&& message, ResponseCallback callback,
                                       std::optional<std::string> response_type = std::nullopt,
                                       double timeout = 30.0) {
        return send_and_wait_response(message, std::move(callback), std::move(response_type),
                                      timeout);
    }

    // Requests registered and not yet answered or timed out.
    size_t pending_request_count() const;

    // Any thread; no lock taken. Each counter is exact, the set is not one instant.
    ClientStats stats() const;

    // The inbound pipeline for one text frame; never throws.
    void _handle_message(std::string_view raw_message);
    // True when `message` answered a pending request; it has then been moved to the callback.
    bool _try_handle_response(JsonObject& message);
    void _invoke_callback_in_qt_thread(ResponseCallback callback, JsonObject data);

    const HandlerTable& MESSAGE_HANDLERS() const;

  private:
    std::shared_ptr<detail::Core> core_;
    std::thread _thread;                 // GUI thread only
    std::future<void> _thread_finished;  // ready once the network thread's work is done
};

}  // namespace quarvo_zovovi::ide::gui
