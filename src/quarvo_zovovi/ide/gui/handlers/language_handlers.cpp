// Language-service responses, each handed whole to the host's handler of the same name.
#include <quarvo_zovovi/ide/gui/handlers/common.h>

namespace quarvo_zovovi::ide::gui::handlers {
namespace {

const HandlerEntry entries[] = {
    {"completion_response", "_handle_completion_response",
     forward<&MainWindow::_handle_completion_response>},
    {"signature_help_response", "_handle_signature_help_response",
     forward<&MainWindow::_handle_signature_help_response>},
    {"hover_response", "_handle_hover_response", forward<&MainWindow::_handle_hover_response>},
    {"diagnostic_response", "_handle_diagnostic_response",
     forward<&MainWindow::_handle_diagnostic_response>},
};

}  // namespace
}  // namespace quarvo_zovovi::ide::gui::handlers

namespace quarvo_zovovi::ide::gui {
std::span<const HandlerEntry> language_handlers() {
    return handlers::entries;
}
}  // namespace quarvo_zovovi::ide::gui
