// The one translation unit that compiles Boost.Asio, its SSL support and Boost.Beast; every
// other file includes their headers as declarations only (separate compilation).
#include <boost/asio/impl/src.hpp>
#if QUARVO_WITH_TLS
#include <boost/asio/ssl/impl/src.hpp>
#endif
#include <boost/beast/src.hpp>
