// The programs' own Asio, SSL and Beast implementation unit: the servers, the benchmark clients
// and the test server use Asio themselves, as a host application would, beside the client
// library's private copy.
#include <boost/asio/impl/src.hpp>
#include <boost/asio/ssl/impl/src.hpp>
#include <boost/beast/src.hpp>
