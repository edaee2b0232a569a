// The window's panels: the project tree, the console, and the small panels that show what the
// Business Layer reports about events, timers, published functions and live objects.
#pragma once

#include <QDateTime>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTextCharFormat>
#include <QTimer>
#include <QTreeWidget>
#include <deque>
#include <map>
#include <string>
#include <vector>

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
// Lines are shown in batches: appends collect, and one document edit a frame shows them, so a
// flood costs one layout a frame, not one a line.
class ConsoleView final : public QWidget {
    Q_OBJECT
  public:
    static constexpr const char* default_color = "#d4d4d4";
    static constexpr size_t max_lines = 5000;
    static constexpr int frame_ms = 16;

    explicit ConsoleView(QWidget* parent = nullptr);

    void append(std::string_view text, std::optional<std::string_view> color, OutputLevel level,
                std::optional<bool> from_std);
    const std::deque<ConsoleLine>& lines() const { return lines_; }
    // What the view shows now: the text of each shown line.
    QStringList shown_text() const;
    // What the document holds now, line by line, and each line's colour (after a flush()).
    QStringList displayed_text() const;
    QStringList displayed_colors() const;
    // Shows what waits for the next frame now.
    void flush();
    // Lines shown in all (whole batches), and the last one, for the flood measurements.
    uint64_t rendered() const { return rendered_; }
    const QString& last_rendered() const { return last_rendered_; }
    QPlainTextEdit& view() { return *view_; }

    OutputLevel level() const;
    void set_level(OutputLevel level);
    // "ide_only" while the switch is on, "all" otherwise.
    std::string source_filter() const;
    void set_ide_only(bool on);

    void show_error_light();
    void clear_error_light();
    bool error_light_on() const { return error_light_on_; }

    // What lit the error light, as its tooltip says.
    QString error_light_reason() const;

  signals:
    // A batch of lines has just been shown.
    void batch_shown();

  private:
    void render_all();
    bool shows(const ConsoleLine& line) const;
    const QTextCharFormat& format_for(const QString& color);

    std::deque<ConsoleLine> lines_;
    std::vector<ConsoleLine> pending_;  // shown lines waiting for the next frame
    QTimer* frame_;
    std::map<QString, QTextCharFormat> formats_;
    uint64_t rendered_ = 0;
    QString last_rendered_;
    QPlainTextEdit* view_;
    QComboBox* level_switch_;
    QCheckBox* ide_only_switch_;
    QLabel* error_light_;
    bool error_light_on_ = false;
};

// A list of what a panel received: when, workbook, what happened, and the data as compact JSON;
// the header says when it last changed.
class InfoPanel : public QTreeWidget {
  public:
    static constexpr int max_rows = 1000;

    explicit InfoPanel(QWidget* parent = nullptr);

    void add_row(const std::string& workbook_id, const QString& what, const Json& details);
    void rename_workbook(const std::string& workbook_id, const Json& new_name);
    // Each row as "workbook | what | details", oldest first.
    QStringList row_texts() const;
    // When the last row came; invalid while none has.
    QDateTime last_changed() const { return last_changed_; }

  protected:
    QString workbook_label(const std::string& workbook_id) const;

  private:
    std::map<std::string, QString, std::less<>> names_;
    QDateTime last_changed_;
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
