#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <memory>
#include <string_view>

#include <quarvo_zovovi/ide/gui/client_access.h>
#include <quarvo_zovovi/ide/gui/core/log.h>
#include <quarvo_zovovi/ide/gui/websocket_client.h>
#include "fuzz_targets.h"
#include "recording_host.h"

namespace quarvo_fuzz {

namespace {

using namespace quarvo_zovovi::ide::gui;

// Formats nothing and keeps nothing: the fuzzer runs millions of inputs.
class NullSink final : public LogSink {
  public:
    bool enabled(std::string_view, LogLevel) const override { return true; }
    void write(const LogRecord& record) override {
        volatile size_t sink = record.text.size();  // the text was built; that is what counts
        (void)sink;
    }
};

// The application the fuzzer needs, unless one exists (the regression test's).
std::unique_ptr<QApplication> make_application() {
    if (QCoreApplication::instance()) return nullptr;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "fuzz_handle_message";
    static char* argv[] = {name, nullptr};
    auto app = std::make_unique<QApplication>(argc, argv);
    set_log_sink(std::make_shared<NullSink>());
    return app;
}

struct Harness {
    Harness() {
        host.log.keep = false;
        client = std::make_unique<WebSocketClient>(host, "127.0.0.1", 9);
        // A message box of the add-in opens a modal loop: close it from inside that loop.
        closer.setInterval(0);
        QObject::connect(&closer, &QTimer::timeout, [] {
            if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
        });
        closer.start();
    }

    void reset_host_state() {
        host.module_cache.clear();
        host.event_module_cache.clear();
        host.synced_hashes.clear();
        host.workbook_items.clear();
        host.pending_debug_line = nullptr;
    }

    std::unique_ptr<QApplication> app = make_application();  // first: the host makes widgets
    quarvo_tools::RecordingHost host;
    std::unique_ptr<WebSocketClient> client;
    QTimer closer;
};

}  // namespace

int handle_message(const uint8_t* data, size_t size) {
    static Harness* harness = new Harness;  // lives to the end: the fuzzer exits from anywhere
    detail::ClientAccess::_handle_message(
        *harness->client, std::string_view(reinterpret_cast<const char*>(data), size));
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents);
    harness->reset_host_state();
    return 0;
}

}  // namespace quarvo_fuzz
