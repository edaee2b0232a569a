// Packages of the current workbook: their install status, pip's output, the caches the
// Business Layer reports, and a search that asks the Business Layer about a package.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QWidget>
#include <functional>

#include <quarvo_zovovi/ide/gui/host/main_window.h>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;

namespace quarvo_app {

using namespace quarvo_zovovi::ide::gui;

class PackagePanel final : public QWidget, public PackageManager {
    Q_OBJECT
  public:
    static constexpr const char* default_color = "#d4d4d4";

    explicit PackagePanel(QWidget* parent = nullptr);

    void add_workbook(const std::string& workbook_id, const Json& name);
    void remove_workbook(const std::string& workbook_id);
    void set_current_workbook(const std::string& workbook_id);

    void update_workbook_name(const std::string& workbook_id, const Json& new_name) override;
    // The workbook chosen in the panel as text, null when there is none.
    Json get_current_workbook() override;
    void update_package_status(const Json& package_name, const Json& status,
                               const Json& error) override;
    void log_pip_output(std::string_view text) override;
    void log_pip_output_colored(std::string_view text, std::string_view color) override;
    // Opens a non-modal window listing the packages: it never holds the GUI thread.
    void show_resolved_deps_popup(const Json& deps) override;

    // Readings for the window's users and tests.
    QString package_status(const QString& package_name) const;  // "status" or "status: error"
    QStringList cached_packages() const;                        // "name version" per row
    QStringList pip_lines() const;
    QDialog* deps_popup() const { return deps_popup_; }
    QString search_result() const;
    // Package search needs the Business Layer: enabled only while connected.
    void set_online(bool online);
    bool search_enabled() const;

  signals:
    // The Business Layer's package caches changed; connected to this panel's cache view.
    void update_caches(const Json& workbook_id, const Json& packages, const Json& package_errors,
                       const Json& python_paths) override;
    // The person asked for a package's details, or for the workbook's dependencies.
    void search_requested(const QString& package_name);
    void resolve_requested(const QString& workbook_id);

  public slots:
    void show_search_result(const QString& text, bool failed);

  private:
    void show_caches(const Json& workbook_id, const Json& packages, const Json& package_errors,
                     const Json& python_paths);

    QComboBox* workbook_;
    QTableWidget* status_table_;
    QTableWidget* cache_table_;
    QLabel* paths_;
    QPlainTextEdit* pip_output_;
    QLineEdit* search_;
    QLabel* search_result_;
    QPushButton* info_;
    QPointer<QDialog> deps_popup_;
};

}  // namespace quarvo_app
