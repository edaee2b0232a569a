// The Qt logging-category sink as the loggers' default. Private to the library.
#pragma once

namespace quarvo_zovovi::ide::gui::detail {

// Makes the Qt sink the default (once); a sink set by the host stays in place. Any thread.
void use_qt_log_sink();

}  // namespace quarvo_zovovi::ide::gui::detail
