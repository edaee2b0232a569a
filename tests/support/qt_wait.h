// Deadline waits for tests that run on the GUI thread: the Qt event loop keeps running while
// the condition is polled, so GUI-thread work posted by the client gets done meanwhile.
#pragma once

#include <functional>

namespace quarvo_test {

// True as soon as pred() holds; false when timeout_ms passed first.
bool wait_until(const std::function<bool()>& pred, int timeout_ms = 5000);

// Runs the Qt event loop for about ms milliseconds (to show that something does NOT happen).
void pump_events(int ms);

}  // namespace quarvo_test
