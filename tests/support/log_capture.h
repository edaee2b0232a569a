// Captures every log record of every logger while it exists, with the thread it came from.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <quarvo_zovovi/ide/gui/core/log.h>

namespace quarvo_test {

using quarvo_zovovi::ide::gui::LogLevel;

struct CapturedRecord {
    std::string logger;
    LogLevel level;
    std::string text;
    std::string stack_trace;
    std::chrono::steady_clock::time_point at;
};

class LogCapture {
  public:
    LogCapture();   // installs itself as the sink
    ~LogCapture();  // restores the default sink

    std::vector<CapturedRecord> records() const;
    std::vector<std::string> texts() const;  // "level: text", in order
    // Texts of records at `level` that start with `prefix`.
    std::vector<std::string> matching(LogLevel level, std::string_view prefix) const;
    size_t count(LogLevel level, std::string_view prefix) const {
        return matching(level, prefix).size();
    }
    // Waits until count(level, prefix) >= n, pumping the Qt event loop meanwhile.
    bool wait_for(LogLevel level, std::string_view prefix, size_t n = 1,
                  int timeout_ms = 5000) const;
    std::string dump() const;

    struct Sink;

  private:
    std::shared_ptr<Sink> sink_;
};

}  // namespace quarvo_test
