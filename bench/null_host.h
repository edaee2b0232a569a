// A host window that keeps the state the handlers touch and does nothing else, so that a
// measurement sees the client's cost and not a host's. Console lines are counted, and an
// observer may watch them.
#pragma once

#include <QTabWidget>
#include <QWidget>
#include <functional>
#include <memory>

#include <quarvo_zovovi/ide/gui/host/main_window.h>

namespace quarvo_bench {

using namespace quarvo_zovovi::ide::gui;

class NullPanels final : public ProjectExplorer,
                         public TimerManager,
                         public EventManager,
                         public FunctionPublisher,
                         public ObjectInspector,
                         public PackageManager,
                         public StatusBar {
  public:
    void add_workbook(const std::string&, const Json&) override {}
    void remove_workbook(const std::string&) override {}
    void set_modules(const std::string&, const JsonArray&) override {}
    std::set<std::string> _workbook_items() const override { return {}; }
    void update_workbook_name(const std::string&, const Json&) override {}
    void update_ontime_config(const std::string&, const Json&) override {}
    void set_module_cache(const std::string&, const JsonObject&) override {}
    void update_state(const std::string&, const JsonObject&) override {}
    ModuleCache& _module_cache() override { return event_cache; }
    void update_publications_from_server(const std::string&, const Json&) override {}
    void handle_registry_update(const std::string&, const Json&, const JsonObject&) override {}
    void handle_registry_response(const std::string&, const Json&) override {}
    Json get_current_workbook() override { return "wb"; }
    void update_package_status(const Json&, const Json&, const Json&) override {}
    void log_pip_output(std::string_view) override {}
    void log_pip_output_colored(std::string_view, std::string_view) override {}
    void show_resolved_deps_popup(const Json&) override {}
    void update_caches(const Json&, const Json&, const Json&, const Json&) override {}
    void showMessage(std::string_view) override {}

    ModuleCache event_cache;
};

class NullHost final : public MainWindow {
  public:
    NullHost() : window(std::make_unique<QWidget>()), tabs(new QTabWidget(window.get())) {}

    uint64_t console_lines = 0;
    std::function<void(std::string_view)> on_console_line;  // after the count went up
    ModuleCache module_cache;
    SyncedModuleHashes hashes;
    Json pending_line;
    NullPanels panels;
    std::unique_ptr<QWidget> window;
    QTabWidget* tabs;

    QWidget* widget() override { return window.get(); }
    void log_to_console(std::string_view text, std::optional<std::string_view>, OutputLevel,
                        std::optional<bool>) override {
        ++console_lines;
        if (on_console_line) on_console_line(text);
    }
    StatusBar& statusBar() override { return panels; }
    void add_editor_tab(const std::string&, const Json&, const std::string&) override {}
    void set_workbook_name(const std::string&, const Json&) override {}
    void _update_workbook_name(const std::string&, const Json&) override {}
    void _close_tabs_for_workbook(const std::string&) override {}
    void _debug_stop() override {}
    void _set_debug_state(bool, const std::string&) override {}
    void show_and_focus() override {}
    void _show_error_light() override {}
    void _handle_pip_output(const JsonObject&) override {}
    void _handle_package_versions_response(const JsonObject&) override {}
    void _handle_package_extras_response(const JsonObject&) override {}
    void _handle_package_info_response(const JsonObject&) override {}
    void _handle_package_paths_updated(const JsonObject&) override {}
    void _handle_completion_response(const JsonObject&) override {}
    void _handle_signature_help_response(const JsonObject&) override {}
    void _handle_hover_response(const JsonObject&) override {}
    void _handle_diagnostic_response(const JsonObject&) override {}
    void _handle_debug_paused(const JsonObject&) override {}
    void _handle_debug_exception(const JsonObject&) override {}
    void _handle_debug_resumed(const JsonObject&) override {}
    void _handle_debug_terminated(const JsonObject&) override {}
    void _handle_debug_evaluate_result(const JsonObject&) override {}
    void _handle_save_event_config_response(const JsonObject&) override {}
    void _handle_validate_handler_response(const JsonObject&) override {}
    void _handle_all_settings_response(const JsonObject&) override {}
    void _handle_settings_response(const JsonObject&) override {}
    bool _debug_active() const override { return false; }
    std::optional<std::string> _current_debug_workbook() const override { return {}; }
    std::string _console_source_filter() const override { return "all"; }
    int DEBUG_LINE_HIGHLIGHT_DELAY_MS() const override { return 0; }
    QTabWidget& editor_tabs() override { return *tabs; }
    ModuleCache& _module_cache() override { return module_cache; }
    SyncedModuleHashes& _synced_module_hashes() override { return hashes; }
    Json& _pending_debug_line() override { return pending_line; }
    void set_current_debug_editor(QWidget*) override {}
    void set_watchdog_port(const Json&) override {}
    void set_auth_token(const Json&) override {}
    ProjectExplorer& project_explorer() override { return panels; }
    TimerManager& timer_manager() override { return panels; }
    EventManager& event_manager() override { return panels; }
    FunctionPublisher& function_publisher() override { return panels; }
    ObjectInspector& object_inspector() override { return panels; }
    PackageManager& package_manager() override { return panels; }
};

}  // namespace quarvo_bench
