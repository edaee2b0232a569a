// The simulator's answers to the requests of docs/PROTOCOL.md, over a small workspace.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <quarvo_zovovi/ide/gui/host/main_window.h>

namespace quarvo_tools::sim {

using quarvo_zovovi::ide::gui::Json;
using quarvo_zovovi::ide::gui::JsonObject;

class Responder {
  public:
    Responder();
    // The messages that answer `request`, in order; empty for a type it does not know. The
    // last message carries the request's request_id.
    std::vector<JsonObject> answer(const JsonObject& request);

  private:
    std::map<std::string, JsonObject> modules_;  // workbook id to module map
    JsonObject settings_;
};

}  // namespace quarvo_tools::sim
