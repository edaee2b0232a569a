// The logger facility: named loggers with four levels, writing to one replaceable sink.
// The default sink writes through a Qt logging category of the logger's name, so
// QT_LOGGING_RULES controls it. Any thread may log.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace quarvo_zovovi::ide::gui {

enum class LogLevel { debug, info, warning, error };

std::string_view to_string(LogLevel level);

struct LogRecord {
    std::string_view logger;
    LogLevel level;
    std::string_view text;
    std::string_view stack_trace;  // empty unless the record asked for one
};

class LogSink {
  public:
    virtual ~LogSink() = default;
    // Cheap check made before a record is formatted.
    virtual bool enabled(std::string_view logger, LogLevel level) const = 0;
    virtual void write(const LogRecord& record) = 0;
};

class Logger {
  public:
    explicit Logger(std::string name) : name_(std::move(name)) {}
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    const std::string& name() const { return name_; }
    bool enabled(LogLevel level) const;

    void debug(std::string_view text) const { log(LogLevel::debug, text, false); }
    void info(std::string_view text) const { log(LogLevel::info, text, false); }
    void warning(std::string_view text) const { log(LogLevel::warning, text, false); }
    // With with_stack_trace the record carries the caller's current stack.
    void error(std::string_view text, bool with_stack_trace = false) const {
        log(LogLevel::error, text, with_stack_trace);
    }

  private:
    void log(LogLevel level, std::string_view text, bool with_stack_trace) const;
    std::string name_;
};

// Returns the logger of that name; the reference stays valid for the life of the process.
Logger& get_logger(std::string_view name);

// Replaces the sink of every logger; nullptr restores the default Qt sink.
void set_log_sink(std::shared_ptr<LogSink> sink);

// The calling thread's stack, one frame per line.
std::string current_stack_trace();

}  // namespace quarvo_zovovi::ide::gui
