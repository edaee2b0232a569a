// The traffic log's ring on its own: its two bounds with the oldest dropped first and counted,
// a reader following it by sequence number, what a frame's entry says, the token masked, the
// text cut at its limit, nothing kept while off, and the JSON Lines form.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/json/parse.hpp>
#include <sstream>
#include <thread>

#include <quarvo_zovovi/ide/gui/core/traffic_recorder.h>

namespace gui = quarvo_zovovi::ide::gui;
using gui::TrafficEntry;
using gui::detail::TrafficRecorder;

namespace {

struct RingCase {
    const char* name;
    std::size_t max_entries;
    std::size_t max_bytes;  // 0: the default
    std::size_t recorded;
    std::size_t kept;
};

// Catches a ring that grows past either bound, drops the newest instead of the oldest, or
// loses count of what it dropped.
TEST(TrafficRecorder, BothBoundsDropTheOldestFirst) {
    const std::size_t entry_bytes = sizeof(TrafficEntry) + 100 + 6;  // text + the event name
    const RingCase cases[] = {
        {"under both", 10, 0, 7, 7},
        {"at the entry bound", 10, 0, 10, 10},
        {"past the entry bound", 10, 0, 25, 10},
        {"past the byte bound", 1000, 4 * entry_bytes, 9, 4},
    };
    for (const RingCase& c : cases) {
        SCOPED_TRACE(c.name);
        gui::ClientOptions options;
        options.traffic_log_entries = c.max_entries;
        if (c.max_bytes) options.traffic_log_bytes = c.max_bytes;
        std::atomic<std::uint64_t> connections{1};
        TrafficRecorder log(options, connections);
        log.set_on(true);
        for (std::size_t i = 1; i <= c.recorded; ++i)
            log.event("closed", std::string(100 - std::to_string(i).size(), 'x') +
                                    std::to_string(i));
        const gui::TrafficSnapshot all = log.snapshot();
        ASSERT_EQ(all.entries.size(), c.kept);
        EXPECT_EQ(all.dropped, c.recorded - c.kept);
        EXPECT_EQ(all.entries.front()->sequence, c.recorded - c.kept + 1) << "oldest go first";
        EXPECT_EQ(all.entries.back()->sequence, c.recorded);
        // A reader that has everything up to the third newest gets the two after it.
        const gui::TrafficSnapshot since = log.snapshot(c.recorded - 2);
        ASSERT_EQ(since.entries.size(), 2u);
        EXPECT_EQ(since.entries[0]->sequence, c.recorded - 1);
        EXPECT_EQ(log.snapshot(c.recorded).entries.size(), 0u);
        log.clear();
        EXPECT_TRUE(log.snapshot().entries.empty());
        EXPECT_EQ(log.snapshot().dropped, 0u);
        log.event("connected");
        EXPECT_EQ(log.snapshot().entries.at(0)->sequence, c.recorded + 1) << "numbers go on";
    }
}

// Catches a frame entry without its type, id, size or connection, a token that reaches the
// log, a text not cut at its limit, and entries kept while the log is off.
TEST(TrafficRecorder, FramesAndTheirText) {
    gui::ClientOptions options;
    options.traffic_log_text_bytes = 60;
    std::atomic<std::uint64_t> connections{3};
    TrafficRecorder log(options, connections);
    log.frame(TrafficEntry::Kind::received, R"({"type": "stdout"})");
    EXPECT_TRUE(log.snapshot().entries.empty()) << "off by default";
    log.set_on(true);
    const std::string answer =
        R"({"type": "module_content", "request_id": "r1", "code": "x = 1 + 2 + 3"})";
    log.frame(TrafficEntry::Kind::received, answer);
    log.frame(TrafficEntry::Kind::sent, R"({"type": "get_module", "request_id": 7})");
    log.frame(TrafficEntry::Kind::received,
              R"({"type": "watchdog_details", "auth_token": "s3cr3t-token", "port": 1})");
    log.frame(TrafficEntry::Kind::sent, "not json");
    const auto entries = log.snapshot().entries;
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0]->type, "module_content");
    EXPECT_EQ(entries[0]->request_id, "r1");
    EXPECT_EQ(entries[0]->size, answer.size());
    EXPECT_EQ(entries[0]->connection, 3u);
    EXPECT_EQ(entries[0]->text, answer.substr(0, 60));
    EXPECT_TRUE(entries[0]->truncated);
    EXPECT_EQ(entries[1]->kind, TrafficEntry::Kind::sent);
    EXPECT_EQ(entries[1]->request_id, "7");
    EXPECT_EQ(entries[2]->text.find("s3cr3t"), std::string::npos);
    EXPECT_NE(entries[2]->text.find(R"("auth_token":"***")"), std::string::npos)
        << entries[2]->text;
    EXPECT_EQ(entries[3]->text, "not json");
    EXPECT_FALSE(entries[3]->truncated);
}

// Catches JSON Lines that are not one object per line, or lose an entry's fields.
TEST(TrafficRecorder, JsonLines) {
    gui::ClientOptions options;
    std::atomic<std::uint64_t> connections{1};
    TrafficRecorder log(options, connections);
    log.set_on(true);
    log.frame(TrafficEntry::Kind::received, R"({"type": "q_response", "request_id": "a"})");
    log.event("answered", {}, "a", std::chrono::microseconds(1500));
    std::istringstream lines(gui::to_json_lines(log.snapshot()));
    std::string line;
    std::vector<boost::json::object> parsed;
    while (std::getline(lines, line)) parsed.push_back(boost::json::parse(line).as_object());
    ASSERT_EQ(parsed.size(), 2u);
    EXPECT_EQ(parsed[0].at("kind"), "received");
    EXPECT_EQ(parsed[0].at("type"), "q_response");
    EXPECT_EQ(parsed[0].at("seq"), 1);
    EXPECT_EQ(parsed[1].at("event"), "answered");
    EXPECT_EQ(parsed[1].at("latency_us"), 1500);
    const std::string time(parsed[1].at("time").as_string());
    EXPECT_EQ(time.size(), std::string("2026-12-10T11:02:03.123456Z").size()) << time;
    EXPECT_EQ(time.back(), 'Z');
}

// Catches a race between the network thread's records and a reader switching and reading
// (ThreadSanitizer), and sequence numbers out of order.
TEST(TrafficRecorder, SwitchedAndReadWhileRecording) {
    gui::ClientOptions options;
    options.traffic_log_entries = 100;
    std::atomic<std::uint64_t> connections{1};
    TrafficRecorder log(options, connections);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) log.frame(TrafficEntry::Kind::received, R"({"type": "x"})");
        done = true;
    });
    while (!done) {
        log.set_on(!log.on());
        const auto snapshot = log.snapshot();
        for (std::size_t i = 1; i < snapshot.entries.size(); ++i)
            ASSERT_EQ(snapshot.entries[i]->sequence, snapshot.entries[i - 1]->sequence + 1);
    }
    writer.join();
}

}  // namespace
