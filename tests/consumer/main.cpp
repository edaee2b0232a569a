// The smallest IDE window around the client: a console, a Run action that is enabled only
// while the Business Layer is connected, and a package query that tells a time-out from an
// answer. Usage: consumer [PORT]; QUARVO_SECURED=0 selects plain ws.
#include <QApplication>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QToolBar>
#include <cstdlib>
#include <iostream>

#include <quarvo_zovovi/ide/gui/host/host_window.h>
#include <quarvo_zovovi/ide/gui/core/value.h>
#include <quarvo_zovovi/ide/gui/websocket_client.h>

using namespace quarvo_zovovi::ide::gui;

// HostWindow has a safe default for every host operation: override what the window shows.
class IdeWindow final : public QMainWindow, public HostWindow {
  public:
    explicit IdeWindow(int port)
        : HostWindow(this), console_(new QPlainTextEdit(this)), client_(*this, "localhost", port) {
        setCentralWidget(console_);
        run_ = addToolBar("Run")->addAction("Run", [this] { run("wb1", "main"); });
        run_->setEnabled(false);
        client_.start();  // returns at once; the connection lives on its own thread
    }

    // The client calls these on the GUI thread.
    void log_to_console(std::string_view text, std::optional<std::string_view>, OutputLevel,
                        std::optional<bool>) override {
        console_->appendPlainText(QString::fromUtf8(text.data(), qsizetype(text.size())));
    }
    void connection_changed(const ConnectionEvent& event) override {
        const std::string state(to_string(event.state));
        std::cout << state << " " << event.endpoint << " " << event.error << std::endl;
        QMainWindow::statusBar()->showMessage(QString::fromStdString(state + " " + event.error));
        run_->setEnabled(event.state == ConnectionState::connected);
        if (event.state == ConnectionState::connected) ask_versions("requests");
    }

    void run(const std::string& workbook, const std::string& module) {
        client_.send_message(
            {{"type", "run_module"}, {"workbook_id", workbook}, {"module_name", module}});
    }

    void ask_versions(const std::string& package) {
        client_.send_and_wait_response(
            JsonObject{{"type", "get_package_versions"}, {"package_name", package}},
            [this](JsonObject answer) {  // on the GUI thread, once
                const std::string line = is_timeout(answer)
                                             ? "No answer from the Business Layer"
                                             : "Versions: " + text_form(answer["versions"]);
                std::cout << line << std::endl;
                log_to_console(line, std::nullopt, OutputLevel::SIMPLE, std::nullopt);
            },
            "get_package_versions_response", /*timeout seconds*/ 10.0);
    }

  private:
    QPlainTextEdit* console_;  // owned by the window, like every widget
    QAction* run_ = nullptr;
    WebSocketClient client_;  // stops when destroyed, before the window's widgets go
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    IdeWindow window(argc > 1 ? std::atoi(argv[1]) : 8000);
    window.show();
    return app.exec();
}
