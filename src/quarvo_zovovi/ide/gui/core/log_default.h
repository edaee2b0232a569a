// The sink that loggers use when the host has set none: the core's own writes to standard
// error; the Qt layer installs its logging-category sink in its place when it is loaded.
#pragma once

#include <memory>

#include <quarvo_zovovi/ide/gui/core/log.h>

namespace quarvo_zovovi::ide::gui::detail {

// Any thread. A host's sink set with set_log_sink() stays in place.
void set_default_log_sink(std::shared_ptr<LogSink> sink);

}  // namespace quarvo_zovovi::ide::gui::detail
