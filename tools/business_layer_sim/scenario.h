// Scenarios of the Business Layer simulator: what it does on each new connection.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include <quarvo_zovovi/ide/gui/host/main_window.h>

namespace quarvo_tools::sim {

using quarvo_zovovi::ide::gui::JsonObject;

struct Action {
    enum Kind { send, send_text, send_binary, sleep, wait_for, close, drop, stop_reading, exit };
    Kind kind;
    JsonObject message;    // send; the reply template of wait_for (may be empty)
    std::string text;      // send_text, send_binary; the awaited type of wait_for; close reason
    long long number = 0;  // sleep: milliseconds; close: code; exit: status
    int line = 0;          // where it stands in the scenario file
};

struct Scenario {
    std::string name;
    std::vector<Action> actions;
};

class ScenarioError : public std::runtime_error {
  public:
    ScenarioError(int line, const std::string& what) : std::runtime_error(what), line(line) {}
    const int line;  // 0 when the error is not about one line
};

// "demo", "quiet", or a path to a file of JSON lines (blank lines and lines starting with '#'
// are skipped). Throws ScenarioError.
Scenario load_scenario(const std::string& name_or_path);

}  // namespace quarvo_tools::sim
