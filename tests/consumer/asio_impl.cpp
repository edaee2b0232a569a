// The host's own Asio implementation unit (separate compilation), as a host that uses Asio
// itself has one; the client's copy stays inside its library.
#include <boost/asio/impl/src.hpp>
