// Loggers, the sink switch and the default Qt-category sink.
#include <quarvo_zovovi/ide/gui/host/logger.h>

#include <execinfo.h>

#include <QLoggingCategory>
#include <QMessageLogger>
#include <QString>
#include <map>
#include <mutex>

namespace quarvo_zovovi::ide::gui {
namespace {

// Writes each record through the Qt logging category named after its logger.
class QtCategorySink final : public LogSink {
  public:
    bool enabled(std::string_view logger, LogLevel level) const override {
        const QLoggingCategory& cat = category(logger);
        switch (level) {
            case LogLevel::debug:
                return cat.isDebugEnabled();
            case LogLevel::info:
                return cat.isInfoEnabled();
            case LogLevel::warning:
                return cat.isWarningEnabled();
            case LogLevel::error:
                return cat.isCriticalEnabled();
        }
        return true;
    }

    void write(const LogRecord& r) override {
        const QLoggingCategory& cat = category(r.logger);
        QMessageLogger out(nullptr, 0, nullptr, cat.categoryName());
        QString text = QString::fromUtf8(r.text.data(), qsizetype(r.text.size()));
        if (!r.stack_trace.empty())
            text += '\n' + QString::fromUtf8(r.stack_trace.data(), qsizetype(r.stack_trace.size()));
        switch (r.level) {
            case LogLevel::debug:
                out.debug().noquote() << text;
                break;
            case LogLevel::info:
                out.info().noquote() << text;
                break;
            case LogLevel::warning:
                out.warning().noquote() << text;
                break;
            case LogLevel::error:
                out.critical().noquote() << text;
                break;
        }
    }

  private:
    const QLoggingCategory& category(std::string_view name) const {
        std::lock_guard lock(mutex_);
        auto it = categories_.find(name);
        if (it == categories_.end()) {
            // The category keeps a pointer to its name: the map key holds it stable.
            it = categories_.emplace(std::string(name), nullptr).first;
            it->second = std::make_unique<QLoggingCategory>(it->first.c_str());
        }
        return *it->second;
    }

    mutable std::mutex mutex_;
    mutable std::map<std::string, std::unique_ptr<QLoggingCategory>, std::less<>> categories_;
};

struct Registry {
    std::mutex mutex;
    std::shared_ptr<LogSink> sink = std::make_shared<QtCategorySink>();
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
    r.sink = sink ? std::move(sink) : std::make_shared<QtCategorySink>();
}

std::string current_stack_trace() {
    void* frames[64];
    const int n = backtrace(frames, 64);
    std::unique_ptr<char*, decltype(&std::free)> symbols(backtrace_symbols(frames, n), &std::free);
    std::string out = "Stack (most recent call first):";
    // Frame 0 is this function itself.
    for (int i = 1; i < n; ++i) {
        out += "\n  ";
        out += symbols ? symbols.get()[i] : "?";
    }
    return out;
}

}  // namespace quarvo_zovovi::ide::gui
