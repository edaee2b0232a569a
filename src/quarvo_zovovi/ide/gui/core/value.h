// How the client reads JSON values from messages: what counts as set, reading a key with a
// default, and the text form of a value inserted into a log or console text.
#pragma once

#include <quarvo_zovovi/ide/gui/export.h>

#include <string>
#include <string_view>

#include <quarvo_zovovi/ide/gui/core/json.h>
#include <quarvo_zovovi/ide/gui/core/json_text.h>

namespace quarvo_zovovi::ide::gui {

/// A value is set unless it is absent (nullptr), null, false, zero, the empty text, an empty
/// array or an empty object.
QUARVO_IDE_CLIENT_EXPORT bool is_set(const Json* value);
/// The same for a present value.
inline bool is_set(const Json& value) {
    return is_set(&value);
}

/// Present, not null and not the empty text (identifiers of the workspace messages).
QUARVO_IDE_CLIENT_EXPORT bool is_non_empty(const Json* value);
/// The same for a present value.
inline bool is_non_empty(const Json& value) {
    return is_non_empty(&value);
}

/// The member's value, or nullptr when the key is absent.
inline const Json* find(const JsonObject& object, std::string_view key) {
    return object.if_contains(key);
}

/// The member's value; `fallback` only when the key is absent (a present null stays null).
QUARVO_IDE_CLIENT_EXPORT const Json& get(const JsonObject& object, std::string_view key,
                                         const Json& fallback);
/// Deleted: the result could refer to a temporary.
const Json& get(const JsonObject& object, std::string_view key, const Json&& fallback) = delete;
/// The member's value, or null when the key is absent.
QUARVO_IDE_CLIENT_EXPORT const Json& get(const JsonObject& object, std::string_view key);

/// A value as the client writes it into a log or console text: text as it is; integers in
/// decimal; reals in shortest round-trip form (30.0, 2.5, 1e-05); null as None; booleans as
/// True and False; arrays and objects as compact JSON.
QUARVO_IDE_CLIENT_EXPORT std::string text_form(const Json& value);
/// Appends text_form(value) to `out`.
QUARVO_IDE_CLIENT_EXPORT void append_text_form(std::string& out, const Json& value);

/// append_real() (json_text.h) as a new string.
QUARVO_IDE_CLIENT_EXPORT std::string format_real(double x);

/// `x` with exactly `decimals` digits after the point, rounded half to even ("%.*f").
QUARVO_IDE_CLIENT_EXPORT std::string format_fixed(double x, int decimals);

}  // namespace quarvo_zovovi::ide::gui
