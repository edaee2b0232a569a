// What the client needs of its host window: the window itself, its panels, the editor
// type and the console output levels. A host application implements these classes;
// the client calls them only on the GUI thread.
//
// Values that come from a message and are passed through are boost::json values exactly
// as received (null where the message had none). Workbook ids are text; an id that
// arrives as another JSON type reaches the host in its text form.
#pragma once

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

class QTabWidget;
class QWidget;

namespace quarvo_zovovi::ide::gui {

using Json = boost::json::value;
using JsonObject = boost::json::object;
using JsonArray = boost::json::array;

// Workbook id to module map (module name to source).
using ModuleCache = std::map<std::string, JsonObject, std::less<>>;
// Workbook id to the host's record of module hashes last synchronised.
using SyncedModuleHashes = std::map<std::string, Json, std::less<>>;

enum class OutputLevel { SIMPLE, DETAILED };

std::string_view to_string(OutputLevel level);

// The code editor widgets in MainWindow::editor_tabs() implement this beside QWidget;
// "is a MonacoEditor" is a dynamic_cast of the tab's widget.
class MonacoEditor {
  public:
    virtual ~MonacoEditor() = default;
    virtual std::string workbook_id() const = 0;
    virtual void set_debug_line(const Json& line) = 0;
};

class StatusBar {
  public:
    virtual ~StatusBar() = default;
    // Shown until the next message replaces it.
    virtual void showMessage(std::string_view text) = 0;
};

class ProjectExplorer {
  public:
    virtual ~ProjectExplorer() = default;
    virtual void add_workbook(const std::string& workbook_id, const Json& name) = 0;
    virtual void remove_workbook(const std::string& workbook_id) = 0;
    virtual void set_modules(const std::string& workbook_id, const JsonArray& module_names) = 0;
    // The keys of the tree's workbook entries: the workbooks the tree shows now.
    virtual std::set<std::string> _workbook_items() const = 0;
};

class TimerManager {
  public:
    virtual ~TimerManager() = default;
    virtual void add_workbook(const std::string& workbook_id, const Json& name) = 0;
    virtual void remove_workbook(const std::string& workbook_id) = 0;
    virtual void update_workbook_name(const std::string& workbook_id, const Json& new_name) = 0;
    virtual void update_ontime_config(const std::string& workbook_id,
                                      const Json& ontime_events) = 0;
};

class EventManager {
  public:
    virtual ~EventManager() = default;
    virtual void set_module_cache(const std::string& workbook_id, const JsonObject& modules) = 0;
    virtual void update_workbook_name(const std::string& workbook_id, const Json& new_name) = 0;
    virtual void update_state(const std::string& workbook_id, const JsonObject& data) = 0;
    virtual ModuleCache& _module_cache() = 0;
};

class FunctionPublisher {
  public:
    virtual ~FunctionPublisher() = default;
    virtual void update_workbook_name(const std::string& workbook_id, const Json& new_name) = 0;
    virtual void update_publications_from_server(const std::string& workbook_id,
                                                 const Json& functions) = 0;
};

class ObjectInspector {
  public:
    virtual ~ObjectInspector() = default;
    virtual void update_workbook_name(const std::string& workbook_id, const Json& new_name) = 0;
    virtual void handle_registry_update(const std::string& workbook_id, const Json& action,
                                        const JsonObject& data) = 0;
    virtual void handle_registry_response(const std::string& workbook_id, const Json& objects) = 0;
};

class PackageManager {
  public:
    virtual ~PackageManager() = default;
    virtual void update_workbook_name(const std::string& workbook_id, const Json& new_name) = 0;
    // The workbook the panel shows now; compared with a message's workbook_id by value and type.
    virtual Json get_current_workbook() = 0;
    virtual void update_package_status(const Json& package_name, const Json& status,
                                       const Json& error) = 0;
    virtual void log_pip_output(std::string_view text) = 0;
    virtual void log_pip_output_colored(std::string_view text, std::string_view color) = 0;
    virtual void show_resolved_deps_popup(const Json& deps) = 0;
    // The update_caches signal: a Qt host emits its signal from here, on the GUI thread.
    virtual void update_caches(const Json& workbook_id, const Json& packages,
                               const Json& package_errors, const Json& python_paths) = 0;
};

class MainWindow {
  public:
    virtual ~MainWindow() = default;

    // The window as a widget: the parent of the dialogs the client opens.
    virtual QWidget* widget() = 0;

    // color: "#rrggbb", or empty for the host's default colour. from_std: empty when the
    // caller did not pass it (the host's default applies).
    virtual void log_to_console(std::string_view text, std::optional<std::string_view> color,
                                OutputLevel level, std::optional<bool> from_std) = 0;
    virtual StatusBar& statusBar() = 0;

    virtual void add_editor_tab(const std::string& module_name, const Json& code,
                                const std::string& workbook_id) = 0;
    virtual void set_workbook_name(const std::string& workbook_id, const Json& name) = 0;
    virtual void _update_workbook_name(const std::string& workbook_id, const Json& new_name) = 0;
    virtual void _close_tabs_for_workbook(const std::string& workbook_id) = 0;
    virtual void _debug_stop() = 0;
    virtual void _set_debug_state(bool active, const std::string& workbook_id) = 0;
    virtual void show_and_focus() = 0;
    virtual void _show_error_light() = 0;

    // Forwarders: each receives the whole message, "type" included.
    virtual void _handle_pip_output(const JsonObject& message) = 0;
    virtual void _handle_package_versions_response(const JsonObject& message) = 0;
    virtual void _handle_package_extras_response(const JsonObject& message) = 0;
    virtual void _handle_package_info_response(const JsonObject& message) = 0;
    virtual void _handle_package_paths_updated(const JsonObject& message) = 0;
    virtual void _handle_completion_response(const JsonObject& message) = 0;
    virtual void _handle_signature_help_response(const JsonObject& message) = 0;
    virtual void _handle_hover_response(const JsonObject& message) = 0;
    virtual void _handle_diagnostic_response(const JsonObject& message) = 0;
    virtual void _handle_debug_paused(const JsonObject& message) = 0;
    virtual void _handle_debug_exception(const JsonObject& message) = 0;
    virtual void _handle_debug_resumed(const JsonObject& message) = 0;
    virtual void _handle_debug_terminated(const JsonObject& message) = 0;
    virtual void _handle_debug_evaluate_result(const JsonObject& message) = 0;
    virtual void _handle_save_event_config_response(const JsonObject& message) = 0;
    virtual void _handle_validate_handler_response(const JsonObject& message) = 0;
    virtual void _handle_all_settings_response(const JsonObject& message) = 0;
    virtual void _handle_settings_response(const JsonObject& message) = 0;

    // Attributes the client reads.
    virtual bool _debug_active() const = 0;
    virtual std::optional<std::string> _current_debug_workbook() const = 0;
    virtual std::string _console_source_filter() const = 0;
    virtual int DEBUG_LINE_HIGHLIGHT_DELAY_MS() const = 0;
    virtual QTabWidget& editor_tabs() = 0;

    // Attributes the client reads and changes in place.
    virtual ModuleCache& _module_cache() = 0;
    virtual SyncedModuleHashes& _synced_module_hashes() = 0;
    // null, or an object with workbook_id, module_name and line.
    virtual Json& _pending_debug_line() = 0;

    // Attributes the client writes.
    virtual void set_current_debug_editor(QWidget* editor) = 0;
    virtual void set_watchdog_port(const Json& port) = 0;
    virtual void set_auth_token(const Json& token) = 0;

    // Sub-objects.
    virtual ProjectExplorer& project_explorer() = 0;
    virtual TimerManager& timer_manager() = 0;
    virtual EventManager& event_manager() = 0;
    virtual FunctionPublisher& function_publisher() = 0;
    virtual ObjectInspector& object_inspector() = 0;
    virtual PackageManager& package_manager() = 0;
};

}  // namespace quarvo_zovovi::ide::gui
