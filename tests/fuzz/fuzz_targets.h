// The fuzzed entry points. libFuzzer drives them in the fuzz build; the regression test of the
// normal suite replays the saved inputs through the same functions. Each aborts on a broken
// invariant and returns 0 otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarvo_fuzz {

// Raw text into the inbound pipeline of a client on a recording host; GUI work is run.
int handle_message(const uint8_t* data, size_t size);
// Any JSON object: its wire form parses back to the same value.
int serializer_round_trip(const uint8_t* data, size_t size);
// The value helpers on any parsed value, and the real formatters on any double.
int value_helpers(const uint8_t* data, size_t size);

}  // namespace quarvo_fuzz
