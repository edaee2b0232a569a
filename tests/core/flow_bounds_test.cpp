// Flow control's watermarks at their limits: the memory bound, the GUI-time bound, and where
// reading resumes (resume_fraction of both).
#include <gtest/gtest.h>

#include <chrono>

#include <quarvo_zovovi/ide/gui/core/flow_control.h>

using quarvo_zovovi::ide::gui::ClientOptions;
using quarvo_zovovi::ide::gui::detail::FlowControl;
using namespace std::chrono_literals;

namespace {

struct BoundCase {
    const char* name;
    double resume_fraction;
    std::size_t release_to;  // bytes left waiting after the release
    bool resumes;
};

void PrintTo(const BoundCase& c, std::ostream* os) {
    *os << c.name;
}

class MemoryBound : public ::testing::TestWithParam<BoundCase> {};

// Catches a reader that holds before max_pending_bytes or resumes above resume_fraction of it.
TEST_P(MemoryBound, HoldsAtTheBoundAndResumesAtTheFraction) {
    ClientOptions options;
    options.max_pending_bytes = 1000;
    options.resume_fraction = GetParam().resume_fraction;
    FlowControl flow(options);
    flow.charge(999);
    EXPECT_FALSE(flow.over_high()) << "one byte short of the bound";
    flow.charge(1);
    EXPECT_TRUE(flow.over_high());
    flow.release(1000 - GetParam().release_to);
    EXPECT_EQ(flow.under_low(), GetParam().resumes);
}

INSTANTIATE_TEST_SUITE_P(FlowBounds, MemoryBound,
                         ::testing::Values(BoundCase{"half_at_half", 0.5, 500, true},
                                           BoundCase{"half_above_half", 0.5, 501, false},
                                           BoundCase{"quarter_at_quarter", 0.25, 250, true},
                                           BoundCase{"quarter_at_half", 0.25, 500, false},
                                           BoundCase{"zero_only_when_empty", 0.0, 1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Catches a latency bound that is not applied: 10 messages of 10 ms of GUI time each are 100 ms
// of work, over a 50 ms bound and under a 1 s one, whatever their memory.
TEST(FlowBounds, GuiTimeBoundHoldsTheReader) {
    for (const auto& [bound, held] : {std::pair{0.05, true}, std::pair{1.0, false}}) {
        ClientOptions options;
        options.max_pending_latency = ClientOptions::Seconds(bound);
        FlowControl flow(options);
        flow.record_handling(10ms);
        for (int i = 0; i < 10; ++i) flow.charge(100);
        EXPECT_EQ(flow.over_high(), held) << bound;
        for (int i = 0; i < 8; ++i) flow.release(100);  // 20 ms left: under half of 50 ms
        EXPECT_TRUE(flow.under_low()) << bound;
    }
}

}  // namespace
