// HostWindow: a MainWindow with a safe default for every operation and panel, so that a new
// host overrides only what it shows.
#pragma once

#include <quarvo_zovovi/ide/gui/export.h>

#include <memory>

#include <quarvo_zovovi/ide/gui/host/main_window.h>

namespace quarvo_zovovi::ide::gui {

/// A starting point for a host window.
///
/// Every operation of MainWindow and of its panels has a default: a call that shows something
/// does nothing; state the client reads back (the debugger state, the module caches, the
/// workbooks of the tree, the pending debugger line) is kept in plain members. A host derives
/// from it beside its QMainWindow and overrides what its window shows, for instance
/// log_to_console, statusBar and connection_changed.
///
/// Construct and use it on the GUI thread, after the QApplication; it must outlive the client.
class QUARVO_IDE_CLIENT_EXPORT HostWindow : public MainWindow {
  public:
    /// window: the parent of the dialogs the client opens (may be null); not owned.
    explicit HostWindow(QWidget* window = nullptr);
    ~HostWindow() override;
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    /// The window given to the constructor.
    QWidget* widget() override;
    /// Does nothing.
    void log_to_console(std::string_view text, std::optional<std::string_view> color,
                        OutputLevel level, std::optional<bool> from_std) override;
    /// A status bar that shows nothing.
    StatusBar& statusBar() override;
    /// Does nothing.
    void add_editor_tab(const std::string& module_name, const Json& code,
                        const std::string& workbook_id) override;
    /// Does nothing.
    void set_workbook_name(const std::string& workbook_id, const Json& name) override;
    /// Does nothing.
    void _update_workbook_name(const std::string& workbook_id, const Json& new_name) override;
    /// Does nothing.
    void _close_tabs_for_workbook(const std::string& workbook_id) override;
    /// Switches the debugger state off.
    void _debug_stop() override;
    /// Keeps the state for _debug_active() and _current_debug_workbook().
    void _set_debug_state(bool active, const std::string& workbook_id) override;
    /// Does nothing.
    void show_and_focus() override;
    /// Does nothing.
    void _show_error_light() override;

    /// @name Forwarders
    /// @{
    /// Does nothing.
    void _handle_pip_output(const JsonObject& message) override;
    /// Does nothing.
    void _handle_package_versions_response(const JsonObject& message) override;
    /// Does nothing.
    void _handle_package_extras_response(const JsonObject& message) override;
    /// Does nothing.
    void _handle_package_info_response(const JsonObject& message) override;
    /// Does nothing.
    void _handle_package_paths_updated(const JsonObject& message) override;
    /// Does nothing.
    void _handle_completion_response(const JsonObject& message) override;
    /// Does nothing.
    void _handle_signature_help_response(const JsonObject& message) override;
    /// Does nothing.
    void _handle_hover_response(const JsonObject& message) override;
    /// Does nothing.
    void _handle_diagnostic_response(const JsonObject& message) override;
    /// Does nothing.
    void _handle_debug_paused(const JsonObject& message) override;
    /// Does nothing.
    void _handle_debug_exception(const JsonObject& message) override;
    /// Does nothing.
    void _handle_debug_resumed(const JsonObject& message) override;
    /// Does nothing.
    void _handle_debug_terminated(const JsonObject& message) override;
    /// Does nothing.
    void _handle_debug_evaluate_result(const JsonObject& message) override;
    /// Does nothing.
    void _handle_save_event_config_response(const JsonObject& message) override;
    /// Does nothing.
    void _handle_validate_handler_response(const JsonObject& message) override;
    /// Does nothing.
    void _handle_all_settings_response(const JsonObject& message) override;
    /// Does nothing.
    void _handle_settings_response(const JsonObject& message) override;
    /// @}

    /// The state _set_debug_state() keeps; false at first.
    bool _debug_active() const override;
    /// The state _set_debug_state() keeps; empty at first.
    std::optional<std::string> _current_debug_workbook() const override;
    /// "all": no output is hidden.
    std::string _console_source_filter() const override;
    /// 0: the debugger line is marked at once.
    int DEBUG_LINE_HIGHLIGHT_DELAY_MS() const override;
    /// An empty, hidden tab widget made on first use: no module editors.
    QTabWidget& editor_tabs() override;

    /// A map kept here, empty at first.
    ModuleCache& _module_cache() override;
    /// A map kept here, empty at first.
    SyncedModuleHashes& _synced_module_hashes() override;
    /// A value kept here, null at first.
    Json& _pending_debug_line() override;

    /// Kept; see current_debug_editor().
    void set_current_debug_editor(QWidget* editor) override;
    /// Kept; see watchdog_port().
    void set_watchdog_port(const Json& port) override;
    /// Kept; see auth_token().
    void set_auth_token(const Json& token) override;

    /// @name Panels
    /// A tree that keeps its workbook ids (for _workbook_items) and panels that keep what the
    /// client reads back (the event manager's module cache); the rest do nothing.
    /// @{
    /// A tree that keeps the ids of the workbooks added to it.
    ProjectExplorer& project_explorer() override;
    /// A panel that does nothing.
    TimerManager& timer_manager() override;
    /// A panel that keeps its module cache.
    EventManager& event_manager() override;
    /// A panel that does nothing.
    FunctionPublisher& function_publisher() override;
    /// A panel that does nothing.
    ObjectInspector& object_inspector() override;
    /// A panel that shows no workbook (null) and does nothing.
    PackageManager& package_manager() override;
    /// @}

    /// The editor the client last marked as the debugger's (null at first).
    QWidget* current_debug_editor() const;
    /// The watchdog port the client last wrote (null at first).
    const Json& watchdog_port() const;
    /// The auth token the client last wrote (null at first).
    const Json& auth_token() const;

  private:
    struct Defaults;
    std::unique_ptr<Defaults> defaults_;
};

}  // namespace quarvo_zovovi::ide::gui
