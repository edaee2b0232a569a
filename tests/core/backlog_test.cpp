// The backlog of frames kept as text: order and contents across memory and the spill file.
#include <gtest/gtest.h>

#include <string>

#include <quarvo_zovovi/ide/gui/core/backlog.h>

using quarvo_zovovi::ide::gui::detail::Backlog;

namespace {

std::string frame(int i) {
    return "frame " + std::to_string(i) + " " + std::string(size_t(i % 97), char('a' + i % 26));
}

// Catches frames lost, reordered or cut where memory ends and the spill file begins, and a
// spill file that never gives its frames back (on every system's temporary-file branch).
TEST(Backlog, SpillsToAFileAndReadsBackInOrder) {
    Backlog backlog(64 * 1024, 64 << 20, "");
    constexpr int n = 20000;  // about 1.9 MB: most of it goes to the file
    for (int i = 0; i < n; ++i) backlog.push(frame(i));
    EXPECT_GT(backlog.file_bytes(), 0u) << "the file took what memory could not";
    EXPECT_EQ(backlog.frames(), size_t(n));
    std::string out;
    for (int i = 0; i < n; ++i) {
        ASSERT_TRUE(backlog.pop(out));
        ASSERT_EQ(out, frame(i));
        if (i == n / 2) backlog.push(frame(n));  // pushed while draining: it comes last
    }
    ASSERT_TRUE(backlog.pop(out));
    EXPECT_EQ(out, frame(n));
    EXPECT_FALSE(backlog.pop(out));
    EXPECT_EQ(backlog.bytes(), 0u);
}

// Catches a backlog without a spill file that passes its memory limit.
TEST(Backlog, WithoutASpillFileTheMemoryIsTheLimit) {
    Backlog backlog(4096, 1 << 20, "-");
    while (!backlog.at_limit()) backlog.push(frame(50));
    EXPECT_EQ(backlog.file_bytes(), 0u);
    EXPECT_LT(backlog.memory_bytes(), 4096u + 200u);
}

}  // namespace
