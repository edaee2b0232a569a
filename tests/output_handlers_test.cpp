// Console and package handlers through the real pipeline into the recording host.
#include "handler_fixture.h"

using namespace quarvo_test;

namespace {

class ConsoleHandlers : public HandlerTest {};

struct LineCase {
    const char* frame;
    const char* expected_calls;
};

// Catches wrong colours, levels, from_std, trimming or emptiness tests of each console line.
TEST_F(ConsoleHandlers, EachMessageGivesItsLine) {
    const LineCase cases[] = {
        {R"({"type": "stdout", "content": "hello\n"})",
         "log_to_console[\"hello\\n\",\"#4daafc\",\"SIMPLE\",true]\n"},
        {R"({"type": "stdout", "content": ""})", ""},
        {R"({"type": "stdout"})", ""},
        {R"({"type": "stdout", "content": 0})", ""},
        {R"({"type": "stdout", "content": 42})",
         "log_to_console[\"42\",\"#4daafc\",\"SIMPLE\",true]\n"},
        {R"({"type": "stderr", "content": "boom\n"})",
         "log_to_console[\"boom\\n\",\"#ff6b6b\",\"SIMPLE\",true]\n_show_error_light[]\n"},
        {R"({"type": "stderr", "content": ""})", ""},
        {R"({"type": "result_output", "content": "\n\n42\n"})",
         "log_to_console[\"42\",\"#4caf50\",\"SIMPLE\"]\n"},
        {R"({"type": "result_output", "content": " a\r\n"})",
         "log_to_console[\" a\\r\",\"#4caf50\",\"SIMPLE\"]\n"},
        {R"({"type": "result_output", "content": "a\n\nb"})",
         "log_to_console[\"a\\n\\nb\",\"#4caf50\",\"SIMPLE\"]\n"},
        {R"({"type": "result_output"})", "log_to_console[\"\",\"#4caf50\",\"SIMPLE\"]\n"},
        {R"({"type": "result_output", "content": "\n\n"})",
         "log_to_console[\"\",\"#4caf50\",\"SIMPLE\"]\n"},
        {R"({"type": "execution_result", "success": true, "function_name": "main"})",
         "log_to_console[\"Execution completed successfully for "
         "main()\",\"#4caf50\",\"SIMPLE\"]\n"},
        {R"({"type": "execution_result", "success": true})",
         "log_to_console[\"Execution completed successfully\",\"#4caf50\",\"SIMPLE\"]\n"},
        {R"({"type": "execution_result", "success": false, "function_name": "main", "error": "division by zero"})",
         "log_to_console[\"Execution failed for main(): division by "
         "zero\",\"#ff6b6b\",\"SIMPLE\"]\n"},
        {R"({"type": "execution_result"})",
         "log_to_console[\"Execution failed: Unknown error\",\"#ff6b6b\",\"SIMPLE\"]\n"},
        {R"({"type": "execution_result", "success": false, "error": null})",
         "log_to_console[\"Execution failed: None\",\"#ff6b6b\",\"SIMPLE\"]\n"},
        {R"({"type": "execution_result", "success": 0, "function_name": 7, "error": 1.5})",
         "log_to_console[\"Execution failed for 7(): 1.5\",\"#ff6b6b\",\"SIMPLE\"]\n"},
        {R"({"type": "execution_result", "success": 1, "function_name": null})",
         "log_to_console[\"Execution completed successfully\",\"#4caf50\",\"SIMPLE\"]\n"},
        {R"({"type": "log_to_console", "content": "\nline\n"})",
         "log_to_console[\"line\",null,\"DETAILED\"]\n"},
        {R"({"type": "log_to_console", "content": "x", "color": "#123456"})",
         "log_to_console[\"x\",\"#123456\",\"DETAILED\"]\n"},
        {R"({"type": "log_to_console", "content": "\n\n\n"})", ""},
        {R"({"type": "log_to_console"})", ""},
    };
    for (const LineCase& c : cases) {
        host.log.clear();
        deliver(c.frame);
        EXPECT_EQ(calls(), c.expected_calls) << c.frame;
    }
    EXPECT_EQ(handler_failures(), 0u) << logs.dump();
    EXPECT_TRUE(logs.records().empty()) << "console handlers write nothing to the log";
}

// Catches content of the wrong type shown, or crashing, where trimming needs text.
TEST_F(ConsoleHandlers, NonTextContentFailsAtTrimming) {
    deliver(R"({"type": "result_output", "content": 5})");
    deliver(R"({"type": "result_output", "content": null})");
    deliver(R"({"type": "log_to_console", "content": ["a"]})");
    EXPECT_EQ(calls(), "");
    EXPECT_EQ(handler_failures(), 3u);
}

// Catches the "ide_only" filter letting foreign output through, or hiding log lines.
TEST_F(ConsoleHandlers, IdeOnlyFilterHidesForeignSources) {
    host.console_source_filter = "ide_only";
    for (const char* type : {"stdout", "stderr", "result_output", "execution_result"}) {
        host.log.clear();
        const std::string t(type);
        for (const char* source : {R"("addin")", R"("IDE")", R"("ide ")", "null", "1"})
            deliver(R"({"type": ")" + t + R"(", "content": "x", "source": )" + source + "}");
        EXPECT_EQ(calls(), "") << type << ": foreign output must not show, error light included";
        deliver(R"({"type": ")" + t + R"(", "content": "x", "source": "ide"})");
        deliver(R"({"type": ")" + t + R"(", "content": "x"})");
        EXPECT_EQ(host.log.named("log_to_console").size(), 2u) << type;
    }
    host.log.clear();
    deliver(R"({"type": "log_to_console", "content": "shown", "source": "addin"})");
    EXPECT_EQ(calls(), "log_to_console[\"shown\",null,\"DETAILED\"]\n");

    host.console_source_filter = "all";
    host.log.clear();
    deliver(R"({"type": "stdout", "content": "x", "source": "addin"})");
    EXPECT_EQ(host.log.named("log_to_console").size(), 1u);
}

class PackageHandlers : public HandlerTest {};

// Catches a forwarder that alters the message or drops its type.
TEST_F(PackageHandlers, ForwardersPassTheVeryMessage) {
    const char* types[] = {"pip_output", "get_package_versions_response",
                           "get_package_extras_response", "get_package_info_response",
                           "package_paths_updated"};
    const char* operations[] = {"_handle_pip_output", "_handle_package_versions_response",
                                "_handle_package_extras_response", "_handle_package_info_response",
                                "_handle_package_paths_updated"};
    for (size_t i = 0; i < std::size(types); ++i) {
        host.log.clear();
        const std::string frame =
            R"({"type": ")" + std::string(types[i]) +
            R"(", "text": "x\u00e9", "n": [1, 2.5, null], "request_id": "not-pending"})";
        deliver(frame);
        ASSERT_EQ(host.log.size(), 1u) << types[i];
        EXPECT_EQ(host.log.calls()[0].name, operations[i]);
        EXPECT_EQ(host.log.calls()[0].args.at(0), json(frame)) << types[i];
    }
}

// Catches the package_errors default applied to a present null, or missing beside packages.
TEST_F(PackageHandlers, PackagesUpdateDefaultsAndLogs) {
    deliver(
        R"({"type": "workbook_packages_update", "workbook_id": "wb1", "packages": [], "python_paths": ["/a", "/b"]})");
    deliver(R"({"type": "workbook_packages_update"})");
    deliver(
        R"({"type": "workbook_packages_update", "workbook_id": "wb1", "packages": {"x": 1}, "package_errors": null})");
    deliver(R"({"type": "workbook_packages_update", "workbook_id": "wb1", "packages": null})");
    EXPECT_EQ(calls(),
              "package_manager.update_caches[\"wb1\",[],{},[\"/a\",\"/b\"]]\n"
              "package_manager.update_caches[null,null,null,null]\n"
              "package_manager.update_caches[\"wb1\",{\"x\":1},null,null]\n"
              "package_manager.update_caches[\"wb1\",null,null,null]\n");
    const auto lines = logs.texts();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "info: [PYTHON_PATH] Received workbook_packages_update for wb1");
    EXPECT_EQ(lines[1], "info: [PYTHON_PATH] python_paths in message: [\"/a\",\"/b\"]");
    EXPECT_EQ(lines[2], "info: [PYTHON_PATH] Received workbook_packages_update for None");
    EXPECT_EQ(lines[3], "info: [PYTHON_PATH] python_paths in message: None");
}

// Catches the status updated for another workbook, a missing line, or gates not applied first.
TEST_F(PackageHandlers, InstallProgress) {
    host.current_workbook = "wb1";
    deliver(
        R"({"type": "package_install_progress", "workbook_id": "wb1", "package_name": "requests", "status": "installing"})");
    EXPECT_EQ(calls(),
              "package_manager.get_current_workbook[]\n"
              "package_manager.update_package_status[\"requests\",\"installing\",\"\"]\n"
              "package_manager.log_pip_output[\"Installing requests...\"]\n");
    host.log.clear();
    deliver(
        R"({"type": "package_install_progress", "workbook_id": "wb2", "package_name": "requests", "status": "installed"})");
    deliver(
        R"({"type": "package_install_progress", "workbook_id": "wb1", "package_name": "requests", "status": "error"})");
    deliver(
        R"({"type": "package_install_progress", "workbook_id": "wb1", "package_name": "np", "status": "error", "error": "no wheel"})");
    deliver(
        R"({"type": "package_install_progress", "workbook_id": "wb1", "package_name": "np", "status": "queued"})");
    EXPECT_EQ(calls(),
              "package_manager.get_current_workbook[]\n"
              "package_manager.log_pip_output[\"Successfully installed requests\"]\n"
              "package_manager.get_current_workbook[]\n"
              "package_manager.update_package_status[\"requests\",\"error\",\"\"]\n"
              "package_manager.log_pip_output[\"Error installing requests: \"]\n"
              "package_manager.get_current_workbook[]\n"
              "package_manager.update_package_status[\"np\",\"error\",\"no wheel\"]\n"
              "package_manager.log_pip_output[\"Error installing np: no wheel\"]\n"
              "package_manager.get_current_workbook[]\n"
              "package_manager.update_package_status[\"np\",\"queued\",\"\"]\n");
    host.log.clear();
    deliver(R"({"type": "package_install_progress", "workbook_id": "wb1", "package_name": "np"})");
    deliver(
        R"({"type": "package_install_progress", "workbook_id": "wb1", "package_name": "", "status": "installing"})");
    deliver(
        R"({"type": "package_install_progress", "package_name": "np", "status": "installing"})");
    EXPECT_EQ(calls(), "") << "not even the current workbook is asked";
    host.current_workbook = 1;  // compared by value and type: 1 is not "1"
    deliver(
        R"({"type": "package_install_progress", "workbook_id": "1", "package_name": "np", "status": "installed"})");
    EXPECT_EQ(host.log.named("package_manager.update_package_status").size(), 0u);
}

// Catches completion lines and popups shown for a workbook the panel does not show.
TEST_F(PackageHandlers, CompletionAndResolvedDeps) {
    host.current_workbook = "wb1";
    deliver(R"({"type": "package_installation_complete", "workbook_id": "wb1"})");
    deliver(
        R"({"type": "package_installation_complete", "workbook_id": "wb1", "message": "Done: 3 packages"})");
    deliver(R"({"type": "package_installation_complete", "workbook_id": "wb2"})");
    deliver(R"({"type": "package_installation_complete"})");
    deliver(R"({"type": "resolved_deps_response", "workbook_id": "wb1"})");
    deliver(R"({"type": "resolved_deps_response", "workbook_id": "wb1", "deps": [{"name": "a"}]})");
    deliver(R"({"type": "resolved_deps_response", "workbook_id": "wb2", "deps": []})");
    deliver(R"({"type": "resolved_deps_response", "deps": []})");
    EXPECT_EQ(calls(),
              "package_manager.get_current_workbook[]\n"
              "package_manager.log_pip_output_colored[\"Installation complete.\",\"#2ECC71\"]\n"
              "package_manager.get_current_workbook[]\n"
              "package_manager.log_pip_output_colored[\"Done: 3 packages\",\"#2ECC71\"]\n"
              "package_manager.get_current_workbook[]\n"
              "package_manager.get_current_workbook[]\n"
              "package_manager.show_resolved_deps_popup[[]]\n"
              "package_manager.get_current_workbook[]\n"
              "package_manager.show_resolved_deps_popup[[{\"name\":\"a\"}]]\n"
              "package_manager.get_current_workbook[]\n");
}

}  // namespace
