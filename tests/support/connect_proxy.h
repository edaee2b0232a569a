// A small HTTP proxy on a loopback port for tests: it takes CONNECT requests, optionally asks
// for one Proxy-Authorization value, and tunnels to the host and port each request names.
// Any thread may call it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "test_server.h"

namespace quarvo_test {

class ConnectProxy {
  public:
    struct Options {
        // The Proxy-Authorization value required ("Basic ..."); empty: none.
        std::string authorization;
    };
    explicit ConnectProxy(Options options);
    ~ConnectProxy();
    ConnectProxy(const ConnectProxy&) = delete;
    ConnectProxy& operator=(const ConnectProxy&) = delete;

    uint16_t port() const;
    // Each request's method and target ("CONNECT 127.0.0.1:8000") and its header fields.
    std::vector<Handshake> requests() const;
    size_t tunnels() const;  // tunnels opened

    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace quarvo_test
