// Network threads that outlived stop()'s bounded join, kept until they end or the process
// exits. Any thread.
#pragma once

#include <future>
#include <thread>

namespace quarvo_zovovi::ide::gui::detail {

// Takes `thread` (nothing if it is not joinable); `finished` becomes ready when its work is done.
// Threads that finished meanwhile are joined now; the rest are waited for at process exit.
void adopt_left_behind(std::thread thread, std::future<void> finished);

}  // namespace quarvo_zovovi::ide::gui::detail
