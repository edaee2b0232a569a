// What the client needs of its host window: the window itself, its panels, the editor
// type, the console output levels and the connection events. A host application implements
// these classes (host_window.h has a base class with a default for each); the client calls
// them only on the GUI thread.
#pragma once

#include <quarvo_zovovi/ide/gui/export.h>

#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include <quarvo_zovovi/ide/gui/core/connection_event.h>
#include <quarvo_zovovi/ide/gui/core/json.h>

class QTabWidget;
class QWidget;

namespace quarvo_zovovi::ide::gui {

/// Workbook id to module map (module name to module source).
using ModuleCache = std::map<std::string, JsonObject, std::less<>>;
/// Workbook id to the host's record of the module hashes last synchronised.
using SyncedModuleHashes = std::map<std::string, Json, std::less<>>;

/// The console's output levels, passed with every console line.
enum class OutputLevel { SIMPLE, DETAILED };

/// "SIMPLE" or "DETAILED".
QUARVO_IDE_CLIENT_EXPORT std::string_view to_string(OutputLevel level);

/// A code editor widget in MainWindow::editor_tabs(). The host's editor widgets implement this
/// beside QWidget; "is a MonacoEditor" is a dynamic_cast of the tab's widget.
class QUARVO_IDE_CLIENT_EXPORT MonacoEditor {
  public:
    virtual ~MonacoEditor() = default;
    /// The workbook whose module the editor shows.
    virtual std::string workbook_id() const = 0;
    /// Marks the debugger's current line (a 1-based line number as received, or null for
    /// none).
    virtual void set_debug_line(const Json& line) = 0;
};

/// The window's status bar.
class QUARVO_IDE_CLIENT_EXPORT StatusBar {
  public:
    virtual ~StatusBar() = default;
    /// Shows `text` until the next message replaces it.
    virtual void showMessage(std::string_view text) = 0;
};

/// The project tree: workbooks and their modules.
class QUARVO_IDE_CLIENT_EXPORT ProjectExplorer {
  public:
    virtual ~ProjectExplorer() = default;
    /// Adds a workbook entry (or renames the one with that id).
    virtual void add_workbook(const std::string& workbook_id, const Json& name) = 0;
    /// Removes a workbook entry and its modules.
    virtual void remove_workbook(const std::string& workbook_id) = 0;
    /// Replaces a workbook's module entries with `module_names` (texts, in order).
    virtual void set_modules(const std::string& workbook_id, const JsonArray& module_names) = 0;
    /// The ids of the workbooks the tree shows now.
    virtual std::set<std::string> _workbook_items() const = 0;
};

/// The on-time event (timer) panel.
class QUARVO_IDE_CLIENT_EXPORT TimerManager {
  public:
    virtual ~TimerManager() = default;
    /// A workbook connected.
    virtual void add_workbook(const std::string& workbook_id, const Json& name) = 0;
    /// A workbook disconnected.
    virtual void remove_workbook(const std::string& workbook_id) = 0;
    /// A workbook was renamed.
    virtual void update_workbook_name(const std::string& workbook_id, const Json& new_name) = 0;
    /// The workbook's on-time events, as received.
    virtual void update_ontime_config(const std::string& workbook_id,
                                      const Json& ontime_events) = 0;
};

/// The event manager panel.
class QUARVO_IDE_CLIENT_EXPORT EventManager {
  public:
    virtual ~EventManager() = default;
    /// The workbook's modules (name to source), for choosing handlers.
    virtual void set_module_cache(const std::string& workbook_id, const JsonObject& modules) = 0;
    /// A workbook was renamed.
    virtual void update_workbook_name(const std::string& workbook_id, const Json& new_name) = 0;
    /// The workbook's event manager state message, as received.
    virtual void update_state(const std::string& workbook_id, const JsonObject& data) = 0;
    /// The panel's own module cache, which the client reads and changes in place.
    virtual ModuleCache& _module_cache() = 0;
};

/// The function publisher panel.
class QUARVO_IDE_CLIENT_EXPORT FunctionPublisher {
  public:
    virtual ~FunctionPublisher() = default;
    /// A workbook was renamed.
    virtual void update_workbook_name(const std::string& workbook_id, const Json& new_name) = 0;
    /// The workbook's published functions, as received.
    virtual void update_publications_from_server(const std::string& workbook_id,
                                                 const Json& functions) = 0;
};

/// The object inspector panel.
class QUARVO_IDE_CLIENT_EXPORT ObjectInspector {
  public:
    virtual ~ObjectInspector() = default;
    /// A workbook was renamed.
    virtual void update_workbook_name(const std::string& workbook_id, const Json& new_name) = 0;
    /// One change of the workbook's object registry (`action` and the whole message).
    virtual void handle_registry_update(const std::string& workbook_id, const Json& action,
                                        const JsonObject& data) = 0;
    /// The workbook's objects, answering a registry query.
    virtual void handle_registry_response(const std::string& workbook_id, const Json& objects) = 0;
};

/// The package manager panel.
class QUARVO_IDE_CLIENT_EXPORT PackageManager {
  public:
    virtual ~PackageManager() = default;
    /// A workbook was renamed.
    virtual void update_workbook_name(const std::string& workbook_id, const Json& new_name) = 0;
    /// The workbook the panel shows now; compared with a message's workbook_id by value and
    /// type (null: none).
    virtual Json get_current_workbook() = 0;
    /// A package's installation status, and its error (null when none).
    virtual void update_package_status(const Json& package_name, const Json& status,
                                       const Json& error) = 0;
    /// One line of pip's output.
    virtual void log_pip_output(std::string_view text) = 0;
    /// One line of pip's output in a colour ("#rrggbb").
    virtual void log_pip_output_colored(std::string_view text, std::string_view color) = 0;
    /// Shows the resolved dependencies of an installation (a popup that does not block).
    virtual void show_resolved_deps_popup(const Json& deps) = 0;
    /// The update_caches signal: a Qt host emits its signal from here.
    virtual void update_caches(const Json& workbook_id, const Json& packages,
                               const Json& package_errors, const Json& python_paths) = 0;
};

/// The IDE's main window, as the client sees it.
///
/// Every operation is called on the GUI thread only, and may throw: the GUI-thread facility
/// logs the exception and the client goes on. References returned stay owned by the host and
/// must stay valid while the client lives.
class QUARVO_IDE_CLIENT_EXPORT MainWindow {
  public:
    virtual ~MainWindow() = default;

    /// The window as a widget: the parent of the dialogs the client opens (may be null).
    virtual QWidget* widget() = 0;

    /// Appends a line to the console. color: "#rrggbb", or empty for the host's default
    /// colour. from_std: whether the line is the user code's standard output or error; empty
    /// when the caller did not say (the host's default applies).
    virtual void log_to_console(std::string_view text, std::optional<std::string_view> color,
                                OutputLevel level, std::optional<bool> from_std) = 0;
    /// The window's status bar.
    virtual StatusBar& statusBar() = 0;

    /// Opens (or refreshes) an editor tab for a module with its source `code`.
    virtual void add_editor_tab(const std::string& module_name, const Json& code,
                                const std::string& workbook_id) = 0;
    /// Records a workbook's name.
    virtual void set_workbook_name(const std::string& workbook_id, const Json& name) = 0;
    /// A workbook was renamed: titles of its tabs and the like.
    virtual void _update_workbook_name(const std::string& workbook_id, const Json& new_name) = 0;
    /// Closes every editor tab of a workbook.
    virtual void _close_tabs_for_workbook(const std::string& workbook_id) = 0;
    /// Leaves debugging: controls off, debugger line marks cleared.
    virtual void _debug_stop() = 0;
    /// Switches the debugger state on or off for a workbook.
    virtual void _set_debug_state(bool active, const std::string& workbook_id) = 0;
    /// Shows, raises and focuses the window.
    virtual void show_and_focus() = 0;
    /// Lights the console's error light.
    virtual void _show_error_light() = 0;

    /// @name Forwarders
    /// Each receives the whole message, "type" included.
    /// @{
    /// The "pip_output" message.
    virtual void _handle_pip_output(const JsonObject& message) = 0;
    /// The "get_package_versions_response" message.
    virtual void _handle_package_versions_response(const JsonObject& message) = 0;
    /// The "get_package_extras_response" message.
    virtual void _handle_package_extras_response(const JsonObject& message) = 0;
    /// The "get_package_info_response" message.
    virtual void _handle_package_info_response(const JsonObject& message) = 0;
    /// The "package_paths_updated" message.
    virtual void _handle_package_paths_updated(const JsonObject& message) = 0;
    /// The "completion_response" message.
    virtual void _handle_completion_response(const JsonObject& message) = 0;
    /// The "signature_help_response" message.
    virtual void _handle_signature_help_response(const JsonObject& message) = 0;
    /// The "hover_response" message.
    virtual void _handle_hover_response(const JsonObject& message) = 0;
    /// The "diagnostic_response" message.
    virtual void _handle_diagnostic_response(const JsonObject& message) = 0;
    /// The "debug_paused" message.
    virtual void _handle_debug_paused(const JsonObject& message) = 0;
    /// The "debug_exception" message.
    virtual void _handle_debug_exception(const JsonObject& message) = 0;
    /// The "debug_resumed" message.
    virtual void _handle_debug_resumed(const JsonObject& message) = 0;
    /// The "debug_terminated" message.
    virtual void _handle_debug_terminated(const JsonObject& message) = 0;
    /// The "debug_evaluate_result" message.
    virtual void _handle_debug_evaluate_result(const JsonObject& message) = 0;
    /// The "save_event_config_response" message.
    virtual void _handle_save_event_config_response(const JsonObject& message) = 0;
    /// The "validate_handler_response" message.
    virtual void _handle_validate_handler_response(const JsonObject& message) = 0;
    /// The "all_settings_response" message.
    virtual void _handle_all_settings_response(const JsonObject& message) = 0;
    /// The "settings_response" message.
    virtual void _handle_settings_response(const JsonObject& message) = 0;
    /// @}

    /// @name Attributes the client reads
    /// @{
    /// Whether the debugger is active.
    virtual bool _debug_active() const = 0;
    /// The workbook being debugged, if any.
    virtual std::optional<std::string> _current_debug_workbook() const = 0;
    /// The console's source filter: "ide_only" hides output whose source is not "ide".
    virtual std::string _console_source_filter() const = 0;
    /// How long after opening a module the debugger line is marked, in milliseconds.
    virtual int DEBUG_LINE_HIGHLIGHT_DELAY_MS() const = 0;
    /// The editor tabs; tabs whose widget is a MonacoEditor are module editors.
    virtual QTabWidget& editor_tabs() = 0;
    /// @}

    /// @name Attributes the client reads and changes in place
    /// @{
    /// Workbook id to module map, kept in step with the Business Layer.
    virtual ModuleCache& _module_cache() = 0;
    /// Workbook id to the module hashes last synchronised.
    virtual SyncedModuleHashes& _synced_module_hashes() = 0;
    /// A debugger line waiting for its module to open: null, or an object with workbook_id,
    /// module_name and line.
    virtual Json& _pending_debug_line() = 0;
    /// @}

    /// @name Attributes the client writes
    /// @{
    /// The editor showing the debugger's line (null: none).
    virtual void set_current_debug_editor(QWidget* editor) = 0;
    /// The watchdog's port, as received.
    virtual void set_watchdog_port(const Json& port) = 0;
    /// The watchdog's auth token, as received. Never logged by the client.
    virtual void set_auth_token(const Json& token) = 0;
    /// @}

    /// @name Panels
    /// @{
    /// The project tree.
    virtual ProjectExplorer& project_explorer() = 0;
    /// The on-time event panel.
    virtual TimerManager& timer_manager() = 0;
    /// The event manager panel.
    virtual EventManager& event_manager() = 0;
    /// The function publisher panel.
    virtual FunctionPublisher& function_publisher() = 0;
    /// The object inspector panel.
    virtual ObjectInspector& object_inspector() = 0;
    /// The package manager panel.
    virtual PackageManager& package_manager() = 0;
    /// @}

    /// Optional: each change of the connection, after the client's own console and status
    /// notices for it. The default does nothing.
    virtual void connection_changed(const ConnectionEvent& event);
};

}  // namespace quarvo_zovovi::ide::gui
