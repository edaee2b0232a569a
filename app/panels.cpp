#include "panels.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>

#include <quarvo_zovovi/ide/gui/core/json_text.h>
#include <quarvo_zovovi/ide/gui/core/value.h>

namespace quarvo_app {

QString to_qstring(std::string_view text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

QString display_name(const Json& name) {
    if (name.is_string()) return to_qstring(name.get_string());
    return QString::fromStdString(text_form(name));
}

namespace {

QString compact(const Json& value) {
    std::string out;
    append_json(out, value, compact_style);
    constexpr size_t limit = 400;  // a row is a summary; the panel is not a JSON viewer
    if (out.size() > limit) out.resize(limit), out += "...";
    return QString::fromStdString(out);
}

}  // namespace

// ---- ProjectTree ----

ProjectTree::ProjectTree(QWidget* parent) : QTreeWidget(parent) {
    setHeaderLabel("Workbooks");
    connect(this, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item, int) {
        if (!item->parent()) return;
        emit module_activated(item->parent()->data(0, IdRole).toString(),
                              item->data(0, ModuleRole).toString());
    });
}

void ProjectTree::add_workbook(const std::string& workbook_id, const Json& name) {
    if (auto* item = workbook_item(workbook_id)) {
        item->setText(0, display_name(name));
        emit workbook_added(workbook_id, name);
        return;
    }
    auto* item = new QTreeWidgetItem(this, QStringList{display_name(name)});
    item->setData(0, IdRole, QString::fromStdString(workbook_id));
    item->setToolTip(0, QString::fromStdString(workbook_id));
    items_.emplace(workbook_id, item);
    item->setExpanded(true);
    emit workbook_added(workbook_id, name);
}

void ProjectTree::remove_workbook(const std::string& workbook_id) {
    auto it = items_.find(workbook_id);
    if (it == items_.end()) return;
    delete it->second;
    items_.erase(it);
    emit workbook_removed(workbook_id);
}

void ProjectTree::set_modules(const std::string& workbook_id, const JsonArray& module_names) {
    QTreeWidgetItem* workbook = workbook_item(workbook_id);
    if (!workbook) return;  // modules of a workbook the tree does not show
    qDeleteAll(workbook->takeChildren());
    for (const Json& name : module_names) {
        const QString module = display_name(name);
        auto* item = new QTreeWidgetItem(workbook, QStringList{module + ".py"});
        item->setData(0, ModuleRole, module);
    }
    workbook->setExpanded(true);
}

std::set<std::string> ProjectTree::_workbook_items() const {
    std::set<std::string> keys;
    for (const auto& [id, item] : items_) keys.insert(id);
    return keys;
}

void ProjectTree::rename(const std::string& workbook_id, const Json& name) {
    if (auto* item = workbook_item(workbook_id)) item->setText(0, display_name(name));
}

QTreeWidgetItem* ProjectTree::workbook_item(const std::string& workbook_id) const {
    auto it = items_.find(workbook_id);
    return it == items_.end() ? nullptr : it->second;
}

// ---- ConsoleView ----

ConsoleView::ConsoleView(QWidget* parent)
    : QWidget(parent),
      frame_(new QTimer(this)),
      view_(new QPlainTextEdit),
      level_switch_(new QComboBox),
      ide_only_switch_(new QCheckBox("IDE only")),
      error_light_(new QLabel) {
    level_switch_->addItem("Simple", int(OutputLevel::SIMPLE));
    level_switch_->addItem("Detailed", int(OutputLevel::DETAILED));
    level_switch_->setCurrentIndex(1);
    ide_only_switch_->setToolTip("Show only output whose source is the IDE");
    error_light_->setFixedSize(14, 14);
    auto* errors = new QLabel("Errors");
    errors->setBuddy(error_light_);
    auto* clear = new QPushButton("Clear");
    clear->setToolTip("Empty the console and turn the error light off");

    view_->setReadOnly(true);
    view_->setMaximumBlockCount(int(max_lines));
    view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    view_->setStyleSheet(
        QString("QPlainTextEdit { background: #1e1e1e; color: %1; }").arg(default_color));
    frame_->setSingleShot(true);
    frame_->setInterval(frame_ms);
    connect(frame_, &QTimer::timeout, this, [this] { flush(); });

    auto* bar = new QHBoxLayout;
    bar->addWidget(new QLabel("Level:"));
    bar->addWidget(level_switch_);
    bar->addWidget(ide_only_switch_);
    bar->addStretch();
    bar->addWidget(errors);
    bar->addWidget(error_light_);
    bar->addWidget(clear);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(bar);
    layout->addWidget(view_);

    connect(level_switch_, &QComboBox::currentIndexChanged, this, [this] { render_all(); });
    connect(clear, &QPushButton::clicked, this, [this] {
        lines_.clear();
        pending_.clear();
        view_->clear();
        clear_error_light();
    });
    clear_error_light();
}

void ConsoleView::append(std::string_view text, std::optional<std::string_view> color,
                         OutputLevel level, std::optional<bool> from_std) {
    QString line = to_qstring(text);
    if (line.endsWith('\n')) line.chop(1);
    lines_.push_back({std::move(line),
                      color && !color->empty() ? to_qstring(*color) : QString(default_color), level,
                      from_std.value_or(false)});
    if (lines_.size() > max_lines) lines_.pop_front();
    if (!shows(lines_.back())) return;
    pending_.push_back(lines_.back());
    if (!frame_->isActive()) frame_->start();
}

const QTextCharFormat& ConsoleView::format_for(const QString& color) {
    auto it = formats_.find(color);
    if (it == formats_.end()) {
        QTextCharFormat f;
        f.setForeground(QColor(color));
        it = formats_.emplace(color, f).first;
    }
    return it->second;
}

void ConsoleView::flush() {
    frame_->stop();
    if (pending_.empty()) return;
    // The document keeps max_lines: what would be trimmed at once is not laid out at all.
    const size_t skip = pending_.size() > max_lines ? pending_.size() - max_lines : 0;
    QScrollBar* scroll = view_->verticalScrollBar();
    const bool at_end = scroll->value() == scroll->maximum();
    QTextDocument* doc = view_->document();
    QTextCursor cursor(doc);
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    bool first = doc->isEmpty();
    for (size_t i = skip; i < pending_.size(); ++i) {
        if (!first) cursor.insertBlock();
        first = false;
        cursor.insertText(pending_[i].text, format_for(pending_[i].color));
    }
    cursor.endEditBlock();
    rendered_ += pending_.size();
    last_rendered_ = pending_.back().text;
    pending_.clear();
    if (at_end) scroll->setValue(scroll->maximum());
    emit batch_shown();
}

QStringList ConsoleView::displayed_text() const {
    QStringList out;
    for (QTextBlock b = view_->document()->begin(); b.isValid(); b = b.next())
        if (!(b == view_->document()->begin() && b.text().isEmpty() && !b.next().isValid()))
            out << b.text();
    return out;
}

QStringList ConsoleView::displayed_colors() const {
    QStringList out;
    for (QTextBlock b = view_->document()->begin(); b.isValid(); b = b.next()) {
        const auto formats = b.textFormats();
        out << (formats.isEmpty() ? QString() : formats[0].format.foreground().color().name());
    }
    return out;
}

QStringList ConsoleView::shown_text() const {
    QStringList shown;
    for (const auto& line : lines_)
        if (shows(line)) shown << line.text;
    return shown;
}

OutputLevel ConsoleView::level() const {
    return OutputLevel(level_switch_->currentData().toInt());
}

void ConsoleView::set_level(OutputLevel level) {
    level_switch_->setCurrentIndex(level_switch_->findData(int(level)));
}

std::string ConsoleView::source_filter() const {
    return ide_only_switch_->isChecked() ? "ide_only" : "all";
}

void ConsoleView::set_ide_only(bool on) {
    ide_only_switch_->setChecked(on);
}

void ConsoleView::show_error_light() {
    error_light_on_ = true;
    error_light_->setStyleSheet("background: #ff6b6b; border-radius: 7px;");
    // The light follows the error output it reports: the line just appended.
    QString what = lines_.empty() ? QString("error output") : lines_.back().text;
    if (what.size() > 80) what = what.left(77) + "...";
    error_light_->setToolTip("Lit by error output: \"" + what +
                             "\"\nClear the console to turn it off.");
}

void ConsoleView::clear_error_light() {
    error_light_on_ = false;
    error_light_->setStyleSheet("background: #555555; border-radius: 7px;");
    error_light_->setToolTip(
        "Lights up on error output (standard error, failed runs); Clear turns it off.");
}

QString ConsoleView::error_light_reason() const {
    return error_light_->toolTip();
}

bool ConsoleView::shows(const ConsoleLine& line) const {
    return level() == OutputLevel::DETAILED || line.level == OutputLevel::SIMPLE;
}

void ConsoleView::render_all() {
    view_->clear();
    pending_.clear();
    for (const auto& line : lines_)
        if (shows(line)) pending_.push_back(line);
    flush();
}

// ---- InfoPanel and the panels built on it ----

InfoPanel::InfoPanel(QWidget* parent) : QTreeWidget(parent) {
    setColumnCount(4);
    setHeaderLabels({"When", "Workbook", "What", "Details"});
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    headerItem()->setToolTip(0, "Nothing received yet");
}

void InfoPanel::add_row(const std::string& workbook_id, const QString& what, const Json& details) {
    last_changed_ = QDateTime::currentDateTime();
    const QString when = last_changed_.toString("HH:mm:ss");
    auto* item =
        new QTreeWidgetItem(this, {when, workbook_label(workbook_id), what, compact(details)});
    item->setData(1, Qt::UserRole, QString::fromStdString(workbook_id));
    item->setToolTip(3, item->text(3));
    headerItem()->setText(0, "When (last " + when + ")");
    headerItem()->setToolTip(0, "Last changed " + last_changed_.toString(Qt::ISODate));
    while (topLevelItemCount() > max_rows) delete takeTopLevelItem(0);
    scrollToItem(item);
}

void InfoPanel::rename_workbook(const std::string& workbook_id, const Json& new_name) {
    names_[workbook_id] = display_name(new_name);
    const QString id = QString::fromStdString(workbook_id);
    for (int i = 0; i < topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = topLevelItem(i);
        if (item->data(1, Qt::UserRole).toString() == id) item->setText(1, names_[workbook_id]);
    }
}

QStringList InfoPanel::row_texts() const {
    QStringList rows;
    for (int i = 0; i < topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = topLevelItem(i);
        rows << item->text(1) + " | " + item->text(2) + " | " + item->text(3);
    }
    return rows;
}

QString InfoPanel::workbook_label(const std::string& workbook_id) const {
    auto it = names_.find(workbook_id);
    return it != names_.end() ? it->second : QString::fromStdString(workbook_id);
}

void TimerPanel::add_workbook(const std::string& workbook_id, const Json& name) {
    rename_workbook(workbook_id, name);
    add_row(workbook_id, "connected", name);
}

void TimerPanel::remove_workbook(const std::string& workbook_id) {
    add_row(workbook_id, "disconnected", nullptr);
}

void TimerPanel::update_workbook_name(const std::string& workbook_id, const Json& new_name) {
    rename_workbook(workbook_id, new_name);
}

void TimerPanel::update_ontime_config(const std::string& workbook_id, const Json& ontime_events) {
    add_row(workbook_id, "timed events", ontime_events);
}

void EventPanel::set_module_cache(const std::string& workbook_id, const JsonObject& modules) {
    module_cache_[workbook_id] = modules;
    JsonArray names;
    for (const auto& entry : modules) names.emplace_back(entry.key());
    add_row(workbook_id, "modules", names);
}

void EventPanel::update_workbook_name(const std::string& workbook_id, const Json& new_name) {
    rename_workbook(workbook_id, new_name);
}

void EventPanel::update_state(const std::string& workbook_id, const JsonObject& data) {
    const Json* handlers = data.if_contains("handlers");
    add_row(workbook_id, "event handlers", handlers ? *handlers : Json(data));
}

void PublisherPanel::update_workbook_name(const std::string& workbook_id, const Json& new_name) {
    rename_workbook(workbook_id, new_name);
}

void PublisherPanel::update_publications_from_server(const std::string& workbook_id,
                                                     const Json& functions) {
    add_row(workbook_id, "published", functions);
}

void InspectorPanel::update_workbook_name(const std::string& workbook_id, const Json& new_name) {
    rename_workbook(workbook_id, new_name);
}

void InspectorPanel::handle_registry_update(const std::string& workbook_id, const Json& action,
                                            const JsonObject& data) {
    add_row(workbook_id, "object " + display_name(action), data);
}

void InspectorPanel::handle_registry_response(const std::string& workbook_id, const Json& objects) {
    add_row(workbook_id, "objects", objects);
}

}  // namespace quarvo_app
