// A request's life: registered from any thread before its message goes out, then ended by
// exactly one of its answer (matched on the network thread) or its time-out (a timer on the
// network thread's loop). One lock guards the table, the time-outs and the loop that runs them.
//
// Threads: add(), schedule_timeout(), cancel(), detach_loop() and size() on any thread;
// take_answer(), attach_loop() and the time-out timers on the network thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include <quarvo_zovovi/ide/gui/core/connection.h>
#include <quarvo_zovovi/ide/gui/core/json.h>
#include <quarvo_zovovi/ide/gui/core/response.h>

namespace quarvo_zovovi::ide::gui::detail {

struct EventLoop;
class GuiHandoff;
class TrafficRecorder;

// One request awaiting its answer, kept under its request id.
struct PendingRequest {
    ResponseCallback callback;                 // called with the answer or the time-out object
    std::optional<std::string> response_type;  // the answer's "type"; empty or "" takes any
    uint64_t registration = 0;                 // set by add(): one number per registration
    std::chrono::steady_clock::time_point registered_at = {};  // set by add()
};

class RequestTable {
  public:
    // Time-outs go to their callbacks through `handoff`.
    RequestTable(const Timings& timings, Counters& counters, GuiHandoff& handoff,
                 TrafficRecorder& traffic);

    // The key of a request id in the table: text as it is, a scalar in its text form. Throws
    // std::invalid_argument for an array or object.
    static std::string request_key(const Json& id);

    // Registers `request` under `id` and returns its registration number; 0, registering
    // nothing and leaving `request` as it was, when a request of that id is pending (whose
    // callback and time-out stay its own).
    uint64_t add(const std::string& id, PendingRequest&& request);
    // Starts the time-out of `timeout` seconds of registration `registration` under `id`: on
    // the running loop, or, when none runs, on the next loop from the moment it starts.
    void schedule_timeout(uint64_t registration, const std::string& id, double timeout);
    // The pending request that `message` answers (its "request_id" and, when one is awaited,
    // its "type" match), removed from the table; none when it answers none.
    std::optional<PendingRequest> take_answer(const JsonObject& message);
    std::size_t size() const;
    // Removes the request pending under `id` without calling its callback; false when none is.
    bool cancel(const std::string& id);
    // Removes and returns registration `registration` under `id` if it is still pending.
    std::optional<PendingRequest> take(const std::string& id, uint64_t registration);

    // A loop starts: it runs the time-outs from now on, and those that no loop has run yet.
    // `running` is read under the lock, so a stop asked meanwhile leaves no loop attached.
    void attach_loop(const std::shared_ptr<EventLoop>& loop, const std::atomic<bool>& running);
    // Time-outs registered from now on wait for the next loop; with `loop`, only when it is
    // the one attached.
    void detach_loop(const EventLoop* loop = nullptr);

  private:
    using Clock = std::chrono::steady_clock;
    // One registration's time-out: when it falls due, once a loop has run since it was made.
    // It ends the request under its id only if that is still its registration: an id may be
    // used again once its request has ended.
    struct Deadline {
        std::string request_id;
        double timeout;
        std::optional<Clock::time_point> at;
    };
    // Whether `registration` is the request pending under `id`. Under the lock.
    bool holds(uint64_t registration, const std::string& id) const;
    void start_timer(EventLoop& loop, uint64_t registration, Clock::time_point at);
    boost::asio::awaitable<void> _check_timeout(uint64_t registration, Clock::time_point at);

    const Timings& timings_;
    Counters& counters_;
    GuiHandoff& handoff_;
    TrafficRecorder& traffic_;

    mutable std::mutex mutex_;  // the one lock: everything below
    std::unordered_map<std::string, PendingRequest> _pending_requests;
    std::unordered_map<uint64_t, Deadline> deadlines_;  // by registration
    uint64_t last_registration_ = 0;
    // The loop that runs now and takes time-outs; null before start, once stop is asked, and
    // after its thread ended.
    std::shared_ptr<EventLoop> live_loop_;
};

}  // namespace quarvo_zovovi::ide::gui::detail
