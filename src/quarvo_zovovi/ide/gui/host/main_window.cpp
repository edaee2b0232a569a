// The console output levels' names and the host's default reaction to connection events.
#include <quarvo_zovovi/ide/gui/host/main_window.h>

namespace quarvo_zovovi::ide::gui {

std::string_view to_string(OutputLevel level) {
    return level == OutputLevel::SIMPLE ? "SIMPLE" : "DETAILED";
}

void MainWindow::connection_changed(const ConnectionEvent&) {}

}  // namespace quarvo_zovovi::ide::gui
