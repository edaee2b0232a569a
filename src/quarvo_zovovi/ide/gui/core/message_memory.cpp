#include <quarvo_zovovi/ide/gui/core/message_memory.h>

#include <array>
#include <new>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)  // g++
#define QUARVO_ASAN 1
#elif defined(__has_feature)  // clang
#if __has_feature(address_sanitizer)
#define QUARVO_ASAN 1
#endif
#endif
#if defined(QUARVO_ASAN)
#include <sanitizer/asan_interface.h>
// A cached block is freed memory to AddressSanitizer: a message used after it went is caught.
#define QUARVO_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define QUARVO_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define QUARVO_POISON(p, n) ((void)(p), (void)(n))
#define QUARVO_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace quarvo_zovovi::ide::gui::detail {

namespace {

constexpr std::size_t default_align = __STDCPP_DEFAULT_NEW_ALIGNMENT__;
constexpr std::size_t classes = MessageMemory::largest_cached / MessageMemory::granule;

std::size_t class_of(std::size_t n) {
    return (n + MessageMemory::granule - 1) / MessageMemory::granule - 1;
}

std::size_t class_size(std::size_t c) {
    return (c + 1) * MessageMemory::granule;
}

bool small(std::size_t n, std::size_t align) {
    return n > 0 && n <= MessageMemory::largest_cached && align <= default_align;
}

// Boost.JSON 1.81 allocates a key's text with alignment 1 and frees it with the default
// alignment, so any alignment up to the default one is served, and freed, as the default one.
void* heap_allocate(std::size_t n, std::size_t align) {
    if (align <= default_align) return ::operator new(n);
    return ::operator new(n, std::align_val_t(align));
}

void heap_deallocate(void* p, std::size_t align) {
    if (align <= default_align)
        ::operator delete(p);
    else
        ::operator delete(p, std::align_val_t(align));
}

// One thread's freed small blocks, by size class.
struct Cache {
    struct Free {
        Free* next;
    };
    std::array<Free*, classes> lists{};
    std::size_t bytes = 0;
    bool on = false;

    Free* pop(std::size_t c) {
        Free* head = lists[c];
        if (!head) return nullptr;
        QUARVO_UNPOISON(head, class_size(c));
        lists[c] = head->next;
        bytes -= class_size(c);
        return head;
    }
    void push(std::size_t c, void* p) {
        lists[c] = new (p) Free{lists[c]};
        bytes += class_size(c);
        QUARVO_POISON(p, class_size(c));
    }
    void clear() {
        for (std::size_t c = 0; c < classes; ++c)
            while (Free* block = pop(c)) ::operator delete(block);
    }
};

// Trivially destructible on purpose: a thread's cache is emptied by cache_off(), and no
// destructor runs at thread exit (MinGW's emulated thread-local storage corrupted its heap
// when one ran beside the others' destructors).
thread_local Cache cache;

}  // namespace

boost::json::storage_ptr MessageMemory::storage() {
    // Never destroyed: values built in it may be freed during or after static destruction.
    static MessageMemory* const resource = new MessageMemory;
    return boost::json::storage_ptr(resource);
}

void MessageMemory::cache_on() {
    cache.on = true;
}

void MessageMemory::cache_off() {
    cache.on = false;
    cache.clear();
}

std::size_t MessageMemory::cached() {
    return cache.bytes;
}

void* MessageMemory::do_allocate(std::size_t n, std::size_t align) {
    if (!small(n, align)) return heap_allocate(n, align);
    // A small block always has its class's size, whichever thread frees it.
    const std::size_t c = class_of(n);
    if (void* block = cache.pop(c)) return block;
    return ::operator new(class_size(c));
}

void MessageMemory::do_deallocate(void* p, std::size_t n, std::size_t align) {
    if (!small(n, align)) {
        heap_deallocate(p, align);
        return;
    }
    const std::size_t c = class_of(n);
    if (cache.on && cache.bytes + class_size(c) <= max_cached) {
        cache.push(c, p);
        return;
    }
    ::operator delete(p);
}

bool MessageMemory::do_is_equal(const boost::json::memory_resource& other) const noexcept {
    return this == &other;
}

}  // namespace quarvo_zovovi::ide::gui::detail
