// What a request's callback receives, and how to tell the client's time-out object from an
// answer.
#pragma once

#include <quarvo_zovovi/ide/gui/export.h>

#include <functional>

#include <quarvo_zovovi/ide/gui/core/json.h>

namespace quarvo_zovovi::ide::gui {

/// Receives the answer to a request, or the client's time-out object (see is_timeout()).
/// Runs on the GUI thread, exactly once per request of a started client; it owns the object.
using ResponseCallback = std::function<void(JsonObject)>;

/// True when `answer`, as a ResponseCallback receives it, is the client's time-out object
/// ({"error": "timeout", "request_id": ..., "message": "Request timed out after ...s"}) and not
/// the Business Layer's answer: its "error" is "timeout" and it has no "type". (An answer may
/// carry an "error" of its own, as a failed execution_result does.) Any thread.
QUARVO_IDE_CLIENT_EXPORT bool is_timeout(const JsonObject& answer);

}  // namespace quarvo_zovovi::ide::gui
