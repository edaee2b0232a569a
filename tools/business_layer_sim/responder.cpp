// Request handling of the simulator. Types and keys are those of docs/PROTOCOL.md.
#include "responder.h"

#include <quarvo_zovovi/ide/gui/core/value.h>

namespace quarvo_tools::sim {
namespace {

using quarvo_zovovi::ide::gui::get;
using quarvo_zovovi::ide::gui::JsonArray;
using quarvo_zovovi::ide::gui::text_form;

std::string text_of(const JsonObject& o, const char* key) {
    const Json& v = get(o, key);
    return v.is_null() ? std::string() : text_form(v);
}

}  // namespace

Responder::Responder() {
    modules_["wb-sales"] = JsonObject{
        {"report", "def summarise():\n    return load('sales').groupby('region').sum()\n"},
        {"cleanup", "def run():\n    drop_empty_rows()\n"},
        {"helpers", "def load(name):\n    return sheet(name).to_frame()\n"}};
    modules_["wb-ops"] = JsonObject{{"schedule", "def every_morning():\n    refresh_all()\n"},
                                    {"alerts", "def check():\n    notify_if_late()\n"}};
    settings_ = JsonObject{{"theme", "dark"}, {"font_size", 12}, {"autosave", true}};
}

std::vector<JsonObject> Responder::answer(const JsonObject& request) {
    const Json& type_value = get(request, "type");
    if (!type_value.is_string()) return {};
    const std::string type(type_value.get_string());
    const std::string workbook = text_of(request, "workbook_id");
    const std::string module = text_of(request, "module_name");
    const std::string package = text_of(request, "package_name");
    std::vector<JsonObject> out;

    if (type == "get_module") {
        const JsonObject& mods = modules_[workbook];
        const Json* code = mods.if_contains(module);
        out.push_back({{"type", "module_content"},
                       {"workbook_id", workbook},
                       {"module_name", module},
                       {"code", code ? *code : Json()}});
    } else if (type == "save_module") {
        modules_[workbook][module] = get(request, "code");
        out.push_back(
            {{"type", "module_saved"}, {"workbook_id", workbook}, {"module_name", module}});
    } else if (type == "delete_module") {
        const bool existed = modules_[workbook].erase(module) > 0;
        out.push_back({{"type", "module_deleted"},
                       {"workbook_id", workbook},
                       {"module_name", module},
                       {"success", existed}});
    } else if (type == "list_modules") {
        JsonArray names;
        for (const auto& m : modules_[workbook]) names.emplace_back(m.key());
        out.push_back({{"type", "module_list"}, {"workbook_id", workbook}, {"modules", names}});
    } else if (type == "get_all_modules") {
        out.push_back(
            {{"type", "all_modules"}, {"workbook_id", workbook}, {"modules", modules_[workbook]}});
    } else if (type == "run_module") {
        const std::string function = text_of(request, "function_name");
        out.push_back(
            {{"type", "stdout"}, {"content", "Running " + module + "...\n"}, {"source", "ide"}});
        const bool known = modules_[workbook].contains(module);
        JsonObject result{
            {"type", "execution_result"}, {"success", known}, {"function_name", function}};
        if (!known) result["error"] = "module " + module + " not found";
        out.push_back(std::move(result));
    } else if (type == "get_package_versions") {
        out.push_back({{"type", "get_package_versions_response"},
                       {"package_name", package},
                       {"versions", JsonArray{"2.31.0", "2.32.2", "2.32.3"}}});
    } else if (type == "get_package_extras") {
        out.push_back({{"type", "get_package_extras_response"},
                       {"package_name", package},
                       {"extras", JsonArray{"socks", "security"}}});
    } else if (type == "get_package_info") {
        out.push_back({{"type", "get_package_info_response"},
                       {"package_name", package},
                       {"version", "2.32.3"},
                       {"summary", "A package of the simulated index"}});
    } else if (type == "install_package") {
        for (const char* status : {"installing", "installed"})
            out.push_back({{"type", "package_install_progress"},
                           {"workbook_id", workbook},
                           {"package_name", package},
                           {"status", status}});
        out.push_back({{"type", "package_installation_complete"}, {"workbook_id", workbook}});
    } else if (type == "resolve_deps") {
        out.push_back({{"type", "resolved_deps_response"},
                       {"workbook_id", workbook},
                       {"deps", JsonArray{JsonObject{{"name", "requests"}, {"version", "2.32.3"}},
                                          JsonObject{{"name", "urllib3"}, {"version", "2.2.1"}}}}});
    } else if (type == "get_all_settings") {
        out.push_back({{"type", "all_settings_response"}, {"settings", settings_}});
    } else if (type == "get_setting") {
        const std::string key = text_of(request, "key");
        out.push_back(
            {{"type", "settings_response"}, {"key", key}, {"value", get(settings_, key)}});
    } else if (type == "save_setting") {
        const std::string key = text_of(request, "key");
        settings_[key] = get(request, "value");
        out.push_back({{"type", "setting_saved"}, {"key", key}});
    } else if (type == "debug_evaluate") {
        out.push_back({{"type", "debug_evaluate_result"},
                       {"expression", get(request, "expression")},
                       {"value", "42"}});
    } else if (type == "completion") {
        out.push_back(
            {{"type", "completion_response"},
             {"items", JsonArray{JsonObject{{"label", "summarise"}, {"kind", "function"}}}}});
    } else if (type == "signature_help") {
        out.push_back({{"type", "signature_help_response"},
                       {"signatures", JsonArray{JsonObject{{"label", "summarise()"}}}}});
    } else if (type == "hover") {
        out.push_back({{"type", "hover_response"}, {"contents", "summarise() -> DataFrame"}});
    } else if (type == "diagnostics") {
        out.push_back({{"type", "diagnostic_response"},
                       {"workbook_id", workbook},
                       {"module_name", module},
                       {"diagnostics", JsonArray{}}});
    }
    if (!out.empty())
        if (const Json* id = request.if_contains("request_id")) out.back()["request_id"] = *id;
    return out;
}

}  // namespace quarvo_tools::sim
