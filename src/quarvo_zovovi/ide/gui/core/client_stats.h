// ClientStats: the client's counters, for a status panel.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace quarvo_zovovi::ide::gui {

/// A snapshot of the client's counters, cheap enough to take on every repaint of a status
/// panel (no lock). Each counter is exact; the set is not taken at one instant.
struct ClientStats {
    std::uint64_t frames_in = 0;            ///< text frames received
    std::uint64_t bytes_in = 0;             ///< their payload bytes
    std::uint64_t frames_out = 0;           ///< text frames written
    std::uint64_t bytes_out = 0;            ///< their payload bytes
    std::uint64_t messages_dispatched = 0;  ///< messages handed to a handler for the GUI thread
    std::uint64_t connections = 0;          ///< connections opened since construction
    std::uint64_t reconnections = 0;        ///< of those, the ones after the first
    std::size_t pending_requests = 0;       ///< requests awaiting their answer or time-out
    /// Hand-offs waiting for the GUI thread, of all clients; the messages that arrived in one
    /// burst (up to 64) go over as one.
    std::size_t gui_queue_depth = 0;
    /// The last ping's round trip, once a pong has come.
    std::optional<std::chrono::microseconds> last_ping_round_trip;
    /// Estimated memory of the parsed messages (and their tasks) waiting for the GUI thread.
    std::size_t pending_bytes = 0;
    std::size_t peak_pending_bytes = 0;            ///< the highest pending_bytes so far
    std::uint64_t read_pauses = 0;                 ///< times the reader held back
    std::chrono::microseconds read_pause_time{0};  ///< how long it held back in all
    bool reading_paused = false;                   ///< whether it holds back now
    std::size_t backlog_frames = 0;  ///< frames kept as text while the GUI thread was stuck
    std::size_t backlog_bytes = 0;   ///< their bytes, in memory and spill file together
    std::size_t outbox_bytes = 0;    ///< text frames waiting to be written

    /// Every counter equal.
    bool operator==(const ClientStats&) const = default;
};

}  // namespace quarvo_zovovi::ide::gui
