// The pending requests: registration, matching of answers, and time-outs.
#include <quarvo_zovovi/ide/gui/core/requests.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <stdexcept>
#include <vector>

#include <quarvo_zovovi/ide/gui/core/event_loop.h>
#include <quarvo_zovovi/ide/gui/core/gui_handoff.h>
#include <quarvo_zovovi/ide/gui/core/traffic_recorder.h>
#include <quarvo_zovovi/ide/gui/core/value.h>

namespace quarvo_zovovi::ide::gui {

ResponseKind response_kind(const JsonObject& received) {
    const Json* error = received.if_contains("error");
    if (!error || !error->is_string() || received.contains("type")) return ResponseKind::answer;
    if (error->get_string() == "timeout") return ResponseKind::timeout;
    if (error->get_string() == "duplicate_request_id") return ResponseKind::duplicate_id;
    if (error->get_string() == "not_sent") return ResponseKind::not_sent;
    return ResponseKind::answer;
}

bool is_timeout(const JsonObject& answer) {
    return response_kind(answer) == ResponseKind::timeout;
}

}  // namespace quarvo_zovovi::ide::gui

namespace quarvo_zovovi::ide::gui::detail {

namespace asio = boost::asio;

RequestTable::RequestTable(const Timings& timings, Counters& counters, GuiHandoff& handoff,
                           TrafficRecorder& traffic)
    : timings_(timings), counters_(counters), handoff_(handoff), traffic_(traffic) {}

std::string RequestTable::request_key(const Json& id) {
    if (id.is_string()) return std::string(id.get_string());
    if (id.is_array() || id.is_object())
        throw std::invalid_argument("unhashable request_id: " + text_form(id));
    return text_form(id);
}

uint64_t RequestTable::add(const std::string& id, PendingRequest&& request) {
    std::lock_guard lock(mutex_);
    request.registration = ++last_registration_;
    request.registered_at = Clock::now();
    // try_emplace leaves `request` alone when the id is taken.
    if (!_pending_requests.try_emplace(id, std::move(request)).second) return 0;
    counters_.pending.store(_pending_requests.size(), std::memory_order_relaxed);
    return last_registration_;
}

bool RequestTable::cancel(const std::string& id) {
    std::optional<PendingRequest> cancelled;  // its callback goes outside the lock
    {
        std::lock_guard lock(mutex_);
        auto it = _pending_requests.find(id);
        if (it == _pending_requests.end()) return false;
        cancelled = std::move(it->second);
        _pending_requests.erase(it);
        counters_.pending.store(_pending_requests.size(), std::memory_order_relaxed);
    }
    traffic_.event("cancelled", {}, id);
    return true;  // its time-out finds no registration of its own and ends
}

std::optional<PendingRequest> RequestTable::take(const std::string& id, uint64_t registration) {
    std::lock_guard lock(mutex_);
    if (!holds(registration, id)) return std::nullopt;
    auto it = _pending_requests.find(id);
    std::optional<PendingRequest> entry = std::move(it->second);
    _pending_requests.erase(it);
    counters_.pending.store(_pending_requests.size(), std::memory_order_relaxed);
    return entry;
}

std::size_t RequestTable::size() const {
    std::lock_guard lock(mutex_);
    return _pending_requests.size();
}

void RequestTable::schedule_timeout(uint64_t registration, const std::string& id, double timeout) {
    std::shared_ptr<EventLoop> loop;
    Clock::time_point at;
    {
        std::lock_guard lock(mutex_);
        Deadline& deadline = deadlines_[registration];
        deadline.request_id = id;
        deadline.timeout = timeout;
        if (live_loop_) {
            at = Clock::now() + timings_.scaled(timeout);
            deadline.at = at;
            loop = live_loop_;
        }
    }
    // A loop halted before it runs this keeps the deadline for the next one.
    if (loop)
        asio::post(loop->context, [this, loop = loop.get(), registration, at] {
            start_timer(*loop, registration, at);
        });
}

void RequestTable::attach_loop(const std::shared_ptr<EventLoop>& loop,
                               const std::atomic<bool>& running) {
    // Time-outs of requests that no loop has run yet: registered before this one existed, or
    // left behind by a loop that was stopped first.
    std::vector<std::pair<uint64_t, Clock::time_point>> due;
    {
        std::lock_guard lock(mutex_);
        if (running.load()) live_loop_ = loop;
        const Clock::time_point now = Clock::now();
        std::erase_if(deadlines_, [&](const auto& d) {
            return !holds(d.first, d.second.request_id);  // nothing left to time out
        });
        for (auto& [registration, deadline] : deadlines_) {
            if (!deadline.at) deadline.at = now + timings_.scaled(deadline.timeout);
            due.emplace_back(registration, *deadline.at);
        }
    }
    for (const auto& [registration, at] : due) start_timer(*loop, registration, at);
}

void RequestTable::detach_loop(const EventLoop* loop) {
    std::lock_guard lock(mutex_);
    if (!loop || live_loop_.get() == loop) live_loop_.reset();
}

void RequestTable::start_timer(EventLoop& loop, uint64_t registration, Clock::time_point at) {
    asio::co_spawn(loop.context, _check_timeout(registration, at), asio::detached);
}

// Several loops may hold a timer of one registration (a stopped loop's and the next one's):
// the first to fall due takes it.
asio::awaitable<void> RequestTable::_check_timeout(uint64_t registration, Clock::time_point at) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    timer.expires_at(at);
    co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
    std::optional<PendingRequest> entry;
    std::string request_id;
    double timeout = 0;
    {
        std::lock_guard lock(mutex_);
        auto d = deadlines_.find(registration);
        if (d == deadlines_.end()) co_return;  // already checked by another loop's copy
        request_id = std::move(d->second.request_id);
        timeout = d->second.timeout;
        deadlines_.erase(d);
        auto it = _pending_requests.find(request_id);
        if (it == _pending_requests.end() || it->second.registration != registration)
            co_return;  // answered first
        entry = std::move(it->second);
        _pending_requests.erase(it);
        counters_.pending.store(_pending_requests.size(), std::memory_order_relaxed);
    }
    traffic_.event("timed_out", "after " + format_real(timeout) + "s", request_id);
    JsonObject timed_out;
    timed_out["error"] = "timeout";
    timed_out["request_id"] = request_id;
    timed_out["message"] = "Request timed out after " + format_real(timeout) + "s";
    handoff_._invoke_callback_in_qt_thread(std::move(entry->callback), std::move(timed_out));
}

bool RequestTable::holds(uint64_t registration, const std::string& id) const {
    auto it = _pending_requests.find(id);
    return it != _pending_requests.end() && it->second.registration == registration;
}

std::optional<PendingRequest> RequestTable::take_answer(const JsonObject& message) {
    const Json* request_id = find(message, "request_id");
    if (!is_set(request_id)) return std::nullopt;
    const std::string key = request_key(*request_id);
    // Look-up, type check and removal under one hold of the lock: the entry never disappears
    // for a moment when the type does not match.
    std::lock_guard lock(mutex_);
    auto it = _pending_requests.find(key);
    if (it == _pending_requests.end()) return std::nullopt;
    const std::optional<std::string>& awaited = it->second.response_type;
    if (awaited && !awaited->empty()) {
        const Json* type = find(message, "type");
        if (!type || !type->is_string() || type->get_string() != *awaited) return std::nullopt;
    }
    std::optional<PendingRequest> entry = std::move(it->second);
    _pending_requests.erase(it);
    counters_.pending.store(_pending_requests.size(), std::memory_order_relaxed);
    if (traffic_.on())
        traffic_.event("answered", {}, key,
                       std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() -
                                                                             entry->registered_at));
    return entry;
}

}  // namespace quarvo_zovovi::ide::gui::detail
