// Settings and IDE-control handlers: settings responses, the saved confirmation, show-IDE
// requests, watchdog details, and messages from the add-in shown in a modal box.
#include <QMessageBox>
#include <QPointer>
#include <QString>

#include <quarvo_zovovi/ide/gui/handlers/common.h>

namespace quarvo_zovovi::ide::gui::handlers {
namespace {

const Json unknown_sender = "Unknown";

// The first n code points of UTF-8 text.
std::string_view first_code_points(std::string_view text, size_t n) {
    size_t i = 0;
    for (size_t seen = 0; i < text.size() && seen < n; ++seen) {
        ++i;
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
    }
    return text.substr(0, i);
}

void _handle_setting_saved(HandlerContext& ctx, JsonObject&) {
    ctx.logger.debug("[IDE] Setting saved successfully");
}

void _handle_show_ide(HandlerContext& ctx, JsonObject&) {
    ctx.logger.info("[IDE] Received show_ide message");
    ctx.main_window.show_and_focus();
}

// Both values are written every time (a missing token clears the stored one); the token
// never goes into a log line.
void _handle_watchdog_info(HandlerContext& ctx, JsonObject& data) {
    const Json& port = get(data, "watchdog_port", zero_value);
    const Json& token = get(data, "auth_token", empty_text);
    ctx.main_window.set_watchdog_port(port);
    ctx.main_window.set_auth_token(token);
    ctx.logger.info("[IDE] Received watchdog info: port=" + text_form(port));
}

void _handle_message_ide(HandlerContext& ctx, JsonObject& data) {
    const Json& message = get(data, "message", empty_text);
    const Json& sender = get(data, "from_client", unknown_sender);
    const std::string text = message.is_null() ? std::string() : text_form(message);
    ctx.logger.info("[IDE] Received message_ide from " + text_form(sender) + ": " +
                    std::string(first_code_points(text, 50)) + "...");
    // On the heap and watched: when the window goes while the box is open (the IDE closed from
    // the task bar), it takes the box with it, and exec() returns to a box that is gone.
    // Nothing here touches the window after exec().
    QPointer<QMessageBox> box = new QMessageBox(ctx.main_window.widget());
    box->setWindowTitle("Message from Addin");
    box->setText(QString::fromStdString(text));
    box->setIcon(QMessageBox::Information);
    box->setStandardButtons(QMessageBox::Ok);
    box->exec();
    if (box) box->deleteLater();
}

const HandlerEntry entries[] = {
    {"watchdog_info", "_handle_watchdog_info", _handle_watchdog_info},
    {"all_settings_response", "_handle_all_settings_response",
     forward<&MainWindow::_handle_all_settings_response>},
    {"settings_response", "_handle_settings_response",
     forward<&MainWindow::_handle_settings_response>},
    {"setting_saved", "_handle_setting_saved", _handle_setting_saved},
    {"show_ide", "_handle_show_ide", _handle_show_ide},
    {"message_ide", "_handle_message_ide", _handle_message_ide},
};

}  // namespace
}  // namespace quarvo_zovovi::ide::gui::handlers

namespace quarvo_zovovi::ide::gui {
std::span<const HandlerEntry> settings_handlers() {
    return handlers::entries;
}
}  // namespace quarvo_zovovi::ide::gui
