// Flow control between the network thread and the GUI thread: what the parsed messages
// waiting for the GUI thread cost (memory, and GUI time from the measured pace), the
// watermarks that decide when the reader holds back, and the wake-up when the GUI thread has
// drained the queue. No Asio here; the connection does the waiting.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

#include <quarvo_zovovi/ide/gui/core/client_options.h>
#include <quarvo_zovovi/ide/gui/core/json.h>

namespace quarvo_zovovi::ide::gui::detail {

// Bytes of heap a parsed value holds beyond its own 16 bytes: Boost.JSON's tables, keys and
// strings, with the allocator's per-block overhead. An estimate that follows the real
// allocations closely (tested against a counting memory resource).
std::size_t held_bytes(const Json& value);
std::size_t held_bytes(const JsonObject& object);
// The same for a message object, plus the GUI-thread task that carries it.
std::size_t message_cost(const JsonObject& message);

// Threads: charge() and the watermark tests on the network thread; release() and
// record_handling() on the GUI thread; the readings from any thread. Each field is atomic;
// the charged and released totals sit on separate cache lines, one writer each.
class FlowControl {
  public:
    using Clock = std::chrono::steady_clock;

    explicit FlowControl(const ClientOptions& options);

    // Network thread: a message of `cost` bytes handed to the GUI thread.
    void charge(std::size_t cost);
    // GUI thread: that message has been handled (or dropped). Calls the waker when the
    // network thread asked for one and the queue is down to the low watermark. True when this
    // emptied a queue that had held a lot: the time to give freed memory back.
    bool release(std::size_t cost);
    // Network thread: a large backlog has just been handed on; the queue counts as having
    // held a lot. True when the queue is empty already: the time to give memory back is now.
    bool mark_large();
    // GUI thread: one message's handling took `took` (sampled; a long one counts as the
    // latency bound, so one modal dialog does not make every later message look slow).
    void record_handling(Clock::duration took);
    // GUI thread: whether the next message should be timed (one in eight).
    bool sample_next() { return (++sample_counter_ & 7) == 0; }

    // Network thread.
    bool over_high() const;
    bool under_low() const;
    // Asks release() to call the waker once the queue is down to the low watermark; returns
    // false when it already is (then nothing will call). Cleared by the waker's caller.
    bool request_wake();
    void cancel_wake();
    void set_waker(std::function<void()> waker) { waker_ = std::move(waker); }

    std::size_t pending_bytes() const;
    std::size_t pending_messages() const;
    std::size_t peak_pending_bytes() const { return peak_.load(std::memory_order_relaxed); }
    // Estimated GUI time of what waits now.
    Clock::duration pending_latency() const;

  private:
    const std::size_t high_bytes_;
    const std::size_t low_bytes_;
    const int64_t high_ns_;
    const int64_t low_ns_;

    alignas(64) std::atomic<uint64_t> charged_bytes_{0};
    std::atomic<uint64_t> charged_messages_{0};
    std::atomic<std::size_t> peak_{0};
    // The queue held a lot since it was last empty. Read by every release(): on a line of its
    // own, so that the charges of a flood do not take it from the GUI thread's cache.
    alignas(64) std::atomic<bool> large_{false};
    alignas(64) std::atomic<uint64_t> released_bytes_{0};
    std::atomic<uint64_t> released_messages_{0};
    std::atomic<int64_t> ns_per_message_{0};  // GUI-thread pace, moving average
    unsigned sample_counter_ = 0;             // GUI thread only
    alignas(64) std::atomic<bool> wake_wanted_{false};
    std::function<void()> waker_;  // set before the network thread starts; called on the GUI thread
};

}  // namespace quarvo_zovovi::ide::gui::detail
