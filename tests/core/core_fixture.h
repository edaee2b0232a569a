// What the protocol core's tests stand on instead of Qt: a "GUI thread" that is a plain thread
// draining a queue (and can be held, as a modal dialog holds the real one), a host layer that
// records what reaches it, and a session of both against the loopback test server.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <quarvo_zovovi/ide/gui/core/session.h>

namespace quarvo_core_test {

using namespace std::chrono_literals;
namespace gui = quarvo_zovovi::ide::gui;
using gui::ConnectionEvent;
using gui::ConnectionState;
using gui::JsonObject;

// Waits until `condition` holds, at most `timeout`; true when it held in time.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A GUI thread of its own: tasks run in order on one thread; hold() keeps it from running any
// until release().
class ThreadGui final : public gui::GuiThread {
  public:
    ThreadGui() : thread_([this] { run(); }) {}
    ~ThreadGui() override {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
            held_ = false;
        }
        wake_.notify_all();
        thread_.join();
    }
    void post(gui::Task task) override {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(task));
        }
        wake_.notify_all();
    }
    size_t queued() const override {
        std::lock_guard lock(mutex_);
        return queue_.size();
    }
    // Waits until what was posted before this call has run; false after 10 s.
    bool drain() {
        auto done = std::make_shared<std::promise<void>>();
        post([done] { done->set_value(); });
        return done->get_future().wait_for(10s) == std::future_status::ready;
    }
    void hold() {
        std::lock_guard lock(mutex_);
        held_ = true;
    }
    void release() {
        {
            std::lock_guard lock(mutex_);
            held_ = false;
        }
        wake_.notify_all();
    }

  private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return done_ || (!held_ && !queue_.empty()); });
            if (done_ && queue_.empty()) return;
            gui::Task task = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            gui::run_guarded(task);
            task = {};
            lock.lock();
        }
    }
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<gui::Task> queue_;
    bool held_ = false;
    bool done_ = false;
    std::thread thread_;
};

// A GUI thread that keeps what is posted to it, to be run by hand.
struct KeptGui final : gui::GuiThread {
    void post(gui::Task task) override { posted.push_back(std::move(task)); }
    size_t queued() const override { return posted.size(); }
    std::vector<gui::Task> posted;
};

// What reached the host layer, on the GUI thread.
struct Seen {
    mutable std::mutex mutex;
    std::vector<std::string> messages;  // "type" of each handled message, in order
    std::vector<ConnectionEvent> events;
    // A handler lookup for type "slow" keeps the network thread for 1 s.
    std::atomic<bool> slow_started{false};
    std::atomic<bool> slow_done{false};

    size_t count_messages() const {
        std::lock_guard lock(mutex);
        return messages.size();
    }
    size_t count(ConnectionState state) const {
        std::lock_guard lock(mutex);
        size_t n = 0;
        for (const ConnectionEvent& e : events) n += e.state == state;
        return n;
    }
    std::vector<ConnectionEvent> events_of(ConnectionState state) const {
        std::lock_guard lock(mutex);
        std::vector<ConnectionEvent> out;
        for (const ConnectionEvent& e : events)
            if (e.state == state) out.push_back(e);
        return out;
    }
};

// Handles every message type; records each message and each connection event.
class RecordingHost final : public gui::detail::SessionHost {
  public:
    explicit RecordingHost(std::shared_ptr<Seen> seen) : seen_(std::move(seen)) {}
    const gui::HandlerEntry* find_handler(std::string_view type) const override {
        if (type == "slow") {
            seen_->slow_started = true;
            std::this_thread::sleep_for(1s);
            seen_->slow_done = true;
        }
        return reinterpret_cast<const gui::HandlerEntry*>(this);  // opaque to the core
    }
    void run_handler(const gui::HandlerEntry&, JsonObject& message) override {
        std::lock_guard lock(seen_->mutex);
        const auto* type = message.if_contains("type");
        seen_->messages.push_back(type && type->is_string() ? std::string(type->get_string())
                                                            : std::string());
    }
    void _on_connected_qt() override {}
    void _on_disconnected_qt() override {}
    void _on_reconnecting_qt(int, double) override {}
    void connection_changed(const ConnectionEvent& event) override {
        std::lock_guard lock(seen_->mutex);
        seen_->events.push_back(event);
    }

  private:
    std::shared_ptr<Seen> seen_;
};

inline std::shared_ptr<gui::detail::Session> make_session(const std::shared_ptr<Seen>& seen,
                                                          std::shared_ptr<ThreadGui> gui_thread,
                                                          uint16_t port,
                                                          const gui::ClientOptions& options,
                                                          double time_scale = 0.01) {
    return gui::detail::Session::create(std::make_unique<RecordingHost>(seen),
                                        std::move(gui_thread), "127.0.0.1", port, options,
                                        time_scale);
}

}  // namespace quarvo_core_test
