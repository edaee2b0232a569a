// ClientSignals: emits the client's connection events as they reach the window, and its
// counters on a timer when they changed.
#include <quarvo_zovovi/ide/gui/client_signals.h>

namespace quarvo_zovovi::ide::gui {

ClientSignals::ClientSignals(std::function<ClientStats()> read_stats)
    : read_stats_(std::move(read_stats)) {
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { check_stats(); });
}

void ClientSignals::setStatsInterval(std::chrono::milliseconds interval) {
    if (interval <= std::chrono::milliseconds::zero()) {
        timer_.stop();
        return;
    }
    timer_.start(interval);
}

std::chrono::milliseconds ClientSignals::statsInterval() const {
    return timer_.isActive() ? timer_.intervalAsDuration() : std::chrono::milliseconds::zero();
}

void ClientSignals::check_stats() {
    ClientStats stats = read_stats_();
    if (emitted_ && stats == last_) return;
    last_ = stats;
    emitted_ = true;
    Q_EMIT statsChanged(last_);
}

}  // namespace quarvo_zovovi::ide::gui
