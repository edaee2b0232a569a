// Console handlers: output of user code, result output, execution results and forwarded log
// lines, each at most one console line with its colour and level.
#include <quarvo_zovovi/ide/gui/handlers/common.h>

namespace quarvo_zovovi::ide::gui::handlers {
namespace {

const Json ide_source = "ide";
const Json unknown_error = "Unknown error";

// With the console filter "ide_only", output whose source is not exactly the text "ide" is hidden.
bool hidden_by_source_filter(HandlerContext& ctx, const JsonObject& data) {
    // The filter first: with the usual "all" no member is looked up.
    if (ctx.main_window._console_source_filter() != "ide_only") return false;
    const Json& source = get(data, "source", ide_source);
    return !(source.is_string() && source.get_string() == "ide");
}

// Removes line feeds (only) from both ends; content that is not text fails here.
std::string trim_line_feeds(const Json& content) {
    std::string_view text = content.as_string();
    const size_t first = text.find_first_not_of('\n');
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of('\n') - first + 1));
}

// Stream output: the content as it came (a non-text value in its text form), untrimmed.
bool stream_line(HandlerContext& ctx, const JsonObject& data, std::string_view color) {
    if (hidden_by_source_filter(ctx, data)) return false;
    const Json& content = get(data, "content", empty_text);
    if (!is_set(content)) return false;
    console(ctx, text_form(content), OutputLevel::SIMPLE, color, true);
    return true;
}

void _handle_stdout(HandlerContext& ctx, JsonObject& data) {
    stream_line(ctx, data, "#4daafc");
}

void _handle_stderr(HandlerContext& ctx, JsonObject& data) {
    if (stream_line(ctx, data, "#ff6b6b")) ctx.main_window._show_error_light();
}

void _handle_result_output(HandlerContext& ctx, JsonObject& data) {
    if (hidden_by_source_filter(ctx, data)) return;
    console(ctx, trim_line_feeds(get(data, "content", empty_text)), OutputLevel::SIMPLE, "#4caf50");
}

void _handle_execution_result(HandlerContext& ctx, JsonObject& data) {
    if (hidden_by_source_filter(ctx, data)) return;
    const Json& function_name = get(data, "function_name", empty_text);
    if (is_set(get(data, "success", false_value))) {
        const std::string line =
            is_set(function_name)
                ? "Execution completed successfully for " + text_form(function_name) + "()"
                : std::string("Execution completed successfully");
        console(ctx, line, OutputLevel::SIMPLE, "#4caf50");
    } else {
        const std::string error = text_form(get(data, "error", unknown_error));
        const std::string line =
            is_set(function_name)
                ? "Execution failed for " + text_form(function_name) + "(): " + error
                : "Execution failed: " + error;
        console(ctx, line, OutputLevel::SIMPLE, "#ff6b6b");
    }
}

// Not filtered by source: forwarded log lines always reach the console.
void _handle_log_to_console(HandlerContext& ctx, JsonObject& data) {
    const std::string content = trim_line_feeds(get(data, "content", empty_text));
    const Json& color = get(data, "color");
    if (content.empty()) return;
    std::optional<std::string> color_text;
    if (!color.is_null()) color_text = text_form(color);
    console(ctx, content, OutputLevel::DETAILED,
            color_text ? std::optional<std::string_view>(*color_text) : std::nullopt);
}

const HandlerEntry entries[] = {
    {"stdout", "_handle_stdout", _handle_stdout},
    {"stderr", "_handle_stderr", _handle_stderr},
    {"result_output", "_handle_result_output", _handle_result_output},
    {"execution_result", "_handle_execution_result", _handle_execution_result},
    {"log_to_console", "_handle_log_to_console", _handle_log_to_console},
};

}  // namespace
}  // namespace quarvo_zovovi::ide::gui::handlers

namespace quarvo_zovovi::ide::gui {
std::span<const HandlerEntry> console_handlers() {
    return handlers::entries;
}
}  // namespace quarvo_zovovi::ide::gui
