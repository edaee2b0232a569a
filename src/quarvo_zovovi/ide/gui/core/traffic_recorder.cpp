// The traffic log: entries made from frames and events, the bounded ring, JSON Lines.
#include <quarvo_zovovi/ide/gui/core/traffic_recorder.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <cstdio>

#include <quarvo_zovovi/ide/gui/core/json.h>

namespace quarvo_zovovi::ide::gui {

namespace {

const char* kind_name(TrafficEntry::Kind kind) {
    switch (kind) {
        case TrafficEntry::Kind::received:
            return "received";
        case TrafficEntry::Kind::sent:
            return "sent";
        case TrafficEntry::Kind::event:
            break;
    }
    return "event";
}

// "2026-12-10T11:02:03.123456Z", from the calendar of the standard library: no OS call.
std::string utc_text(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    const auto us = floor<microseconds>(t).time_since_epoch();
    const auto day = floor<days>(us);
    const year_month_day date{sys_days(day)};
    const int64_t in_day = (us - day).count();
    char out[40];
    std::snprintf(out, sizeof out, "%04d-%02u-%02uT%02d:%02d:%02d.%06dZ", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), int(in_day / 3600000000),
                  int(in_day / 60000000 % 60), int(in_day / 1000000 % 60), int(in_day % 1000000));
    return out;
}

}  // namespace

std::string to_json_line(const TrafficEntry& e) {
    JsonObject line;
    line["seq"] = e.sequence;
    line["time"] = utc_text(e.time);
    line["kind"] = kind_name(e.kind);
    line["connection"] = e.connection;
    if (!e.event.empty()) line["event"] = e.event;
    if (e.kind != TrafficEntry::Kind::event) line["size"] = e.size;
    if (!e.type.empty()) line["type"] = e.type;
    if (!e.request_id.empty()) line["request_id"] = e.request_id;
    if (!e.text.empty()) line["text"] = e.text;
    if (e.truncated) line["truncated"] = true;
    if (e.latency) line["latency_us"] = e.latency->count();
    return boost::json::serialize(line);
}

std::string to_json_lines(const TrafficSnapshot& snapshot) {
    std::string out;
    for (const auto& entry : snapshot.entries) out += to_json_line(*entry) + "\n";
    return out;
}

}  // namespace quarvo_zovovi::ide::gui

namespace quarvo_zovovi::ide::gui::detail {

namespace {

std::size_t cost(const TrafficEntry& e) {
    return sizeof(TrafficEntry) + e.event.size() + e.type.size() + e.request_id.size() +
           e.text.size();
}

// The text of a scalar id, as the request table keys it.
std::string id_text(const Json& id) {
    if (id.is_string()) return std::string(id.get_string());
    if (id.is_null()) return {};
    return boost::json::serialize(id);
}

}  // namespace

TrafficRecorder::TrafficRecorder(const ClientOptions& options,
                                 const std::atomic<std::uint64_t>& connections)
    : max_entries_(options.traffic_log_entries),
      max_bytes_(options.traffic_log_bytes),
      text_bytes_(options.traffic_log_text_bytes),
      connections_(connections) {}

void TrafficRecorder::frame(TrafficEntry::Kind kind, std::string_view text) {
    if (!on()) return;
    TrafficEntry e;
    e.kind = kind;
    e.size = text.size();
    boost::system::error_code ec;
    Json parsed = boost::json::parse(text, ec);
    std::string masked;
    if (!ec && parsed.is_object()) {
        JsonObject& o = parsed.get_object();
        if (const Json* type = o.if_contains("type"); type && type->is_string())
            e.type = type->get_string();
        if (const Json* id = o.if_contains("request_id"); id && !id->is_structured())
            e.request_id = id_text(*id);
        // The token never goes into the log, as it never goes into a log line.
        if (Json* token = o.if_contains("auth_token");
            token && !token->is_null() && !(token->is_string() && token->get_string().empty())) {
            *token = "***";
            masked = boost::json::serialize(o);
            text = masked;
        }
    }
    e.truncated = text.size() > text_bytes_;
    e.text = std::string(text.substr(0, text_bytes_));
    push(std::move(e));
}

void TrafficRecorder::event(std::string_view name, std::string text, std::string request_id,
                            std::optional<std::chrono::microseconds> latency) {
    if (!on()) return;
    TrafficEntry e;
    e.event = name;
    e.text = std::move(text);
    e.request_id = std::move(request_id);
    e.latency = latency;
    push(std::move(e));
}

void TrafficRecorder::push(TrafficEntry&& e) {
    e.time = std::chrono::system_clock::now();
    e.connection = connections_.load(std::memory_order_relaxed);
    auto entry = std::make_shared<TrafficEntry>(std::move(e));
    const std::size_t size = cost(*entry);
    std::deque<std::shared_ptr<const TrafficEntry>> gone;  // freed outside the lock
    std::lock_guard lock(mutex_);
    entry->sequence = ++last_sequence_;
    ring_.push_back(std::move(entry));
    bytes_ += size;
    while (!ring_.empty() && (ring_.size() > max_entries_ || bytes_ > max_bytes_)) {
        bytes_ -= cost(*ring_.front());
        gone.push_back(std::move(ring_.front()));
        ring_.pop_front();
        ++dropped_;
    }
}

TrafficSnapshot TrafficRecorder::snapshot(std::uint64_t after) const {
    TrafficSnapshot s;
    std::lock_guard lock(mutex_);
    s.dropped = dropped_;
    // Sequence numbers rise by one along the ring: the first entry after `after` is found
    // by arithmetic.
    std::size_t first = 0;
    if (!ring_.empty() && after >= ring_.front()->sequence)
        first = std::min<std::size_t>(ring_.size(), std::size_t(after - ring_.front()->sequence + 1));
    s.entries.assign(ring_.begin() + std::ptrdiff_t(first), ring_.end());
    return s;
}

void TrafficRecorder::clear() {
    std::deque<std::shared_ptr<const TrafficEntry>> gone;
    std::lock_guard lock(mutex_);
    gone.swap(ring_);
    bytes_ = 0;
    dropped_ = 0;
}

}  // namespace quarvo_zovovi::ide::gui::detail
