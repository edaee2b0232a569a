// Scenario files and the built-in scenarios.
#include "scenario.h"

#include <boost/json/parse.hpp>
#include <fstream>

namespace quarvo_tools::sim {
namespace {

using quarvo_zovovi::ide::gui::Json;
using quarvo_zovovi::ide::gui::JsonArray;

Action send(JsonObject message) {
    return Action{Action::send, std::move(message), {}, 0, 0};
}
Action pause(long long ms) {
    return Action{Action::sleep, {}, {}, ms, 0};
}

// A plausible session: watchdog details, two workbooks with modules, a run with output, a
// package installation, automation state and log lines.
Scenario demo() {
    const JsonObject sales_modules{
        {"report", "def summarise():\n    return load('sales').groupby('region').sum()\n"},
        {"cleanup", "def run():\n    drop_empty_rows()\n"},
        {"helpers", "def load(name):\n    return sheet(name).to_frame()\n"}};
    const JsonObject ops_modules{{"schedule", "def every_morning():\n    refresh_all()\n"},
                                 {"alerts", "def check():\n    notify_if_late()\n"}};
    Scenario s{"demo", {}};
    auto& a = s.actions;
    a.push_back(
        send({{"type", "watchdog_info"}, {"watchdog_port", 9100}, {"auth_token", "demo-token"}}));
    a.push_back(send(
        {{"type", "workbook_list"},
         {"workbooks",
          JsonArray{
              JsonObject{{"id", "wb-sales"}, {"name", "Sales.xlsx"}, {"modules", sales_modules}},
              JsonObject{
                  {"id", "wb-ops"}, {"name", "Operations.xlsx"}, {"modules", ops_modules}}}}}));
    a.push_back(send({{"type", "workbook_connected"},
                      {"workbook_id", "wb-sales"},
                      {"name", "Sales.xlsx"},
                      {"modules", sales_modules}}));
    a.push_back(
        send({{"type", "all_modules"}, {"workbook_id", "wb-ops"}, {"modules", ops_modules}}));
    a.push_back(pause(300));
    a.push_back(
        send({{"type", "stdout"}, {"content", "Loading sales data...\n"}, {"source", "ide"}}));
    a.push_back(send({{"type", "stdout"}, {"content", "Read 1204 rows\n"}, {"source", "ide"}}));
    a.push_back(send(
        {{"type", "stderr"}, {"content", "Warning: 3 rows have no region\n"}, {"source", "ide"}}));
    a.push_back(
        send({{"type", "result_output"}, {"content", "\n42 regions\n"}, {"source", "ide"}}));
    a.push_back(
        send({{"type", "execution_result"}, {"success", true}, {"function_name", "summarise"}}));
    a.push_back(pause(300));
    for (const char* status : {"installing", "installed"})
        a.push_back(send({{"type", "package_install_progress"},
                          {"workbook_id", "wb-sales"},
                          {"package_name", "requests"},
                          {"status", status}}));
    a.push_back(send({{"type", "package_installation_complete"}, {"workbook_id", "wb-sales"}}));
    a.push_back(send(
        {{"type", "workbook_packages_update"},
         {"workbook_id", "wb-sales"},
         {"packages", JsonArray{JsonObject{{"name", "requests"}, {"version", "2.32.3"}}}},
         {"python_paths", JsonArray{"/opt/quarvo/envs/wb-sales/lib/python3.11/site-packages"}}}));
    a.push_back(send(
        {{"type", "event_manager_state"},
         {"workbook_id", "wb-sales"},
         {"handlers", JsonArray{JsonObject{{"object_id", "Sheet1"}, {"event_name", "Change"}}}}}));
    a.push_back(send({{"type", "ontime_event_manager_state"},
                      {"workbook_id", "wb-ops"},
                      {"ontime_events",
                       JsonArray{JsonObject{{"at", "07:30"}, {"function", "every_morning"}}}}}));
    a.push_back(
        send({{"type", "published_functions_state"},
              {"workbook_id", "wb-sales"},
              {"functions", JsonArray{JsonObject{{"name", "summarise"}, {"module", "report"}}}}}));
    a.push_back(send({{"type", "object_registry_update"},
                      {"workbook_id", "wb-sales"},
                      {"action", "added"},
                      {"object", JsonObject{{"id", "chart-1"}, {"kind", "Chart"}}}}));
    a.push_back(send({{"type", "register_handler_result"},
                      {"object_id", "Sheet1"},
                      {"event_name", "Change"},
                      {"success", true}}));
    a.push_back(send(
        {{"type", "log_to_console"}, {"content", "Business Layer ready\n"}, {"color", "#4daafc"}}));
    return s;
}

[[noreturn]] void fail(int line, const std::string& what) {
    throw ScenarioError(line, what);
}

const Json& need(const JsonObject& o, const char* key, int line) {
    const Json* v = o.if_contains(key);
    if (!v) fail(line, std::string("missing \"") + key + "\"");
    return *v;
}

long long need_integer(const JsonObject& o, const char* key, int line) {
    const Json& v = need(o, key, line);
    if (!v.is_int64() || v.get_int64() < 0)
        fail(line, std::string("\"") + key + "\" must be a whole number >= 0");
    return v.get_int64();
}

std::string need_text(const JsonObject& o, const char* key, int line) {
    const Json& v = need(o, key, line);
    if (!v.is_string()) fail(line, std::string("\"") + key + "\" must be text");
    return std::string(v.get_string());
}

Action parse_action(const JsonObject& o, int line) {
    const std::string action = need_text(o, "action", line);
    Action a{Action::send, {}, {}, 0, line};
    if (action == "send") {
        const Json& m = need(o, "message", line);
        if (!m.is_object()) fail(line, "\"message\" must be an object");
        a.message = m.get_object();
    } else if (action == "send_text") {
        a.kind = Action::send_text;
        a.text = need_text(o, "text", line);
    } else if (action == "send_binary") {
        a.kind = Action::send_binary;
        a.text = need_text(o, "text", line);
    } else if (action == "sleep") {
        a.kind = Action::sleep;
        a.number = need_integer(o, "ms", line);
    } else if (action == "wait_for") {
        a.kind = Action::wait_for;
        a.text = need_text(o, "type", line);
        if (const Json* reply = o.if_contains("reply")) {
            if (!reply->is_object()) fail(line, "\"reply\" must be an object");
            a.message = reply->get_object();
        }
    } else if (action == "close") {
        a.kind = Action::close;
        a.number = o.contains("code") ? need_integer(o, "code", line) : 1000;
        if (a.number > 4999) fail(line, "\"code\" must be a close code below 5000");
        a.text = o.contains("reason") ? need_text(o, "reason", line) : std::string();
    } else if (action == "drop") {
        a.kind = Action::drop;
    } else if (action == "stop_reading") {
        a.kind = Action::stop_reading;
    } else if (action == "exit") {
        a.kind = Action::exit;
        a.number = o.contains("code") ? need_integer(o, "code", line) : 0;
    } else {
        fail(line, "unknown action \"" + action + "\"");
    }
    return a;
}

}  // namespace

Scenario load_scenario(const std::string& name_or_path) {
    if (name_or_path == "demo") return demo();
    if (name_or_path == "quiet") return Scenario{"quiet", {}};
    std::ifstream in(name_or_path);
    if (!in) fail(0, "cannot read scenario file " + name_or_path);
    Scenario s{name_or_path, {}};
    std::string text;
    for (int line = 1; std::getline(in, text); ++line) {
        const size_t start = text.find_first_not_of(" \t\r");
        if (start == std::string::npos || text[start] == '#') continue;
        boost::system::error_code ec;
        const Json v = boost::json::parse(text, ec);
        if (ec) fail(line, "not JSON: " + ec.message());
        if (!v.is_object()) fail(line, "each line must be a JSON object");
        s.actions.push_back(parse_action(v.get_object(), line));
    }
    return s;
}

}  // namespace quarvo_tools::sim
