// The client's Qt logging category, for hosts that log under it (qCInfo(lcWebSocketClient))
// or tune it in code.
#pragma once

#include <QLoggingCategory>

#include <quarvo_zovovi/ide/gui/export.h>

namespace quarvo_zovovi::ide::gui {

/// "quarvo_zovovi.ide.gui.websocket_client", the category of every line of the client. Debug
/// lines are off by default; QT_LOGGING_RULES (for instance
/// "quarvo_zovovi.ide.gui.websocket_client.debug=true") or QLoggingCategory::setFilterRules()
/// turn them on.
/// (What Q_DECLARE_LOGGING_CATEGORY declares, exported.)
QUARVO_IDE_CLIENT_EXPORT const QLoggingCategory& lcWebSocketClient();

}  // namespace quarvo_zovovi::ide::gui
