// The hand-off of work to the GUI thread: batched per burst of frames on the network thread
// (policy::max_batch_tasks tasks or max_batch_bytes of messages at most), posted to the host's
// GuiThread as one task, and the spent work sent back to be freed on the thread that made it.
//
// Threads: to_gui(), _invoke_callback_in_qt_thread() and guarded() on any thread (batched on a
// network thread, posted at once elsewhere); flush() on the network thread; the tasks it makes
// run on the GUI thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <utility>

#include <quarvo_zovovi/ide/gui/core/flow_control.h>
#include <quarvo_zovovi/ide/gui/core/gui_thread.h>
#include <quarvo_zovovi/ide/gui/core/response.h>

namespace quarvo_zovovi::ide::gui::detail {

struct EventLoop;

class GuiHandoff {
  public:
    GuiHandoff(std::shared_ptr<GuiThread> gui, FlowControl& flow);

    // This hand-off as its owner shares it (an aliasing pointer), so that a waiting task keeps
    // the owner, and everything the task touches, alive. Set once, before any task is made.
    void set_self(std::weak_ptr<GuiHandoff> self) { self_ = std::move(self); }
    // Cleared when the host goes (the client's destructor): tasks not yet run are dropped.
    std::atomic<bool> host_alive{true};

    // Hands `task` to the GUI thread behind the tasks handed before it, charging `cost` to the
    // flow control (released by whoever runs or drops it).
    void to_gui(std::size_t cost, Task task);
    // Hands over the network thread's batch now.
    void flush(EventLoop& loop);

    // A task that runs f() on the GUI thread unless the host has gone by then, keeping the
    // owner alive until it has run.
    template <class F>
    Task guarded(F f) {
        return [self = self_.lock(), f = std::move(f)]() mutable {
            if (self->host_alive.load()) f();
        };
    }
    // Runs `callback(data)` on the GUI thread unless the host has gone by then.
    void _invoke_callback_in_qt_thread(ResponseCallback callback, JsonObject data);

    GuiThread& gui() const { return *gui_; }

  private:
    void flush_check(EventLoop& loop);

    const std::shared_ptr<GuiThread> gui_;
    FlowControl& flow_;
    std::weak_ptr<GuiHandoff> self_;
};

}  // namespace quarvo_zovovi::ide::gui::detail
