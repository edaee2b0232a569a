// business-layer-sim: a stand-in Business Layer for trying the IDE client from a shell.
#include <charconv>
#include <cstring>
#include <iostream>
#include <string>

#include "scenario.h"
#include "server.h"

namespace {

constexpr const char* usage =
    R"(usage: business-layer-sim [--host 127.0.0.1] [--port 8000] [--plain]
                          [--cert FILE --key FILE] [--scenario demo|quiet|FILE]
                          [--ping-patience MS]

A WebSocket server that stands in for the Business Layer. It serves "/ws/ide/main_ide"
(other paths get HTTP 404), over TLS by default with a self-signed certificate made at
start (--cert/--key give your own, --plain serves ws), and takes clients one after another.

On each new connection it plays the scenario, then answers the requests listed in
docs/PROTOCOL.md. It prints one line per event on stdout:
  listening wss://HOST:PORT/ws/ide/main_ide scenario NAME
  certificate sha256 AB:CD:...   (TLS: the fingerprint a client may pin)
  #N open PEER | #N recv TEXT | #N send TEXT | #N close CODE REASON | #N drop
  #N closed WHY | #N stop-reading | #N refused 404 PATH | #N exit STATUS
--port 0 takes any free port; the listening line says which. --ping-patience MS makes the
server ping a client that was silent for MS/2 and drop it ("#N closed ...") after MS.

Scenarios: "demo" (a plausible session), "quiet" (answers requests only), or a file of
JSON lines, one action each:
  {"action": "send", "message": {...}}        {"action": "send_text", "text": "..."}
  {"action": "send_binary", "text": "..."}    {"action": "sleep", "ms": 250}
  {"action": "wait_for", "type": "T", "reply": {...}}   (the reply copies request_id)
  {"action": "close", "code": 1000, "reason": "bye"}    {"action": "drop"}
  {"action": "stop_reading"}                  {"action": "exit", "code": 0}
--host takes a name or an address (default 127.0.0.1); a name is resolved.
Bad options or scenario lines give one line on stderr and exit status 2; a host that does
not resolve or a port already in use, one line and exit status 1.
)";

[[noreturn]] void bad_input(const std::string& what) {
    std::cerr << "business-layer-sim: " << what << " (see --help)" << std::endl;
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    quarvo_tools::sim::ServerOptions options;
    std::string scenario_name = "demo";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) bad_input(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << usage;
            return 0;
        } else if (arg == "--host") {
            options.host = value();
        } else if (arg == "--port") {
            const std::string text = value();
            unsigned port = 0;
            auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
            if (ec != std::errc() || end != text.data() + text.size() || port > 65535)
                bad_input("--port takes a number from 0 to 65535, not \"" + text + "\"");
            options.port = uint16_t(port);
        } else if (arg == "--plain") {
            options.tls = false;
        } else if (arg == "--cert") {
            options.cert_file = value();
        } else if (arg == "--key") {
            options.key_file = value();
        } else if (arg == "--ping-patience") {
            const std::string text = value();
            unsigned ms = 0;
            auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), ms);
            if (ec != std::errc() || end != text.data() + text.size() || ms == 0)
                bad_input("--ping-patience takes a number of milliseconds > 0, not \"" + text +
                          "\"");
            options.ping_patience_ms = ms;
        } else if (arg == "--scenario") {
            scenario_name = value();
        } else {
            bad_input("unknown option \"" + arg + "\"");
        }
    }
    if (options.cert_file.empty() != options.key_file.empty())
        bad_input("--cert and --key go together");
    if (!options.tls && !options.cert_file.empty()) bad_input("--plain takes no certificate");

    quarvo_tools::sim::Scenario scenario;
    try {
        scenario = quarvo_tools::sim::load_scenario(scenario_name);
    } catch (const quarvo_tools::sim::ScenarioError& e) {
        if (e.line > 0) bad_input(scenario_name + ":" + std::to_string(e.line) + ": " + e.what());
        bad_input(e.what());
    }
    try {
        return quarvo_tools::sim::run_server(options, scenario);
    } catch (const std::exception& e) {
        std::cerr << "business-layer-sim: " << e.what() << std::endl;
        return 1;
    }
}
