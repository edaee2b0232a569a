// Workbook handlers: a workbook connecting, disconnecting, being renamed, and the full list.
#include <unordered_map>
#include <vector>

#include <quarvo_zovovi/ide/gui/handlers/common.h>

namespace quarvo_zovovi::ide::gui::handlers {
namespace {

void _handle_workbook_connected(HandlerContext& ctx, JsonObject& data) {
    const Json& workbook_id = get(data, "workbook_id");
    const Json& name = get(data, "name");
    Json* own_modules = data.if_contains("modules");
    const JsonObject& modules = own_modules ? own_modules->as_object() : empty_object.get_object();
    const JsonArray module_names = keys_of(modules);
    if (!is_non_empty(workbook_id)) return;
    MainWindow& w = ctx.main_window;
    const std::string id = workbook_key(workbook_id);
    w.project_explorer().add_workbook(id, name);
    if (!module_names.empty()) w.project_explorer().set_modules(id, module_names);
    JsonObject& cached = cache_modules(
        w, id, own_modules ? std::move(own_modules->as_object()) : JsonObject(modules));
    w.event_manager().set_module_cache(id, cached);
    w.timer_manager().add_workbook(id, name);
    const std::string display_name = is_non_empty(name) ? text_form(name) : id;
    console(ctx, "Workbook connected: " + display_name, OutputLevel::DETAILED);
}

void _handle_workbook_disconnected(HandlerContext& ctx, JsonObject& data) {
    const Json& workbook_id = get(data, "workbook_id");
    if (!is_non_empty(workbook_id)) return;
    MainWindow& w = ctx.main_window;
    const std::string id = workbook_key(workbook_id);
    // The debugger goes first, while the workbook is still in the tree.
    if (w._debug_active() && w._current_debug_workbook() == id) {
        ctx.logger.info("[IDE] Stopping debugger - workbook " + id + " disconnected");
        w._debug_stop();
    }
    w.project_explorer().remove_workbook(id);
    w.timer_manager().remove_workbook(id);
    w._close_tabs_for_workbook(id);
    w._module_cache().erase(id);
    w.event_manager()._module_cache().erase(id);
    w._synced_module_hashes().erase(id);
    console(ctx, "Workbook disconnected: " + id, OutputLevel::DETAILED);
}

void _handle_workbook_name_changed(HandlerContext& ctx, JsonObject& data) {
    const Json& workbook_id = get(data, "workbook_id");
    const Json& old_name = get(data, "old_name");
    const Json& new_name = get(data, "new_name");
    if (!is_non_empty(workbook_id) || !is_non_empty(new_name)) return;
    MainWindow& w = ctx.main_window;
    const std::string id = workbook_key(workbook_id);
    w._update_workbook_name(id, new_name);
    w.event_manager().update_workbook_name(id, new_name);
    w.function_publisher().update_workbook_name(id, new_name);
    w.object_inspector().update_workbook_name(id, new_name);
    w.package_manager().update_workbook_name(id, new_name);
    w.timer_manager().update_workbook_name(id, new_name);
    console(ctx, "Workbook renamed: " + text_form(old_name) + " -> " + text_form(new_name),
            OutputLevel::DETAILED);
}

// The complete list: adds the workbooks the tree lacks and removes those that have gone.
// Unlike the single-workbook handlers it neither tells the event manager, nor stops the
// debugger, nor closes tabs.
void _handle_workbook_list(HandlerContext& ctx, JsonObject& data) {
    const JsonArray& workbooks = get(data, "workbooks", empty_array).as_array();
    MainWindow& w = ctx.main_window;
    const std::set<std::string> current_workbooks = w.project_explorer()._workbook_items();

    struct Entry {
        std::string id;
        Json name;
        Json modules;
    };
    std::vector<Entry> listed;  // first-seen order; a later duplicate replaces the values
    std::unordered_map<std::string, size_t> position;
    for (const Json& wb : workbooks) {
        Entry entry;
        if (wb.is_object()) {
            const Json* id = find(wb.get_object(), "id");
            if (!id || id->is_null()) continue;
            entry = {workbook_key(*id), get(wb.get_object(), "name"),
                     get(wb.get_object(), "modules", empty_object)};
        } else {
            entry = {workbook_key(wb), nullptr, JsonObject{}};
        }
        auto [it, fresh] = position.emplace(entry.id, listed.size());
        if (fresh)
            listed.push_back(std::move(entry));
        else
            listed[it->second] = std::move(entry);
    }

    for (Entry& e : listed) {
        if (current_workbooks.contains(e.id)) continue;
        w.set_workbook_name(e.id, e.name);
        w.project_explorer().add_workbook(e.id, e.name);
        w.timer_manager().add_workbook(e.id, e.name);
        const JsonObject& modules = e.modules.as_object();
        const JsonArray module_names = keys_of(modules);
        if (!module_names.empty()) w.project_explorer().set_modules(e.id, module_names);
        cache_modules(w, e.id, std::move(e.modules.as_object()));
    }
    for (const std::string& id : current_workbooks) {
        if (position.contains(id)) continue;
        w.project_explorer().remove_workbook(id);
        w.timer_manager().remove_workbook(id);
        w._module_cache().erase(id);
        w._synced_module_hashes().erase(id);
    }
    console(ctx, "Received workbook list: " + std::to_string(workbooks.size()) + " workbooks",
            OutputLevel::DETAILED);
}

const HandlerEntry entries[] = {
    {"workbook_connected", "_handle_workbook_connected", _handle_workbook_connected},
    {"workbook_disconnected", "_handle_workbook_disconnected", _handle_workbook_disconnected},
    {"workbook_name_changed", "_handle_workbook_name_changed", _handle_workbook_name_changed},
    {"workbook_list", "_handle_workbook_list", _handle_workbook_list},
};

}  // namespace
}  // namespace quarvo_zovovi::ide::gui::handlers

namespace quarvo_zovovi::ide::gui {
std::span<const HandlerEntry> workbook_handlers() {
    return handlers::entries;
}
}  // namespace quarvo_zovovi::ide::gui
