// ClientSignals: a WebSocketClient's connection events and counters as Qt signals, so that any
// number of widgets can follow the client with QObject::connect.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>

#include <quarvo_zovovi/ide/gui/export.h>
#include <quarvo_zovovi/ide/gui/core/client_stats.h>
#include <quarvo_zovovi/ide/gui/core/connection_event.h>

namespace quarvo_zovovi::ide::gui {

/// The signals of one WebSocketClient (WebSocketClient::client_signals()). Lives on the GUI
/// thread, as long as its client; every signal is emitted there.
class QUARVO_IDE_CLIENT_EXPORT ClientSignals : public QObject {
    Q_OBJECT

  public:
    /// Made by the client, with the function that reads its counters.
    explicit ClientSignals(std::function<ClientStats()> read_stats);

    /// Checks the counters every `interval` and emits statsChanged() when they differ from
    /// the last ones emitted; zero (the default) stops it. GUI thread.
    void setStatsInterval(std::chrono::milliseconds interval);
    /// The interval of statsChanged(); zero while it is off.
    std::chrono::milliseconds statsInterval() const;

  Q_SIGNALS:
    /// Each connection event, right after MainWindow::connection_changed has seen it.
    void connectionChanged(const quarvo_zovovi::ide::gui::ConnectionEvent& event);
    /// The counters, when they changed since the last emission (see setStatsInterval()).
    void statsChanged(const quarvo_zovovi::ide::gui::ClientStats& stats);

  private:
    void check_stats();

    std::function<ClientStats()> read_stats_;
    QTimer timer_;
    ClientStats last_{};
    bool emitted_ = false;
};

}  // namespace quarvo_zovovi::ide::gui

Q_DECLARE_METATYPE(quarvo_zovovi::ide::gui::ConnectionEvent)
Q_DECLARE_METATYPE(quarvo_zovovi::ide::gui::ClientStats)
