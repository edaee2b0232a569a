// The defaults of HostWindow: panels that do nothing or keep what the client reads back.
#include <quarvo_zovovi/ide/gui/host/host_window.h>

#include <QTabWidget>

namespace quarvo_zovovi::ide::gui {
namespace {

class QuietStatusBar final : public StatusBar {
  public:
    void showMessage(std::string_view) override {}
};

class KeptProjectExplorer final : public ProjectExplorer {
  public:
    void add_workbook(const std::string& id, const Json&) override { workbooks_.insert(id); }
    void remove_workbook(const std::string& id) override { workbooks_.erase(id); }
    void set_modules(const std::string&, const JsonArray&) override {}
    std::set<std::string> _workbook_items() const override { return workbooks_; }

  private:
    std::set<std::string> workbooks_;
};

class QuietTimerManager final : public TimerManager {
  public:
    void add_workbook(const std::string&, const Json&) override {}
    void remove_workbook(const std::string&) override {}
    void update_workbook_name(const std::string&, const Json&) override {}
    void update_ontime_config(const std::string&, const Json&) override {}
};

class KeptEventManager final : public EventManager {
  public:
    void set_module_cache(const std::string& id, const JsonObject& modules) override {
        cache_[id] = modules;
    }
    void update_workbook_name(const std::string&, const Json&) override {}
    void update_state(const std::string&, const JsonObject&) override {}
    ModuleCache& _module_cache() override { return cache_; }

  private:
    ModuleCache cache_;
};

class QuietFunctionPublisher final : public FunctionPublisher {
  public:
    void update_workbook_name(const std::string&, const Json&) override {}
    void update_publications_from_server(const std::string&, const Json&) override {}
};

class QuietObjectInspector final : public ObjectInspector {
  public:
    void update_workbook_name(const std::string&, const Json&) override {}
    void handle_registry_update(const std::string&, const Json&, const JsonObject&) override {}
    void handle_registry_response(const std::string&, const Json&) override {}
};

class QuietPackageManager final : public PackageManager {
  public:
    void update_workbook_name(const std::string&, const Json&) override {}
    Json get_current_workbook() override { return nullptr; }
    void update_package_status(const Json&, const Json&, const Json&) override {}
    void log_pip_output(std::string_view) override {}
    void log_pip_output_colored(std::string_view, std::string_view) override {}
    void show_resolved_deps_popup(const Json&) override {}
    void update_caches(const Json&, const Json&, const Json&, const Json&) override {}
};

}  // namespace

struct HostWindow::Defaults {
    QWidget* window = nullptr;
    bool debug_active = false;
    std::optional<std::string> debug_workbook;
    std::unique_ptr<QTabWidget> tabs;  // made on first use: it needs the QApplication
    ModuleCache module_cache;
    SyncedModuleHashes hashes;
    Json pending_debug_line;
    QWidget* debug_editor = nullptr;
    Json watchdog_port;
    Json auth_token;
    QuietStatusBar status_bar;
    KeptProjectExplorer project_explorer;
    QuietTimerManager timer_manager;
    KeptEventManager event_manager;
    QuietFunctionPublisher function_publisher;
    QuietObjectInspector object_inspector;
    QuietPackageManager package_manager;
};

HostWindow::HostWindow(QWidget* window) : defaults_(std::make_unique<Defaults>()) {
    defaults_->window = window;
}

HostWindow::~HostWindow() = default;

QWidget* HostWindow::widget() {
    return defaults_->window;
}
void HostWindow::log_to_console(std::string_view, std::optional<std::string_view>, OutputLevel,
                                std::optional<bool>) {}
StatusBar& HostWindow::statusBar() {
    return defaults_->status_bar;
}
void HostWindow::add_editor_tab(const std::string&, const Json&, const std::string&) {}
void HostWindow::set_workbook_name(const std::string&, const Json&) {}
void HostWindow::_update_workbook_name(const std::string&, const Json&) {}
void HostWindow::_close_tabs_for_workbook(const std::string&) {}
void HostWindow::_debug_stop() {
    defaults_->debug_active = false;
    defaults_->debug_workbook.reset();
}
void HostWindow::_set_debug_state(bool active, const std::string& workbook_id) {
    defaults_->debug_active = active;
    if (active)
        defaults_->debug_workbook = workbook_id;
    else
        defaults_->debug_workbook.reset();
}
void HostWindow::show_and_focus() {}
void HostWindow::_show_error_light() {}

void HostWindow::_handle_pip_output(const JsonObject&) {}
void HostWindow::_handle_package_versions_response(const JsonObject&) {}
void HostWindow::_handle_package_extras_response(const JsonObject&) {}
void HostWindow::_handle_package_info_response(const JsonObject&) {}
void HostWindow::_handle_package_paths_updated(const JsonObject&) {}
void HostWindow::_handle_completion_response(const JsonObject&) {}
void HostWindow::_handle_signature_help_response(const JsonObject&) {}
void HostWindow::_handle_hover_response(const JsonObject&) {}
void HostWindow::_handle_diagnostic_response(const JsonObject&) {}
void HostWindow::_handle_debug_paused(const JsonObject&) {}
void HostWindow::_handle_debug_exception(const JsonObject&) {}
void HostWindow::_handle_debug_resumed(const JsonObject&) {}
void HostWindow::_handle_debug_terminated(const JsonObject&) {}
void HostWindow::_handle_debug_evaluate_result(const JsonObject&) {}
void HostWindow::_handle_save_event_config_response(const JsonObject&) {}
void HostWindow::_handle_validate_handler_response(const JsonObject&) {}
void HostWindow::_handle_all_settings_response(const JsonObject&) {}
void HostWindow::_handle_settings_response(const JsonObject&) {}

bool HostWindow::_debug_active() const {
    return defaults_->debug_active;
}
std::optional<std::string> HostWindow::_current_debug_workbook() const {
    return defaults_->debug_workbook;
}
std::string HostWindow::_console_source_filter() const {
    return "all";
}
int HostWindow::DEBUG_LINE_HIGHLIGHT_DELAY_MS() const {
    return 0;
}
QTabWidget& HostWindow::editor_tabs() {
    if (!defaults_->tabs) defaults_->tabs = std::make_unique<QTabWidget>();
    return *defaults_->tabs;
}

ModuleCache& HostWindow::_module_cache() {
    return defaults_->module_cache;
}
SyncedModuleHashes& HostWindow::_synced_module_hashes() {
    return defaults_->hashes;
}
Json& HostWindow::_pending_debug_line() {
    return defaults_->pending_debug_line;
}

void HostWindow::set_current_debug_editor(QWidget* editor) {
    defaults_->debug_editor = editor;
}
void HostWindow::set_watchdog_port(const Json& port) {
    defaults_->watchdog_port = port;
}
void HostWindow::set_auth_token(const Json& token) {
    defaults_->auth_token = token;
}

ProjectExplorer& HostWindow::project_explorer() {
    return defaults_->project_explorer;
}
TimerManager& HostWindow::timer_manager() {
    return defaults_->timer_manager;
}
EventManager& HostWindow::event_manager() {
    return defaults_->event_manager;
}
FunctionPublisher& HostWindow::function_publisher() {
    return defaults_->function_publisher;
}
ObjectInspector& HostWindow::object_inspector() {
    return defaults_->object_inspector;
}
PackageManager& HostWindow::package_manager() {
    return defaults_->package_manager;
}

QWidget* HostWindow::current_debug_editor() const {
    return defaults_->debug_editor;
}
const Json& HostWindow::watchdog_port() const {
    return defaults_->watchdog_port;
}
const Json& HostWindow::auth_token() const {
    return defaults_->auth_token;
}

}  // namespace quarvo_zovovi::ide::gui
