// MessageMemory: the memory resource of incoming messages' JSON trees. A message is built on
// the network thread, handled on the GUI thread and sent back to be freed where it was built;
// glibc's free of a batch of them, and its malloc of the next, were a quarter of the network
// thread's time. A thread that turns its cache on keeps the small blocks it frees in per-size
// lists, up to `max_cached` bytes, for its next messages; everything else (large blocks, other
// threads, a full cache) is the heap's. The resource itself holds nothing and is never
// destroyed, so a value is an ordinary one wherever it goes: a copy a host keeps, or frees on
// another thread, pins no memory and outlives any client.
#pragma once

#include <boost/json/memory_resource.hpp>
#include <boost/json/storage_ptr.hpp>
#include <cstddef>

namespace quarvo_zovovi::ide::gui::detail {

class MessageMemory final : public boost::json::memory_resource {
  public:
    static constexpr std::size_t granule = 16;
    static constexpr std::size_t largest_cached = 512;
    static constexpr std::size_t max_cached = 1u << 20;

    // The storage of incoming messages (not reference-counted: the resource never goes).
    static boost::json::storage_ptr storage();

    // The calling thread keeps what it frees, within the bound, until cache_off() or its end.
    static void cache_on();
    // Frees the calling thread's cache and keeps no more.
    static void cache_off();
    // Bytes in the calling thread's cache.
    static std::size_t cached();

  private:
    MessageMemory() = default;
    void* do_allocate(std::size_t n, std::size_t align) override;
    void do_deallocate(void* p, std::size_t n, std::size_t align) override;
    bool do_is_equal(const boost::json::memory_resource& other) const noexcept override;
};

}  // namespace quarvo_zovovi::ide::gui::detail
