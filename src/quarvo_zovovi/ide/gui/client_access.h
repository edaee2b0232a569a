// The tests' one way into a WebSocketClient: the system's internal operations, which are not
// part of the host API. Not installed.
#pragma once

#include <string_view>

#include <quarvo_zovovi/ide/gui/websocket_client.h>

namespace quarvo_zovovi::ide::gui {
class HandlerTable;
}

namespace quarvo_zovovi::ide::gui::detail {

struct ClientAccess {
    // The inbound pipeline for one frame; on a started client it runs on the network thread.
    static void _handle_message(WebSocketClient& client, std::string_view raw_message) {
        client._handle_message(raw_message);
    }
    static bool _try_handle_response(WebSocketClient& client, JsonObject& message) {
        return client._try_handle_response(message);
    }
    static void _invoke_callback_in_qt_thread(WebSocketClient& client, ResponseCallback callback,
                                              JsonObject data) {
        client._invoke_callback_in_qt_thread(std::move(callback), std::move(data));
    }
    // The handler table, built once at construction.
    static const HandlerTable& MESSAGE_HANDLERS(const WebSocketClient& client);
};

}  // namespace quarvo_zovovi::ide::gui::detail
