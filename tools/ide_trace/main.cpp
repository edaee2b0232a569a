// ide-trace: a headless host window that prints everything the IDE client does to it.
#include <QApplication>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include <quarvo_zovovi/ide/gui/host/qt_thread.h>
#include "trace.h"

namespace {

constexpr const char* usage =
    R"(usage: ide-trace [--host localhost] [--port 8000] [--plain] [--autostart] [--pretty]
                 [--path /ws/ide/main_ide] [--header "Name: value"]... [--proxy HOST:PORT]
                 [--proxy-user USER:PASSWORD] [--traffic-log FILE]

A headless host window for the IDE client. It implements every host interface with real
state (project tree, module caches, editor tabs) and prints, one line each, every host call,
attribute write, log record and response callback, in the order they happen:
  {"call":"project_explorer.add_workbook","args":["wb1","Book1"]}
  {"call":"log_to_console","args":["Connected to Quarvo Server",null],"level":"DETAILED"}
  {"set":"watchdog_port","value":9000}     {"log":"info","text":"[WebSocketClient] ..."}
  {"callback":"<request id>","data":{...}}
  {"connection":"reconnecting","endpoint":"ws://...","attempt":1,"delay":1.0}   (also
   "connecting", "connected", "disconnected" with "error" and "close_code", "stopped")
  {"call":"QMessageBox","title":"...","text":"...","icon":"Information","buttons":["Ok"]}
--pretty prints the same events for a person. The auth token is shown as "***".

Commands on stdin, one JSON object per line, run on the GUI thread in order:
  {"op":"start"} {"op":"stop"} {"op":"is_connected"} {"op":"dump"} {"op":"quit"}
  {"op":"send","message":{...}}  {"op":"send_text","text":"..."}  {"op":"sendTextMessage","text":"..."}
  {"op":"request","message":{...},"response_type":"...","timeout":2.5}   (prints {"request_id":...})
  {"op":"cancel","request_id":"..."}   (prints {"cancelled":...,"was_pending":true|false})
  {"op":"traffic_log","on":true}   switches the client's traffic log; {"op":"traffic_dump"} prints
   each entry as a JSON line ({"seq":..,"kind":"received",..}), then {"traffic_entries":N,"dropped":D}
  {"op":"state", "_debug_active":true, "_current_debug_workbook":"wb1", "_console_source_filter":"ide_only",
   "current_workbook":"wb1", "_pending_debug_line":{...}, "tabs":[{"title":"m.py","editor":true,"workbook_id":"wb1"}],
   "DEBUG_LINE_HIGHLIGHT_DELAY_MS":100, "_module_cache":{...}, "_workbook_items":["wb1"], "_synced_module_hashes":{...}}
"dump" prints the host's state and the client's counters under "stats" (frames and bytes each
way, pending_bytes and peak_pending_bytes waiting for the GUI thread, read_pauses and
read_pause_ms, reading_paused, backlog_frames and backlog_bytes, outbox_bytes).
A malformed command prints {"error":"..."} and the host goes on.

--plain sets QUARVO_SECURED=0 (ws); otherwise the client uses wss as it does by default.
--path, --header (repeatable) and --proxy (an HTTP CONNECT proxy, --proxy-user its Basic
credentials) set the client's endpoint options.
--traffic-log FILE switches the traffic log on and appends its entries to FILE as JSON Lines as
they come (every 100 ms, and at the end).
--autostart starts the client at once. SIGINT and SIGTERM stop the client and quit.
)";

std::atomic<bool> quit_requested{false};

extern "C" void on_signal(int) {
    quit_requested = true;
}

[[noreturn]] void bad_input(const std::string& what) {
    std::cerr << "ide-trace: " << what << " (see --help)" << std::endl;
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    quarvo_tools::trace::Options options;
    bool autostart = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) bad_input(arg + " needs a value");
            return argv[++i];
        };
        try {
            if (arg == "--help" || arg == "-h") {
                std::cout << usage;
                return 0;
            } else if (arg == "--host") {
                options.host = value();
            } else if (arg == "--port") {
                size_t end = 0;
                const std::string text = value();
                options.port = std::stoi(text, &end);
                if (end != text.size() || options.port < 0 || options.port > 65535)
                    throw std::out_of_range(text);
            } else if (arg == "--plain") {
                setenv("QUARVO_SECURED", "0", 1);
            } else if (arg == "--autostart") {
                autostart = true;
            } else if (arg == "--pretty") {
                options.pretty = true;
            } else if (arg == "--path") {
                options.client.path = value();
            } else if (arg == "--header") {
                const std::string field = value();
                const size_t colon = field.find(':');
                if (colon == std::string::npos || colon == 0)
                    bad_input("--header takes \"Name: value\"");
                const size_t start = field.find_first_not_of(' ', colon + 1);
                options.client.headers.emplace_back(
                    field.substr(0, colon), start == std::string::npos ? "" : field.substr(start));
            } else if (arg == "--proxy") {
                const std::string proxy = value();
                const size_t colon = proxy.rfind(':');
                if (colon == std::string::npos || colon == 0) bad_input("--proxy takes HOST:PORT");
                size_t end = 0;
                const std::string number = proxy.substr(colon + 1);
                options.client.proxy_port = std::stoi(number, &end);
                if (end != number.size()) throw std::out_of_range(number);
                options.client.proxy_host = proxy.substr(0, colon);
            } else if (arg == "--proxy-user") {
                const std::string user = value();
                const size_t colon = user.find(':');
                options.client.proxy_username = user.substr(0, colon);
                if (colon != std::string::npos) options.client.proxy_password = user.substr(colon + 1);
            } else if (arg == "--traffic-log") {
                options.traffic_file = value();
            } else if (arg == "--time-scale") {  // test-only: shortens every wait of the client
                options.time_scale = std::stod(value());
            } else {
                bad_input("unknown option \"" + arg + "\"");
            }
        } catch (const std::logic_error&) {
            bad_input(arg + " takes a number");
        }
    }
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") &&
        !std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);

    QApplication app(argc, argv);
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    QTimer signal_watch;
    QObject::connect(&signal_watch, &QTimer::timeout, [&] {
        if (quit_requested) app.quit();
    });
    signal_watch.start(50);

    quarvo_tools::trace::Output out(options.pretty);
    std::unique_ptr<quarvo_tools::trace::Trace> trace;
    try {
        trace = std::make_unique<quarvo_tools::trace::Trace>(options, out);
    } catch (const std::exception& e) {
        bad_input(e.what());
    }
    if (autostart) trace->command(R"({"op":"start"})");

    // Commands reach the GUI thread through the same ordered hand-off the client uses.
    std::thread([&app, t = trace.get()] {
        std::string line;
        while (std::getline(std::cin, line))
            quarvo_zovovi::ide::gui::run_in_qt_thread([&app, t, line] {
                if (!t->command(line)) app.quit();
            });
    }).detach();

    app.exec();
    trace.reset();  // stops the client
    std::fflush(stdout);
    // The stdin reader may still be blocked in getline: end without running static destructors
    // under it.
    std::_Exit(0);
}
