// The backlog of frames kept as text: order and contents across memory and the spill file, and
// how it is fed on to the GUI thread.
#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <string>

#include <quarvo_zovovi/ide/gui/core/backlog.h>
#include <quarvo_zovovi/ide/gui/core/event_loop.h>
#include <quarvo_zovovi/ide/gui/core/inbound.h>
#include <quarvo_zovovi/ide/gui/core/policy.h>

#include "core_fixture.h"

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

// Catches a feed without a bound: a GUI thread that keeps up would keep the network thread
// handing on the whole backlog, its reader and pongs waiting. One go hands on a slice, and the
// rest follows in later turns of the loop, in order.
TEST(BacklogFeed, HandsOnOneSliceAtATurnOfTheLoop) {
    namespace detail = quarvo_zovovi::ide::gui::detail;
    using quarvo_core_test::gui::ClientOptions;
    ClientOptions options;
    options.backlog_spill_dir = "-";
    auto seen = std::make_shared<quarvo_core_test::Seen>();
    quarvo_core_test::RecordingHost host(seen);
    auto kept = std::make_shared<quarvo_core_test::KeptGui>();
    detail::FlowControl flow(options);
    detail::Counters counters;
    detail::LoopSlot slot;
    const detail::Timings timings(options, 1.0);
    auto handoff = std::make_shared<detail::GuiHandoff>(kept, flow);
    handoff->set_self(handoff);
    detail::TrafficRecorder traffic(options, counters.connections);
    detail::RequestTable requests(timings, counters, *handoff, traffic);
    auto inbound = std::make_shared<detail::Inbound>(options, host, requests, *handoff, flow,
                                                     counters, traffic, slot);
    inbound->set_self(inbound);
    auto loop = std::make_shared<detail::EventLoop>();
    detail::EventLoop::set_current(loop.get());  // as on the network thread

    constexpr size_t slice = detail::policy::feed_slice;
    constexpr size_t n = 2 * slice + 10;
    traffic.set_on(true);
    flow.charge(options.max_pending_bytes);  // a stuck GUI thread: the frames wait as text
    for (size_t i = 0; i < n; ++i) inbound->on_frame(R"({"type": "stdout"})");
    EXPECT_EQ(counters.backlog_frames.load(), n);
    flow.release(options.max_pending_bytes);
    inbound->on_gui_drained(*loop);
    EXPECT_EQ(counters.dispatched.load(), slice) << "one slice in one go";
    // Other work posted now runs after the next slice, before the one after it.
    uint64_t at_other_work = 0;
    boost::asio::post(loop->context, [&] { at_other_work = counters.dispatched.load(); });
    loop->context.poll();
    EXPECT_EQ(at_other_work, 2 * slice);
    EXPECT_EQ(counters.dispatched.load(), n);
    EXPECT_EQ(counters.backlog_frames.load(), 0u);
    // The traffic log: the frames as they came, the backlog growing once and drained once.
    std::vector<std::string> events;
    size_t received = 0;
    for (const auto& e : traffic.snapshot().entries) {
        if (!e->event.empty()) events.push_back(e->event);
        received += e->kind == quarvo_zovovi::ide::gui::TrafficEntry::Kind::received;
    }
    EXPECT_EQ(received, n);
    EXPECT_EQ(events, (std::vector<std::string>{"backlog_growing", "backlog_drained"}));
    detail::EventLoop::set_current(nullptr);
    kept->posted.clear();
}

}  // namespace
