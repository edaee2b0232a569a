// Module handlers: a module's source (and a debugger line waiting for its editor), deletions,
// saves, a workbook's module names, and all modules of a workbook.
#include <QPointer>
#include <QTabWidget>
#include <QTimer>
#include <QWidget>

#include <quarvo_zovovi/ide/gui/handlers/common.h>
#include <quarvo_zovovi/ide/gui/host/qt_thread.h>

namespace quarvo_zovovi::ide::gui::handlers {
namespace {

// Places the debugger line that waited for this module, in the first open editor that shows
// it, after the host's delay. The pending line is cleared whether or not an editor matched.
void place_pending_debug_line(MainWindow& w, const std::string& workbook_id,
                              const std::string& module_name, const Json& raw_workbook_id,
                              const Json& raw_module_name) {
    const Json& pending = w._pending_debug_line();
    if (!is_set(pending)) return;
    const JsonObject& p = pending.as_object();
    if (get(p, "workbook_id") != raw_workbook_id || get(p, "module_name") != raw_module_name)
        return;
    const Json pending_line = p.at("line");

    QTabWidget& tabs = w.editor_tabs();
    for (int i = 0; i < tabs.count(); ++i) {
        QWidget* widget = tabs.widget(i);
        auto* editor = dynamic_cast<MonacoEditor*>(widget);
        if (!editor) continue;
        std::string tab_module = tabs.tabText(i).toStdString();
        if (tab_module.ends_with(".py")) tab_module.resize(tab_module.size() - 3);
        if (tab_module != module_name || editor->workbook_id() != workbook_id) continue;
        // The editor may be closed before the timer fires: a QPointer notices.
        QTimer::singleShot(w.DEBUG_LINE_HIGHLIGHT_DELAY_MS(), widget,
                           [target = QPointer<QWidget>(widget), pending_line] {
                               Task place([&] {
                                   if (auto* e = dynamic_cast<MonacoEditor*>(target.data()))
                                       e->set_debug_line(pending_line);
                               });
                               run_guarded(place);  // no exception may reach Qt's event loop
                           });
        w.set_current_debug_editor(widget);
        break;
    }
    w._pending_debug_line() = nullptr;
}

void _handle_module_content(HandlerContext& ctx, JsonObject& data) {
    const Json& workbook_id = get(data, "workbook_id");
    const Json& module_name = get(data, "module_name");
    const Json& code = get(data, "code");
    MainWindow& w = ctx.main_window;
    if (is_non_empty(workbook_id) && is_non_empty(module_name) && !code.is_null()) {
        const std::string id = workbook_key(workbook_id);
        const std::string name = text_form(module_name);
        JsonObject& modules = w._module_cache()[id];
        modules[name] = code;
        w.event_manager().set_module_cache(id, modules);
        w.add_editor_tab(name, code, id);
        console(ctx, "Opened module: " + name, OutputLevel::DETAILED);
        place_pending_debug_line(w, id, name, workbook_id, module_name);
    } else if (code.is_null()) {
        console(ctx, "Module not found: " + text_form(module_name), OutputLevel::DETAILED,
                "#ff6b6b");
    }
}

void _handle_module_deleted(HandlerContext& ctx, JsonObject& data) {
    const std::string name = text_form(get(data, "module_name"));
    if (is_set(get(data, "success", false_value)))
        ctx.logger.debug("Module '" + name + "' deleted from Business Layer");
    else
        ctx.logger.warning("Failed to delete module '" + name + "' from Business Layer");
}

void _handle_module_saved(HandlerContext& ctx, JsonObject& data) {
    ctx.logger.debug("Module '" + text_form(get(data, "module_name")) +
                     "' saved to Business Layer");
}

void _handle_module_list(HandlerContext& ctx, JsonObject& data) {
    const Json& workbook_id = get(data, "workbook_id");
    const Json& modules = get(data, "modules", empty_array);
    if (!is_non_empty(workbook_id)) return;
    ctx.main_window.project_explorer().set_modules(workbook_key(workbook_id), modules.as_array());
}

void _handle_all_modules(HandlerContext& ctx, JsonObject& data) {
    const Json& workbook_id = get(data, "workbook_id");
    const Json& modules_value = get(data, "modules", empty_object);
    if (!is_non_empty(workbook_id) || !is_set(modules_value)) return;
    MainWindow& w = ctx.main_window;
    const std::string id = workbook_key(workbook_id);
    // Set, so the message's own (not the default).
    JsonObject& modules = data.at("modules").as_object();
    JsonObject& cached = cache_modules(w, id, std::move(modules));
    w.event_manager().set_module_cache(id, cached);
    w.project_explorer().set_modules(id, keys_of(cached));
}

const HandlerEntry entries[] = {
    {"module_content", "_handle_module_content", _handle_module_content},
    {"module_deleted", "_handle_module_deleted", _handle_module_deleted},
    {"module_saved", "_handle_module_saved", _handle_module_saved},
    {"module_list", "_handle_module_list", _handle_module_list},
    {"all_modules", "_handle_all_modules", _handle_all_modules},
};

}  // namespace
}  // namespace quarvo_zovovi::ide::gui::handlers

namespace quarvo_zovovi::ide::gui {
std::span<const HandlerEntry> module_handlers() {
    return handlers::entries;
}
}  // namespace quarvo_zovovi::ide::gui
