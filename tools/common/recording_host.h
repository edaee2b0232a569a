// A host window with plain, real state (tree entries, module caches, editor tabs) that records
// each call, in order, with its arguments and whether it ran on the GUI thread. The tests
// assert on the record; ide-trace prints each call as it happens.
#pragma once

#include <QTabWidget>
#include <QWidget>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <quarvo_zovovi/ide/gui/host/main_window.h>

namespace quarvo_tools {

using namespace quarvo_zovovi::ide::gui;

struct Call {
    std::string name;  // e.g. "project_explorer.add_workbook"
    JsonArray args;
    bool on_gui_thread;
};

// Every call of every host object goes into one shared, ordered record.
class CallLog {
  public:
    // Called with each call as it is recorded, on the thread that made it.
    std::function<void(const Call&)> on_call;
    // Whether calls are kept for calls()/names(); a long-running trace keeps none.
    bool keep = true;

    void record(std::string name, JsonArray args);
    std::vector<Call> calls() const;
    std::vector<std::string> names() const;
    std::vector<Call> named(std::string_view name) const;
    size_t size() const;
    void clear();
    std::string dump() const;  // one call a line, for failure messages

  private:
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
};

class FakeEditor final : public QWidget, public MonacoEditor {
  public:
    FakeEditor(CallLog& log, std::string workbook_id, int tag);
    std::string workbook_id() const override { return workbook_id_; }
    void set_debug_line(const Json& line) override;
    int tag() const { return tag_; }

  private:
    CallLog& log_;
    std::string workbook_id_;
    int tag_;
};

class RecordingHost final : public MainWindow {
  public:
    RecordingHost();
    ~RecordingHost() override;

    CallLog log;

    // Host state, set and read by tests.
    bool debug_active = false;
    std::optional<std::string> current_debug_workbook;
    std::string console_source_filter = "all";
    int debug_line_delay_ms = 0;
    ModuleCache module_cache;
    ModuleCache event_module_cache;
    SyncedModuleHashes synced_hashes;
    Json pending_debug_line;
    QWidget* current_debug_editor = nullptr;
    std::set<std::string> workbook_items;  // follows add_workbook / remove_workbook
    Json current_workbook;                 // what package_manager.get_current_workbook returns
    Json watchdog_port;
    Json auth_token;
    std::unique_ptr<QWidget> window;
    QTabWidget* tabs;  // owned by window

    // Adds an editor tab; editor == false adds a plain widget that is no MonacoEditor.
    int add_tab(const std::string& title, const std::string& workbook_id, bool editor = true);

    QWidget* widget() override { return window.get(); }
    void log_to_console(std::string_view text, std::optional<std::string_view> color,
                        OutputLevel level, std::optional<bool> from_std) override;
    StatusBar& statusBar() override { return *status_bar_; }
    void add_editor_tab(const std::string& module_name, const Json& code,
                        const std::string& workbook_id) override;
    void set_workbook_name(const std::string& workbook_id, const Json& name) override;
    void _update_workbook_name(const std::string& workbook_id, const Json& new_name) override;
    void _close_tabs_for_workbook(const std::string& workbook_id) override;
    void _debug_stop() override;
    void _set_debug_state(bool active, const std::string& workbook_id) override;
    void show_and_focus() override;
    void _show_error_light() override;

    void _handle_pip_output(const JsonObject& m) override { forward("_handle_pip_output", m); }
    void _handle_package_versions_response(const JsonObject& m) override {
        forward("_handle_package_versions_response", m);
    }
    void _handle_package_extras_response(const JsonObject& m) override {
        forward("_handle_package_extras_response", m);
    }
    void _handle_package_info_response(const JsonObject& m) override {
        forward("_handle_package_info_response", m);
    }
    void _handle_package_paths_updated(const JsonObject& m) override {
        forward("_handle_package_paths_updated", m);
    }
    void _handle_completion_response(const JsonObject& m) override {
        forward("_handle_completion_response", m);
    }
    void _handle_signature_help_response(const JsonObject& m) override {
        forward("_handle_signature_help_response", m);
    }
    void _handle_hover_response(const JsonObject& m) override {
        forward("_handle_hover_response", m);
    }
    void _handle_diagnostic_response(const JsonObject& m) override {
        forward("_handle_diagnostic_response", m);
    }
    void _handle_debug_paused(const JsonObject& m) override;
    void _handle_debug_exception(const JsonObject& m) override {
        forward("_handle_debug_exception", m);
    }
    void _handle_debug_resumed(const JsonObject& m) override {
        forward("_handle_debug_resumed", m);
    }
    void _handle_debug_terminated(const JsonObject& m) override {
        forward("_handle_debug_terminated", m);
    }
    void _handle_debug_evaluate_result(const JsonObject& m) override {
        forward("_handle_debug_evaluate_result", m);
    }
    void _handle_save_event_config_response(const JsonObject& m) override {
        forward("_handle_save_event_config_response", m);
    }
    void _handle_validate_handler_response(const JsonObject& m) override {
        forward("_handle_validate_handler_response", m);
    }
    void _handle_all_settings_response(const JsonObject& m) override {
        forward("_handle_all_settings_response", m);
    }
    void _handle_settings_response(const JsonObject& m) override {
        forward("_handle_settings_response", m);
    }

    bool _debug_active() const override { return debug_active; }
    std::optional<std::string> _current_debug_workbook() const override {
        return current_debug_workbook;
    }
    std::string _console_source_filter() const override { return console_source_filter; }
    int DEBUG_LINE_HIGHLIGHT_DELAY_MS() const override { return debug_line_delay_ms; }
    QTabWidget& editor_tabs() override { return *tabs; }
    ModuleCache& _module_cache() override { return module_cache; }
    SyncedModuleHashes& _synced_module_hashes() override { return synced_hashes; }
    Json& _pending_debug_line() override { return pending_debug_line; }
    void set_current_debug_editor(QWidget* editor) override;
    void set_watchdog_port(const Json& port) override;
    void set_auth_token(const Json& token) override;

    ProjectExplorer& project_explorer() override { return *project_explorer_; }
    TimerManager& timer_manager() override { return *timer_manager_; }
    EventManager& event_manager() override { return *event_manager_; }
    FunctionPublisher& function_publisher() override { return *function_publisher_; }
    ObjectInspector& object_inspector() override { return *object_inspector_; }
    PackageManager& package_manager() override { return *package_manager_; }

    // If set, the host's pause handler switches the debugger on itself.
    bool pause_sets_debug_active = false;

    // Typed connection events, kept apart from the call record (whose sequences the tests
    // assert; kept only while log.keep is) and passed to on_connection_event as they come.
    void connection_changed(const ConnectionEvent& event) override;
    std::vector<ConnectionEvent> connection_events() const;
    std::function<void(const ConnectionEvent&)> on_connection_event;

  private:
    void forward(const char* name, const JsonObject& m);

    mutable std::mutex events_mutex_;
    std::vector<ConnectionEvent> events_;

    std::unique_ptr<StatusBar> status_bar_;
    std::unique_ptr<ProjectExplorer> project_explorer_;
    std::unique_ptr<TimerManager> timer_manager_;
    std::unique_ptr<EventManager> event_manager_;
    std::unique_ptr<FunctionPublisher> function_publisher_;
    std::unique_ptr<ObjectInspector> object_inspector_;
    std::unique_ptr<PackageManager> package_manager_;
    int next_tag_ = 0;
};

}  // namespace quarvo_tools
