// The window's panels: the project tree, the console, and the small panels that show what the
// Business Layer reports about events, timers, published functions and live objects.
#pragma once

#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTreeWidget>
#include <deque>
#include <map>
#include <string>

#include <quarvo_zovovi/ide/gui/host/main_window.h>

class QCheckBox;
class QComboBox;
class QLabel;

namespace quarvo_app {

using namespace quarvo_zovovi::ide::gui;

// A workbook name as shown: text as is, another JSON value in its text form.
QString display_name(const Json& name);
QString to_qstring(std::string_view text);

// Workbooks at the top level (key: workbook id), their modules below them.
class ProjectTree final : public QTreeWidget, public ProjectExplorer {
    Q_OBJECT
  public:
    static constexpr int IdRole = Qt::UserRole;
    static constexpr int ModuleRole = Qt::UserRole + 1;

    explicit ProjectTree(QWidget* parent = nullptr);

    void add_workbook(const std::string& workbook_id, const Json& name) override;
    void remove_workbook(const std::string& workbook_id) override;
    void set_modules(const std::string& workbook_id, const JsonArray& module_names) override;
    std::set<std::string> _workbook_items() const override;

    void rename(const std::string& workbook_id, const Json& name);
    QTreeWidgetItem* workbook_item(const std::string& workbook_id) const;

  signals:
    // A module double-clicked or activated with the keyboard.
    void module_activated(const QString& workbook_id, const QString& module_name);
    void workbook_added(const std::string& workbook_id, const Json& name);
    void workbook_removed(const std::string& workbook_id);

  private:
    std::map<std::string, QTreeWidgetItem*, std::less<>> items_;
};

struct ConsoleLine {
    QString text;   // without the trailing line feed
    QString color;  // "#rrggbb"
    OutputLevel level;
    bool from_std;
};

// Coloured output lines. SIMPLE shows the SIMPLE lines, DETAILED shows every line; "IDE only"
// backs the client's source filter; the light turns red on error output until cleared.
class ConsoleView final : public QWidget {
    Q_OBJECT
  public:
    static constexpr const char* default_color = "#d4d4d4";
    static constexpr size_t max_lines = 5000;

    explicit ConsoleView(QWidget* parent = nullptr);

    void append(std::string_view text, std::optional<std::string_view> color, OutputLevel level,
                std::optional<bool> from_std);
    const std::deque<ConsoleLine>& lines() const { return lines_; }
    // What the view shows now: the text of each shown line.
    QStringList shown_text() const;

    OutputLevel level() const;
    void set_level(OutputLevel level);
    // "ide_only" while the switch is on, "all" otherwise.
    std::string source_filter() const;
    void set_ide_only(bool on);

    void show_error_light();
    void clear_error_light();
    bool error_light_on() const { return error_light_on_; }

  private:
    void render_all();
    void render(const ConsoleLine& line);
    bool shows(const ConsoleLine& line) const;

    std::deque<ConsoleLine> lines_;
    QPlainTextEdit* view_;
    QComboBox* level_switch_;
    QCheckBox* ide_only_switch_;
    QLabel* error_light_;
    bool error_light_on_ = false;
};

// A list of what a panel received: workbook, what happened, and the data as compact JSON.
class InfoPanel : public QTreeWidget {
  public:
    static constexpr int max_rows = 1000;

    explicit InfoPanel(QWidget* parent = nullptr);

    void add_row(const std::string& workbook_id, const QString& what, const Json& details);
    void rename_workbook(const std::string& workbook_id, const Json& new_name);
    // Each row as "workbook | what | details", oldest first.
    QStringList row_texts() const;

  protected:
    QString workbook_label(const std::string& workbook_id) const;

  private:
    std::map<std::string, QString, std::less<>> names_;
};

class TimerPanel final : public InfoPanel, public TimerManager {
  public:
    using InfoPanel::InfoPanel;
    void add_workbook(const std::string& workbook_id, const Json& name) override;
    void remove_workbook(const std::string& workbook_id) override;
    void update_workbook_name(const std::string& workbook_id, const Json& new_name) override;
    void update_ontime_config(const std::string& workbook_id, const Json& ontime_events) override;
};

class EventPanel final : public InfoPanel, public EventManager {
  public:
    using InfoPanel::InfoPanel;
    void set_module_cache(const std::string& workbook_id, const JsonObject& modules) override;
    void update_workbook_name(const std::string& workbook_id, const Json& new_name) override;
    void update_state(const std::string& workbook_id, const JsonObject& data) override;
    ModuleCache& _module_cache() override { return module_cache_; }

  private:
    ModuleCache module_cache_;
};

class PublisherPanel final : public InfoPanel, public FunctionPublisher {
  public:
    using InfoPanel::InfoPanel;
    void update_workbook_name(const std::string& workbook_id, const Json& new_name) override;
    void update_publications_from_server(const std::string& workbook_id,
                                         const Json& functions) override;
};

class InspectorPanel final : public InfoPanel, public ObjectInspector {
  public:
    using InfoPanel::InfoPanel;
    void update_workbook_name(const std::string& workbook_id, const Json& new_name) override;
    void handle_registry_update(const std::string& workbook_id, const Json& action,
                                const JsonObject& data) override;
    void handle_registry_response(const std::string& workbook_id, const Json& objects) override;
};

class StatusLine final : public StatusBar {
  public:
    explicit StatusLine(QStatusBar& bar) : bar_(bar) {}
    void showMessage(std::string_view text) override { bar_.showMessage(to_qstring(text)); }

  private:
    QStatusBar& bar_;
};

}  // namespace quarvo_app
