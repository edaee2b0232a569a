// Accounting of the messages that wait for the GUI thread, and the watermarks.
#include <quarvo_zovovi/ide/gui/core/flow_control.h>

#include <algorithm>
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/string.hpp>

#include <quarvo_zovovi/ide/gui/core/task.h>

namespace quarvo_zovovi::ide::gui::detail {
namespace {

// What glibc's malloc takes for a request of n bytes: an 8-byte header, 16-byte granules,
// 32 bytes at the least.
std::size_t block(std::size_t n) {
    return std::max<std::size_t>(32, (n + 8 + 15) & ~std::size_t{15});
}

// Boost.JSON's own table headers: an array's size and capacity; an object's size, capacity
// and hash salt, with a bucket index per entry above 18 entries.
constexpr std::size_t array_header = 8;
constexpr std::size_t object_header = 16;
constexpr std::size_t small_object = 18;
constexpr std::size_t string_header = 8;
constexpr std::size_t string_inline = 14;

// A queue that held this much is a large drain: its freed memory is worth returning.
constexpr std::size_t large_queue = std::size_t{4} << 20;

int64_t to_ns(ClientOptions::Seconds s) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(s).count();
}

}  // namespace

std::size_t held_bytes(const Json& value) {
    switch (value.kind()) {
        case boost::json::kind::string: {
            const boost::json::string& s = value.get_string();
            return s.size() > string_inline ? block(string_header + s.capacity() + 1) : 0;
        }
        case boost::json::kind::array: {
            const JsonArray& a = value.get_array();
            if (a.capacity() == 0) return 0;
            std::size_t n = block(array_header + a.capacity() * sizeof(Json));
            for (const Json& v : a) n += held_bytes(v);
            return n;
        }
        case boost::json::kind::object:
            return held_bytes(value.get_object());
        default:
            return 0;
    }
}

std::size_t held_bytes(const JsonObject& object) {
    if (object.capacity() == 0) return 0;
    std::size_t entry = sizeof(boost::json::key_value_pair);
    if (object.capacity() > small_object) entry += sizeof(uint32_t);
    std::size_t n = block(object_header + object.capacity() * entry);
    for (const auto& member : object)
        n += block(member.key().size() + 1) + held_bytes(member.value());
    return n;
}

std::size_t message_cost(const JsonObject& message) {
    // The object itself travels inside the task, and the task in the GUI thread's queue.
    return sizeof(Task) + held_bytes(message);
}

FlowControl::FlowControl(const ClientOptions& options)
    : high_bytes_(std::max<std::size_t>(1, options.max_pending_bytes)),
      low_bytes_(std::size_t(double(high_bytes_) * std::clamp(options.resume_fraction, 0.0, 1.0))),
      high_ns_(std::max<int64_t>(1, to_ns(options.max_pending_latency))),
      low_ns_(int64_t(double(high_ns_) * std::clamp(options.resume_fraction, 0.0, 1.0))) {}

void FlowControl::charge(std::size_t cost) {
    // Release stores suffice: every reader of the totals reads released first, and a message is
    // released only after the hand-off's lock passed it on, after this charge; the charged total
    // read next is then never behind the released one.
    charged_bytes_.store(charged_bytes_.load(std::memory_order_relaxed) + cost,
                         std::memory_order_release);
    charged_messages_.store(charged_messages_.load(std::memory_order_relaxed) + 1,
                            std::memory_order_release);
    const std::size_t now = pending_bytes();
    if (now > peak_.load(std::memory_order_relaxed)) peak_.store(now, std::memory_order_relaxed);
    if (now >= large_queue && !large_.load(std::memory_order_relaxed))
        large_.store(true, std::memory_order_seq_cst);
}

bool FlowControl::mark_large() {
    // Pairs with release(): this thread publishes the mark, then reads the totals; the GUI
    // thread publishes the totals, then reads the mark. Exactly one of the two takes it.
    large_.store(true, std::memory_order_seq_cst);
    return pending_bytes() == 0 && large_.exchange(false, std::memory_order_seq_cst);
}

bool FlowControl::release(std::size_t cost) {
    released_bytes_.fetch_add(cost, std::memory_order_seq_cst);
    released_messages_.fetch_add(1, std::memory_order_seq_cst);
    // Pairs with request_wake(): the network thread publishes its wish, then reads the totals;
    // this thread publishes the totals, then reads the wish. One of the two sees the other.
    if (wake_wanted_.load(std::memory_order_seq_cst) && under_low() &&
        wake_wanted_.exchange(false, std::memory_order_seq_cst) && waker_)
        waker_();
    return large_.load(std::memory_order_seq_cst) && pending_bytes() == 0 &&
           large_.exchange(false, std::memory_order_seq_cst);
}

void FlowControl::record_handling(Clock::duration took) {
    const int64_t sample = std::min<int64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(took).count(), high_ns_);
    const int64_t average = ns_per_message_.load(std::memory_order_relaxed);
    ns_per_message_.store(average == 0 ? sample : average + (sample - average) / 8,
                          std::memory_order_relaxed);
}

bool FlowControl::over_high() const {
    return pending_bytes() >= high_bytes_ ||
           std::chrono::duration_cast<std::chrono::nanoseconds>(pending_latency()).count() >=
               high_ns_;
}

bool FlowControl::under_low() const {
    return pending_bytes() <= low_bytes_ &&
           std::chrono::duration_cast<std::chrono::nanoseconds>(pending_latency()).count() <=
               low_ns_;
}

bool FlowControl::request_wake() {
    wake_wanted_.store(true, std::memory_order_seq_cst);
    if (!under_low()) return true;
    wake_wanted_.store(false, std::memory_order_seq_cst);
    return false;
}

void FlowControl::cancel_wake() {
    wake_wanted_.store(false, std::memory_order_seq_cst);
}

std::size_t FlowControl::pending_bytes() const {
    // Released is read first: it never passes charged, so the difference never wraps.
    const uint64_t released = released_bytes_.load(std::memory_order_seq_cst);
    return std::size_t(charged_bytes_.load(std::memory_order_seq_cst) - released);
}

std::size_t FlowControl::pending_messages() const {
    const uint64_t released = released_messages_.load(std::memory_order_seq_cst);
    return std::size_t(charged_messages_.load(std::memory_order_seq_cst) - released);
}

FlowControl::Clock::duration FlowControl::pending_latency() const {
    return std::chrono::nanoseconds(int64_t(pending_messages()) *
                                    ns_per_message_.load(std::memory_order_relaxed));
}

}  // namespace quarvo_zovovi::ide::gui::detail
