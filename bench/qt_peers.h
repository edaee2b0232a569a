// What a Qt developer would write instead of the client, for the comparison in bench_e2e:
// QtWebSockets' QWebSocket, QJsonDocument, a dispatch by type, and the same per-message work
// as the client's stdout handler on the null host. Two designs:
//  - threaded: the socket on a worker QThread, one queued call per message to the GUI thread;
//  - gui: the socket on the GUI thread, parsed and handled in the slot.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quarvo_bench {

class NullHost;

class QtPeer {
  public:
    // Connects to ws://127.0.0.1:port/ws/ide/main_ide; waits (running the GUI's events) until
    // connected. GUI thread.
    QtPeer(uint16_t port, bool threaded, NullHost& host);
    ~QtPeer();
    QtPeer(const QtPeer&) = delete;
    QtPeer& operator=(const QtPeer&) = delete;

    // Sends a text frame (the push server's commands).
    void send(const std::string& text);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quarvo_bench
