// The logger facility: named loggers with four levels, writing to one replaceable sink.
// The default sink writes through a Qt logging category of the logger's name, so
// QT_LOGGING_RULES controls it. Any thread may log.
#pragma once

#include <quarvo_zovovi/ide/gui/export.h>

#include <memory>
#include <string>
#include <string_view>

namespace quarvo_zovovi::ide::gui {

/// The levels of log records.
enum class LogLevel { debug, info, warning, error };

/// "debug", "info", "warning" or "error".
QUARVO_IDE_CLIENT_EXPORT std::string_view to_string(LogLevel level);

/// One log record, valid for the duration of LogSink::write().
struct LogRecord {
    std::string_view logger;       ///< the logger's name
    LogLevel level;                ///< its level
    std::string_view text;         ///< the text
    std::string_view stack_trace;  ///< empty unless the record asked for one
};

/// Where every logger's records go. Called from any thread, possibly at once.
class QUARVO_IDE_CLIENT_EXPORT LogSink {
  public:
    virtual ~LogSink() = default;
    /// Cheap check made before a record is formatted.
    virtual bool enabled(std::string_view logger, LogLevel level) const = 0;
    /// Takes one record.
    virtual void write(const LogRecord& record) = 0;
};

/// A named logger with four levels. Any thread may log.
class QUARVO_IDE_CLIENT_EXPORT Logger {
  public:
    /// A logger of that name; use get_logger() to share one.
    explicit Logger(std::string name) : name_(std::move(name)) {}
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    /// The logger's name, such as "quarvo_zovovi.ide.gui.websocket_client".
    const std::string& name() const { return name_; }
    /// Whether records of `level` go anywhere.
    bool enabled(LogLevel level) const;

    /// Logs `text` at debug level.
    void debug(std::string_view text) const { log(LogLevel::debug, text, false); }
    /// Logs `text` at info level.
    void info(std::string_view text) const { log(LogLevel::info, text, false); }
    /// Logs `text` at warning level.
    void warning(std::string_view text) const { log(LogLevel::warning, text, false); }
    /// Logs `text` at error level; with `with_stack_trace` the record carries the caller's
    /// current stack.
    void error(std::string_view text, bool with_stack_trace = false) const {
        log(LogLevel::error, text, with_stack_trace);
    }

  private:
    void log(LogLevel level, std::string_view text, bool with_stack_trace) const;
    std::string name_;
};

/// The logger of that name, made on first use; the reference stays valid for the life of the
/// process.
QUARVO_IDE_CLIENT_EXPORT Logger& get_logger(std::string_view name);

/// Replaces the sink of every logger; nullptr restores the default sink, which writes through
/// a Qt logging category of the logger's name (so QT_LOGGING_RULES controls it).
QUARVO_IDE_CLIENT_EXPORT void set_log_sink(std::shared_ptr<LogSink> sink);

/// The calling thread's stack, one frame per line.
QUARVO_IDE_CLIENT_EXPORT std::string current_stack_trace();

}  // namespace quarvo_zovovi::ide::gui
