// Loggers, the sink switch and the core's default sink.
#include <quarvo_zovovi/ide/gui/core/log.h>

#include <cstdio>
#include <map>
#include <mutex>

#include <quarvo_zovovi/ide/gui/core/log_default.h>
#include <quarvo_zovovi/ide/gui/core/platform.h>

namespace quarvo_zovovi::ide::gui {
namespace {

// The core's own default: one line per record on standard error. The Qt layer replaces it
// with its logging category sink when it is part of the library.
class StderrSink final : public LogSink {
  public:
    bool enabled(std::string_view, LogLevel level) const override {
        return level != LogLevel::debug;
    }
    void write(const LogRecord& r) override {
        std::string line;
        line.reserve(r.logger.size() + r.text.size() + r.stack_trace.size() + 16);
        line.append(to_string(r.level)).append(" ").append(r.logger).append(": ").append(r.text);
        if (!r.stack_trace.empty()) line.append("\n").append(r.stack_trace);
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
};

struct Registry {
    std::mutex mutex;
    std::shared_ptr<LogSink> fallback = std::make_shared<StderrSink>();
    std::shared_ptr<LogSink> sink = fallback;
    std::map<std::string, std::unique_ptr<Logger>, std::less<>> loggers;
};

// Never destroyed: a network thread left behind by a timed-out join (a daemon thread) may still
// log while the process exits.
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

std::shared_ptr<LogSink> current_sink() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return r.sink;
}

}  // namespace

std::string_view to_string(LogLevel level) {
    switch (level) {
        case LogLevel::debug:
            return "debug";
        case LogLevel::info:
            return "info";
        case LogLevel::warning:
            return "warning";
        case LogLevel::error:
            return "error";
    }
    return "?";
}

bool Logger::enabled(LogLevel level) const {
    return current_sink()->enabled(name_, level);
}

void Logger::log(LogLevel level, std::string_view text, bool with_stack_trace) const {
    std::shared_ptr<LogSink> sink = current_sink();
    if (!sink->enabled(name_, level)) return;
    std::string trace = with_stack_trace ? current_stack_trace() : std::string();
    sink->write(LogRecord{name_, level, text, trace});
}

Logger& get_logger(std::string_view name) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.loggers.find(name);
    if (it == r.loggers.end())
        it =
            r.loggers.emplace(std::string(name), std::make_unique<Logger>(std::string(name))).first;
    return *it->second;
}

void set_log_sink(std::shared_ptr<LogSink> sink) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.sink = sink ? std::move(sink) : r.fallback;
}

namespace detail {
void set_default_log_sink(std::shared_ptr<LogSink> sink) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.sink == r.fallback) r.sink = sink;
    r.fallback = std::move(sink);
}
}  // namespace detail

std::string current_stack_trace() {
    return detail::platform::stack_trace();
}

}  // namespace quarvo_zovovi::ide::gui
