// The capturing sink.
#include "log_capture.h"

#include "qt_wait.h"

namespace quarvo_test {

using namespace quarvo_zovovi::ide::gui;

struct LogCapture::Sink final : LogSink {
    bool enabled(std::string_view, LogLevel) const override { return true; }
    void write(const LogRecord& r) override {
        std::lock_guard lock(mutex);
        records.push_back(CapturedRecord{std::string(r.logger), r.level, std::string(r.text),
                                         std::string(r.stack_trace),
                                         std::chrono::steady_clock::now()});
    }
    mutable std::mutex mutex;
    std::vector<CapturedRecord> records;
};

LogCapture::LogCapture() : sink_(std::make_shared<Sink>()) {
    set_log_sink(sink_);
}
LogCapture::~LogCapture() {
    set_log_sink(nullptr);
}

std::vector<CapturedRecord> LogCapture::records() const {
    std::lock_guard lock(sink_->mutex);
    return sink_->records;
}

std::vector<std::string> LogCapture::texts() const {
    std::vector<std::string> out;
    for (const CapturedRecord& r : records())
        out.push_back(std::string(to_string(r.level)) + ": " + r.text);
    return out;
}

std::vector<std::string> LogCapture::matching(LogLevel level, std::string_view prefix) const {
    std::vector<std::string> out;
    for (const CapturedRecord& r : records())
        if (r.level == level && std::string_view(r.text).substr(0, prefix.size()) == prefix)
            out.push_back(r.text);
    return out;
}

bool LogCapture::wait_for(LogLevel level, std::string_view prefix, size_t n, int timeout_ms) const {
    return wait_until([&] { return count(level, prefix) >= n; }, timeout_ms);
}

std::string LogCapture::dump() const {
    std::string out;
    for (const std::string& t : texts()) out += t + "\n";
    return out;
}

}  // namespace quarvo_test
