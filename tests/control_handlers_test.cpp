// Language-service, debugger, automation, settings and IDE-control handlers, and the table.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <quarvo_zovovi/ide/gui/handler_table.h>

#include "handler_fixture.h"

using namespace quarvo_test;

namespace {

// Catches a table that lacks a type, has it under the wrong handler, or out of order.
TEST(HandlerTableOrder, HoldsAll47TypesInOrder) {
    const std::pair<const char*, const char*> expected[] = {
        {"watchdog_info", "_handle_watchdog_info"},
        {"workbook_connected", "_handle_workbook_connected"},
        {"workbook_disconnected", "_handle_workbook_disconnected"},
        {"workbook_name_changed", "_handle_workbook_name_changed"},
        {"workbook_list", "_handle_workbook_list"},
        {"module_content", "_handle_module_content"},
        {"module_deleted", "_handle_module_deleted"},
        {"module_saved", "_handle_module_saved"},
        {"module_list", "_handle_module_list"},
        {"all_modules", "_handle_all_modules"},
        {"pip_output", "_handle_pip_output"},
        {"get_package_versions_response", "_handle_package_versions_response"},
        {"get_package_extras_response", "_handle_package_extras_response"},
        {"get_package_info_response", "_handle_package_info_response"},
        {"workbook_packages_update", "_handle_workbook_packages_update"},
        {"package_install_progress", "_handle_package_install_progress"},
        {"package_installation_complete", "_handle_package_installation_complete"},
        {"resolved_deps_response", "_handle_resolved_deps_response"},
        {"package_paths_updated", "_handle_package_paths_updated"},
        {"stdout", "_handle_stdout"},
        {"stderr", "_handle_stderr"},
        {"result_output", "_handle_result_output"},
        {"execution_result", "_handle_execution_result"},
        {"completion_response", "_handle_completion_response"},
        {"signature_help_response", "_handle_signature_help_response"},
        {"hover_response", "_handle_hover_response"},
        {"diagnostic_response", "_handle_diagnostic_response"},
        {"event_manager_state", "_handle_event_manager_state"},
        {"ontime_event_manager_state", "_handle_ontime_event_manager_state"},
        {"register_handler_result", "_handle_register_handler_result"},
        {"unregister_handler_result", "_handle_unregister_handler_result"},
        {"save_event_config_response", "_handle_save_event_config_response"},
        {"validate_handler_response", "_handle_validate_handler_response"},
        {"published_functions_state", "_handle_published_functions_state"},
        {"object_registry_update", "_handle_object_registry_update"},
        {"object_registry_response", "_handle_object_registry_response"},
        {"debug_paused", "_handle_debug_paused"},
        {"debug_exception", "_handle_debug_exception"},
        {"debug_resumed", "_handle_debug_resumed"},
        {"debug_terminated", "_handle_debug_terminated"},
        {"debug_evaluate_result", "_handle_debug_evaluate_result"},
        {"all_settings_response", "_handle_all_settings_response"},
        {"settings_response", "_handle_settings_response"},
        {"setting_saved", "_handle_setting_saved"},
        {"show_ide", "_handle_show_ide"},
        {"message_ide", "_handle_message_ide"},
        {"log_to_console", "_handle_log_to_console"},
    };
    const HandlerTable table;
    ASSERT_EQ(table.entries().size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(table.entries()[i].type, expected[i].first) << "row " << i + 1;
        EXPECT_EQ(table.entries()[i].name, expected[i].second) << "row " << i + 1;
        EXPECT_EQ(table.find(expected[i].first), &table.entries()[i]);
    }
    EXPECT_EQ(table.find("Stdout"), nullptr);
}

class ControlHandlers : public HandlerTest {};

// Catches a forwarder that alters the message, or a forwarded type that reaches the wrong host
// call.
TEST_F(ControlHandlers, ForwardersPassTheVeryMessage) {
    const std::pair<const char*, const char*> forwarded[] = {
        {"completion_response", "_handle_completion_response"},
        {"signature_help_response", "_handle_signature_help_response"},
        {"hover_response", "_handle_hover_response"},
        {"diagnostic_response", "_handle_diagnostic_response"},
        {"debug_exception", "_handle_debug_exception"},
        {"debug_resumed", "_handle_debug_resumed"},
        {"debug_terminated", "_handle_debug_terminated"},
        {"debug_evaluate_result", "_handle_debug_evaluate_result"},
        {"save_event_config_response", "_handle_save_event_config_response"},
        {"validate_handler_response", "_handle_validate_handler_response"},
        {"all_settings_response", "_handle_all_settings_response"},
        {"settings_response", "_handle_settings_response"},
    };
    for (const auto& [type, operation] : forwarded) {
        host.log.clear();
        const std::string frame =
            R"({"type": ")" + std::string(type) + R"(", "items": [{"a": 1.0}], "x": null})";
        deliver(frame);
        ASSERT_EQ(host.log.size(), 1u) << type;
        EXPECT_EQ(host.log.calls()[0].name, operation);
        EXPECT_EQ(host.log.calls()[0].args.at(0), json(frame));
    }
    host.log.clear();
    deliver(R"({"type": "diagnostic_response"})");
    EXPECT_EQ(calls(), "_handle_diagnostic_response[{\"type\":\"diagnostic_response\"}]\n");
}

// Catches a response-matched message also reaching its forwarder.
TEST_F(ControlHandlers, MatchedResponsesSkipTheirHandlers) {
    std::vector<JsonObject> answers;
    for (const char* type : {"debug_evaluate_result", "hover_response", "settings_response"}) {
        const std::string id = client->send_and_wait_response(
            JsonObject{{"type", "ask"}},
            [&](JsonObject data) { answers.push_back(std::move(data)); }, std::string(type));
        deliver(R"({"type": ")" + std::string(type) + R"(", "request_id": ")" + id + R"("})");
    }
    ASSERT_TRUE(wait_until([&] { return answers.size() == 3; }));
    EXPECT_EQ(calls(), "");
}

// Catches the debug state set when the host already did, or without a workbook.
TEST_F(ControlHandlers, DebugPaused) {
    deliver(R"({"type": "debug_paused", "line": 3})");
    deliver(R"({"type": "debug_paused", "workbook_id": ""})");
    EXPECT_EQ(host.log.names(),
              (std::vector<std::string>{"_handle_debug_paused", "_handle_debug_paused"}));
    host.log.clear();
    deliver(R"({"type": "debug_paused", "workbook_id": "wb1"})");
    EXPECT_EQ(calls(),
              "_handle_debug_paused[{\"type\":\"debug_paused\",\"workbook_id\":\"wb1\"}]\n"
              "_set_debug_state[true,\"wb1\"]\n");
    host.log.clear();
    host.pause_sets_debug_active = true;  // the host switches itself on while handling the pause
    host.debug_active = false;
    deliver(R"({"type": "debug_paused", "workbook_id": "wb1"})");
    EXPECT_EQ(host.log.names(), std::vector<std::string>{"_handle_debug_paused"});
}

// Catches a state push without its gate, a shared default array, or a missing debug line.
TEST_F(ControlHandlers, AutomationStatePushes) {
    deliver(R"({"type": "event_manager_state", "workbook_id": "wb1", "handlers": [1]})");
    deliver(R"({"type": "ontime_event_manager_state", "workbook_id": "wb1"})");
    deliver(
        R"({"type": "ontime_event_manager_state", "workbook_id": "wb1", "ontime_events": [{"at": "9:00"}]})");
    deliver(R"({"type": "published_functions_state", "workbook_id": "wb1"})");
    deliver(R"({"type": "object_registry_response", "workbook_id": "wb1"})");
    deliver(
        R"({"type": "object_registry_update", "workbook_id": "wb1", "action": "added", "id": 4})");
    EXPECT_EQ(calls(),
              "event_manager.update_state[\"wb1\",{\"type\":\"event_manager_state\",\"workbook_"
              "id\":\"wb1\",\"handlers\":[1]}]\n"
              "timer_manager.update_ontime_config[\"wb1\",[]]\n"
              "timer_manager.update_ontime_config[\"wb1\",[{\"at\":\"9:00\"}]]\n"
              "function_publisher.update_publications_from_server[\"wb1\",[]]\n"
              "object_inspector.handle_registry_response[\"wb1\",[]]\n"
              "object_inspector.handle_registry_update[\"wb1\",\"added\",{\"type\":\"object_"
              "registry_update\",\"workbook_id\":\"wb1\",\"action\":\"added\",\"id\":4}]\n");
    EXPECT_EQ(logs.texts(),
              (std::vector<std::string>{
                  "debug: [IDE] Updated event manager state for workbook: wb1",
                  "debug: [IDE] Updated on-time event manager state for workbook: wb1",
                  "debug: [IDE] Updated on-time event manager state for workbook: wb1",
                  "debug: [IDE] Updated published functions for workbook: wb1",
                  "debug: [IDE] Handled object_registry_response for wb1",
                  "debug: [IDE] Handled object_registry_update: added for wb1"}));
    host.log.clear();
    const size_t log_lines = logs.records().size();
    for (const char* frame : {R"({"type": "event_manager_state", "workbook_id": ""})",
                              R"({"type": "event_manager_state"})",
                              R"({"type": "ontime_event_manager_state", "workbook_id": 0})",
                              R"({"type": "published_functions_state", "workbook_id": null})",
                              R"({"type": "object_registry_response"})",
                              R"({"type": "object_registry_update", "workbook_id": "wb1"})",
                              R"({"type": "object_registry_update", "action": "added"})"})
        deliver(frame);
    EXPECT_EQ(calls(), "");
    EXPECT_EQ(logs.records().size(), log_lines);
}

// Catches a colour passed on success, a missing failure colour, or names not shown as None.
TEST_F(ControlHandlers, RegistrationResults) {
    deliver(
        R"({"type": "register_handler_result", "object_id": "Sheet1", "event_name": "Change", "success": true})");
    deliver(
        R"({"type": "register_handler_result", "object_id": "Sheet1", "event_name": "Change"})");
    deliver(R"({"type": "register_handler_result", "success": true})");
    deliver(
        R"({"type": "unregister_handler_result", "object_id": "Btn", "event_name": "Click", "success": true})");
    deliver(
        R"({"type": "unregister_handler_result", "object_id": "Btn", "event_name": "Click", "success": false})");
    EXPECT_EQ(
        calls(),
        "log_to_console[\"Handler registered: Sheet1.Change\",null,\"SIMPLE\"]\n"
        "log_to_console[\"Failed to register handler: Sheet1.Change\",\"#ff6b6b\",\"SIMPLE\"]\n"
        "log_to_console[\"Handler registered: None.None\",null,\"SIMPLE\"]\n"
        "log_to_console[\"Handler unregistered: Btn.Click\",null,\"SIMPLE\"]\n"
        "log_to_console[\"Failed to unregister handler: Btn.Click\",\"#ff6b6b\",\"SIMPLE\"]\n");
    EXPECT_TRUE(logs.records().empty());
}

// Catches settings and show requests doing more or less than their one line and call.
TEST_F(ControlHandlers, SettingSavedAndShowIde) {
    deliver(R"({"type": "setting_saved", "key": "theme", "value": "dark", "ok": false})");
    deliver(R"({"type": "show_ide"})");
    EXPECT_EQ(calls(), "show_and_focus[]\n");
    EXPECT_EQ(logs.texts(), (std::vector<std::string>{"debug: [IDE] Setting saved successfully",
                                                      "info: [IDE] Received show_ide message"}));
}

// Catches a stale token kept, a default missing, or the token written to any log or console line.
TEST_F(ControlHandlers, WatchdogInfoStoresButNeverLogsTheToken) {
    const std::string token = "s3cr3t-T0ken-9f2c";
    deliver(R"({"type": "watchdog_info", "watchdog_port": 9000, "auth_token": ")" + token +
            R"("})");
    EXPECT_EQ(host.watchdog_port, Json(9000));
    EXPECT_EQ(host.auth_token, Json(token));
    deliver(R"({"type": "watchdog_info"})");
    EXPECT_EQ(host.watchdog_port, Json(0));
    EXPECT_EQ(host.auth_token, Json("")) << "a message without a token clears the stored one";
    EXPECT_EQ(logs.texts(),
              (std::vector<std::string>{"info: [IDE] Received watchdog info: port=9000",
                                        "info: [IDE] Received watchdog info: port=0"}));
    for (const CapturedRecord& r : logs.records()) {
        EXPECT_EQ(r.text.find(token), std::string::npos) << r.text;
        EXPECT_EQ(r.stack_trace.find(token), std::string::npos);
    }
    for (const Call& c : host.log.named("log_to_console"))
        EXPECT_EQ(compact(c.args).find(token), std::string::npos);
}

struct BoxSeen {
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QWidget* parent = nullptr;
    bool seen = false;
};

// Closes the next modal message box as soon as it shows, noting what it showed.
void close_next_box(BoxSeen& seen) {
    auto* poll = new QTimer(qApp);  // owned by the application, deleted once done
    QObject::connect(poll, &QTimer::timeout, [poll, &seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        seen = {box->windowTitle(),     box->text(),         box->icon(),
                box->standardButtons(), box->parentWidget(), true};
        box->accept();
        poll->stop();
        poll->deleteLater();
    });
    poll->start(5);
}

struct MessageCase {
    const char* name;
    std::string message_json;  // the value of "message", or empty for none
    std::string sender_json;   // the value of "from_client", or empty for none
    std::string box_text;
    std::string log_line;
};

// Catches the log shortened by bytes or without "...", and a box that is not the real modal one.
TEST_F(ControlHandlers, MessageIdeShowsAModalBox) {
    const std::string ascii120(120, 'a');
    std::string accented60;
    for (int i = 0; i < 60; ++i) accented60 += "\xC3\xA9";  // é, two bytes each
    std::string accented50;
    for (int i = 0; i < 50; ++i) accented50 += "\xC3\xA9";
    const MessageCase cases[] = {
        {"120 ASCII characters", "\"" + ascii120 + "\"", "\"Excel\"", ascii120,
         "[IDE] Received message_ide from Excel: " + std::string(50, 'a') + "..."},
        {"60 code points", "\"" + accented60 + "\"", "\"Excel\"", accented60,
         "[IDE] Received message_ide from Excel: " + accented50 + "..."},
        {"short", "\"hello\"", "", "hello", "[IDE] Received message_ide from Unknown: hello..."},
        {"null message, null sender", "null", "null", "",
         "[IDE] Received message_ide from None: ..."},
        {"a number", "12345", "\"Excel\"", "12345",
         "[IDE] Received message_ide from Excel: 12345..."},
    };
    for (const MessageCase& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture one;
        std::string frame = R"({"type": "message_ide")";
        if (!c.message_json.empty()) frame += R"(, "message": )" + c.message_json;
        if (!c.sender_json.empty()) frame += R"(, "from_client": )" + c.sender_json;
        frame += "}";
        BoxSeen seen;
        close_next_box(seen);
        deliver(frame);
        ASSERT_TRUE(seen.seen);
        EXPECT_EQ(seen.title, "Message from Addin");
        EXPECT_EQ(seen.text.toStdString(), c.box_text);
        EXPECT_EQ(seen.icon, QMessageBox::Information);
        EXPECT_EQ(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        EXPECT_EQ(seen.parent, host.widget()) << "owned by the main window";
        EXPECT_EQ(one.texts(), std::vector<std::string>{"info: " + c.log_line});
    }
}

// Catches messages reordered, or run inside the box's modal loop, while a box is open.
TEST_F(ControlHandlers, MessagesWaitInOrderWhileTheBoxIsOpen) {
    BoxSeen seen;
    std::vector<std::string> during;
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, [&, poll] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        // Two messages arrive while the box is open.
        if (!seen.seen) {
            seen.seen = true;
            detail::ClientAccess::_handle_message(*client,
                                                  R"({"type": "stdout", "content": "first"})");
            detail::ClientAccess::_handle_message(*client,
                                                  R"({"type": "stdout", "content": "second"})");
            return;
        }
        during = host.log.names();
        box->accept();
        poll->stop();
        poll->deleteLater();
    });
    poll->start(5);
    deliver(R"({"type": "message_ide", "message": "hi"})");
    drain();
    EXPECT_TRUE(during.empty()) << "nothing ran inside the modal loop";
    EXPECT_EQ(calls(),
              "log_to_console[\"first\",\"#4daafc\",\"SIMPLE\",true]\n"
              "log_to_console[\"second\",\"#4daafc\",\"SIMPLE\",true]\n");
}

}  // namespace
