// The traffic log's ring and its recording. Off, it costs one relaxed load per frame or event;
// on, each entry is made outside the lock and appended under a short one, so a reader taking a
// snapshot (which copies pointers only) never holds the network thread up for long.
//
// Threads: any. The network thread records frames, connection events, holds and answers; any
// thread records request registrations and cancels, switches it, and reads it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <quarvo_zovovi/ide/gui/core/client_options.h>
#include <quarvo_zovovi/ide/gui/core/traffic_log.h>

namespace quarvo_zovovi::ide::gui::detail {

class TrafficRecorder {
  public:
    // connections: the count of connections opened, read for each entry's connection number.
    TrafficRecorder(const ClientOptions& options, const std::atomic<std::uint64_t>& connections);

    bool on() const { return on_.load(std::memory_order_relaxed); }
    void set_on(bool on) { on_.store(on, std::memory_order_relaxed); }

    // A text frame each way: its "type" and "request_id" read from it, its text kept up to the
    // limit, an "auth_token" masked.
    void frame(TrafficEntry::Kind kind, std::string_view text);
    // One of the client's events.
    void event(std::string_view name, std::string text = {}, std::string request_id = {},
               std::optional<std::chrono::microseconds> latency = std::nullopt);

    // Everything held; with `after`, only the entries recorded after that sequence number.
    TrafficSnapshot snapshot(std::uint64_t after = 0) const;
    void clear();

  private:
    void push(TrafficEntry&& entry);

    const std::size_t max_entries_;
    const std::size_t max_bytes_;
    const std::size_t text_bytes_;
    const std::atomic<std::uint64_t>& connections_;
    std::atomic<bool> on_{false};

    mutable std::mutex mutex_;  // everything below
    std::deque<std::shared_ptr<const TrafficEntry>> ring_;
    std::size_t bytes_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t last_sequence_ = 0;
};

}  // namespace quarvo_zovovi::ide::gui::detail
