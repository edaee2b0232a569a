// The memory of incoming messages: a network thread's cache keeps its bound and gives its blocks
// back, other threads use the heap, and a value a host keeps is an ordinary value after the
// thread that built it has gone.
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <quarvo_zovovi/ide/gui/core/json_parse.h>
#include <quarvo_zovovi/ide/gui/core/message_memory.h>

using quarvo_zovovi::ide::gui::Json;
using quarvo_zovovi::ide::gui::JsonObject;
using quarvo_zovovi::ide::gui::detail::MessageMemory;
using quarvo_zovovi::ide::gui::detail::MessageParser;

namespace {

// Runs `f` on a thread of its own, as the network thread runs.
template <class F>
void on_thread(F f) {
    std::thread t(f);
    t.join();
}

}  // namespace

// Catches a cache that grows with what is freed into it, one that hands out no block it kept,
// and one that keeps its blocks after it is turned off.
TEST(MessageMemory, AThreadsCacheStaysWithinItsBoundAndIsReused) {
    on_thread([] {
        MessageMemory::cache_on();
        const auto sp = MessageMemory::storage();
        std::vector<void*> blocks;
        for (int i = 0; i < 20000; ++i) blocks.push_back(sp->allocate(100));
        for (void* p : blocks) sp->deallocate(p, 100);
        EXPECT_GT(MessageMemory::cached(), 0u);
        EXPECT_LE(MessageMemory::cached(), MessageMemory::max_cached);

        const std::set<void*> freed(blocks.begin(), blocks.end());
        const std::size_t before = MessageMemory::cached();
        void* again = sp->allocate(100);
        EXPECT_TRUE(freed.contains(again)) << "a fresh block while the cache held some";
        EXPECT_LT(MessageMemory::cached(), before);
        sp->deallocate(again, 100);

        MessageMemory::cache_off();
        EXPECT_EQ(MessageMemory::cached(), 0u);
        void* p = sp->allocate(100);
        sp->deallocate(p, 100);
        EXPECT_EQ(MessageMemory::cached(), 0u) << "cached after it was turned off";
    });
}

// Catches a block of one size handed out for a larger request.
TEST(MessageMemory, BlocksComeBackOnlyForTheirOwnSize) {
    on_thread([] {
        MessageMemory::cache_on();
        const auto sp = MessageMemory::storage();
        void* small = sp->allocate(24);
        sp->deallocate(small, 24);
        void* larger = sp->allocate(200);
        EXPECT_NE(larger, small);
        std::memset(larger, 0xab, 200);  // AddressSanitizer checks the whole block is ours
        sp->deallocate(larger, 200);
        void* large = sp->allocate(1 << 20);  // beyond the cached sizes: the heap's
        std::memset(large, 0xcd, 1 << 20);
        sp->deallocate(large, 1 << 20);
        MessageMemory::cache_off();
    });
}

// Catches a thread that never turned its cache on keeping what it frees.
TEST(MessageMemory, OtherThreadsUseTheHeap) {
    on_thread([] {
        const auto sp = MessageMemory::storage();
        void* p = sp->allocate(64);
        sp->deallocate(p, 64);
        EXPECT_EQ(MessageMemory::cached(), 0u);
    });
}

// Catches a value that depends on the thread or cache that built it: the host's copy and the
// message itself are used and freed here after that thread has gone.
TEST(MessageMemory, AValueOutlivesTheThreadThatBuiltIt) {
    const std::string text =
        R"({"type":"module_content","workbook_id":"wb1","module_name":"m",)"
        R"("code":"x = 1\nprint(x)\n","lines":[1,2,3],"meta":{"size":2.5,"ok":true}})";
    Json message;
    JsonObject kept;
    on_thread([&] {
        MessageMemory::cache_on();
        MessageParser parser;
        for (int i = 0; i < 1000; ++i) {  // fills the cache with the blocks of earlier messages
            boost::system::error_code ec;
            Json v = parser.parse(text, ec);
            ASSERT_FALSE(ec);
        }
        boost::system::error_code ec;
        message = parser.parse(text, ec);
        ASSERT_FALSE(ec);
        kept = message.as_object();  // a host's copy
        MessageMemory::cache_off();
    });
    EXPECT_EQ(kept, boost::json::parse(text).as_object());
    EXPECT_EQ(kept, message.as_object());
    kept["code"] = "changed on another thread";
    message.as_object().erase("lines");
    EXPECT_EQ(kept.at("lines").as_array().size(), 3u);
    EXPECT_FALSE(message.as_object().contains("lines"));
}

// Catches a resource that frees a block the way its alignment argument says rather than the way
// it was allocated: Boost.JSON allocates a key's text with alignment 1 and frees it with the
// default one, which a frame cut off after a long key does (the fuzzer found it under
// AddressSanitizer). Long and short keys, on a caching thread and on one that is not.
TEST(MessageMemory, KeysOfAFrameThatFailsAreFreedAsTheyWereAllocated) {
    const std::string long_key(600, 'k');
    const std::vector<std::string> frames = {
        "{\"" + long_key + "\":",
        "{\"" + long_key + "\":[1,2,",
        "{\"a\":{\"" + long_key + "\":tru",
        "{\"short\":",
    };
    for (const bool caching : {true, false}) {
        on_thread([&] {
            if (caching) MessageMemory::cache_on();
            MessageParser parser;
            for (const std::string& frame : frames) {
                boost::system::error_code ec;
                parser.parse(frame, ec);
                EXPECT_TRUE(ec) << frame.substr(0, 40);
            }
            const auto sp = MessageMemory::storage();
            void* p = sp->allocate(long_key.size() + 1, 1);
            sp->deallocate(p, long_key.size() + 1);
            MessageMemory::cache_off();
        });
    }
}
