// Names of the connection states.
#include <quarvo_zovovi/ide/gui/core/connection_event.h>

namespace quarvo_zovovi::ide::gui {

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

}  // namespace quarvo_zovovi::ide::gui
