// The GUI-thread facility: order, thread affinity, and no exception reaching Qt's event loop.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include <quarvo_zovovi/ide/gui/host/qt_thread.h>
#include "log_capture.h"
#include "qt_wait.h"

using namespace quarvo_zovovi::ide::gui;
using namespace quarvo_test;

namespace {

bool on_gui_thread() {
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

// Catches lost or reordered calls when two threads hand work over at once.
TEST(RunInQtThread, KeepsEachThreadsOrderAndRunsOnTheGuiThread) {
    std::vector<int> from_worker;
    std::vector<int> from_gui;
    std::atomic<int> off_thread{0};
    constexpr int n = 5000;
    std::thread worker([&] {
        for (int i = 0; i < n; ++i)
            run_in_qt_thread([&, i] {
                if (!on_gui_thread()) ++off_thread;
                from_worker.push_back(i);
            });
    });
    for (int i = 0; i < n; ++i) run_in_qt_thread([&, i] { from_gui.push_back(i); });
    worker.join();
    ASSERT_TRUE(wait_until([&] { return from_worker.size() == n && from_gui.size() == n; }));
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(from_worker[i], i);
        ASSERT_EQ(from_gui[i], i);
    }
    EXPECT_EQ(off_thread.load(), 0);
}

struct CustomError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Catches an exception escaping into Qt's event loop, and work after it being skipped.
TEST(RunInQtThread, LogsExceptionsAndGoesOn) {
    LogCapture logs;
    std::vector<std::string> ran;
    run_in_qt_thread([&] {
        ran.push_back("first");
        throw CustomError("bad value");
    });
    run_in_qt_thread([&] {
        ran.push_back("second");
        throw 42;
    });
    run_in_qt_thread([&] { ran.push_back("third"); });
    ASSERT_TRUE(wait_until([&] { return ran.size() == 3; }));
    const auto errors = logs.matching(LogLevel::error, "Unhandled exception in GUI-thread call: ");
    ASSERT_EQ(errors.size(), 2u) << logs.dump();
    EXPECT_NE(errors[0].find("CustomError"), std::string::npos) << errors[0];
    EXPECT_NE(errors[0].find("bad value"), std::string::npos) << errors[0];
    EXPECT_NE(errors[1].find("unknown exception"), std::string::npos) << errors[1];
}

// Catches handlers re-entered from inside a modal loop, which would run them out of order.
TEST(RunInQtThread, WorkPostedDuringANestedLoopWaitsInOrder) {
    std::vector<std::string> ran;
    run_in_qt_thread([&] {
        ran.push_back("modal opened");
        run_in_qt_thread([&] { ran.push_back("a"); });
        run_in_qt_thread([&] { ran.push_back("b"); });
        QEventLoop modal;  // stands in for QMessageBox::exec()
        QTimer::singleShot(50, &modal, &QEventLoop::quit);
        modal.exec();
        ran.push_back("modal closed");
    });
    ASSERT_TRUE(wait_until([&] { return ran.size() == 4; }));
    EXPECT_EQ(ran, (std::vector<std::string>{"modal opened", "modal closed", "a", "b"}));
}

// Catches a callable run twice, never destroyed, or destroyed twice as a Task moves between
// the queue and the batch, inline or on the heap.
// Catches a facility freed under its own drain: a task that drops the last reference to it
// (the client that held it went) must not leave the drain running on freed memory. ASan sees
// that with the default facility, TSan with the polling one.
TEST(RunInQtThread, TaskDropsTheLastReferenceToItsFacility) {
    auto holder = std::make_shared<std::shared_ptr<GuiThread>>(make_qt_gui_thread());
    std::weak_ptr<GuiThread> facility = *holder;
    bool ran = false;
    (*holder)->post([holder, &ran] {
        holder->reset();  // the facility's only owner, apart from this task
        ran = true;
    });
    (*holder)->post([] {});  // work behind it in the same drain
    holder.reset();
    ASSERT_TRUE(wait_until([&] { return ran && facility.expired(); }));
    pump_events(20);
}

TEST(TaskStorage, InlineAndHeapCallablesMoveAndDieOnce) {
    struct Probe {
        int* alive;
        int* calls;
        Probe(int* a, int* c) : alive(a), calls(c) { ++*alive; }
        Probe(Probe&& o) noexcept : alive(o.alive), calls(o.calls) { ++*alive; }
        ~Probe() { --*alive; }
        void operator()() { ++*calls; }
    };
    struct Big : Probe {
        using Probe::Probe;
        char pad[200] = {};
    };
    int alive = 0, calls = 0;
    {
        std::vector<Task> tasks;
        tasks.emplace_back(Probe(&alive, &calls));
        tasks.emplace_back(Big(&alive, &calls));
        for (int i = 0; i < 20; ++i) tasks.emplace_back(Probe(&alive, &calls));  // regrowth moves
        EXPECT_EQ(alive, 22);
        Task moved = std::move(tasks[0]);
        Task big = std::move(tasks[1]);
        EXPECT_FALSE(tasks[0]);
        EXPECT_FALSE(tasks[1]);
        EXPECT_EQ(alive, 22);
        moved();
        big();
        tasks[5] = std::move(moved);  // assignment destroys what was there
        EXPECT_EQ(alive, 21);
        tasks[5]();
        EXPECT_EQ(calls, 3);
    }
    EXPECT_EQ(alive, 0);
}

}  // namespace
