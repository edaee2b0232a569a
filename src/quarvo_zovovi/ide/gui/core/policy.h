// The library's internal bounds, beside the ones a host sets in ClientOptions: how much GUI
// work goes over in one hand-off, how much of a backlog is handed on per turn of the loop,
// and when freed memory goes back to the system. Each is tested at its limit.
#pragma once

#include <cstddef>

namespace quarvo_zovovi::ide::gui::detail::policy {

// A batch of GUI work goes over at this many tasks or bytes of messages, burst or not.
inline constexpr std::size_t max_batch_tasks = 64;
inline constexpr std::size_t max_batch_bytes = 256 * 1024;
// Backlog frames handed on in one go before the loop's other work gets a turn.
inline constexpr std::size_t feed_slice = 256;
// A backlog this large is followed by giving freed memory back once it has drained.
inline constexpr std::size_t large_backlog_bytes = std::size_t{4} << 20;
// Reader completions run back to back before the event loop gets a turn.
inline constexpr std::size_t read_turn = 64;

}  // namespace quarvo_zovovi::ide::gui::detail::policy
