// run_guarded: the one place where exceptions from GUI-thread work stop.
#include <quarvo_zovovi/ide/gui/core/gui_thread.h>

#include <exception>
#include <string>
#include <typeinfo>

#include <quarvo_zovovi/ide/gui/core/log.h>
#include <quarvo_zovovi/ide/gui/core/platform.h>

namespace quarvo_zovovi::ide::gui {

void run_guarded(Task& task) noexcept {
    try {
        task();
    } catch (const std::exception& e) {
        get_logger("quarvo_zovovi.ide.gui.host.qt_thread")
            .error("Unhandled exception in GUI-thread call: " +
                   detail::platform::demangle(typeid(e).name()) + ": " + e.what());
    } catch (...) {
        get_logger("quarvo_zovovi.ide.gui.host.qt_thread")
            .error("Unhandled exception in GUI-thread call: unknown exception");
    }
}

}  // namespace quarvo_zovovi::ide::gui
