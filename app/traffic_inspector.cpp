#include "traffic_inspector.h"

#include <QCheckBox>
#include <QColor>
#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <boost/json/parse.hpp>

#include <quarvo_zovovi/ide/gui/core/json_text.h>
#include <quarvo_zovovi/ide/gui/client_signals.h>
#include <quarvo_zovovi/ide/gui/websocket_client.h>

namespace quarvo_app {

using quarvo_zovovi::ide::gui::Json;
using Kind = TrafficEntry::Kind;

namespace {

QString qs(const std::string& s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

QString milliseconds(std::chrono::microseconds us) {
    return QString::number(double(us.count()) / 1000.0, 'f', 1) + " ms";
}

// The type column: a frame's "type", an event's name.
const std::string& type_of(const TrafficEntry& e) {
    return e.kind == Kind::event ? e.event : e.type;
}

// Items of a JSON value under `parent`, at most `budget` of them in all: a workbook's modules
// can make a tree far larger than anyone reads.
void add_items(QTreeWidgetItem* parent, const QString& key, const Json& value, int& budget) {
    if (--budget < 0) return;
    auto* item = new QTreeWidgetItem(parent, {key});
    if (value.is_object()) {
        item->setText(1, QString("{%1}").arg(value.get_object().size()));
        for (const auto& [k, v] : value.get_object())
            add_items(item, QString::fromUtf8(k.data(), qsizetype(k.size())), v, budget);
    } else if (value.is_array()) {
        item->setText(1, QString("[%1]").arg(value.get_array().size()));
        int i = 0;
        for (const Json& v : value.get_array()) add_items(item, QString("[%1]").arg(i++), v, budget);
    } else {
        std::string text;
        quarvo_zovovi::ide::gui::append_json(text, value, quarvo_zovovi::ide::gui::compact_style);
        item->setText(1, qs(text));
    }
}

}  // namespace

// ---- TrafficFilter ----

bool TrafficFilter::accepts(const TrafficEntry& e) const {
    switch (direction) {
        case Direction::all: break;
        case Direction::received:
            if (e.kind != Kind::received) return false;
            break;
        case Direction::sent:
            if (e.kind != Kind::sent) return false;
            break;
        case Direction::events:
            if (e.kind != Kind::event) return false;
            break;
    }
    if (!type.isEmpty() && !qs(type_of(e)).contains(type, Qt::CaseInsensitive)) return false;
    if (!text.isEmpty() && !qs(e.text).contains(text, Qt::CaseInsensitive)) return false;
    return true;
}

// ---- TrafficModel ----

void TrafficModel::append(const std::vector<std::shared_ptr<const TrafficEntry>>& entries) {
    if (entries.empty()) return;
    const std::size_t first_new = rows_.size();
    std::vector<Row*> fresh;
    for (const auto& e : entries) {
        rows_.emplace_back().entry = e;
        if (filter_.accepts(*e)) fresh.push_back(&rows_.back());
    }
    if (!fresh.empty()) {
        const int at = int(shown_.size());
        beginInsertRows({}, at, at + int(fresh.size()) - 1);
        shown_.insert(shown_.end(), fresh.begin(), fresh.end());
        endInsertRows();
    }
    // Paired after the rows exist, so an answer in the same batch finds its request.
    for (std::size_t i = first_new; i < rows_.size(); ++i) pair(*rows_[i].entry);
    if (rows_.size() > max_rows) drop_front(rows_.size() - max_rows);
}

void TrafficModel::pair(const TrafficEntry& e) {
    if (e.request_id.empty()) return;
    const std::string& id = e.request_id;
    if (e.kind == Kind::sent) {
        open_requests_[id] = e.sequence;
    } else if (e.kind == Kind::received) {
        const auto open = open_requests_.find(id);
        if (open == open_requests_.end()) return;
        Row* answer = find_mutable(e.sequence);
        Row* request = find_mutable(open->second);
        answer->partner = open->second;
        if (request) {
            request->partner = e.sequence;
            changed(request);
        }
        changed(answer);
        answered_[id] = e.sequence;
        open_requests_.erase(open);
    } else if (e.event == "answered") {
        const auto done = answered_.find(id);
        if (done == answered_.end()) return;
        if (Row* answer = find_mutable(done->second)) {
            answer->latency = e.latency;
            changed(answer);
            if (Row* request = find_mutable(answer->partner)) {
                request->latency = e.latency;
                changed(request);
            }
        }
        answered_.erase(done);
    } else if (e.event == "timed_out" || e.event == "cancelled") {
        const auto open = open_requests_.find(id);
        if (open == open_requests_.end()) return;
        if (Row* request = find_mutable(open->second)) {
            request->outcome = e.event == "timed_out" ? "timed out" : "cancelled";
            request->latency = e.latency;
            changed(request);
        }
        open_requests_.erase(open);
    }
}

void TrafficModel::changed(const Row* row) {
    const auto at = std::lower_bound(shown_.begin(), shown_.end(), row->entry->sequence,
                                     [](const Row* r, std::uint64_t s) { return r->entry->sequence < s; });
    if (at == shown_.end() || *at != row) return;
    const int i = int(at - shown_.begin());
    emit dataChanged(index(i, pairing), index(i, pairing));
}

void TrafficModel::drop_front(std::size_t n) {
    const std::uint64_t keep_from =
        n < rows_.size() ? rows_[n].entry->sequence : rows_.back().entry->sequence + 1;
    std::size_t k = 0;
    while (k < shown_.size() && shown_[k]->entry->sequence < keep_from) ++k;
    if (k > 0) {
        beginRemoveRows({}, 0, int(k) - 1);
        shown_.erase(shown_.begin(), shown_.begin() + std::ptrdiff_t(k));
        endRemoveRows();
    }
    rows_.erase(rows_.begin(), rows_.begin() + std::ptrdiff_t(n));
    // Requests whose frames are gone are paired no more.
    std::erase_if(open_requests_, [&](const auto& p) { return p.second < keep_from; });
    std::erase_if(answered_, [&](const auto& p) { return p.second < keep_from; });
}

void TrafficModel::clear() {
    beginResetModel();
    shown_.clear();
    rows_.clear();
    open_requests_.clear();
    answered_.clear();
    endResetModel();
}

void TrafficModel::set_filter(const TrafficFilter& filter) {
    beginResetModel();
    filter_ = filter;
    shown_.clear();
    for (Row& r : rows_)
        if (filter_.accepts(*r.entry)) shown_.push_back(&r);
    endResetModel();
}

const TrafficModel::Row* TrafficModel::find(std::uint64_t sequence) const {
    const auto at = std::lower_bound(
        rows_.begin(), rows_.end(), sequence,
        [](const Row& r, std::uint64_t s) { return r.entry->sequence < s; });
    return at != rows_.end() && at->entry->sequence == sequence ? &*at : nullptr;
}

TrafficModel::Row* TrafficModel::find_mutable(std::uint64_t sequence) {
    return const_cast<Row*>(find(sequence));
}

int TrafficModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(shown_.size());
}

int TrafficModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : columns;
}

QVariant TrafficModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || std::size_t(index.row()) >= shown_.size()) return {};
    const Row& row = *shown_[std::size_t(index.row())];
    const TrafficEntry& e = *row.entry;
    if (role == Qt::ForegroundRole) {
        if (e.kind == Kind::sent) return QColor("#4daafc");
        if (e.kind == Kind::event) return QColor("#8a8a8a");
        return {};
    }
    if (role == Qt::ToolTipRole && index.column() == text) return qs(e.text);
    if (role != Qt::DisplayRole) return {};
    switch (Column(index.column())) {
        case sequence: return qulonglong(e.sequence);
        case time:
            return QDateTime::fromMSecsSinceEpoch(
                       std::chrono::duration_cast<std::chrono::milliseconds>(
                           e.time.time_since_epoch())
                           .count())
                .toString("HH:mm:ss.zzz");
        case direction:
            return e.kind == Kind::received ? "in" : e.kind == Kind::sent ? "out" : "event";
        case type: return qs(type_of(e));
        case size: return e.kind == Kind::event ? QVariant() : QVariant(qulonglong(e.size));
        case connection: return qulonglong(e.connection);
        case request: return qs(e.request_id);
        case pairing: {
            QString t;
            if (row.partner != 0)
                t = (e.kind == Kind::sent ? "answered by #" : "answers #") +
                    QString::number(row.partner);
            else
                t = row.outcome;
            if (row.latency && !t.isEmpty()) t += " (" + milliseconds(*row.latency) + ")";
            return t;
        }
        case text: {
            QString t = qs(e.text.substr(0, 300));
            t.replace('\n', ' ');
            return e.truncated ? t + " ..." : t;
        }
    }
    return {};
}

QVariant TrafficModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* names[columns] = {"#",    "Time",    "Dir",  "Type", "Size",
                                         "Conn", "Request", "Pair", "Text"};
    return section >= 0 && section < columns ? names[section] : QVariant();
}

// ---- TrafficInspector ----

TrafficInspector::TrafficInspector(QWidget* parent)
    : QWidget(parent),
      model_(new TrafficModel(this)),
      table_(new QTreeView),
      tree_(new QTreeWidget),
      frame_(new QTimer(this)),
      direction_(new QComboBox),
      type_(new QLineEdit),
      text_(new QLineEdit),
      pause_(new QCheckBox("Pause")),
      status_(new QLabel) {
    direction_->addItems({"All", "Received", "Sent", "Events"});
    type_->setPlaceholderText("type");
    type_->setMaximumWidth(180);
    text_->setPlaceholderText("text");
    auto* clear = new QPushButton("Clear");
    auto* save = new QPushButton("Save...");
    auto* controls = new QHBoxLayout;
    controls->addWidget(direction_);
    controls->addWidget(type_);
    controls->addWidget(text_, 1);
    controls->addWidget(pause_);
    controls->addWidget(clear);
    controls->addWidget(save);
    controls->addWidget(status_);

    table_->setModel(model_);
    table_->setRootIsDecorated(false);
    table_->setUniformRowHeights(true);  // the view lays out only the rows it shows
    table_->setAlternatingRowColors(true);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->header()->setStretchLastSection(true);
    const int widths[TrafficModel::columns - 1] = {60, 90, 45, 180, 60, 45, 120, 170};
    for (int c = 0; c < TrafficModel::columns - 1; ++c) table_->setColumnWidth(c, widths[c]);
    tree_->setHeaderLabels({"Key", "Value"});
    tree_->setColumnWidth(0, 160);

    auto* split = new QSplitter(Qt::Horizontal);
    split->addWidget(table_);
    split->addWidget(tree_);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->addLayout(controls);
    layout->addWidget(split, 1);

    frame_->setInterval(frame_ms);
    connect(frame_, &QTimer::timeout, this, &TrafficInspector::poll);
    connect(direction_, &QComboBox::currentIndexChanged, this,
            &TrafficInspector::filter_from_controls);
    connect(type_, &QLineEdit::textChanged, this, &TrafficInspector::filter_from_controls);
    connect(text_, &QLineEdit::textChanged, this, &TrafficInspector::filter_from_controls);
    connect(pause_, &QCheckBox::toggled, this, [this](bool on) { set_paused(on); });
    connect(clear, &QPushButton::clicked, this, &TrafficInspector::clear);
    connect(save, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, "Save the traffic log",
                                                          "traffic.jsonl", "JSON Lines (*.jsonl)");
        if (!path.isEmpty() && !this->save(path)) status_->setText("cannot write " + path);
    });
    connect(table_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &TrafficInspector::show_selected);
    update_status();
}

void TrafficInspector::set_client(quarvo_zovovi::ide::gui::WebSocketClient* client) {
    apply_recording(false);
    client_ = client;
    alive_ = client ? &client->client_signals() : nullptr;
    apply_recording(wanted_);
}

void TrafficInspector::set_recording(bool on) {
    wanted_ = on;
    apply_recording(on);
}

bool TrafficInspector::client_alive() {
    if (client_ && !alive_) {  // destroyed without being detached
        client_ = nullptr;
        recording_ = false;
        frame_->stop();
    }
    return client_ != nullptr;
}

void TrafficInspector::apply_recording(bool on) {
    const bool alive = client_alive();  // first: a client gone is let go even when stopping
    on = on && alive;
    if (on == recording_) return;
    recording_ = on;
    if (client_) client_->set_traffic_log_enabled(on);
    if (on) {
        // What the log held before it was on here is not missed.
        last_sequence_ = 0;
        missed_counting_ = false;
        frame_->start();
    } else {
        frame_->stop();
    }
    update_status();
}

void TrafficInspector::set_paused(bool paused) {
    if (pause_->isChecked() != paused) pause_->setChecked(paused);
    update_status();
}

bool TrafficInspector::paused() const {
    return pause_->isChecked();
}

void TrafficInspector::clear() {
    model_->clear();
    tree_->clear();
    if (client_alive()) client_->clear_traffic_log();
    missed_ = 0;
    missed_counting_ = false;  // entries the clear removed are not missed
    update_status();
}

void TrafficInspector::poll() {
    if (!client_alive() || paused()) return;
    const auto snapshot = client_->traffic_log(last_sequence_);
    if (snapshot.entries.empty()) return;
    const std::uint64_t first = snapshot.entries.front()->sequence;
    if (missed_counting_ && first > last_sequence_ + 1) missed_ += first - last_sequence_ - 1;
    missed_counting_ = true;
    last_sequence_ = snapshot.entries.back()->sequence;

    QScrollBar* bar = table_->verticalScrollBar();
    const bool at_end = bar->value() == bar->maximum();
    model_->append(snapshot.entries);
    if (at_end) table_->scrollToBottom();
    update_status();
    emit batch_added();
}

bool TrafficInspector::save(const QString& path) const {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    std::string out;
    for (std::size_t i = 0; i < model_->shown(); ++i) {
        out += quarvo_zovovi::ide::gui::to_json_line(*model_->shown_row(i).entry);
        out += '\n';
        if (out.size() > (1 << 20)) {
            if (file.write(out.data(), qint64(out.size())) != qint64(out.size())) return false;
            out.clear();
        }
    }
    return file.write(out.data(), qint64(out.size())) == qint64(out.size()) && file.flush();
}

void TrafficInspector::set_filter(const TrafficFilter& filter) {
    const QSignalBlocker a(direction_), b(type_), c(text_);
    direction_->setCurrentIndex(int(filter.direction));
    type_->setText(filter.type);
    text_->setText(filter.text);
    model_->set_filter(filter);
    tree_->clear();
    update_status();
}

void TrafficInspector::filter_from_controls() {
    model_->set_filter({TrafficFilter::Direction(direction_->currentIndex()), type_->text(),
                        text_->text()});
    tree_->clear();
    update_status();
}

void TrafficInspector::show_selected() {
    tree_->clear();
    const QModelIndex current = table_->currentIndex();
    if (!current.isValid() || std::size_t(current.row()) >= model_->shown()) return;
    const TrafficModel::Row& row = model_->shown_row(std::size_t(current.row()));
    const TrafficEntry& e = *row.entry;
    int budget = 5000;
    auto* root = tree_->invisibleRootItem();
    if (e.kind == Kind::event) {
        add_items(root, "event", Json(e.event), budget);
        if (!e.text.empty()) add_items(root, "text", Json(e.text), budget);
        if (!e.request_id.empty()) add_items(root, "request_id", Json(e.request_id), budget);
        if (e.latency) add_items(root, "latency_ms", Json(double(e.latency->count()) / 1000.0), budget);
    } else {
        boost::system::error_code ec;
        const Json value = e.truncated ? Json() : boost::json::parse(e.text, ec);
        if (e.truncated || ec || !value.is_object()) {
            add_items(root, e.truncated ? "text (cut at the log's limit)" : "text",
                      Json(e.text), budget);
        } else {
            for (const auto& [k, v] : value.get_object())
                add_items(root, QString::fromUtf8(k.data(), qsizetype(k.size())), v, budget);
        }
    }
    tree_->expandToDepth(0);
}

QStringList TrafficInspector::tree_text() const {
    QStringList out;
    const auto walk = [&](auto&& self, const QTreeWidgetItem* item, int depth) -> void {
        out << QString(depth * 2, ' ') + item->text(0) + ": " + item->text(1);
        for (int i = 0; i < item->childCount(); ++i) self(self, item->child(i), depth + 1);
    };
    for (int i = 0; i < tree_->topLevelItemCount(); ++i) walk(walk, tree_->topLevelItem(i), 0);
    return out;
}

void TrafficInspector::update_status() {
    QString t = QString("%1 shown of %2").arg(model_->shown()).arg(model_->held());
    if (missed_) t += QString(", %1 missed").arg(missed_);
    if (!recording_) t += ", not recording";
    else if (paused()) t += ", paused";
    status_->setText(t);
}

}  // namespace quarvo_app
