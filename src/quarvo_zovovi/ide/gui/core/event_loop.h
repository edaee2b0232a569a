// The network thread's event loop, what runs on it, and the slot through which other threads
// reach it. Private to the library.
#pragma once

#include <boost/asio/io_context.hpp>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include <quarvo_zovovi/ide/gui/core/connection.h>
#include <quarvo_zovovi/ide/gui/core/task.h>

namespace quarvo_zovovi::ide::gui::detail {

// One run of the network thread: its io_context and the connections made on it. All fields
// are the network thread's; other threads only post to `context`.
struct EventLoop : std::enable_shared_from_this<EventLoop> {
    boost::asio::io_context context{1};
    std::shared_ptr<Connection> ws;       // the last connection that opened
    std::shared_ptr<Connection> attempt;  // the connection being opened or used
    // GUI work gathered while frames arrive back to back, handed over as one task: the two
    // threads then meet once per burst instead of once per message.
    std::vector<Task> batch;
    std::size_t batch_cost = 0;
    std::size_t batch_seen = 0;  // the batch's size when the flush check last looked
    int idle_looks = 0;          // looks in a row that found it the same
    bool flush_check_posted = false;

    // The loop the calling thread runs, if it is a network thread; null elsewhere.
    static EventLoop* current();
    // Marks the calling thread as running `loop` (null: none).
    static void set_current(EventLoop* loop);
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

}  // namespace quarvo_zovovi::ide::gui::detail
