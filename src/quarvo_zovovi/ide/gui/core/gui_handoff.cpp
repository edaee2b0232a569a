// The batched hand-off of GUI work.
#include <quarvo_zovovi/ide/gui/core/gui_handoff.h>

#include <boost/asio/post.hpp>
#include <vector>

#include <quarvo_zovovi/ide/gui/core/event_loop.h>
#include <quarvo_zovovi/ide/gui/core/policy.h>

namespace quarvo_zovovi::ide::gui::detail {

namespace asio = boost::asio;

namespace {
thread_local EventLoop* this_thread_loop = nullptr;
}  // namespace

EventLoop* EventLoop::current() {
    return this_thread_loop;
}

void EventLoop::set_current(EventLoop* loop) {
    this_thread_loop = loop;
}

GuiHandoff::GuiHandoff(std::shared_ptr<GuiThread> gui, FlowControl& flow)
    : gui_(std::move(gui)), flow_(flow) {}

void GuiHandoff::_invoke_callback_in_qt_thread(ResponseCallback callback, JsonObject data) {
    to_gui(0, guarded([callback = std::move(callback), data = std::move(data)]() mutable {
               if (callback) callback(std::move(data));
           }));
}

void GuiHandoff::to_gui(std::size_t cost, Task task) {
    if (cost) flow_.charge(cost);
    EventLoop* loop = EventLoop::current();
    if (!loop) {
        gui_->post(std::move(task));  // not a network thread (a host or test calling in)
        return;
    }
    loop->batch.push_back(std::move(task));
    loop->batch_cost += cost;
    if (loop->batch.size() >= policy::max_batch_tasks ||
        loop->batch_cost >= policy::max_batch_bytes) {
        flush(*loop);
    } else if (!loop->flush_check_posted) {
        // Flushed once the loop has gone two full turns without adding to it: a read that
        // completes from data already received, or from the socket's, runs before that.
        loop->flush_check_posted = true;
        loop->batch_seen = 0;
        loop->idle_looks = 0;
        asio::post(loop->context, [this, loop] { flush_check(*loop); });
    }
}

void GuiHandoff::flush_check(EventLoop& loop) {
    if (loop.batch.empty() || (loop.batch.size() == loop.batch_seen && ++loop.idle_looks == 2)) {
        loop.flush_check_posted = false;
        flush(loop);
        return;
    }
    if (loop.batch.size() != loop.batch_seen) loop.idle_looks = 0;
    loop.batch_seen = loop.batch.size();
    asio::post(loop.context, [this, loop = &loop] { flush_check(*loop); });
}

void GuiHandoff::flush(EventLoop& loop) {
    if (loop.batch.empty()) return;
    std::vector<Task> tasks;
    tasks.reserve(policy::max_batch_tasks);
    tasks.swap(loop.batch);
    loop.batch_cost = 0;
    loop.batch_seen = 0;
    gui_->post([home = loop.shared_from_this(), tasks = std::move(tasks)]() mutable {
        // Each task on its own: one that throws does not keep the others from running.
        for (Task& task : tasks) run_guarded(task);
        // The messages go back to be freed on the thread that allocated them: glibc's free
        // from the GUI thread would take the network thread's arena lock for each of them.
        asio::post(home->context, [spent = std::move(tasks)] {});
    });
}

}  // namespace quarvo_zovovi::ide::gui::detail
