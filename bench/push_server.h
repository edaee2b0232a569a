// The loopback server of the end-to-end measurements (ws or wss). Each connection takes
// commands as text frames:
//   {"cmd": "flood", "count": N, "frame": "..."}  sends the frame N times, then the end marker
//   {"cmd": "answer"}   from now on answers every frame that has a request_id, at once
//   {"cmd": "sink", "count": N}   counts the next N frames, then sends {"type": "sink_done",
//                                 "seconds": S} (first to last frame; with the command's
//                                 request_id when it had one)
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace quarvo_bench {

// The text of the frame that ends a flood: a console line, so that its handler runs after
// every handler of the flood.
inline const std::string flood_end = R"({"type": "log_to_console", "content": "flood_end"})";

class PushServer {
  public:
    explicit PushServer(bool tls);
    ~PushServer();
    PushServer(const PushServer&) = delete;
    PushServer& operator=(const PushServer&) = delete;

    uint16_t port() const;

    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace quarvo_bench
