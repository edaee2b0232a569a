// The IDE's main window: a real Qt host for the client. It gives the client everything it
// needs of a host and talks to the Business Layer only through the client's public
// operations, so the window never waits on the network.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <memory>

#include "code_editor.h"
#include "package_panel.h"
#include "panels.h"

class QAction;
class QDockWidget;
class QLabel;
class QLineEdit;
class QStackedWidget;
class QTabWidget;

namespace quarvo_zovovi::ide::gui {
class WebSocketClient;
}

namespace quarvo_app {

class TrafficInspector;

class IdeWindow final : public QMainWindow, public MainWindow {
    Q_OBJECT
  public:
    explicit IdeWindow(QWidget* parent = nullptr);
    ~IdeWindow() override;

    // The client the window's actions send through; null while there is none. The client
    // must be detached (or destroyed) before the window goes.
    void attach(WebSocketClient* client);
    // How long a package search waits for its answer, in seconds.
    void set_request_timeout(double seconds) { request_timeout_ = seconds; }

    // Actions, also bound to the window's controls.
    void open_module(const QString& workbook_id, const QString& module_name);
    void run_current_module();
    void search_package(const QString& package_name);
    void resolve_dependencies(const QString& workbook_id);

    // The panels, for the application and its tests.
    ProjectTree& tree() { return *tree_; }
    ConsoleView& console() { return *console_; }
    PackagePanel& packages() { return *packages_; }
    TimerPanel& timers() { return *timers_; }
    EventPanel& events() { return *events_; }
    PublisherPanel& publisher() { return *publisher_; }
    InspectorPanel& inspector() { return *inspector_; }
    InfoPanel& responses() { return *responses_; }
    // The Inspector dock (View > Inspector): the client's traffic log, recorded while open.
    TrafficInspector& traffic() { return *traffic_; }
    void show_inspector(bool on);
    bool inspector_open() const;
    CodeEditor* editor_for(const std::string& workbook_id, const std::string& module_name) const;
    // The connection indicator in the status bar: its text, and whether the actions that need
    // the Business Layer (Run, package search) are enabled.
    QString connection_text() const;
    bool run_enabled() const;
    // Whether the empty editor area shows its hint.
    bool showing_editor_hint() const;
    const Json& watchdog_port() const { return watchdog_port_; }
    bool has_auth_token() const {
        return auth_token_.is_string() && !auth_token_.get_string().empty();
    }

    // ---- MainWindow ----
    QWidget* widget() override { return this; }
    void log_to_console(std::string_view text, std::optional<std::string_view> color,
                        OutputLevel level, std::optional<bool> from_std) override;
    StatusBar& statusBar() override { return *status_; }
    void add_editor_tab(const std::string& module_name, const Json& code,
                        const std::string& workbook_id) override;
    void set_workbook_name(const std::string& workbook_id, const Json& name) override;
    void _update_workbook_name(const std::string& workbook_id, const Json& new_name) override;
    void _close_tabs_for_workbook(const std::string& workbook_id) override;
    void _debug_stop() override;
    void _set_debug_state(bool active, const std::string& workbook_id) override;
    void show_and_focus() override;
    void _show_error_light() override;

    void _handle_pip_output(const JsonObject& m) override;
    void _handle_package_versions_response(const JsonObject& m) override;
    void _handle_package_extras_response(const JsonObject& m) override;
    void _handle_package_info_response(const JsonObject& m) override;
    void _handle_package_paths_updated(const JsonObject& m) override;
    void _handle_completion_response(const JsonObject& m) override { record(m); }
    void _handle_signature_help_response(const JsonObject& m) override { record(m); }
    void _handle_hover_response(const JsonObject& m) override { record(m); }
    void _handle_diagnostic_response(const JsonObject& m) override { record(m); }
    void _handle_debug_paused(const JsonObject& m) override;
    void _handle_debug_exception(const JsonObject& m) override;
    void _handle_debug_resumed(const JsonObject& m) override;
    void _handle_debug_terminated(const JsonObject& m) override;
    void _handle_debug_evaluate_result(const JsonObject& m) override;
    void _handle_save_event_config_response(const JsonObject& m) override { record(m); }
    void _handle_validate_handler_response(const JsonObject& m) override { record(m); }
    void _handle_all_settings_response(const JsonObject& m) override { record(m); }
    void _handle_settings_response(const JsonObject& m) override { record(m); }

    bool _debug_active() const override { return debug_active_; }
    std::optional<std::string> _current_debug_workbook() const override {
        return current_debug_workbook_;
    }
    std::string _console_source_filter() const override { return console_->source_filter(); }
    int DEBUG_LINE_HIGHLIGHT_DELAY_MS() const override { return 100; }
    QTabWidget& editor_tabs() override { return *editors_; }

    ModuleCache& _module_cache() override { return module_cache_; }
    SyncedModuleHashes& _synced_module_hashes() override { return synced_hashes_; }
    Json& _pending_debug_line() override { return pending_debug_line_; }

    void set_current_debug_editor(QWidget* editor) override { current_debug_editor_ = editor; }
    void set_watchdog_port(const Json& port) override { watchdog_port_ = port; }
    void set_auth_token(const Json& token) override { auth_token_ = token; }

    ProjectExplorer& project_explorer() override { return *tree_; }
    TimerManager& timer_manager() override { return *timers_; }
    EventManager& event_manager() override { return *events_; }
    FunctionPublisher& function_publisher() override { return *publisher_; }
    ObjectInspector& object_inspector() override { return *inspector_; }
    PackageManager& package_manager() override { return *packages_; }

    // State, endpoint, last failure, attempt and next try, fed by the client's typed events.
    void connection_changed(const ConnectionEvent& event) override;

  private:
    void record(const JsonObject& message);
    void update_title();
    void clear_debug_marks();
    void update_editor_area();

    WebSocketClient* client_ = nullptr;
    double request_timeout_ = 10.0;
    std::string package_search_;  // the id of the package search still out, if any

    ProjectTree* tree_;
    QTabWidget* editors_;
    ConsoleView* console_;
    PackagePanel* packages_;
    TimerPanel* timers_;
    EventPanel* events_;
    PublisherPanel* publisher_;
    InspectorPanel* inspector_;
    InfoPanel* responses_;
    TrafficInspector* traffic_;
    QDockWidget* inspector_dock_;
    QLineEdit* function_name_;
    QStackedWidget* editor_area_;  // the hint while no module is open, else the tabs
    QLabel* editor_hint_;
    QAction* run_;
    QLabel* connection_;
    std::string last_failure_;
    std::unique_ptr<StatusLine> status_;

    ModuleCache module_cache_;
    SyncedModuleHashes synced_hashes_;
    Json pending_debug_line_;
    QPointer<QWidget> current_debug_editor_;
    bool debug_active_ = false;
    std::optional<std::string> current_debug_workbook_;
    Json watchdog_port_;
    Json auth_token_;
};

}  // namespace quarvo_app
