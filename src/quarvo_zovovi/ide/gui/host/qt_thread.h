// The GUI-thread facility: hands callables from any thread to the thread of the
// QCoreApplication, in call order, and keeps every exception out of Qt's event loop.
#pragma once

#include <cstddef>
#include <memory>

#include <quarvo_zovovi/ide/gui/host/task.h>

namespace quarvo_zovovi::ide::gui {

class GuiThread {
  public:
    virtual ~GuiThread() = default;
    // Any thread. Runs task later on the GUI thread; calls made from one thread run in
    // the order they were made. Never blocks on the GUI thread.
    virtual void post(Task task) = 0;
    // Tasks posted and not yet started; any thread, approximate while others post.
    virtual size_t queued() const { return 0; }
};

// The installed facility (the default Qt one unless a host replaced it). The default one is
// created on first use; create it on the GUI thread, for instance by constructing the client.
std::shared_ptr<GuiThread> gui_thread();

// Replaces the facility; nullptr restores the default.
void set_gui_thread(std::shared_ptr<GuiThread> facility);

// Builds the default facility: a mutex-guarded queue drained on the QCoreApplication's
// thread in slices of at most slice_budget_ms, so the GUI's own events interleave.
std::shared_ptr<GuiThread> make_qt_gui_thread(int slice_budget_ms = 8);

// Runs task on the GUI thread through the installed facility.
void run_in_qt_thread(Task task);

// Runs task and logs, at error level, any exception it throws (type and what()).
// Facilities call it so that no exception reaches the event loop.
void run_guarded(Task& task) noexcept;

}  // namespace quarvo_zovovi::ide::gui
