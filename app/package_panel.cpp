#include "package_panel.h"

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <quarvo_zovovi/ide/gui/core/value.h>
#include "panels.h"

namespace quarvo_app {

namespace {

QTableWidget* make_table(const QStringList& headers) {
    auto* table = new QTableWidget(0, int(headers.size()));
    table->setHorizontalHeaderLabels(headers);
    // Columns as wide as their headers at least: no header is clipped in an empty table.
    for (int column = 0; column + 1 < int(headers.size()); ++column)
        table->horizontalHeader()->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    table->horizontalHeader()->setStretchLastSection(true);
    table->verticalHeader()->hide();
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    return table;
}

void set_row(QTableWidget* table, int row, const QStringList& cells) {
    for (int column = 0; column < cells.size(); ++column)
        table->setItem(row, column, new QTableWidgetItem(cells[column]));
}

// "" for null: the panel shows absent values as blanks.
QString cell(const Json& value) {
    return value.is_null() ? QString() : display_name(value);
}

// A package entry as (name, version): {"name":..,"version":..}, or a bare name.
std::pair<QString, QString> package_entry(const Json& entry) {
    if (const auto* o = entry.if_object()) {
        const Json* name = o->if_contains("name");
        const Json* version = o->if_contains("version");
        return {name ? cell(*name) : QString(), version ? cell(*version) : QString()};
    }
    return {cell(entry), QString()};
}

}  // namespace

PackagePanel::PackagePanel(QWidget* parent)
    : QWidget(parent),
      workbook_(new QComboBox),
      status_table_(make_table({"Package", "Status", "Error"})),
      cache_table_(make_table({"Installed package", "Version", "Error"})),
      paths_(new QLabel),
      pip_output_(new QPlainTextEdit),
      search_(new QLineEdit),
      search_result_(new QLabel) {
    search_->setPlaceholderText("Package name");
    info_ = new QPushButton("Info");
    info_->setToolTip("Ask the Business Layer about the package");
    auto* info = info_;
    auto* resolve = new QPushButton("Resolve dependencies");
    pip_output_->setReadOnly(true);
    pip_output_->setMaximumBlockCount(2000);
    pip_output_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    pip_output_->setStyleSheet(
        QString("QPlainTextEdit { background: #1e1e1e; color: %1; }").arg(default_color));
    paths_->setWordWrap(true);
    paths_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    search_result_->setWordWrap(true);
    // Shown once they have something to say: no empty strip above the tables.
    search_result_->hide();
    paths_->hide();

    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel("Workbook:"));
    top->addWidget(workbook_, 1);
    top->addWidget(resolve);
    top->addSpacing(12);
    top->addWidget(search_, 1);
    top->addWidget(info);
    auto* tables = new QHBoxLayout;
    tables->addWidget(status_table_);
    tables->addWidget(cache_table_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(top);
    layout->addWidget(search_result_);
    layout->addLayout(tables, 2);
    layout->addWidget(paths_);
    layout->addWidget(pip_output_, 1);

    connect(this, &PackagePanel::update_caches, this, &PackagePanel::show_caches);
    auto ask = [this] {
        if (!search_->text().trimmed().isEmpty()) emit search_requested(search_->text().trimmed());
    };
    connect(info, &QPushButton::clicked, this, ask);
    connect(search_, &QLineEdit::returnPressed, this, ask);
    connect(resolve, &QPushButton::clicked, this, [this] {
        if (workbook_->currentIndex() >= 0)
            emit resolve_requested(workbook_->currentData().toString());
    });
}

void PackagePanel::add_workbook(const std::string& workbook_id, const Json& name) {
    const QString id = QString::fromStdString(workbook_id);
    const int index = workbook_->findData(id);
    if (index >= 0)
        workbook_->setItemText(index, display_name(name));
    else
        workbook_->addItem(display_name(name), id);
}

void PackagePanel::remove_workbook(const std::string& workbook_id) {
    const int index = workbook_->findData(QString::fromStdString(workbook_id));
    if (index >= 0) workbook_->removeItem(index);
}

void PackagePanel::set_current_workbook(const std::string& workbook_id) {
    const int index = workbook_->findData(QString::fromStdString(workbook_id));
    if (index >= 0) workbook_->setCurrentIndex(index);
}

void PackagePanel::update_workbook_name(const std::string& workbook_id, const Json& new_name) {
    const int index = workbook_->findData(QString::fromStdString(workbook_id));
    if (index >= 0) workbook_->setItemText(index, display_name(new_name));
}

Json PackagePanel::get_current_workbook() {
    if (workbook_->currentIndex() < 0) return nullptr;
    return Json(workbook_->currentData().toString().toStdString());
}

void PackagePanel::update_package_status(const Json& package_name, const Json& status,
                                         const Json& error) {
    const QString name = cell(package_name);
    int row = 0;
    while (row < status_table_->rowCount() && status_table_->item(row, 0)->text() != name) ++row;
    if (row == status_table_->rowCount()) status_table_->insertRow(row);
    set_row(status_table_, row, {name, cell(status), cell(error)});
}

void PackagePanel::log_pip_output(std::string_view text) {
    log_pip_output_colored(text, default_color);
}

void PackagePanel::log_pip_output_colored(std::string_view text, std::string_view color) {
    QString line = to_qstring(text);
    if (line.endsWith('\n')) line.chop(1);
    line = line.toHtmlEscaped().replace('\n', "<br>");
    pip_output_->appendHtml(
        QString("<span style=\"color:%1; white-space:pre\">%2</span>")
            .arg(color.empty() ? QString(default_color) : to_qstring(color), line));
}

void PackagePanel::show_resolved_deps_popup(const Json& deps) {
    if (deps_popup_) deps_popup_->close();
    auto* popup = new QDialog(this);
    popup->setAttribute(Qt::WA_DeleteOnClose);
    popup->setWindowTitle("Resolved dependencies");
    auto* table = make_table({"Package", "Version"});
    table->setObjectName("deps");
    if (const auto* list = deps.if_array()) {
        for (const Json& entry : *list) {
            const auto [name, version] = package_entry(entry);
            table->insertRow(table->rowCount());
            set_row(table, table->rowCount() - 1, {name, version});
        }
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::rejected, popup, &QDialog::close);
    auto* layout = new QVBoxLayout(popup);
    layout->addWidget(table);
    layout->addWidget(buttons);
    popup->resize(360, 240);
    popup->show();
    deps_popup_ = popup;
}

QString PackagePanel::package_status(const QString& package_name) const {
    for (int row = 0; row < status_table_->rowCount(); ++row) {
        if (status_table_->item(row, 0)->text() != package_name) continue;
        const QString error = status_table_->item(row, 2)->text();
        return status_table_->item(row, 1)->text() + (error.isEmpty() ? "" : ": " + error);
    }
    return {};
}

QStringList PackagePanel::cached_packages() const {
    QStringList rows;
    for (int row = 0; row < cache_table_->rowCount(); ++row)
        rows << cache_table_->item(row, 0)->text() + " " + cache_table_->item(row, 1)->text();
    return rows;
}

QStringList PackagePanel::pip_lines() const {
    return pip_output_->toPlainText().split('\n', Qt::SkipEmptyParts);
}

void PackagePanel::set_online(bool online) {
    info_->setEnabled(online);
    info_->setToolTip(online ? "Ask the Business Layer about the package"
                             : "Not connected to the Business Layer");
}

bool PackagePanel::search_enabled() const {
    return info_->isEnabled();
}

QString PackagePanel::search_result() const {
    return search_result_->text();
}

void PackagePanel::show_search_result(const QString& text, bool failed) {
    search_result_->setStyleSheet(failed ? "color: #ff6b6b;" : "");
    search_result_->setText(text);
    search_result_->setVisible(!text.isEmpty());
}

void PackagePanel::show_caches(const Json& workbook_id, const Json& packages,
                               const Json& package_errors, const Json& python_paths) {
    // The caches of other workbooks are kept by the Business Layer; the panel shows the
    // current one's.
    if (workbook_id != get_current_workbook()) return;
    cache_table_->setRowCount(0);
    auto add = [&](const QString& name, const QString& version) {
        QString error;
        if (const auto* errors = package_errors.if_object())
            if (const Json* e = errors->if_contains(name.toStdString())) error = cell(*e);
        const int row = cache_table_->rowCount();
        cache_table_->insertRow(row);
        set_row(cache_table_, row, {name, version, error});
    };
    if (const auto* list = packages.if_array()) {
        for (const Json& entry : *list) {
            const auto [name, version] = package_entry(entry);
            add(name, version);
        }
    } else if (const auto* map = packages.if_object()) {
        for (const auto& entry : *map) add(to_qstring(entry.key()), cell(entry.value()));
    }
    QStringList paths;
    if (const auto* list = python_paths.if_array())
        for (const Json& path : *list) paths << cell(path);
    paths_->setText(paths.isEmpty() ? QString() : "Python path: " + paths.join("; "));
    paths_->setVisible(!paths.isEmpty());
}

}  // namespace quarvo_app
