// The recording host's panels and call log.
#include "recording_host.h"

#include <QCoreApplication>
#include <QThread>

#include <quarvo_zovovi/ide/gui/core/json_text.h>

namespace quarvo_tools {
namespace {

bool on_gui_thread() {
    return QCoreApplication::instance() &&
           QThread::currentThread() == QCoreApplication::instance()->thread();
}

Json text(std::string_view s) {
    return Json(boost::json::string(s));
}

class RecordingStatusBar final : public StatusBar {
  public:
    explicit RecordingStatusBar(CallLog& log) : log_(log) {}
    void showMessage(std::string_view message) override {
        log_.record("statusBar.showMessage", {text(message)});
    }

  private:
    CallLog& log_;
};

class RecordingProjectExplorer final : public ProjectExplorer {
  public:
    RecordingProjectExplorer(CallLog& log, std::set<std::string>& items)
        : log_(log), items_(items) {}
    void add_workbook(const std::string& id, const Json& name) override {
        log_.record("project_explorer.add_workbook", {text(id), name});
        items_.insert(id);
    }
    void remove_workbook(const std::string& id) override {
        log_.record("project_explorer.remove_workbook", {text(id)});
        items_.erase(id);
    }
    void set_modules(const std::string& id, const JsonArray& names) override {
        log_.record("project_explorer.set_modules", {text(id), names});
    }
    std::set<std::string> _workbook_items() const override { return items_; }

  private:
    CallLog& log_;
    std::set<std::string>& items_;
};

class RecordingTimerManager final : public TimerManager {
  public:
    explicit RecordingTimerManager(CallLog& log) : log_(log) {}
    void add_workbook(const std::string& id, const Json& name) override {
        log_.record("timer_manager.add_workbook", {text(id), name});
    }
    void remove_workbook(const std::string& id) override {
        log_.record("timer_manager.remove_workbook", {text(id)});
    }
    void update_workbook_name(const std::string& id, const Json& name) override {
        log_.record("timer_manager.update_workbook_name", {text(id), name});
    }
    void update_ontime_config(const std::string& id, const Json& events) override {
        log_.record("timer_manager.update_ontime_config", {text(id), events});
    }

  private:
    CallLog& log_;
};

class RecordingEventManager final : public EventManager {
  public:
    RecordingEventManager(CallLog& log, ModuleCache& cache) : log_(log), cache_(cache) {}
    void set_module_cache(const std::string& id, const JsonObject& modules) override {
        log_.record("event_manager.set_module_cache", {text(id), modules});
        cache_[id] = modules;
    }
    void update_workbook_name(const std::string& id, const Json& name) override {
        log_.record("event_manager.update_workbook_name", {text(id), name});
    }
    void update_state(const std::string& id, const JsonObject& data) override {
        log_.record("event_manager.update_state", {text(id), data});
    }
    ModuleCache& _module_cache() override { return cache_; }

  private:
    CallLog& log_;
    ModuleCache& cache_;
};

class RecordingFunctionPublisher final : public FunctionPublisher {
  public:
    explicit RecordingFunctionPublisher(CallLog& log) : log_(log) {}
    void update_workbook_name(const std::string& id, const Json& name) override {
        log_.record("function_publisher.update_workbook_name", {text(id), name});
    }
    void update_publications_from_server(const std::string& id, const Json& functions) override {
        log_.record("function_publisher.update_publications_from_server", {text(id), functions});
    }

  private:
    CallLog& log_;
};

class RecordingObjectInspector final : public ObjectInspector {
  public:
    explicit RecordingObjectInspector(CallLog& log) : log_(log) {}
    void update_workbook_name(const std::string& id, const Json& name) override {
        log_.record("object_inspector.update_workbook_name", {text(id), name});
    }
    void handle_registry_update(const std::string& id, const Json& action,
                                const JsonObject& data) override {
        log_.record("object_inspector.handle_registry_update", {text(id), action, data});
    }
    void handle_registry_response(const std::string& id, const Json& objects) override {
        log_.record("object_inspector.handle_registry_response", {text(id), objects});
    }

  private:
    CallLog& log_;
};

class RecordingPackageManager final : public PackageManager {
  public:
    RecordingPackageManager(CallLog& log, Json& current) : log_(log), current_(current) {}
    void update_workbook_name(const std::string& id, const Json& name) override {
        log_.record("package_manager.update_workbook_name", {text(id), name});
    }
    Json get_current_workbook() override {
        log_.record("package_manager.get_current_workbook", {});
        return current_;
    }
    void update_package_status(const Json& name, const Json& status, const Json& error) override {
        log_.record("package_manager.update_package_status", {name, status, error});
    }
    void log_pip_output(std::string_view line) override {
        log_.record("package_manager.log_pip_output", {text(line)});
    }
    void log_pip_output_colored(std::string_view line, std::string_view color) override {
        log_.record("package_manager.log_pip_output_colored", {text(line), text(color)});
    }
    void show_resolved_deps_popup(const Json& deps) override {
        log_.record("package_manager.show_resolved_deps_popup", {deps});
    }
    void update_caches(const Json& id, const Json& packages, const Json& errors,
                       const Json& paths) override {
        log_.record("package_manager.update_caches", {id, packages, errors, paths});
    }

  private:
    CallLog& log_;
    Json& current_;
};

}  // namespace

void CallLog::record(std::string name, JsonArray args) {
    Call call{std::move(name), std::move(args), on_gui_thread()};
    if (on_call) on_call(call);
    if (!keep) return;
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
}

std::vector<Call> CallLog::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<std::string> CallLog::names() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const Call& c : calls_) out.push_back(c.name);
    return out;
}

std::vector<Call> CallLog::named(std::string_view name) const {
    std::lock_guard lock(mutex_);
    std::vector<Call> out;
    for (const Call& c : calls_)
        if (c.name == name) out.push_back(c);
    return out;
}

size_t CallLog::size() const {
    std::lock_guard lock(mutex_);
    return calls_.size();
}

void CallLog::clear() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

std::string CallLog::dump() const {
    std::lock_guard lock(mutex_);
    std::string out;
    for (const Call& c : calls_) {
        out += c.name;
        append_json(out, Json(c.args), compact_style);
        out += '\n';
    }
    return out;
}

FakeEditor::FakeEditor(CallLog& log, std::string workbook_id, int tag)
    : log_(log), workbook_id_(std::move(workbook_id)), tag_(tag) {}

void FakeEditor::set_debug_line(const Json& line) {
    log_.record("editor.set_debug_line", {tag_, line});
}

RecordingHost::RecordingHost()
    : window(std::make_unique<QWidget>()),
      tabs(new QTabWidget(window.get())),  // owned by its Qt parent
      status_bar_(std::make_unique<RecordingStatusBar>(log)),
      project_explorer_(std::make_unique<RecordingProjectExplorer>(log, workbook_items)),
      timer_manager_(std::make_unique<RecordingTimerManager>(log)),
      event_manager_(std::make_unique<RecordingEventManager>(log, event_module_cache)),
      function_publisher_(std::make_unique<RecordingFunctionPublisher>(log)),
      object_inspector_(std::make_unique<RecordingObjectInspector>(log)),
      package_manager_(std::make_unique<RecordingPackageManager>(log, current_workbook)) {}

RecordingHost::~RecordingHost() = default;

void RecordingHost::connection_changed(const ConnectionEvent& event) {
    if (log.keep) {  // a long-running host keeps none, as it keeps no calls
        std::lock_guard lock(events_mutex_);
        events_.push_back(event);
    }
    if (on_connection_event) on_connection_event(event);
}

std::vector<ConnectionEvent> RecordingHost::connection_events() const {
    std::lock_guard lock(events_mutex_);
    return events_;
}

int RecordingHost::add_tab(const std::string& title, const std::string& workbook_id, bool editor) {
    QWidget* page =
        editor ? static_cast<QWidget*>(new FakeEditor(log, workbook_id, next_tag_)) : new QWidget();
    ++next_tag_;
    return tabs->addTab(page, QString::fromStdString(title));  // the tab widget owns the page
}

void RecordingHost::log_to_console(std::string_view message, std::optional<std::string_view> color,
                                   OutputLevel level, std::optional<bool> from_std) {
    JsonArray args{text(message), color ? text(*color) : Json(), text(to_string(level))};
    if (from_std) args.push_back(*from_std);
    log.record("log_to_console", std::move(args));
}

void RecordingHost::add_editor_tab(const std::string& module_name, const Json& code,
                                   const std::string& workbook_id) {
    log.record("add_editor_tab", {text(module_name), code, text(workbook_id)});
}
void RecordingHost::set_workbook_name(const std::string& id, const Json& name) {
    log.record("set_workbook_name", {text(id), name});
}
void RecordingHost::_update_workbook_name(const std::string& id, const Json& name) {
    log.record("_update_workbook_name", {text(id), name});
}
void RecordingHost::_close_tabs_for_workbook(const std::string& id) {
    log.record("_close_tabs_for_workbook", {text(id)});
}
void RecordingHost::_debug_stop() {
    log.record("_debug_stop", {});
}
void RecordingHost::_set_debug_state(bool active, const std::string& id) {
    log.record("_set_debug_state", {active, text(id)});
}
void RecordingHost::show_and_focus() {
    log.record("show_and_focus", {});
}
void RecordingHost::_show_error_light() {
    log.record("_show_error_light", {});
}
void RecordingHost::_handle_debug_paused(const JsonObject& m) {
    forward("_handle_debug_paused", m);
    if (pause_sets_debug_active) debug_active = true;
}
void RecordingHost::set_current_debug_editor(QWidget* editor) {
    current_debug_editor = editor;
    log.record("set_current_debug_editor", {tabs->indexOf(editor)});
}
void RecordingHost::set_watchdog_port(const Json& port) {
    watchdog_port = port;
    log.record("set_watchdog_port", {port});
}
void RecordingHost::set_auth_token(const Json& token) {
    auth_token = token;
    log.record("set_auth_token", {token});
}
void RecordingHost::forward(const char* name, const JsonObject& m) {
    log.record(name, {m});
}

}  // namespace quarvo_tools
