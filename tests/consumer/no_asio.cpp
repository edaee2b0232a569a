// Every public header of the client, in a translation unit that sees no Asio or Beast: what a
// host includes must not bring them along.
#include <quarvo_zovovi/ide/gui/client_options.h>
#include <quarvo_zovovi/ide/gui/handler_table.h>
#include <quarvo_zovovi/ide/gui/host/host_window.h>
#include <quarvo_zovovi/ide/gui/host/logger.h>
#include <quarvo_zovovi/ide/gui/host/main_window.h>
#include <quarvo_zovovi/ide/gui/host/qt_thread.h>
#include <quarvo_zovovi/ide/gui/host/task.h>
#include <quarvo_zovovi/ide/gui/json_text.h>
#include <quarvo_zovovi/ide/gui/value.h>
#include <quarvo_zovovi/ide/gui/websocket_client.h>

#if defined(BOOST_ASIO_VERSION) || defined(BOOST_BEAST_VERSION)
#error "a public header of the client includes Asio or Beast"
#endif
