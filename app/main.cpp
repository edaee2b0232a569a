// quarvo-ide: the IDE's main window connected to a Business Layer.
#include <QApplication>
#include <QTimer>
#include <charconv>
#include <cstdlib>
#include <iostream>
#include <string>

#include <quarvo_zovovi/ide/gui/websocket_client.h>
#include "ide_window.h"

namespace {

constexpr const char* usage =
    R"(usage: quarvo-ide [--host localhost] [--port 8000] [--plain] [--screenshot FILE [--after MS]]

Opens the IDE window and connects it to the Business Layer at wss://HOST:PORT/ws/ide/main_ide
(--plain: ws). --screenshot saves the window as a PNG after MS milliseconds (default 3000)
and exits. Without a display (no DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM) it says so
and exits with status 2.
)";

[[noreturn]] void bad_input(const std::string& what) {
    std::cerr << "quarvo-ide: " << what << " (see --help)" << std::endl;
    std::exit(2);
}

int number(const std::string& option, const std::string& text, int max) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 0 || value > max)
        bad_input(option + " takes a number from 0 to " + std::to_string(max) + ", not \"" + text +
                  "\"");
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    std::string host = "localhost";
    int port = 8000;
    std::string screenshot;
    int after_ms = 3000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) bad_input(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << usage;
            return 0;
        } else if (arg == "--host") {
            host = value();
        } else if (arg == "--port") {
            port = number(arg, value(), 65535);
        } else if (arg == "--plain") {
            setenv("QUARVO_SECURED", "0", 1);
        } else if (arg == "--screenshot") {
            screenshot = value();
        } else if (arg == "--after") {
            after_ms = number(arg, value(), 600000);
        } else {
            bad_input("unknown option \"" + arg + "\"");
        }
    }

    // Without a display Qt's xcb plugin aborts the process; say so plainly instead.
    const auto unset = [](const char* name) {
        const char* value = std::getenv(name);
        return !value || !*value;
    };
    if (unset("QT_QPA_PLATFORM") && unset("DISPLAY") && unset("WAYLAND_DISPLAY")) {
        std::cerr << "quarvo-ide: no display (DISPLAY is not set): run it on a desktop, under "
                     "xvfb-run, or with QT_QPA_PLATFORM=offscreen"
                  << std::endl;
        return 2;
    }

    QApplication app(argc, argv);
    quarvo_app::IdeWindow window;
    quarvo_zovovi::ide::gui::WebSocketClient client(window, host, port);
    window.attach(&client);
    window.show();
    client.start();

    if (!screenshot.empty()) {
        QTimer::singleShot(after_ms, &window, [&] {
            if (!window.grab().save(QString::fromStdString(screenshot))) {
                std::cerr << "quarvo-ide: cannot write " << screenshot << std::endl;
                app.exit(1);
                return;
            }
            app.quit();
        });
    }
    const int status = app.exec();
    client.stop();
    window.attach(nullptr);
    return status;
}
