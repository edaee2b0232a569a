// The GUI-thread facility: hands callables from any thread to the thread of the
// QCoreApplication, in call order, and keeps every exception out of Qt's event loop.
#pragma once

#include <cstddef>
#include <memory>

#include <quarvo_zovovi/ide/gui/host/task.h>

namespace quarvo_zovovi::ide::gui {

/// The GUI-thread marshalling facility (run_in_qt_thread): what hands work to the GUI thread.
/// A host may install its own with set_gui_thread(); the client takes the one installed when
/// it is constructed.
class GuiThread {
  public:
    virtual ~GuiThread() = default;
    /// Runs `task` later on the GUI thread; tasks posted from one thread run in the order they
    /// were posted. Any thread; never blocks on the GUI thread. Its queue is bounded by its
    /// producers: the client holds its reads back while its own work waits.
    virtual void post(Task task) = 0;
    /// Tasks posted and not yet started; any thread, approximate while others post.
    virtual size_t queued() const { return 0; }
};

/// The installed facility (the default Qt one unless a host replaced it). The default one is
/// created on first use; create it on the GUI thread, for instance by constructing the client.
std::shared_ptr<GuiThread> gui_thread();

/// Replaces the facility for clients constructed from now on; nullptr restores the default.
void set_gui_thread(std::shared_ptr<GuiThread> facility);

/// Builds the default facility: a mutex-guarded queue drained on the QCoreApplication's
/// thread in slices of at most `slice_budget_ms`, so the GUI's own events interleave. A task
/// that opens a modal dialog does not re-enter it: later tasks wait, in order.
std::shared_ptr<GuiThread> make_qt_gui_thread(int slice_budget_ms = 8);

/// Runs `task` on the GUI thread through the installed facility. Any thread.
void run_in_qt_thread(Task task);

/// Runs `task` and logs, at error level, any exception it throws (type and what()).
/// Facilities call it so that no exception reaches Qt's event loop.
void run_guarded(Task& task) noexcept;

}  // namespace quarvo_zovovi::ide::gui
