// Workbook and module handlers through the real pipeline into the recording host.
#include <QTabWidget>

#include "handler_fixture.h"

using namespace quarvo_test;

namespace {

class WorkbookHandlers : public HandlerTest {};

// Catches a missing or misordered host call, or module names out of message order.
TEST_F(WorkbookHandlers, ConnectedAddsTheWorkbookEverywhere) {
    deliver(R"({"type": "workbook_connected", "workbook_id": "wb1", "name": "Book1",
                "modules": {"Zeta": "z = 1", "alpha": "a = 2"}})");
    EXPECT_EQ(calls(),
              "project_explorer.add_workbook[\"wb1\",\"Book1\"]\n"
              "project_explorer.set_modules[\"wb1\",[\"Zeta\",\"alpha\"]]\n"
              "event_manager.set_module_cache[\"wb1\",{\"Zeta\":\"z = 1\",\"alpha\":\"a = 2\"}]\n"
              "timer_manager.add_workbook[\"wb1\",\"Book1\"]\n"
              "log_to_console[\"Workbook connected: Book1\",null,\"DETAILED\"]\n");
    EXPECT_EQ(compact(host.module_cache.at("wb1")), R"({"Zeta":"z = 1","alpha":"a = 2"})");
}

// Catches set_modules called for no modules, a missing cache entry, or a blank display name.
TEST_F(WorkbookHandlers, ConnectedEdgeCases) {
    deliver(R"({"type": "workbook_connected", "workbook_id": "wb1", "name": ""})");
    EXPECT_EQ(calls(),
              "project_explorer.add_workbook[\"wb1\",\"\"]\n"
              "event_manager.set_module_cache[\"wb1\",{}]\n"
              "timer_manager.add_workbook[\"wb1\",\"\"]\n"
              "log_to_console[\"Workbook connected: wb1\",null,\"DETAILED\"]\n");
    EXPECT_TRUE(host.module_cache.at("wb1").empty());

    // Connecting again replaces the cache entry and runs every step again.
    host.log.clear();
    deliver(R"({"type": "workbook_connected", "workbook_id": "wb1", "modules": {"m": "x"}})");
    EXPECT_EQ(host.log.names(), (std::vector<std::string>{
                                    "project_explorer.add_workbook", "project_explorer.set_modules",
                                    "event_manager.set_module_cache", "timer_manager.add_workbook",
                                    "log_to_console"}));
    EXPECT_EQ(compact(host.module_cache.at("wb1")), R"({"m":"x"})");

    host.log.clear();
    for (const char* frame : {R"({"type": "workbook_connected", "name": "B"})",
                              R"({"type": "workbook_connected", "workbook_id": ""})",
                              R"({"type": "workbook_connected", "workbook_id": null})"})
        deliver(frame);
    EXPECT_EQ(calls(), "") << "an unset id is dropped silently";
    EXPECT_EQ(logs.records().size(), 0u);
}

// Catches a wrong-typed value that crashes, or that runs the steps after the failing one.
TEST_F(WorkbookHandlers, WrongTypesStopTheHandlerAndAreLogged) {
    deliver(R"({"type": "workbook_connected", "workbook_id": "wb1", "modules": ["a"]})");
    deliver(R"({"type": "workbook_list", "workbooks": {"wb1": {}}})");
    EXPECT_EQ(calls(), "");
    EXPECT_EQ(handler_failures(), 2u) << logs.dump();
    EXPECT_TRUE(host.module_cache.empty());
}

// Catches the debugger stopped after the tree changed, or stopped for another workbook.
TEST_F(WorkbookHandlers, DisconnectedStopsTheDebuggerFirstAndClearsCaches) {
    host.debug_active = true;
    host.current_debug_workbook = "wb1";
    host.module_cache["wb1"] = JsonObject{{"m", "x"}};
    host.event_module_cache["wb1"] = JsonObject{{"m", "x"}};
    host.synced_hashes["wb1"] = "h";
    host.module_cache["wb2"] = JsonObject{};
    deliver(R"({"type": "workbook_disconnected", "workbook_id": "wb1"})");
    EXPECT_EQ(calls(),
              "_debug_stop[]\n"
              "project_explorer.remove_workbook[\"wb1\"]\n"
              "timer_manager.remove_workbook[\"wb1\"]\n"
              "_close_tabs_for_workbook[\"wb1\"]\n"
              "log_to_console[\"Workbook disconnected: wb1\",null,\"DETAILED\"]\n");
    EXPECT_EQ(logs.texts(), std::vector<std::string>{
                                "info: [IDE] Stopping debugger - workbook wb1 disconnected"});
    EXPECT_FALSE(host.module_cache.contains("wb1"));
    EXPECT_TRUE(host.module_cache.contains("wb2"));
    EXPECT_FALSE(host.event_module_cache.contains("wb1"));
    EXPECT_FALSE(host.synced_hashes.contains("wb1"));

    host.log.clear();
    deliver(R"({"type": "workbook_disconnected", "workbook_id": "unknown"})");
    EXPECT_EQ(calls(),
              "project_explorer.remove_workbook[\"unknown\"]\n"
              "timer_manager.remove_workbook[\"unknown\"]\n"
              "_close_tabs_for_workbook[\"unknown\"]\n"
              "log_to_console[\"Workbook disconnected: unknown\",null,\"DETAILED\"]\n");
    host.debug_active = false;
    host.current_debug_workbook = "wb2";
    host.log.clear();
    deliver(R"({"type": "workbook_disconnected", "workbook_id": "wb2"})");
    EXPECT_EQ(host.log.named("_debug_stop").size(), 0u) << "the debugger is not active";
}

// Catches a rename that skips a holder of names, or goes on without a new name.
TEST_F(WorkbookHandlers, NameChangedTellsEveryHolder) {
    deliver(
        R"({"type": "workbook_name_changed", "workbook_id": "wb1", "old_name": "Old", "new_name": "New"})");
    EXPECT_EQ(calls(),
              "_update_workbook_name[\"wb1\",\"New\"]\n"
              "event_manager.update_workbook_name[\"wb1\",\"New\"]\n"
              "function_publisher.update_workbook_name[\"wb1\",\"New\"]\n"
              "object_inspector.update_workbook_name[\"wb1\",\"New\"]\n"
              "package_manager.update_workbook_name[\"wb1\",\"New\"]\n"
              "timer_manager.update_workbook_name[\"wb1\",\"New\"]\n"
              "log_to_console[\"Workbook renamed: Old -> New\",null,\"DETAILED\"]\n");
    host.log.clear();
    deliver(R"({"type": "workbook_name_changed", "workbook_id": "wb1", "old_name": "Old"})");
    deliver(R"({"type": "workbook_name_changed", "workbook_id": "wb1", "new_name": ""})");
    EXPECT_EQ(calls(), "");
    deliver(R"({"type": "workbook_name_changed", "workbook_id": "wb1", "new_name": "N"})");
    EXPECT_EQ(host.log.named("log_to_console").at(0).args.at(0),
              Json("Workbook renamed: None -> N"));
}

// Catches a list that re-adds present workbooks, keeps gone ones, or counts wrong.
TEST_F(WorkbookHandlers, ListReconcilesTheTree) {
    host.workbook_items = {"wb1", "wb2"};
    host.module_cache["wb1"] = JsonObject{{"m", "x"}};
    host.synced_hashes["wb1"] = "h";
    host.event_module_cache["wb1"] = JsonObject{{"m", "x"}};
    deliver(R"({"type": "workbook_list", "workbooks": [
        {"id": "wb2", "name": "Two"},
        {"id": "wb3", "name": "Three", "modules": {"m1": "a", "m2": "b"}},
        "wb4",
        {"id": null, "name": "skipped"},
        {"name": "no id"},
        {"id": "wb3", "name": "Three again"},
        {"id": ""}]})");
    EXPECT_EQ(calls(),
              "set_workbook_name[\"wb3\",\"Three again\"]\n"
              "project_explorer.add_workbook[\"wb3\",\"Three again\"]\n"
              "timer_manager.add_workbook[\"wb3\",\"Three again\"]\n"
              "set_workbook_name[\"wb4\",null]\n"
              "project_explorer.add_workbook[\"wb4\",null]\n"
              "timer_manager.add_workbook[\"wb4\",null]\n"
              "set_workbook_name[\"\",null]\n"
              "project_explorer.add_workbook[\"\",null]\n"
              "timer_manager.add_workbook[\"\",null]\n"
              "project_explorer.remove_workbook[\"wb1\"]\n"
              "timer_manager.remove_workbook[\"wb1\"]\n"
              "log_to_console[\"Received workbook list: 7 workbooks\",null,\"DETAILED\"]\n");
    EXPECT_TRUE(host.module_cache.at("wb3").empty()) << "the later duplicate replaced the modules";
    EXPECT_TRUE(host.module_cache.at("wb4").empty());
    EXPECT_FALSE(host.module_cache.contains("wb1"));
    EXPECT_FALSE(host.synced_hashes.contains("wb1"));
    EXPECT_TRUE(host.event_module_cache.contains("wb1"))
        << "the list leaves the event manager alone";
    EXPECT_FALSE(host.module_cache.contains("wb2")) << "present workbooks are left as they are";

    host.log.clear();
    deliver(
        R"({"type": "workbook_list", "workbooks": [{"id": "wb5", "modules": {"b": "1", "a": "2"}}]})");
    EXPECT_EQ(host.log.named("project_explorer.set_modules").at(0).args,
              json(R"(["wb5", ["b", "a"]])"));
}

// Catches an empty or unchanged list doing more (or less) than it should.
TEST_F(WorkbookHandlers, ListEmptyAndUnchanged) {
    host.workbook_items = {"wb1", "wb2"};
    deliver(R"({"type": "workbook_list", "workbooks": [{"id": "wb1"}, {"id": "wb2"}]})");
    EXPECT_EQ(calls(),
              "log_to_console[\"Received workbook list: 2 workbooks\",null,\"DETAILED\"]\n");
    host.log.clear();
    deliver(R"({"type": "workbook_list"})");
    EXPECT_EQ(calls(),
              "project_explorer.remove_workbook[\"wb1\"]\n"
              "timer_manager.remove_workbook[\"wb1\"]\n"
              "project_explorer.remove_workbook[\"wb2\"]\n"
              "timer_manager.remove_workbook[\"wb2\"]\n"
              "log_to_console[\"Received workbook list: 0 workbooks\",null,\"DETAILED\"]\n");
}

class ModuleHandlers : public HandlerTest {};

// Catches empty code treated as missing, or a cache entry not created for a new workbook.
TEST_F(ModuleHandlers, ContentOpensTheEditorAndCaches) {
    host.module_cache["wb1"] = JsonObject{{"other", "o"}};
    deliver(
        R"({"type": "module_content", "workbook_id": "wb1", "module_name": "mod", "code": ""})");
    EXPECT_EQ(calls(),
              "event_manager.set_module_cache[\"wb1\",{\"other\":\"o\",\"mod\":\"\"}]\n"
              "add_editor_tab[\"mod\",\"\",\"wb1\"]\n"
              "log_to_console[\"Opened module: mod\",null,\"DETAILED\"]\n");
    host.log.clear();
    deliver(
        R"({"type": "module_content", "workbook_id": "new", "module_name": "m", "code": "x = 1"})");
    EXPECT_EQ(compact(host.module_cache.at("new")), R"({"m":"x = 1"})");
    EXPECT_EQ(host.log.named("event_manager.set_module_cache").at(0).args,
              json(R"(["new", {"m": "x = 1"}])"));
}

// Catches a missing "not found" line, or a module opened without its workbook.
TEST_F(ModuleHandlers, ContentWithoutCodeOrWorkbook) {
    deliver(R"({"type": "module_content", "module_name": "gone", "code": null})");
    deliver(R"({"type": "module_content", "workbook_id": "wb1"})");
    EXPECT_EQ(calls(),
              "log_to_console[\"Module not found: gone\",\"#ff6b6b\",\"DETAILED\"]\n"
              "log_to_console[\"Module not found: None\",\"#ff6b6b\",\"DETAILED\"]\n");
    host.log.clear();
    deliver(R"({"type": "module_content", "module_name": "m", "code": "x = 1"})");
    EXPECT_EQ(calls(), "");
    EXPECT_TRUE(host.module_cache.empty());
}

struct PendingCase {
    const char* name;
    std::vector<std::tuple<std::string, std::string, bool>> tabs;  // title, workbook, editor?
    int expected_tab;                                              // -1: none
};

// Catches a wrong tab getting the debugger line: suffix rule, editor type, workbook, order.
TEST_F(ModuleHandlers, PendingDebugLineFindsTheFirstMatchingEditor) {
    const PendingCase cases[] = {
        {"title with .py", {{"other.py", "wb1", true}, {"mod.py", "wb1", true}}, 1},
        {"bare title", {{"mod", "wb1", true}}, 0},
        {"capital .PY kept", {{"mod.PY", "wb1", true}}, -1},
        {"lower index wins",
         {{"x", "wb1", true}, {"mod", "wb1", true}, {"mod.py", "wb1", true}},
         1},
        {"not an editor", {{"mod.py", "wb1", false}, {"mod.py", "wb1", true}}, 1},
        {"other workbook", {{"mod.py", "wb2", true}}, -1},
        {"no tabs", {}, -1},
    };
    for (const PendingCase& c : cases) {
        SCOPED_TRACE(c.name);
        while (host.tabs->count()) delete host.tabs->widget(0);
        host.log.clear();
        host.current_debug_editor = nullptr;
        std::vector<QWidget*> pages;
        for (const auto& [title, wb, editor] : c.tabs)
            pages.push_back(host.tabs->widget(host.add_tab(title, wb, editor)));
        host.pending_debug_line =
            json(R"({"workbook_id": "wb1", "module_name": "mod", "line": 12})");
        deliver(
            R"({"type": "module_content", "workbook_id": "wb1", "module_name": "mod", "code": "c"})");
        EXPECT_TRUE(host.pending_debug_line.is_null()) << "cleared whether or not a tab matched";
        if (c.expected_tab < 0) {
            EXPECT_EQ(host.current_debug_editor, nullptr);
            pump_events(20);
            EXPECT_TRUE(host.log.named("editor.set_debug_line").empty());
            continue;
        }
        EXPECT_EQ(host.current_debug_editor, pages[c.expected_tab]);
        ASSERT_TRUE(wait_until([&] { return !host.log.named("editor.set_debug_line").empty(); }));
        pump_events(20);
        const auto placed = host.log.named("editor.set_debug_line");
        ASSERT_EQ(placed.size(), 1u);
        const auto* expected = dynamic_cast<FakeEditor*>(pages[c.expected_tab]);
        ASSERT_NE(expected, nullptr);
        EXPECT_EQ(placed[0].args, (JsonArray{expected->tag(), 12}));
    }
}

// Catches a pending line for another module being consumed, or a broken one crashing.
TEST_F(ModuleHandlers, PendingDebugLineOfAnotherModuleOrMalformed) {
    host.add_tab("mod.py", "wb1");
    host.pending_debug_line = json(R"({"workbook_id": "wb1", "module_name": "other", "line": 3})");
    deliver(
        R"({"type": "module_content", "workbook_id": "wb1", "module_name": "mod", "code": "c"})");
    EXPECT_EQ(compact(host.pending_debug_line),
              R"({"workbook_id":"wb1","module_name":"other","line":3})");

    host.pending_debug_line = json(R"({"workbook_id": "wb1", "module_name": "mod"})");
    host.log.clear();
    deliver(
        R"({"type": "module_content", "workbook_id": "wb1", "module_name": "mod", "code": "c"})");
    EXPECT_EQ(handler_failures(), 1u) << logs.dump();
    EXPECT_EQ(host.log.names().back(), "log_to_console")
        << "the steps before the failure stay done";
    EXPECT_FALSE(host.pending_debug_line.is_null()) << "left as it was";
}

// Catches the delayed call touching an editor that was closed before it fired.
TEST_F(ModuleHandlers, EditorClosedBeforeTheDelayedCall) {
    host.debug_line_delay_ms = 30;
    const int index = host.add_tab("mod.py", "wb1");
    host.pending_debug_line = json(R"({"workbook_id": "wb1", "module_name": "mod", "line": 7})");
    deliver(
        R"({"type": "module_content", "workbook_id": "wb1", "module_name": "mod", "code": "c"})");
    delete host.tabs->widget(index);
    host.current_debug_editor = nullptr;
    pump_events(80);
    EXPECT_TRUE(host.log.named("editor.set_debug_line").empty());
}

// Catches wrong levels or texts of the deletion and save confirmations.
TEST_F(ModuleHandlers, DeletedAndSavedOnlyLog) {
    deliver(
        R"({"type": "module_deleted", "workbook_id": "wb1", "module_name": "m", "success": true})");
    deliver(R"({"type": "module_deleted", "module_name": "m"})");
    deliver(R"({"type": "module_saved", "module_name": "m"})");
    EXPECT_EQ(calls(), "");
    EXPECT_EQ(logs.texts(),
              (std::vector<std::string>{"debug: Module 'm' deleted from Business Layer",
                                        "warning: Failed to delete module 'm' from Business Layer",
                                        "debug: Module 'm' saved to Business Layer"}));
}

// Catches module lists passed altered, and all-modules updates that skip a step.
TEST_F(ModuleHandlers, ListAndAllModules) {
    deliver(R"({"type": "module_list", "workbook_id": "wb1", "modules": ["b", "a", 3]})");
    deliver(R"({"type": "module_list", "workbook_id": "wb1"})");
    deliver(R"({"type": "module_list", "modules": ["x"]})");
    EXPECT_EQ(calls(),
              "project_explorer.set_modules[\"wb1\",[\"b\",\"a\",3]]\n"
              "project_explorer.set_modules[\"wb1\",[]]\n");
    host.log.clear();
    host.module_cache["wb1"] = JsonObject{{"old", "o"}};
    deliver(R"({"type": "all_modules", "workbook_id": "wb1", "modules": {"z": "1", "a": "2"}})");
    EXPECT_EQ(calls(),
              "event_manager.set_module_cache[\"wb1\",{\"z\":\"1\",\"a\":\"2\"}]\n"
              "project_explorer.set_modules[\"wb1\",[\"z\",\"a\"]]\n");
    EXPECT_EQ(compact(host.module_cache.at("wb1")), R"({"z":"1","a":"2"})");
    host.log.clear();
    deliver(R"({"type": "all_modules", "workbook_id": "wb1", "modules": {}})");
    deliver(R"({"type": "all_modules", "modules": {"a": "1"}})");
    EXPECT_EQ(calls(), "");
    deliver(R"({"type": "all_modules", "workbook_id": "wb1", "modules": ["a"]})");
    EXPECT_EQ(handler_failures(), 1u);
    EXPECT_EQ(compact(host.module_cache.at("wb1")), R"({"z":"1","a":"2"})");
}

class CachedModules : public HandlerTest {};

// Catches module maps that the cache takes over from the message but that still depend on the
// client: the network thread that built them, or the client itself. The maps are used, changed
// and freed here after both have gone (AddressSanitizer builds see a use after free). Also
// catches a map moved out before its names were read, or a default map taken from.
TEST_F(CachedModules, OutliveTheClientAndStayTheHosts) {
    connect();
    const std::string code(100000, 'c');
    // The list first: it drops the workbooks it does not name.
    server->send_text(R"({"type": "workbook_list", "workbooks": [{"id": "wb4",)"
                      R"( "modules": {"n": "z = 3"}}, {"id": "wb5"}]})");
    server->send_text(R"({"type": "all_modules", "workbook_id": "wb1", "modules": {"big": ")" +
                      code + R"(", "small": "x = 1"}})");
    server->send_text(
        R"({"type": "workbook_connected", "workbook_id": "wb2", "modules": {"m": "y = 2"}})");
    server->send_text(R"({"type": "workbook_connected", "workbook_id": "wb3"})");
    ASSERT_TRUE(wait_until([&] { return host.module_cache.contains("wb3"); })) << logs.dump();
    EXPECT_EQ(host.log.named("project_explorer.set_modules").size(), 3u) << calls();
    EXPECT_NE(calls().find(R"(project_explorer.set_modules["wb1",["big","small"]])"),
              std::string::npos)
        << calls();
    client->stop();
    client.reset();

    JsonObject& wb1 = host.module_cache.at("wb1");
    EXPECT_EQ(wb1.at("big").as_string(), code);
    wb1["small"] = "x = 2";
    wb1["added"] = std::string(600, 'a');
    wb1.erase("big");
    EXPECT_EQ(wb1.size(), 2u);
    EXPECT_EQ(wb1.at("small").as_string(), "x = 2");
    EXPECT_EQ(wb1.at("added").as_string(), std::string(600, 'a'));
    EXPECT_EQ(compact(host.module_cache.at("wb2")), R"({"m":"y = 2"})");
    EXPECT_EQ(compact(host.module_cache.at("wb3")), "{}");
    EXPECT_EQ(compact(host.module_cache.at("wb4")), R"({"n":"z = 3"})");
    EXPECT_EQ(compact(host.module_cache.at("wb5")), "{}");
    const JsonObject copy = host.module_cache.at("wb4");
    host.module_cache.clear();
    EXPECT_EQ(compact(copy), R"({"n":"z = 3"})");
}

}  // namespace
