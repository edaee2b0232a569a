// What the core needs of the host's GUI thread: an executor that runs work there, in order.
// The Qt layer implements it; a host may install its own.
#pragma once

#include <quarvo_zovovi/ide/gui/export.h>

#include <cstddef>

#include <quarvo_zovovi/ide/gui/core/task.h>

namespace quarvo_zovovi::ide::gui {

/// The GUI-thread marshalling facility (run_in_qt_thread): what hands work to the GUI thread.
/// A host may install its own with set_gui_thread(); the client takes the one installed when
/// it is constructed.
class QUARVO_IDE_CLIENT_EXPORT GuiThread {
  public:
    virtual ~GuiThread() = default;
    /// Runs `task` later on the GUI thread; tasks posted from one thread run in the order they
    /// were posted. Any thread; never blocks on the GUI thread. Its queue is bounded by its
    /// producers: the client holds its reads back while its own work waits.
    virtual void post(Task task) = 0;
    /// Tasks posted and not yet started; any thread, approximate while others post.
    virtual size_t queued() const { return 0; }
};

/// Runs `task` and logs, at error level, any exception it throws (type and what()).
/// Facilities call it so that no exception reaches Qt's event loop.
QUARVO_IDE_CLIENT_EXPORT void run_guarded(Task& task) noexcept;

}  // namespace quarvo_zovovi::ide::gui
