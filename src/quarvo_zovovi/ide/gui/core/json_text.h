// JSON text writers: the exact wire form of outbound objects, and the compact form used
// when a value is inserted into a log or console text.
#pragma once

#include <quarvo_zovovi/ide/gui/export.h>

#include <string>
#include <string_view>

#include <quarvo_zovovi/ide/gui/core/json.h>

namespace quarvo_zovovi::ide::gui {

/// How JSON text is laid out.
struct JsonStyle {
    std::string_view item_separator;  ///< between array items and object members
    std::string_view key_separator;   ///< between a key and its value
    bool ascii_only;                  ///< escape every character outside printable ASCII
};

/// Wire form: ", " and ": ", members in the object's own order, non-ASCII as `\uXXXX`
/// escapes.
inline constexpr JsonStyle wire_style{", ", ": ", true};
/// Compact form for texts: "," and ":", UTF-8 kept as it is.
inline constexpr JsonStyle compact_style{",", ":", false};

/// Appends `value` as JSON text in `style`. Non-finite reals are written as Infinity,
/// -Infinity and NaN, as a Python peer reads them.
QUARVO_IDE_CLIENT_EXPORT void append_json(std::string& out, const Json& value,
                                          const JsonStyle& style);

/// Appends the shortest text that reads back as the same double, with at least one digit
/// after the point in fixed notation, and exponent notation outside 1e-4 <= |x| < 1e16 (nan,
/// inf and -inf for the others): the form of reals in JSON text and in log and console texts.
QUARVO_IDE_CLIENT_EXPORT void append_real(std::string& out, double x);

/// The text of one outbound message frame, in the wire form; no trailing newline.
QUARVO_IDE_CLIENT_EXPORT std::string to_json_text(const JsonObject& message);

}  // namespace quarvo_zovovi::ide::gui
