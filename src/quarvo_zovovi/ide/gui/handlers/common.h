// What the handler families share: default values, console lines, workbook keys, forwarding.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <quarvo_zovovi/ide/gui/handler_table.h>
#include <quarvo_zovovi/ide/gui/core/value.h>

namespace quarvo_zovovi::ide::gui::handlers {

// Defaults that replace absent keys. Handlers that store or pass on a default copy it.
inline const Json null_value;
inline const Json false_value = false;
inline const Json zero_value = 0;
inline const Json empty_text = "";
inline const Json empty_array = JsonArray{};
inline const Json empty_object = JsonObject{};

inline void console(HandlerContext& ctx, std::string_view text, OutputLevel level,
                    std::optional<std::string_view> color = std::nullopt,
                    std::optional<bool> from_std = std::nullopt) {
    ctx.main_window.log_to_console(text, color, level, from_std);
}

// A workbook id as the host's maps key it: text as it is, another scalar in its text form.
inline std::string workbook_key(const Json& id) {
    if (id.is_array() || id.is_object())
        throw std::invalid_argument("unhashable workbook id: " + text_form(id));
    return text_form(id);
}

// The keys of a module map, in the order they stand in the message.
inline JsonArray keys_of(const JsonObject& map) {
    JsonArray names;
    for (const auto& member : map) names.emplace_back(member.key());
    return names;
}

// Puts a workbook's module map, every module's code, into the window's cache. A map taken from
// the message moves there: the message goes once its handler returns. The old entry goes first,
// since assigning into it would copy (its memory is not the message's).
inline JsonObject& cache_modules(MainWindow& w, const std::string& workbook_id,
                                 JsonObject&& modules) {
    ModuleCache& cache = w._module_cache();
    cache.erase(workbook_id);
    return cache.emplace(workbook_id, std::move(modules)).first->second;
}

// A handler that hands the whole message to one host operation.
template <void (MainWindow::*Operation)(const JsonObject&)>
void forward(HandlerContext& ctx, JsonObject& data) {
    (ctx.main_window.*Operation)(data);
}

}  // namespace quarvo_zovovi::ide::gui::handlers
