// Replays the fuzz regression corpus (inputs that once broke a target, and hand-picked edge
// inputs) through the fuzz entry points: a broken invariant aborts this suite.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz_targets.h"
#include "qt_wait.h"

namespace {

namespace fs = std::filesystem;

using Target = int (*)(const uint8_t*, size_t);

size_t replay(const char* name, Target target) {
    size_t replayed = 0;
    for (const auto& entry : fs::directory_iterator(fs::path(QUARVO_FUZZ_REGRESSIONS) / name)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes(std::istreambuf_iterator<char>(in), {});
        SCOPED_TRACE(entry.path().string());
        EXPECT_EQ(target(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0);
        ++replayed;
    }
    return replayed;
}

TEST(FuzzRegressions, HandleMessage) {
    EXPECT_GT(replay("handle_message", quarvo_fuzz::handle_message), 0u);
    quarvo_test::pump_events(20);
}

TEST(FuzzRegressions, SerializerRoundTrip) {
    EXPECT_GT(replay("serializer_round_trip", quarvo_fuzz::serializer_round_trip), 0u);
}

TEST(FuzzRegressions, ValueHelpers) {
    EXPECT_GT(replay("value_helpers", quarvo_fuzz::value_helpers), 0u);
}

}  // namespace
