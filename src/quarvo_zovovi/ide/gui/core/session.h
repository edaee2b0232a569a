// The client's engine below the Qt layer: the network thread's life (start, stop, the threads
// left behind by a timed-out join), the connection loop with its back-off, the send path and
// the counters. It composes the request table, the inbound pipeline and the hand-off to the
// GUI thread, and reaches the host only through SessionHost and the GuiThread it is given.
//
// Threads: start() and stop() on the thread that owns the client (the GUI thread); send(),
// send_text(), register_request(), cancel_request() and the readings on any thread; the connection
// loop and everything it calls on the network thread.
#pragma once

#include <atomic>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <quarvo_zovovi/ide/gui/core/client_options.h>
#include <quarvo_zovovi/ide/gui/core/client_stats.h>
#include <quarvo_zovovi/ide/gui/core/connection.h>
#include <quarvo_zovovi/ide/gui/core/endpoint.h>
#include <quarvo_zovovi/ide/gui/core/event_loop.h>
#include <quarvo_zovovi/ide/gui/core/flow_control.h>
#include <quarvo_zovovi/ide/gui/core/gui_handoff.h>
#include <quarvo_zovovi/ide/gui/core/inbound.h>
#include <quarvo_zovovi/ide/gui/core/requests.h>
#include <quarvo_zovovi/ide/gui/core/traffic_recorder.h>

namespace quarvo_zovovi::ide::gui::detail {

class Session : public std::enable_shared_from_this<Session> {
  public:
    // A session of `host`'s layer above, handing GUI work to `gui`. Use create().
    static std::shared_ptr<Session> create(std::unique_ptr<SessionHost> host,
                                           std::shared_ptr<GuiThread> gui, std::string host_name,
                                           int port, const ClientOptions& options,
                                           double time_scale);
    Session(std::unique_ptr<SessionHost> host, std::shared_ptr<GuiThread> gui,
            std::string host_name, int port, const ClientOptions& options, double time_scale);

    const std::string host;  // as the host gave it
    const int port;
    const ClientOptions options;
    const Endpoint endpoint;  // the scheme decided once, here
    const std::string url;
    const Timings timings;

    // Starts the network thread; false when it runs already.
    bool start();
    // Stops the loop and joins the network thread for at most the stop time-out; true when it
    // was running. A thread that outlives the join finishes on its own.
    bool stop();
    // The owner of the session goes: GUI work not yet run is dropped, and the network thread
    // (if one outlived its join) is waited for at process exit.
    void detach_host();

    bool running() const { return _running.load(); }
    bool is_connected() const { return _connected.load(); }

    // Queue one text frame, or the wire form of `message`; when not connected or stopped, log
    // why and drop it.
    // True when the message went to the network thread's queue (see send_loop()).
    bool send(JsonObject message);
    bool send_text(std::string message);
    // Registers a request (its id from "request_id", or a new UUID written there), sends it and
    // starts its time-out. Returns the id.
    std::string register_request(JsonObject& message, ResponseCallback callback,
                                 std::optional<std::string> response_type, double timeout);

    // One frame through the inbound pipeline: on the network thread while a loop runs (the
    // pipeline's state is that thread's), here otherwise.
    void handle_message(std::string_view raw_message);

    ClientStats stats() const;
    std::size_t pending_request_count() const { return requests_.size(); }
    bool cancel_request(const std::string& id) { return requests_.cancel(id); }
    TrafficRecorder& traffic() { return traffic_; }
    const TrafficRecorder& traffic() const { return traffic_; }

    Inbound& inbound() { return inbound_; }
    GuiHandoff& handoff() { return handoff_; }
    SessionHost& session_host() { return *host_; }

  private:
    void _run_event_loop();
    boost::asio::awaitable<void> _connect_and_listen(EventLoop& loop);
    boost::asio::awaitable<void> _reconnect();
    void _on_connected();
    void _on_disconnected();
    void _on_reconnecting(int attempt, double delay);
    // The host's typed connection event, after the notices posted before it.
    void notify(ConnectionEvent event);

    // The loop a send from any thread goes to, or null after saying why it cannot go.
    std::shared_ptr<EventLoop> send_loop();
    // Ends a request at once: `callback` gets the client's object for `error` on the GUI thread.
    void refuse(ResponseCallback callback, const std::string& request_id, std::string_view error,
                std::string message);
    void _async_send(EventLoop& loop, JsonObject message);
    void send_frame(EventLoop& loop, std::string text);

    const std::unique_ptr<SessionHost> host_;

    // Shared by both threads: each is atomic.
    std::atomic<bool> _running{false};    // written by the owner's thread
    std::atomic<bool> _connected{false};  // written by the network thread
    // Written by the network thread; other threads post to it. Shared, so that a loop lives
    // while another thread posts to it, and goes once its thread has ended.
    LoopSlot _loop;
    // Written by the network thread; other threads only test it for null.
    std::atomic<Connection*> ws{nullptr};
    // Back-off state; atomic because a network thread left behind by a timed-out join may
    // still be finishing while a new one starts.
    std::atomic<double> _reconnect_delay;
    const double _max_reconnect_delay;
    std::atomic<int> _reconnect_attempts{0};

    Counters counters_;  // before the parts that refer to it
    TrafficRecorder traffic_;  // its own lock
    FlowControl flow_;   // atomics: charged on the network thread, released on the GUI thread
    GuiHandoff handoff_;
    RequestTable requests_;  // its own lock
    Inbound inbound_;        // network thread only

    // The owner's thread only.
    std::thread thread_;
    std::future<void> thread_finished_;  // ready once the network thread's work is done
};

}  // namespace quarvo_zovovi::ide::gui::detail
