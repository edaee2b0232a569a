// For a host's own tests: a WebSocketClient whose every wait is scaled down. A window in use
// never needs this header.
#pragma once

#include <quarvo_zovovi/ide/gui/websocket_client.h>

namespace quarvo_zovovi::ide::gui {

/// Shortened timings for tests, passed to the WebSocketClient constructors that take them.
struct ClientTestOptions {
    /// Multiplies every wait the client makes (ping interval, pong time-out, opening and
    /// close time-outs, back-off waits, request time-outs, the longest read hold, the stop
    /// join); texts keep the unscaled values, so a test reads the texts a user would see.
    double time_scale = 1.0;
};

}  // namespace quarvo_zovovi::ide::gui
