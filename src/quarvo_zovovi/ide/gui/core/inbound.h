// A message's road on the network thread: the frame is parsed, offered to the pending
// requests, routed by its "type" to the host layer's handler, and handed to the GUI thread in
// arrival order, charged to the flow control until it has run. While the GUI thread is stuck,
// frames wait as text in the backlog and are fed on as it catches up; the reader's holds are
// decided here too (FrameSink).
//
// Threads: the network thread, except _handle_message(), which a test may also call on a
// client that is not started, and the tasks it makes, which run on the GUI thread.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include <quarvo_zovovi/ide/gui/core/backlog.h>
#include <quarvo_zovovi/ide/gui/core/connection.h>
#include <quarvo_zovovi/ide/gui/core/connection_event.h>
#include <quarvo_zovovi/ide/gui/core/flow_control.h>
#include <quarvo_zovovi/ide/gui/core/gui_handoff.h>
#include <quarvo_zovovi/ide/gui/core/json.h>
#include <quarvo_zovovi/ide/gui/core/json_parse.h>
#include <quarvo_zovovi/ide/gui/core/requests.h>
#include <quarvo_zovovi/ide/gui/core/traffic_recorder.h>

namespace quarvo_zovovi::ide::gui {
struct HandlerEntry;  // the host layer's handler record; the core only passes it on
}

namespace quarvo_zovovi::ide::gui::detail {

struct EventLoop;
class LoopSlot;

// What the core needs of the layer above it: the handlers by type, and the host window's view
// of the connection. The session owns it, so it lives as long as any thread may call it.
class SessionHost {
  public:
    virtual ~SessionHost() = default;
    // Any thread, read-only: the handler of messages of `type`, or null.
    virtual const HandlerEntry* find_handler(std::string_view type) const = 0;
    // GUI thread, in arrival order, while the host is there:
    virtual void run_handler(const HandlerEntry& handler, JsonObject& message) = 0;
    virtual void _on_connected_qt() = 0;
    virtual void _on_disconnected_qt() = 0;
    virtual void _on_reconnecting_qt(int attempt, double delay) = 0;
    virtual void connection_changed(const ConnectionEvent& event) = 0;
};

class Inbound final : public FrameSink {
  public:
    // `loop` is the session's slot of the running loop.
    Inbound(const ClientOptions& options, SessionHost& host, RequestTable& requests,
            GuiHandoff& handoff, FlowControl& flow, Counters& counters, TrafficRecorder& traffic,
            const LoopSlot& loop);

    // This pipeline as its owner shares it (an aliasing pointer), so that a message waiting for
    // the GUI thread keeps the owner alive. Set once, before any frame arrives.
    void set_self(std::weak_ptr<Inbound> self) { self_ = std::move(self); }

    // The inbound pipeline for one text frame: parse, match to a request, dispatch by type.
    // Never throws.
    void _handle_message(std::string_view raw_message) { handle_frame(raw_message, true); }
    // True when `message` answered a pending request; it has then been moved to the callback.
    bool _try_handle_response(JsonObject& message);

    // Runs `task` on the GUI thread unless the host has gone by then; in arrival order, behind
    // the messages that wait in the backlog.
    void on_gui_thread(Task task);
    // The GUI thread has drained its queue after the reader asked to hear of it.
    void on_gui_drained(EventLoop& loop);
    // The GUI thread handed back a queue that had held a lot: give freed memory back, on the
    // network thread.
    void return_memory();

    // FrameSink.
    void on_frame(std::string_view text) override;
    Hold read_hold() override;
    bool may_resume(Hold why) override;
    void stalled() override;
    bool request_wake() override;
    void held(Hold why) override;
    void released(std::chrono::steady_clock::duration held_for) override;

  private:
    // GUI work held back behind the backlog's frames, to keep arrival order: it goes to the GUI
    // thread once the frames pushed before it have been.
    struct Deferred {
        uint64_t after_frames;  // the backlog's pushed() when it was deferred
        std::size_t cost;       // charged to the flow control when posted; 0: not a message
        Task task;
    };

    void handle_frame(std::string_view raw_message, bool match_responses);
    void dispatch(const HandlerEntry& handler, JsonObject data);
    void feed();
    void post_due_deferred();
    void publish_backlog();
    void post_in_order(std::size_t cost, Task task);

    // Hands a message's GUI work to the GUI thread, charged to the flow control until it has
    // run: f(*this) runs there unless the host has gone by then.
    template <class F>
    void post_message_work(std::size_t cost, F f);

    const ClientOptions& options_;
    SessionHost& host_;
    RequestTable& requests_;
    GuiHandoff& handoff_;
    FlowControl& flow_;
    Counters& counters_;
    TrafficRecorder& traffic_;
    const LoopSlot& loop_;
    std::weak_ptr<Inbound> self_;

    MessageParser parser_;  // reused: its work buffers stay allocated between frames
    // The frames kept as text while the GUI thread was stuck, and the GUI work behind them.
    Backlog backlog_;
    std::deque<Deferred> deferred_;
    std::string feed_buffer_;
    bool draining_ = false;       // feed() is handing a backlog frame on
    bool feed_posted_ = false;    // a feed() that goes on with the backlog waits in the loop
    bool backlog_large_ = false;  // the backlog held a lot since it was last empty
    bool overflow_ = false;       // reading on into the backlog through a stalled GUI thread
    bool backlog_full_ = false;   // holding at the backlog's limit
};

}  // namespace quarvo_zovovi::ide::gui::detail
