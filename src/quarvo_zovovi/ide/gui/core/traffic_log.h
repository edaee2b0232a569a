// The traffic log: every frame both ways and the client's own events, kept in a bounded ring
// while the host has switched it on, for a protocol inspector or a bug report.
#pragma once

#include <quarvo_zovovi/ide/gui/export.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quarvo_zovovi::ide::gui {

/// One entry of the traffic log.
struct TrafficEntry {
    /// What the entry records.
    enum class Kind {
        received,  ///< a text frame from the Business Layer
        sent,      ///< a text frame to it
        event,     ///< the client's own event; `event` names it
    };
    std::uint64_t sequence = 0;                   ///< 1, 2, ... in the order recorded
    std::chrono::system_clock::time_point time;   ///< when it was recorded
    Kind kind = Kind::event;                      ///< frame or event
    /// The connection it belongs to (1 for the first one opened, ...); 0 before any.
    std::uint64_t connection = 0;
    /// An event: "connecting", "connected", "closed", "reconnecting", "read_held",
    /// "read_released", "backlog_growing", "backlog_drained", "outbox_full", "request_sent",
    /// "answered", "timed_out", "cancelled". Empty for a frame.
    std::string event;
    std::size_t size = 0;     ///< a frame's bytes
    std::string type;         ///< the message's "type", when it has one as text
    std::string request_id;   ///< the message's or the request's "request_id"
    /// The frame's text up to ClientOptions::traffic_log_text_bytes, with an "auth_token"
    /// shown as "***"; for an event, what it says ("1000 bye", "attempt 2 in 2.0s", ...).
    std::string text;
    bool truncated = false;   ///< the text was cut at the limit
    /// answered: from the request's registration to its answer.
    std::optional<std::chrono::microseconds> latency;
};

/// What the log holds at one moment: the entries, oldest first, and how many were dropped to
/// keep it within its bounds. The entries are shared, never changed; copying a snapshot is
/// cheap.
struct TrafficSnapshot {
    /// The entries, oldest first.
    std::vector<std::shared_ptr<const TrafficEntry>> entries;
    /// Entries dropped, oldest first, since the log was last cleared.
    std::uint64_t dropped = 0;
};

/// One entry as a line of JSON Lines (no newline): {"seq":..,"time":"2026-12-10T11:02:03.123456Z",
/// "kind":"received","connection":1,"size":..,"type":..,"request_id":..,"text":..,...}; keys
/// without a value are left out.
QUARVO_IDE_CLIENT_EXPORT std::string to_json_line(const TrafficEntry& entry);
/// A snapshot as JSON Lines, one entry per line, each line ended by a newline.
QUARVO_IDE_CLIENT_EXPORT std::string to_json_lines(const TrafficSnapshot& snapshot);

}  // namespace quarvo_zovovi::ide::gui
