// Debugger handlers: a pause switches the host's debugger on for its workbook unless the host
// did so itself; the other events are handed whole to the host.
#include <quarvo_zovovi/ide/gui/handlers/common.h>

namespace quarvo_zovovi::ide::gui::handlers {
namespace {

void _handle_debug_paused(HandlerContext& ctx, JsonObject& data) {
    MainWindow& w = ctx.main_window;
    w._handle_debug_paused(data);
    const Json& workbook_id = get(data, "workbook_id");
    // Read after the host handled the pause: a host that switched itself on is not told twice.
    if (w._debug_active()) return;
    if (is_set(workbook_id)) w._set_debug_state(true, workbook_key(workbook_id));
}

const HandlerEntry entries[] = {
    {"debug_paused", "_handle_debug_paused", _handle_debug_paused},
    {"debug_exception", "_handle_debug_exception", forward<&MainWindow::_handle_debug_exception>},
    {"debug_resumed", "_handle_debug_resumed", forward<&MainWindow::_handle_debug_resumed>},
    {"debug_terminated", "_handle_debug_terminated",
     forward<&MainWindow::_handle_debug_terminated>},
    {"debug_evaluate_result", "_handle_debug_evaluate_result",
     forward<&MainWindow::_handle_debug_evaluate_result>},
};

}  // namespace
}  // namespace quarvo_zovovi::ide::gui::handlers

namespace quarvo_zovovi::ide::gui {
std::span<const HandlerEntry> debugger_handlers() {
    return handlers::entries;
}
}  // namespace quarvo_zovovi::ide::gui
