// Package handlers: five responses forwarded whole, package caches, install progress and
// completion, and resolved dependencies.
#include <quarvo_zovovi/ide/gui/handlers/common.h>

namespace quarvo_zovovi::ide::gui::handlers {
namespace {

const Json installation_complete = "Installation complete.";

void _handle_workbook_packages_update(HandlerContext& ctx, JsonObject& data) {
    const Json& workbook_id = get(data, "workbook_id");
    const Json& packages = get(data, "packages");
    // Absent package_errors: an empty object beside real packages, null otherwise.
    const Json* given_errors = find(data, "package_errors");
    const Json package_errors = given_errors         ? *given_errors
                                : packages.is_null() ? Json()
                                                     : Json(JsonObject{});
    const Json& python_paths = get(data, "python_paths");
    ctx.logger.info("[PYTHON_PATH] Received workbook_packages_update for " +
                    text_form(workbook_id));
    ctx.logger.info("[PYTHON_PATH] python_paths in message: " + text_form(python_paths));
    ctx.main_window.package_manager().update_caches(workbook_id, packages, package_errors,
                                                    python_paths);
}

void _handle_package_install_progress(HandlerContext& ctx, JsonObject& data) {
    const Json& workbook_id = get(data, "workbook_id");
    const Json& package_name = get(data, "package_name");
    const Json& status = get(data, "status");
    const Json& error = get(data, "error", empty_text);
    if (!is_set(workbook_id) || !is_set(package_name) || !is_set(status)) return;
    PackageManager& pm = ctx.main_window.package_manager();
    // Only the workbook the panel shows gets the status; every workbook gets the line.
    if (pm.get_current_workbook() == workbook_id)
        pm.update_package_status(package_name, status, error);
    const std::string name = text_form(package_name);
    const std::string_view word = status.is_string() ? std::string_view(status.get_string()) : "";
    if (word == "installing")
        pm.log_pip_output("Installing " + name + "...");
    else if (word == "installed")
        pm.log_pip_output("Successfully installed " + name);
    else if (word == "error")
        pm.log_pip_output("Error installing " + name + ": " + text_form(error));
}

void _handle_package_installation_complete(HandlerContext& ctx, JsonObject& data) {
    const Json& workbook_id = get(data, "workbook_id");
    const Json& message = get(data, "message", installation_complete);
    if (!is_set(workbook_id)) return;
    PackageManager& pm = ctx.main_window.package_manager();
    if (pm.get_current_workbook() == workbook_id)
        pm.log_pip_output_colored(text_form(message), "#2ECC71");
}

void _handle_resolved_deps_response(HandlerContext& ctx, JsonObject& data) {
    const Json& workbook_id = get(data, "workbook_id");
    const Json& deps = get(data, "deps", empty_array);
    if (!is_set(workbook_id)) return;
    PackageManager& pm = ctx.main_window.package_manager();
    if (pm.get_current_workbook() == workbook_id) pm.show_resolved_deps_popup(deps);
}

const HandlerEntry entries[] = {
    {"pip_output", "_handle_pip_output", forward<&MainWindow::_handle_pip_output>},
    {"get_package_versions_response", "_handle_package_versions_response",
     forward<&MainWindow::_handle_package_versions_response>},
    {"get_package_extras_response", "_handle_package_extras_response",
     forward<&MainWindow::_handle_package_extras_response>},
    {"get_package_info_response", "_handle_package_info_response",
     forward<&MainWindow::_handle_package_info_response>},
    {"workbook_packages_update", "_handle_workbook_packages_update",
     _handle_workbook_packages_update},
    {"package_install_progress", "_handle_package_install_progress",
     _handle_package_install_progress},
    {"package_installation_complete", "_handle_package_installation_complete",
     _handle_package_installation_complete},
    {"resolved_deps_response", "_handle_resolved_deps_response", _handle_resolved_deps_response},
    {"package_paths_updated", "_handle_package_paths_updated",
     forward<&MainWindow::_handle_package_paths_updated>},
};

}  // namespace
}  // namespace quarvo_zovovi::ide::gui::handlers

namespace quarvo_zovovi::ide::gui {
std::span<const HandlerEntry> package_handlers() {
    return handlers::entries;
}
}  // namespace quarvo_zovovi::ide::gui
