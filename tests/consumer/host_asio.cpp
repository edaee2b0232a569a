// The host's own Asio, beside the client's private copy: names the client's build leaves out
// (io_service, io_context::work, io_context::post), run once at start-up.
#include <boost/asio/io_service.hpp>

#include <cstdlib>
#include <iostream>

namespace {

const bool host_asio_works = [] {
    boost::asio::io_service io;
    int ran = 0;
    {
        boost::asio::io_service::work keep(io);
        io.post([&ran] { ++ran; });
    }
    io.run();
    if (ran != 1) {
        std::cerr << "the host's own Asio did not run its handler" << std::endl;
        std::abort();
    }
    return true;
}();

}  // namespace
