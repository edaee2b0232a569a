// The connection's states and the typed event the client reports for each change.
#pragma once

#include <quarvo_zovovi/ide/gui/export.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace quarvo_zovovi::ide::gui {

/// What the connection to the Business Layer is doing.
enum class ConnectionState {
    connecting,    ///< an attempt to open the connection has begun
    connected,     ///< the connection is open
    disconnected,  ///< the connection ended, or an attempt to open it failed
    reconnecting,  ///< waiting `delay` before attempt `attempt`
    stopped,       ///< the host stopped the client
};

/// "connecting", "connected", "disconnected", "reconnecting" or "stopped".
QUARVO_IDE_CLIENT_EXPORT std::string_view to_string(ConnectionState state);

/// One change of the connection, delivered to MainWindow::connection_changed.
struct ConnectionEvent {
    /// What happened.
    ConnectionState state = ConnectionState::connecting;
    /// The client's url, for instance "wss://localhost:8000/ws/ide/main_ide".
    std::string endpoint = {};
    /// disconnected: how it ended, in the words of the client's log line ("Connection
    /// refused", "1000 bye", "keepalive ping timeout", an OpenSSL error, ...).
    std::string error = {};
    /// disconnected by a close frame: its code (1005 when the frame had none).
    std::optional<int> close_code = {};
    /// reconnecting: the attempt that follows the wait (1, 2, ...); connecting: the
    /// reconnection attempt being made (0 for the first attempt after start).
    int attempt = 0;
    /// reconnecting: the wait before the attempt.
    std::chrono::duration<double> delay{0.0};
};

}  // namespace quarvo_zovovi::ide::gui
