// What a request's callback receives, and how to tell the client's time-out object from an
// answer.
#pragma once

#include <quarvo_zovovi/ide/gui/export.h>

#include <functional>

#include <quarvo_zovovi/ide/gui/core/json.h>

namespace quarvo_zovovi::ide::gui {

/// Receives the answer to a request, or one of the client's own objects (see response_kind()).
/// Runs on the GUI thread, exactly once per request of a started client; it owns the object.
using ResponseCallback = std::function<void(JsonObject)>;

/// True when `answer`, as a ResponseCallback receives it, is the client's time-out object
/// ({"error": "timeout", "request_id": ..., "message": "Request timed out after ...s"}) and not
/// the Business Layer's answer: its "error" is "timeout" and it has no "type". (An answer may
/// carry an "error" of its own, as a failed execution_result does.) Any thread.
QUARVO_IDE_CLIENT_EXPORT bool is_timeout(const JsonObject& answer);

/// What a ResponseCallback received.
enum class ResponseKind {
    answer,   ///< the Business Layer's answer
    timeout,  ///< the client's time-out object (see is_timeout())
    /// The client's refusal, at once: a request of the same id was pending, and keeps its own
    /// callback and time-out. {"error": "duplicate_request_id", "request_id": ..., "message":
    /// "Request id ... is already pending"}; the request was not sent.
    duplicate_id,
    /// The client's refusal, at once, of a request made while no connection was open, when
    /// ClientOptions::fail_requests_while_disconnected is on. {"error": "not_sent", ...}.
    not_sent,
};

/// Tells the client's own objects from an answer: they carry an "error" of their own word and
/// no "type". Any thread.
QUARVO_IDE_CLIENT_EXPORT ResponseKind response_kind(const JsonObject& received);

}  // namespace quarvo_zovovi::ide::gui
