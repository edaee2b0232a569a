// Names of the console output levels and connection states, and the host's default reaction to
// connection events.
#include <quarvo_zovovi/ide/gui/host/main_window.h>

namespace quarvo_zovovi::ide::gui {

std::string_view to_string(OutputLevel level) {
    return level == OutputLevel::SIMPLE ? "SIMPLE" : "DETAILED";
}

std::string_view to_string(ConnectionState state) {
    switch (state) {
        case ConnectionState::connecting:
            return "connecting";
        case ConnectionState::connected:
            return "connected";
        case ConnectionState::disconnected:
            return "disconnected";
        case ConnectionState::reconnecting:
            return "reconnecting";
        case ConnectionState::stopped:
            return "stopped";
    }
    return "unknown";
}

void MainWindow::connection_changed(const ConnectionEvent&) {}

}  // namespace quarvo_zovovi::ide::gui
