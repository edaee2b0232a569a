// The loopback server of the end-to-end measurements (ws or wss). Each connection takes
// commands as text frames:
//   {"cmd": "flood", "count": N, "frame": "..."}  sends the frame N times, then the end marker;
//                                 a run of ten '#' in the frame becomes each copy's number
//   {"cmd": "answer"}   from now on answers every frame that has a request_id, at once
//   {"cmd": "sink", "count": N}   counts the next N frames, then sends {"type": "sink_done",
//                                 "seconds": S} (first to last frame; with the command's
//                                 request_id when it had one)
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace quarvo_bench {

// The text of the frame that ends a flood: a console line, so that its handler runs after
// every handler of the flood.
inline const std::string flood_end = R"({"type": "log_to_console", "content": "flood_end"})";

class PushServer {
  public:
    // ping_patience > 0: the server pings a client that has sent nothing for half of it and
    // drops one that stays silent for all of it, as a strict Business Layer would.
    // send_buffer_bytes > 0: the kernel send buffer of each connection (SO_SNDBUF); otherwise
    // Linux sizes it, up to 4 MiB on loopback.
    explicit PushServer(bool tls, std::chrono::milliseconds ping_patience = {},
                        int send_buffer_bytes = 0);
    ~PushServer();
    PushServer(const PushServer&) = delete;
    PushServer& operator=(const PushServer&) = delete;

    uint16_t port() const;
    // When the newest flood's end marker was handed to the socket.
    std::chrono::steady_clock::time_point flood_end_sent() const;
    // Connections accepted and dropped for their silence so far.
    int dropped() const;
    // The CPU time its thread has used, in seconds: what a flood costs the server, to take
    // off the process's own when a client's cost is measured in the same process.
    double cpu_seconds() const;

    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace quarvo_bench
