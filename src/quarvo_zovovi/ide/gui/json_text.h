// JSON text writers: the exact wire form of outbound objects, and the compact form used
// when a value is inserted into a log or console text.
#pragma once

#include <string>
#include <string_view>

#include <quarvo_zovovi/ide/gui/host/main_window.h>

namespace quarvo_zovovi::ide::gui {

struct JsonStyle {
    std::string_view item_separator;
    std::string_view key_separator;
    bool ascii_only;  // escape every character outside printable ASCII
};

// Wire form: ", " and ": ", members in the object's own order, non-ASCII as \u escapes.
inline constexpr JsonStyle wire_style{", ", ": ", true};
// Compact form for texts: "," and ":", UTF-8 kept as it is.
inline constexpr JsonStyle compact_style{",", ":", false};

void append_json(std::string& out, const Json& value, const JsonStyle& style);

// The text of one outbound message frame; no trailing newline.
std::string to_json_text(const JsonObject& message);

}  // namespace quarvo_zovovi::ide::gui
