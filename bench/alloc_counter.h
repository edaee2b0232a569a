// Counts heap allocations of the whole program (the benchmark programs replace the global
// operator new with a counting one; see alloc_counter.cpp).
#pragma once

#include <atomic>
#include <cstdint>

namespace quarvo_bench {

extern std::atomic<uint64_t> allocations;

}  // namespace quarvo_bench
