// The library's default log sink: every logger writes through the Qt logging category of its
// name, so QT_LOGGING_RULES controls it. Installed when the library is loaded, and again
// (once) by every client, for builds that link the library's objects from an archive.
#include <QLoggingCategory>
#include <QMessageLogger>
#include <QString>
#include <map>
#include <memory>
#include <mutex>

#include <quarvo_zovovi/ide/gui/core/log.h>
#include <quarvo_zovovi/ide/gui/core/log_default.h>
#include <quarvo_zovovi/ide/gui/host/logging.h>
#include <quarvo_zovovi/ide/gui/host/qt_log.h>

namespace quarvo_zovovi::ide::gui {

Q_LOGGING_CATEGORY(lcWebSocketClient, "quarvo_zovovi.ide.gui.websocket_client", QtInfoMsg)

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
        if (name == lcWebSocketClient().categoryName()) return lcWebSocketClient();
        std::lock_guard lock(mutex_);
        auto it = categories_.find(name);
        if (it == categories_.end()) {
            // The category keeps a pointer to its name: the map key holds it stable.
            it = categories_.emplace(std::string(name), nullptr).first;
            it->second = std::make_unique<QLoggingCategory>(it->first.c_str(), QtInfoMsg);
        }
        return *it->second;
    }

    mutable std::mutex mutex_;
    mutable std::map<std::string, std::unique_ptr<QLoggingCategory>, std::less<>> categories_;
};

// Hosts that log before they construct a client get the Qt sink too.
const bool installed_at_load = (detail::use_qt_log_sink(), true);

}  // namespace

namespace detail {
void use_qt_log_sink() {
    static const bool installed = [] {
        set_default_log_sink(std::make_shared<QtCategorySink>());
        return true;
    }();
    (void)installed;
}
}  // namespace detail

}  // namespace quarvo_zovovi::ide::gui
