// Automation handlers: event-manager and on-time state, published functions, the object
// registry, handler registration results, and two forwarded responses.
#include <quarvo_zovovi/ide/gui/handlers/common.h>

namespace quarvo_zovovi::ide::gui::handlers {
namespace {

// The member, or a fresh empty array when it is absent.
Json array_or_empty(const JsonObject& data, std::string_view key) {
    const Json* v = find(data, key);
    return v ? *v : Json(JsonArray{});
}

void _handle_event_manager_state(HandlerContext& ctx, JsonObject& data) {
    const Json& workbook_id = get(data, "workbook_id");
    if (!is_set(workbook_id)) return;
    const std::string id = workbook_key(workbook_id);
    ctx.main_window.event_manager().update_state(id, data);
    ctx.logger.debug("[IDE] Updated event manager state for workbook: " + id);
}

void _handle_ontime_event_manager_state(HandlerContext& ctx, JsonObject& data) {
    const Json& workbook_id = get(data, "workbook_id");
    if (!is_set(workbook_id)) return;
    const std::string id = workbook_key(workbook_id);
    ctx.main_window.timer_manager().update_ontime_config(id, array_or_empty(data, "ontime_events"));
    ctx.logger.debug("[IDE] Updated on-time event manager state for workbook: " + id);
}

void _handle_published_functions_state(HandlerContext& ctx, JsonObject& data) {
    const Json& workbook_id = get(data, "workbook_id");
    if (!is_set(workbook_id)) return;
    const std::string id = workbook_key(workbook_id);
    ctx.main_window.function_publisher().update_publications_from_server(
        id, array_or_empty(data, "functions"));
    ctx.logger.debug("[IDE] Updated published functions for workbook: " + id);
}

void _handle_object_registry_response(HandlerContext& ctx, JsonObject& data) {
    const Json& workbook_id = get(data, "workbook_id");
    if (!is_set(workbook_id)) return;
    const std::string id = workbook_key(workbook_id);
    ctx.main_window.object_inspector().handle_registry_response(id,
                                                                array_or_empty(data, "objects"));
    ctx.logger.debug("[IDE] Handled object_registry_response for " + id);
}

void _handle_object_registry_update(HandlerContext& ctx, JsonObject& data) {
    const Json& workbook_id = get(data, "workbook_id");
    const Json& action = get(data, "action");
    if (!is_set(workbook_id) || !is_set(action)) return;
    const std::string id = workbook_key(workbook_id);
    ctx.main_window.object_inspector().handle_registry_update(id, action, data);
    ctx.logger.debug("[IDE] Handled object_registry_update: " + text_form(action) + " for " + id);
}

// One console line; a success passes no colour at all, a failure the error colour.
void registration_result(HandlerContext& ctx, const JsonObject& data, std::string_view done,
                         std::string_view failed) {
    const std::string handler =
        text_form(get(data, "object_id")) + "." + text_form(get(data, "event_name"));
    if (is_set(get(data, "success", false_value)))
        console(ctx, std::string(done) + handler, OutputLevel::SIMPLE);
    else
        console(ctx, std::string(failed) + handler, OutputLevel::SIMPLE, "#ff6b6b");
}

void _handle_register_handler_result(HandlerContext& ctx, JsonObject& data) {
    registration_result(ctx, data, "Handler registered: ", "Failed to register handler: ");
}

void _handle_unregister_handler_result(HandlerContext& ctx, JsonObject& data) {
    registration_result(ctx, data, "Handler unregistered: ", "Failed to unregister handler: ");
}

const HandlerEntry entries[] = {
    {"event_manager_state", "_handle_event_manager_state", _handle_event_manager_state},
    {"ontime_event_manager_state", "_handle_ontime_event_manager_state",
     _handle_ontime_event_manager_state},
    {"register_handler_result", "_handle_register_handler_result", _handle_register_handler_result},
    {"unregister_handler_result", "_handle_unregister_handler_result",
     _handle_unregister_handler_result},
    {"save_event_config_response", "_handle_save_event_config_response",
     forward<&MainWindow::_handle_save_event_config_response>},
    {"validate_handler_response", "_handle_validate_handler_response",
     forward<&MainWindow::_handle_validate_handler_response>},
    {"published_functions_state", "_handle_published_functions_state",
     _handle_published_functions_state},
    {"object_registry_update", "_handle_object_registry_update", _handle_object_registry_update},
    {"object_registry_response", "_handle_object_registry_response",
     _handle_object_registry_response},
};

}  // namespace
}  // namespace quarvo_zovovi::ide::gui::handlers

namespace quarvo_zovovi::ide::gui {
std::span<const HandlerEntry> automation_handlers() {
    return handlers::entries;
}
}  // namespace quarvo_zovovi::ide::gui
