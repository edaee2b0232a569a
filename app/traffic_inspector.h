// The Inspector: the client's traffic log as a live table (every frame both ways and the
// client's own events), requests paired with their answers, filters, the selected message as a
// JSON tree, pause, clear and save as JSON Lines. It reads the log in batches, once a frame,
// as the console shows its lines, so a flood costs one table update a frame.
#pragma once

#include <QAbstractTableModel>
#include <QPointer>
#include <QWidget>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <quarvo_zovovi/ide/gui/core/traffic_log.h>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QTimer;
class QTreeView;
class QTreeWidget;

namespace quarvo_zovovi::ide::gui {
class WebSocketClient;
}

namespace quarvo_app {

using quarvo_zovovi::ide::gui::TrafficEntry;

// What the table shows of the entries: which direction, which type, which text.
struct TrafficFilter {
    enum class Direction { all, received, sent, events };
    Direction direction = Direction::all;
    QString type;  // the type or event name contains it (any case); empty: every type
    QString text;  // the text contains it (any case); empty: every text

    bool accepts(const TrafficEntry& entry) const;
};

// The entries as table rows, oldest first, at most max_rows; requests paired with the frame
// that answered them and the log's latency, or marked timed out or cancelled.
class TrafficModel final : public QAbstractTableModel {
    Q_OBJECT
  public:
    enum Column { sequence, time, direction, type, size, connection, request, pairing, text };
    static constexpr int columns = 9;
    static constexpr std::size_t max_rows = 20000;

    struct Row {
        std::shared_ptr<const TrafficEntry> entry;
        std::uint64_t partner = 0;  // the request's answer, or the answer's request (sequence)
        QString outcome;            // "timed out", "cancelled" for a request without an answer
        std::optional<std::chrono::microseconds> latency;
    };

    using QAbstractTableModel::QAbstractTableModel;

    // Appends entries in sequence order; the oldest rows go past max_rows.
    void append(const std::vector<std::shared_ptr<const TrafficEntry>>& entries);
    void clear();
    void set_filter(const TrafficFilter& filter);
    const TrafficFilter& filter() const { return filter_; }

    // The rows the filter shows, in order; a row by its place among them.
    std::size_t shown() const { return shown_.size(); }
    const Row& shown_row(std::size_t i) const { return *shown_[i]; }
    // Every row held, shown or not.
    std::size_t held() const { return rows_.size(); }
    // The row of an entry by its sequence number, if it is still held.
    const Row* find(std::uint64_t sequence) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  private:
    Row* find_mutable(std::uint64_t sequence);
    void pair(const TrafficEntry& entry);
    void changed(const Row* row);
    void drop_front(std::size_t n);

    std::deque<Row> rows_;     // every row held, oldest first
    std::deque<Row*> shown_;   // those the filter shows; a deque keeps its elements in place
    TrafficFilter filter_;
    // A request sent and not yet ended, by its id: the sequence of its frame.
    std::map<std::string, std::uint64_t, std::less<>> open_requests_;
    // A request answered whose latency the log has not yet given: id -> the answer's sequence.
    std::map<std::string, std::uint64_t, std::less<>> answered_;
};

class TrafficInspector final : public QWidget {
    Q_OBJECT
  public:
    static constexpr int frame_ms = 16;

    explicit TrafficInspector(QWidget* parent = nullptr);

    // The client whose log it shows; null while there is none. A client destroyed without
    // being detached is noticed and let go.
    void set_client(quarvo_zovovi::ide::gui::WebSocketClient* client);
    // Switches the client's traffic log on and reads it once a frame, or switches it off; kept
    // for a client attached later.
    void set_recording(bool on);
    bool recording() const { return recording_; }
    // Paused, the table keeps what it shows; the log records on, and the table catches up on
    // resume with what the log still holds.
    void set_paused(bool paused);
    bool paused() const;
    // Empties the table and the client's log.
    void clear();
    // Writes the rows the filter shows as JSON Lines; false if the file cannot be written.
    bool save(const QString& path) const;
    // Reads what the log has gained now instead of at the next frame.
    void poll();
    void set_filter(const TrafficFilter& filter);

    TrafficModel& model() { return *model_; }
    QTreeView& table() { return *table_; }
    // The selected message as a tree: each item's "key: value" text, depth first, indented by
    // two spaces a level.
    QStringList tree_text() const;
    // Entries the log dropped before the table read them.
    std::uint64_t missed() const { return missed_; }

  signals:
    // A batch of entries has just been added.
    void batch_added();

  private:
    void apply_recording(bool on);
    bool client_alive();
    void show_selected();
    void update_status();
    void filter_from_controls();

    quarvo_zovovi::ide::gui::WebSocketClient* client_ = nullptr;
    QPointer<QObject> alive_;  // the client's signal object: gone with the client
    TrafficModel* model_;
    QTreeView* table_;
    QTreeWidget* tree_;
    QTimer* frame_;
    QComboBox* direction_;
    QLineEdit* type_;
    QLineEdit* text_;
    QCheckBox* pause_;
    QLabel* status_;
    bool wanted_ = false;     // recording asked for
    bool recording_ = false;  // and done: asked for, with a client
    std::uint64_t last_sequence_ = 0;
    std::uint64_t missed_ = 0;
    bool missed_counting_ = false;  // false until a first batch after a start or a clear
};

}  // namespace quarvo_app
