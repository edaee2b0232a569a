// Bare Beast clients, the ceiling the library is measured against: a read loop that discards
// what it reads, and a write loop.
#pragma once

#include <cstdint>
#include <string>

namespace quarvo_bench {

// Connects, sends the flood command and reads until the end marker. Seconds from the command
// to the marker.
double raw_flood(uint16_t port, bool tls, int64_t count, const std::string& frame);

// Connects, asks the server to sink `count` frames and writes the frame that many times.
// The server's seconds from the first frame to the last.
double raw_write_loop(uint16_t port, bool tls, int64_t count, const std::string& frame);

}  // namespace quarvo_bench
