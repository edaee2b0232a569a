// Every public header of the client, in a translation unit that sees no Asio or Beast: what a
// host includes must not bring them along.
#include <quarvo_zovovi/ide/gui/core/client_options.h>
#include <quarvo_zovovi/ide/gui/core/client_stats.h>
#include <quarvo_zovovi/ide/gui/core/connection_event.h>
#include <quarvo_zovovi/ide/gui/core/gui_thread.h>
#include <quarvo_zovovi/ide/gui/core/json.h>
#include <quarvo_zovovi/ide/gui/core/json_text.h>
#include <quarvo_zovovi/ide/gui/core/log.h>
#include <quarvo_zovovi/ide/gui/core/response.h>
#include <quarvo_zovovi/ide/gui/core/task.h>
#include <quarvo_zovovi/ide/gui/core/value.h>
#include <quarvo_zovovi/ide/gui/host/host_window.h>
#include <quarvo_zovovi/ide/gui/host/main_window.h>
#include <quarvo_zovovi/ide/gui/host/qt_thread.h>
#include <quarvo_zovovi/ide/gui/websocket_client.h>

#if defined(BOOST_ASIO_VERSION) || defined(BOOST_BEAST_VERSION)
#error "a public header of the client includes Asio or Beast"
#endif
