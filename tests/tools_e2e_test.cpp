// End to end through the real programs: business-layer-sim and ide-trace, as a script would
// drive them, plus their handling of bad input.
#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <boost/json/parse.hpp>
#include <fstream>
#include <functional>
#include <regex>

#include "program.h"

namespace {

using boost::json::object;
using quarvo_test::Program;

class Tools : public ::testing::Test {
  protected:
    // Writes a scenario file and starts the simulator on a free port with it.
    void start_sim(const std::string& scenario_lines) {
        const QString path = dir.filePath("scenario.jsonl");
        std::ofstream(path.toStdString()) << scenario_lines;
        sim = std::make_unique<Program>(QUARVO_SIM_PATH,
                                        QStringList{"--plain", "--port", "0", "--scenario", path});
        const std::string listening = sim->wait_for_text("listening ws://127.0.0.1:");
        std::smatch m;
        ASSERT_TRUE(std::regex_search(listening, m, std::regex(":([0-9]+)/ws/ide/main_ide")))
            << listening;
        port = m[1];
    }
    // steady: the connection stays up, so wait until the client's flag says so too.
    void start_trace(bool steady = true, const QStringList& extra = {}) {
        trace = std::make_unique<Program>(
            QUARVO_TRACE_PATH, QStringList{"--plain", "--port", QString::fromStdString(port),
                                           "--time-scale", "0.01"} +
                                   extra);
        trace->send(R"({"op":"start"})");
        ASSERT_NE(trace->wait_for_text(
                      R"({"call":"statusBar.showMessage","args":["Connected to Quarvo Server"]})"),
                  "")
            << trace->all();
        if (!steady) return;
        // The connected notice is queued just before the client's flag is set: wait for the flag.
        QDeadlineTimer deadline(10000);
        do {
            trace->send(R"({"op":"is_connected"})");
        } while (trace->wait_for_text(R"({"is_connected":true)", 50) == "" &&
                 !deadline.hasExpired());
        ASSERT_NE(trace->wait_for_text(R"({"is_connected":true)", 0), "") << trace->all();
    }
    static object json(const std::string& line) { return boost::json::parse(line).as_object(); }

    QTemporaryDir dir;
    std::unique_ptr<Program> sim;
    std::unique_ptr<Program> trace;
    std::string port;
};

// Catches a session that does not reach the host: connect texts, a workbook, the real state.
TEST_F(Tools, ConnectAndWorkbookReachTheTrace) {
    start_sim(
        R"({"action": "send", "message": {"type": "workbook_connected", "workbook_id": "wb1", "name": "Book1", "modules": {"m": "x = 1"}}})"
        "\n");
    start_trace();
    EXPECT_NE(
        trace->wait_for_text(
            R"({"call":"log_to_console","args":["Connected to Quarvo Server",null],"level":"DETAILED"})"),
        "");
    EXPECT_NE(
        trace->wait_for_text(R"({"call":"project_explorer.add_workbook","args":["wb1","Book1"]})"),
        "");
    EXPECT_NE(trace->wait_for_text(
                  R"({"log":"info","text":"[WebSocketClient] Connected to Business Layer"})"),
              "");
    trace->send(R"({"op":"dump"})");
    const object state = json(trace->wait_for_text(R"({"state":)")).at("state").as_object();
    EXPECT_EQ(state.at("_workbook_items"), boost::json::parse(R"(["wb1"])"));
    EXPECT_EQ(state.at("_module_cache"), boost::json::parse(R"({"wb1": {"m": "x = 1"}})"));
    const object& stats = state.at("stats").as_object();
    EXPECT_GE(stats.at("frames_in").to_number<int64_t>(), 1);
    for (const char* key : {"pending_bytes", "peak_pending_bytes", "read_pauses", "read_pause_ms",
                            "reading_paused", "backlog_frames", "backlog_bytes", "outbox_bytes"})
        EXPECT_TRUE(stats.contains(key)) << key;
    EXPECT_NE(sim->wait_for_text("#1 open 127.0.0.1:"), "");
    EXPECT_NE(sim->wait_for_text(R"(#1 send {"type": "workbook_connected")"), "");
    trace->send(R"({"op":"quit"})");
    EXPECT_EQ(trace->finish(), 0);
}

// Catches a request whose answer loses its id, and a time-out object that never comes.
TEST_F(Tools, RequestAnsweredAndTimedOut) {
    start_sim("");  // no scripted actions: the simulator only answers requests
    start_trace();
    trace->send(
        R"({"op":"request","message":{"type":"get_module","workbook_id":"wb-sales","module_name":"cleanup"},"response_type":"module_content","timeout":30})");
    const std::string issued = trace->wait_for_text(R"({"request_id":)");
    ASSERT_NE(issued, "") << trace->all();
    const std::string id = std::string(json(issued).at("request_id").as_string());
    const std::string answer = trace->wait_for_text(R"({"callback":")" + id + "\"");
    ASSERT_NE(answer, "") << trace->all();
    const object data = json(answer).at("data").as_object();
    EXPECT_EQ(boost::json::value(data),
              boost::json::parse(R"({"type": "module_content", "workbook_id": "wb-sales",
        "module_name": "cleanup", "code": "def run():\n    drop_empty_rows()\n", "request_id": ")" +
                                 id + R"("})"))
        << trace->all();
    EXPECT_NE(sim->wait_for_text(R"(#1 recv {"type": "get_module")"), "")
        << "the request on the wire";

    trace->send(R"({"op":"request","message":{"type":"no_such_request"},"timeout":2.5})");
    const std::string late = trace->wait_for_text(R"("message":"Request timed out after 2.5s")");
    ASSERT_NE(late, "") << trace->all();
    EXPECT_EQ(json(late).at("data").as_object().at("error"), "timeout");

    // A cancelled request says whether it was pending, and its callback never comes (ide-trace
    // runs at 1/100 of the real timings: 100 s is 1 s here).
    trace->send(
        R"({"op":"request","message":{"type":"no_such_request","request_id":"c1"},"timeout":100})");
    ASSERT_NE(trace->wait_for_text(R"({"request_id":"c1"})"), "") << trace->all();
    trace->send(R"({"op":"cancel","request_id":"c1"})");
    EXPECT_NE(trace->wait_for_text(R"({"cancelled":"c1","was_pending":true})"), "") << trace->all();
    trace->send(R"({"op":"cancel","request_id":"c1"})");
    EXPECT_NE(trace->wait_for_text(R"({"cancelled":"c1","was_pending":false})"), "")
        << trace->all();
    trace->send(R"({"op":"request","message":{"type":"no_such_request"},"timeout":200})");
    ASSERT_NE(trace->wait_for_text(R"("message":"Request timed out after 200.0s")"), "")
        << trace->all();
    EXPECT_EQ(trace->all().find(R"({"callback":"c1")"), std::string::npos) << trace->all();
}

// Catches a traffic log that ide-trace does not write as it goes or cannot dump: a request, its
// frames and its answer, paired by id.
TEST_F(Tools, TrafficLogToAFileAndOnCommand) {
    start_sim("");
    const QString file = dir.filePath("traffic.jsonl");
    start_trace(true, {"--traffic-log", file});
    trace->send(
        R"({"op":"request","message":{"type":"get_module","workbook_id":"wb1","module_name":"m","request_id":"r1"},"response_type":"module_content"})");
    ASSERT_NE(trace->wait_for_text(R"({"callback":"r1")"), "") << trace->all();
    trace->send(R"({"op":"traffic_dump"})");
    ASSERT_NE(trace->wait_for_text(R"({"traffic_entries":)"), "") << trace->all();
    EXPECT_NE(trace->wait_for_text(R"("event":"answered","request_id":"r1")"), "");
    trace->send(R"({"op":"quit"})");
    EXPECT_EQ(trace->finish(), 0);
    std::ifstream in(file.toStdString());
    std::vector<std::string> seen;  // kind or event, type, id
    for (std::string line; std::getline(in, line);) {
        const object e = json(line);
        std::string what(e.contains("event") ? e.at("event").as_string() : e.at("kind").as_string());
        if (e.contains("type")) what += " " + std::string(e.at("type").as_string());
        if (e.contains("request_id")) what += " " + std::string(e.at("request_id").as_string());
        seen.push_back(what);
    }
    const auto at = [&](const std::string& what) {
        return std::find(seen.begin(), seen.end(), what) - seen.begin();
    };
    const auto end = std::ptrdiff_t(seen.size());
    ASSERT_LT(at("connected"), end) << testing::PrintToString(seen);
    EXPECT_LT(at("request_sent r1"), at("sent get_module r1"));
    EXPECT_LT(at("sent get_module r1"), at("received module_content r1"));
    EXPECT_LT(at("received module_content r1"), at("answered r1"));
    EXPECT_LT(at("answered r1"), end);
}

// Catches a normal close that is not reported, or not followed by a new connection.
TEST_F(Tools, NormalCloseThenReconnection) {
    start_sim(R"({"action": "sleep", "ms": 100})"
              "\n"
              R"({"action": "close", "code": 1000, "reason": "bye"})"
              "\n");
    start_trace();
    EXPECT_NE(trace->wait_for_text(
                  R"({"log":"info","text":"[WebSocketClient] Connection closed: 1000 bye"})"),
              "")
        << trace->all();
    EXPECT_NE(trace->wait_for_text(R"("args":["Disconnected from Quarvo Server",null])"), "");
    EXPECT_NE(trace->wait_for_text(R"([WebSocketClient] Reconnecting in 1.0s (attempt 1)...)"), "");
    EXPECT_NE(sim->wait_for_text("#2 open"), "") << sim->all();
    EXPECT_NE(trace->wait_for([&](const std::string&) {
        return trace->count(R"("args":["Connected to Quarvo Server",null])") >= 2;
    }),
              "");
}

// Catches scenario fault actions that do not reach the wire the way they say.
TEST_F(Tools, ScenarioFaultActions) {
    start_sim(R"({"action": "send_binary", "text": "\u0001"})"
              "\n");
    start_trace(false);
    EXPECT_NE(trace->wait_for_text("[WebSocketClient] Connection error: binary frame received"), "")
        << trace->all();

    start_sim(R"({"action": "stop_reading"})"
              "\n");
    start_trace(false);
    EXPECT_NE(sim->wait_for_text("#1 stop-reading"), "");
    EXPECT_NE(
        trace->wait_for_text(
            R"({"log":"warning","text":"[WebSocketClient] Connection closed: keepalive ping timeout"})"),
        "")
        << trace->all();

    start_sim(R"({"action": "drop"})"
              "\n");
    start_trace(false);
    EXPECT_NE(sim->wait_for_text("#1 drop"), "");
    EXPECT_NE(
        trace->wait_for_text(R"({"log":"warning","text":"[WebSocketClient] Connection closed: )"),
        "")
        << trace->all();

    start_sim(R"({"action": "exit", "code": 3})"
              "\n");
    start_trace(false);
    EXPECT_EQ(sim->finish(), 3);
}

struct BadSimCase {
    const char* name;
    QStringList args;
    std::string scenario;  // written to the scenario file when not empty
    const char* message;
};

// Catches bad input that crashes the simulator or exits without saying why.
TEST_F(Tools, SimulatorRejectsBadInputWithStatus2) {
    const QString file = dir.filePath("bad.jsonl");
    const BadSimCase cases[] = {
        {"unknown option", {"--fast"}, "", "unknown option \"--fast\""},
        {"bad port", {"--port", "http"}, "", "--port takes a number"},
        {"unreadable file",
         {"--scenario", dir.filePath("missing.jsonl")},
         "",
         "cannot read scenario file"},
        {"malformed line",
         {"--scenario", file},
         "# comment\n\n{\"action\": \"sleep\", \"ms\": 5}\n{oops\n",
         "bad.jsonl:4: not JSON"},
        {"unknown action",
         {"--scenario", file},
         "{\"action\": \"explode\"}\n",
         "bad.jsonl:1: unknown action"},
        {"missing key",
         {"--scenario", file},
         "{\"action\": \"send\"}\n",
         "bad.jsonl:1: missing \"message\""},
    };
    for (const BadSimCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.scenario.empty()) std::ofstream(file.toStdString()) << c.scenario;
        Program p(QUARVO_SIM_PATH, c.args);
        EXPECT_EQ(p.finish(), 2);
        const std::string err = p.error_output();
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "one line: " << err;
    }
}

// Catches a malformed command that stops the trace host, and bad options that do not exit 2.
TEST_F(Tools, TraceHostSurvivesBadCommands) {
    for (const QStringList& args : {QStringList{"--colour"}, QStringList{"--header", "Origin"},
                                    QStringList{"--proxy", "proxy.local"},
                                    QStringList{"--proxy", "proxy.local:http"}}) {
        Program bad(QUARVO_TRACE_PATH, args);
        EXPECT_EQ(bad.finish(), 2) << args.join(' ').toStdString();
    }
    start_sim("");
    start_trace();
    for (const char* line :
         {"not json", R"(["op"])", R"({"op":"fly"})", R"({"op":"send"})",
          R"({"op":"state","_debug_active":"yes"})", R"({"op":"state","mystery":1})"})
        trace->send(line);
    const size_t answered = trace->count(R"({"is_connected":true,"connected":true})");
    trace->send(R"({"op":"is_connected"})");
    EXPECT_NE(trace->wait_for([&](const std::string&) {
        return trace->count(R"({"is_connected":true,"connected":true})") > answered;
    }),
              "")
        << "the host goes on after bad commands\n"
        << trace->all();
    EXPECT_EQ(trace->count(R"({"error":)"), 6u) << trace->all();
    trace->send(R"({"op":"quit"})");
    EXPECT_EQ(trace->finish(), 0);
}

// A line a person reads: no library's source location, function signature or file name.
bool plain(const std::string& line) {
    for (const char* leak : {"boost", ".hpp", ".ipp", "[system:", "function", "location"})
        if (line.find(leak) != std::string::npos) return false;
    return true;
}

// Catches a host name refused as "Invalid argument", and a port in use or an unknown host
// reported with Boost's source location instead of one plain line.
TEST_F(Tools, SimulatorHostNamesAndPlainStartErrors) {
    Program by_name(QUARVO_SIM_PATH,
                    {"--plain", "--host", "localhost", "--port", "0", "--scenario", "quiet"});
    const std::string listening = by_name.wait_for_text("listening ws://localhost:");
    ASSERT_NE(listening, "") << by_name.all() << by_name.error_output();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(listening, m, std::regex(":([0-9]+)/ws/ide/main_ide")));

    struct Case {
        const char* name;
        QStringList args;
        const char* message;
    } cases[] = {
        {"port in use",
         {"--plain", "--host", "localhost", "--port", QString::fromStdString(m[1]), "--scenario",
          "quiet"},
         "cannot listen on localhost:"},
        {"unknown host",
         {"--plain", "--host", "no-such-host.invalid", "--port", "0"},
         "cannot resolve --host \"no-such-host.invalid\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Program p(QUARVO_SIM_PATH, c.args);
        EXPECT_EQ(p.finish(), 1);
        const std::string err = p.error_output();
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "one line: " << err;
        EXPECT_TRUE(plain(err)) << err;
    }
}

// Catches "send: out of range" and Boost's source location for a command's missing key or
// wrong type: the trace host names the key and what it must be.
TEST_F(Tools, TraceHostNamesTheMissingKeyOrTheWrongType) {
    start_sim("");
    start_trace();
    struct Case {
        const char* command;
        const char* error;
    } cases[] = {
        {R"({"op":"send"})", R"(\"send\" needs \"message\", an object)"},
        {R"({"op":"send","message":"hi"})", R"(\"message\" of \"send\" must be an object)"},
        {R"({"op":"send_text","text":5})", R"(\"text\" of \"send_text\" must be a text)"},
        {R"({"op":"request","message":{"type":"x"},"timeout":"soon"})",
         R"(\"timeout\" of \"request\" must be a number of seconds)"},
        {R"({"op":"state","_debug_active":"yes"})",
         R"(\"_debug_active\" of \"state\" has the wrong type)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        trace->send(c.command);
        // The error as the trace writes it, inside a JSON text (quotes escaped).
        const std::string line = trace->wait_for_text(R"({"error":")" + std::string(c.error));
        ASSERT_NE(line, "") << trace->all();
        const std::string error(json(line).at("error").as_string());
        EXPECT_TRUE(plain(error)) << error;
    }
    trace->send(R"({"op":"quit"})");
    EXPECT_EQ(trace->finish(), 0);
}

#ifdef QUARVO_IDE_PATH
// Catches the window aborting inside Qt (exit 134) when there is no display.
TEST_F(Tools, WindowWithoutADisplaySaysSoAndExits2) {
    QProcess ide;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
    ide.setProcessEnvironment(env);
    ide.start(QUARVO_IDE_PATH, {"--port", "1"});
    ASSERT_TRUE(ide.waitForFinished(10000));
    EXPECT_EQ(ide.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(ide.exitCode(), 2);
    const std::string err = ide.readAllStandardError().toStdString();
    EXPECT_NE(err.find("quarvo-ide: no display"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}
#endif

}  // namespace
