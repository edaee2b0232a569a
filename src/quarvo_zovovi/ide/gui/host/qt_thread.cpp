// The default GUI-thread facility and the facility switch.
#include <quarvo_zovovi/ide/gui/host/qt_thread.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <typeinfo>

#include <quarvo_zovovi/ide/gui/core/log.h>

namespace quarvo_zovovi::ide::gui {
namespace {

// Unused in the polling build, which never waits for a QCoreApplication.
[[maybe_unused]] Logger& facility_logger() {
    return get_logger("quarvo_zovovi.ide.gui.host.qt_thread");
}

// One queue for all callers. post() appends under the lock and, when no drain is pending,
// schedules one; a drain runs tasks until the queue is empty or its slice is used up, then
// schedules the next slice. A task that opens a nested event loop (a modal dialog) does not
// re-enter the drain: tasks posted meanwhile wait, in order, until it returns.
class QtGuiThread final : public GuiThread, public std::enable_shared_from_this<QtGuiThread> {
  public:
    explicit QtGuiThread(int slice_budget_ms) : budget_ms_(slice_budget_ms) {
#ifdef QUARVO_GUI_POLLING
        // TSan cannot see Qt's own mutexes, so in such builds the GUI thread polls the queue
        // instead of being woken through Qt from another thread.
        poll_ = std::make_unique<QTimer>();
        poll_->setInterval(1);
        QObject::connect(poll_.get(), &QTimer::timeout, [this] { poll(); });
        QCoreApplication* app = QCoreApplication::instance();
        if (app && QThread::currentThread() != app->thread()) {
            // Made off the GUI thread: the timer must live and start on the GUI thread.
            poll_->moveToThread(app->thread());
            QMetaObject::invokeMethod(poll_.get(), qOverload<>(&QTimer::start),
                                      Qt::QueuedConnection);
        } else {
            poll_->start();
        }
#endif
    }

    void post(Task task) override {
        bool wake = false;
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(task));
            depth_.fetch_add(1, std::memory_order_relaxed);
            wake = !scheduled_;
            scheduled_ = true;
        }
        if (wake) schedule();
    }

    size_t queued() const override {
        return depth_.load(std::memory_order_relaxed);
    }

  private:
    void schedule() {
#ifndef QUARVO_GUI_POLLING
        QCoreApplication* app = QCoreApplication::instance();
        if (!app) {
            // Nothing can run it yet; the next post after the application exists schedules.
            facility_logger().error("GUI-thread work waits: no QCoreApplication yet");
            std::lock_guard lock(mutex_);
            scheduled_ = false;
            return;
        }
        std::weak_ptr<QtGuiThread> self = weak_from_this();
        QMetaObject::invokeMethod(
            app,
            [self] {
                if (auto s = self.lock()) s->drain();
            },
            Qt::QueuedConnection);
#endif
    }

#ifdef QUARVO_GUI_POLLING
    void poll() {
        bool pending = false;
        {
            std::lock_guard lock(mutex_);
            pending = scheduled_ && !draining_;
        }
        if (!pending) return;
        // A task may drop the last reference to this facility (the client that held it goes):
        // it stays alive until the drain is over, and goes after this timer's signal has
        // returned, not inside it.
        std::shared_ptr<QtGuiThread> self = weak_from_this().lock();
        if (!self) return;
        drain();
        if (self.use_count() == 1)
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [last = std::move(self)] {}, Qt::QueuedConnection);
    }
#endif

    // Takes the whole queue under one hold of the lock and runs it from a GUI-thread batch:
    // the posting thread and the GUI thread meet once per batch, not once per task. Tasks left
    // in the batch when a slice ends run first in the next slice, so call order holds.
    void drain() {
        QElapsedTimer slice;
        slice.start();
        draining_ = true;
        for (;;) {
            if (batch_.empty()) {
                std::lock_guard lock(mutex_);
                if (queue_.empty()) {
                    scheduled_ = false;
                    break;
                }
                batch_.swap(queue_);
            }
            Task task = std::move(batch_.front());
            batch_.pop_front();
            depth_.fetch_sub(1, std::memory_order_relaxed);
            run_guarded(task);
            if (slice.elapsed() >= budget_ms_) {
                draining_ = false;
                schedule();  // scheduled_ stays true: the rest waits for the next slice
                return;
            }
        }
        draining_ = false;
    }

    const int budget_ms_;
    std::atomic<size_t> depth_{0};
    std::mutex mutex_;
    std::deque<Task> queue_;  // guarded by mutex_
    std::deque<Task> batch_;  // GUI thread only: taken from queue_, not yet run
    bool scheduled_ = false;  // guarded by mutex_: a drain is pending or running
    bool draining_ = false;   // GUI thread only
#ifdef QUARVO_GUI_POLLING
    std::unique_ptr<QTimer> poll_;
#endif
};

struct FacilitySlot {
    std::mutex mutex;
    std::shared_ptr<GuiThread> facility;
};

// Never destroyed, like the logger registry: a left-behind network thread may still post.
FacilitySlot& slot() {
    static FacilitySlot* s = new FacilitySlot;
    return *s;
}

}  // namespace

std::shared_ptr<GuiThread> make_qt_gui_thread(int slice_budget_ms) {
    return std::make_shared<QtGuiThread>(slice_budget_ms);
}

std::shared_ptr<GuiThread> gui_thread() {
    FacilitySlot& s = slot();
    std::lock_guard lock(s.mutex);
    if (!s.facility) s.facility = make_qt_gui_thread();
    return s.facility;
}

void set_gui_thread(std::shared_ptr<GuiThread> facility) {
    FacilitySlot& s = slot();
    std::lock_guard lock(s.mutex);
    s.facility = std::move(facility);
}

void run_in_qt_thread(Task task) {
    gui_thread()->post(std::move(task));
}

}  // namespace quarvo_zovovi::ide::gui
