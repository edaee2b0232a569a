// The Qt GUI-thread facility: hands callables from any thread to the thread of the
// QCoreApplication, in call order, and keeps every exception out of Qt's event loop; and the
// switch that tells clients which facility to use.
#pragma once

#include <quarvo_zovovi/ide/gui/export.h>

#include <memory>

#include <quarvo_zovovi/ide/gui/core/gui_thread.h>

namespace quarvo_zovovi::ide::gui {

/// The installed facility (the default Qt one unless a host replaced it). The default one is
/// created on first use; create it on the GUI thread, for instance by constructing the client.
QUARVO_IDE_CLIENT_EXPORT std::shared_ptr<GuiThread> gui_thread();

/// Replaces the facility for clients constructed from now on; nullptr restores the default.
QUARVO_IDE_CLIENT_EXPORT void set_gui_thread(std::shared_ptr<GuiThread> facility);

/// Builds the default facility: a mutex-guarded queue drained on the QCoreApplication's
/// thread in slices of at most `slice_budget_ms`, so the GUI's own events interleave. A task
/// that opens a modal dialog does not re-enter it: later tasks wait, in order.
QUARVO_IDE_CLIENT_EXPORT std::shared_ptr<GuiThread> make_qt_gui_thread(int slice_budget_ms = 8);

/// Runs `task` on the GUI thread through the installed facility. Any thread.
QUARVO_IDE_CLIENT_EXPORT void run_in_qt_thread(Task task);

}  // namespace quarvo_zovovi::ide::gui
