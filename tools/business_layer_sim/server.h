// The simulator's WebSocket server: accepts clients on "/ws/ide/main_ide", runs the scenario on
// each new connection, answers requests, and prints one line per event on stdout.
#pragma once

#include <cstdint>
#include <string>

#include "scenario.h"

namespace quarvo_tools::sim {

struct ServerOptions {
    std::string host = "127.0.0.1";
    uint16_t port = 8000;  // 0: any free port (the "listening" line says which)
    bool tls = true;
    std::string cert_file;  // both empty: a self-signed certificate made at start
    std::string key_file;
    // 0: the client may stay silent for five minutes. Otherwise the server pings the client
    // after half this time of silence and drops the connection after all of it.
    unsigned ping_patience_ms = 0;
};

// Serves until a scenario's exit action; returns its status. Throws std::runtime_error when it
// cannot start (address in use, unreadable certificate).
int run_server(const ServerOptions& options, const Scenario& scenario);

}  // namespace quarvo_tools::sim
