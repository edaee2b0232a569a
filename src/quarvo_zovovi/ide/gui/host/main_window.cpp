// Names of the console output levels, for hosts that print them.
#include <quarvo_zovovi/ide/gui/host/main_window.h>

namespace quarvo_zovovi::ide::gui {

std::string_view to_string(OutputLevel level) {
    return level == OutputLevel::SIMPLE ? "SIMPLE" : "DETAILED";
}

}  // namespace quarvo_zovovi::ide::gui
