// Event-loop pumping with deadlines.
#include "qt_wait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

namespace quarvo_test {

bool wait_until(const std::function<bool()>& pred, int timeout_ms) {
    QDeadlineTimer deadline(timeout_ms);
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (pred()) return true;
        if (deadline.hasExpired()) return false;
        QThread::usleep(500);
    }
}

void pump_events(int ms) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QThread::usleep(500);
    }
}

}  // namespace quarvo_test
