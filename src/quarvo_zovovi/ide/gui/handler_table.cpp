// The table's order and its assembly from the handler families.
#include <quarvo_zovovi/ide/gui/handler_table.h>

namespace quarvo_zovovi::ide::gui {

const std::array<std::string_view, 47> MESSAGE_TYPES = {
    "watchdog_info",
    "workbook_connected",
    "workbook_disconnected",
    "workbook_name_changed",
    "workbook_list",
    "module_content",
    "module_deleted",
    "module_saved",
    "module_list",
    "all_modules",
    "pip_output",
    "get_package_versions_response",
    "get_package_extras_response",
    "get_package_info_response",
    "workbook_packages_update",
    "package_install_progress",
    "package_installation_complete",
    "resolved_deps_response",
    "package_paths_updated",
    "stdout",
    "stderr",
    "result_output",
    "execution_result",
    "completion_response",
    "signature_help_response",
    "hover_response",
    "diagnostic_response",
    "event_manager_state",
    "ontime_event_manager_state",
    "register_handler_result",
    "unregister_handler_result",
    "save_event_config_response",
    "validate_handler_response",
    "published_functions_state",
    "object_registry_update",
    "object_registry_response",
    "debug_paused",
    "debug_exception",
    "debug_resumed",
    "debug_terminated",
    "debug_evaluate_result",
    "all_settings_response",
    "settings_response",
    "setting_saved",
    "show_ide",
    "message_ide",
    "log_to_console",
};

HandlerTable::HandlerTable() {
    std::unordered_map<std::string_view, HandlerEntry, Hash, std::equal_to<>> available;
    for (auto family :
         {workbook_handlers(), module_handlers(), package_handlers(), console_handlers(),
          language_handlers(), debugger_handlers(), automation_handlers(), settings_handlers()})
        for (const HandlerEntry& e : family) available.emplace(e.type, e);
    for (std::string_view type : MESSAGE_TYPES) {
        auto it = available.find(type);
        if (it == available.end()) continue;
        index_.emplace(it->second.type, entries_.size());
        entries_.push_back(it->second);
    }
}

const HandlerEntry* HandlerTable::find(std::string_view type) const {
    auto it = index_.find(type);
    return it == index_.end() ? nullptr : &entries_[it->second];
}

}  // namespace quarvo_zovovi::ide::gui
