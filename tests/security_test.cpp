// What may reach a log line: every message type and malformed frames carry a secret token and
// body text; a scan of every captured record (text and stack trace) finds the token nowhere
// and the body text only in the lines that log message text by design.
#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <boost/json/serialize.hpp>

#include <quarvo_zovovi/ide/gui/handler_table.h>
#include "client_fixture.h"

using namespace quarvo_test;

namespace {

constexpr std::string_view token = "tok-5ecret-ab12cd34";
constexpr std::string_view body = "B0DY-MARKER";

// The two lines that quote message text on purpose: the add-in's note (first 50 characters)
// and the workbook's Python path.
bool logs_text_by_design(const std::string& text) {
    return text.rfind("[IDE] Received message_ide from ", 0) == 0 ||
           text.rfind("[PYTHON_PATH] python_paths in message: ", 0) == 0;
}

JsonObject message_of(std::string_view type) {
    const std::string b(body);
    JsonObject m{{"type", type},
                 {"workbook_id", "wb1"},
                 {"module_name", "m"},
                 {"name", "Book1"},
                 {"new_name", "Book2"},
                 {"content", b + "\n"},
                 {"code", "x = '" + b + "'"},
                 {"modules", JsonObject{{"m", "y = '" + b + "'"}}},
                 {"auth_token", token},
                 {"watchdog_port", 9100},
                 {"key", "theme"},
                 {"value", b},
                 {"settings", JsonObject{{"theme", b}}},
                 {"packages", JsonArray{JsonObject{{"name", b}, {"version", "1"}}}},
                 {"package_errors", JsonObject{{b, b}}},
                 {"python_paths", JsonArray{"/opt/" + b}},
                 {"deps", JsonArray{b}},
                 {"items", JsonArray{b}},
                 {"contents", b},
                 {"diagnostics", JsonArray{b}},
                 {"expression", b},
                 {"message", b},
                 {"from_client", "addin"},
                 {"output", b},
                 {"error", b},
                 {"functions", JsonArray{b}},
                 {"objects", JsonArray{b}},
                 {"action", "added"},
                 {"object", JsonObject{{"id", b}}},
                 {"handlers", JsonArray{b}},
                 {"ontime_events", JsonArray{b}},
                 {"package_name", "pkg"},
                 {"status", "installing"},
                 {"success", false},
                 {"function_name", "f"},
                 {"line", 1}};
    if (type == "workbook_list")
        m["workbooks"] = JsonArray{JsonObject{{"id", "wb1"}, {"name", "Book1"}}};
    return m;
}

class LogSecrecy : public ClientTest {};

TEST_F(LogSecrecy, NoTokenAndNoBodyTextBeyondWhatIsLoggedByDesign) {
    SetUpClient();
    connect();
    // message_ide opens a modal box: close each one as it comes.
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [] {
        if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
    });
    closer.start(5);

    for (std::string_view type : MESSAGE_TYPES)
        server->send_text(boost::json::serialize(message_of(type)));
    const std::string b(body);
    for (const std::string& bad :
         {"{not json " + b, "[\"" + b + "\"]", R"({"type": 5, "content": ")" + b + "\"}",
          R"({"content": ")" + b + "\"}", R"({"type": "no_such_type", "content": ")" + b + "\"}",
          R"({"type": ["x"], "content": ")" + b + "\"}"})
        server->send_text(bad);
    // And outbound: a request whose body goes nowhere near the log, also while disconnected.
    client->send_message(JsonObject{{"type", "save_setting"}, {"key", "k"}, {"value", b}});
    server->send_text(R"({"type": "log_to_console", "content": "end"})");
    ASSERT_TRUE(wait_until([&] {
        for (const Call& c : host.log.named("log_to_console"))
            if (c.args[0] == "end") return true;
        return false;
    })) << logs.dump();
    client->stop();
    client->send_message(JsonObject{{"type", "save_setting"}, {"key", "k"}, {"value", b}});
    client->send_and_wait_response(JsonObject{{"type", "get_setting"}, {"key", b}},
                                   [](JsonObject) {});
    pump_events(100);

    const auto records = logs.records();
    size_t by_design = 0;
    for (const CapturedRecord& r : records) {
        const std::string all = r.text + "\n" + r.stack_trace;
        EXPECT_EQ(all.find(token), std::string::npos) << "token in: " << r.text;
        if (all.find(body) == std::string::npos) continue;
        EXPECT_TRUE(logs_text_by_design(r.text)) << "message text in: " << r.text;
        ++by_design;
    }
    EXPECT_EQ(by_design, 2u) << "the scan must see the lines that quote text on purpose";
    // The token did arrive: the host holds it.
    EXPECT_FALSE(host.log.named("set_auth_token").empty());
}

}  // namespace
