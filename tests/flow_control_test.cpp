// Flow control against a real loopback server: back-pressure while the window is slow or
// blocked, keep-alive through a held-back reader, the backlog and its limit, the outbox bound;
// and the two parts below it, the message cost estimate and the backlog with its spill file.
#include <gtest/gtest.h>

#include <QThread>
#include <atomic>
#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parse.hpp>
#include <filesystem>
#include <memory_resource>
#include <thread>

#include <quarvo_zovovi/ide/gui/core/backlog.h>
#include <quarvo_zovovi/ide/gui/core/flow_control.h>
#include <quarvo_zovovi/ide/gui/host/qt_thread.h>
#include "client_fixture.h"

using namespace quarvo_test;
using namespace std::chrono_literals;
using quarvo_zovovi::ide::gui::detail::Backlog;
using quarvo_zovovi::ide::gui::detail::held_bytes;

namespace {

// A stdout message whose content starts with its number, padded to about `size` bytes.
std::string numbered(size_t n, size_t size) {
    std::string content = std::to_string(n) + " ";
    content.resize(std::max(content.size(), size), 'x');
    return R"({"type": "stdout", "content": ")" + content + R"(", "source": "ide"})";
}

// The numbers at the start of the host's console lines, in the order they were shown.
std::vector<size_t> shown_numbers(const RecordingHost& host) {
    std::vector<size_t> out;
    for (const Call& c : host.log.named("log_to_console")) {
        const std::string_view text = c.args[0].as_string();
        if (text.empty() || text[0] < '0' || text[0] > '9') continue;
        out.push_back(std::stoul(std::string(text.substr(0, text.find(' ')))));
    }
    return out;
}

std::vector<size_t> one_to(size_t n) {
    std::vector<size_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = i;
    return v;
}

// Blocks the calling (GUI) thread, as a modal dialog's own work would, until pred holds or
// the deadline passes; nothing the client posts to the GUI thread runs meanwhile.
bool block_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

void block_for(std::chrono::milliseconds ms) {
    block_until([] { return false; }, ms);
}

class Flow : public ClientTest {
  protected:
    void SetUpFlow(const ClientOptions& options, double scale,
                   TestServer::Options server_options = {}) {
        env_.emplace("QUARVO_SECURED", "0");
        server = std::make_unique<TestServer>(server_options);
        client = std::make_unique<WebSocketClient>(host, "127.0.0.1", server->port(), options,
                                                   ClientTestOptions{scale});
        host.log.on_call = [this](const Call& c) {
            if (c.name != "log_to_console") return;
            if (handling_cost.count() > 0) {
                const auto until = std::chrono::steady_clock::now() + handling_cost;
                while (std::chrono::steady_clock::now() < until) {
                }
            }
            lines_shown.fetch_add(1);
        };
    }

    void flood(size_t count, size_t size) {
        for (size_t i = 0; i < count; ++i) server->send_text(numbered(i, size));
    }

    std::chrono::microseconds handling_cost{0};  // what each console line costs the GUI thread
    std::atomic<size_t> lines_shown{0};
};

// Catches a reader that takes in a flood faster than a slow window shows it: the server must
// feel the back-pressure, and the queue must stay at its watermark.
TEST_F(Flow, SlowWindowSlowsTheServer) {
    ClientOptions options;
    options.max_pending_bytes = 64 << 10;
    options.max_pending_latency = 1h;  // the memory bound is the one under test
    options.max_read_pause = 1h;       // the window is slow, never stuck
    SetUpFlow(options, 1.0, {.send_buffer_bytes = 64 << 10});
    handling_cost = 100us;
    connect();
    const size_t before = lines_shown.load();
    constexpr size_t count = 6000, size = 4000;  // 24 MB, far beyond the socket buffers
    flood(count, size);
    size_t most_ahead = 0;
    ASSERT_TRUE(wait_until(
        [&] {
            const size_t shown = lines_shown.load() - before;
            most_ahead =
                std::max(most_ahead, server->texts_sent() - std::min(shown, server->texts_sent()));
            return shown >= count;
        },
        60000))
        << lines_shown.load();
    // Without back-pressure the server finishes at once and is the whole flood ahead.
    EXPECT_LT(most_ahead * size, 8u << 20) << "frames written ahead of the window: " << most_ahead;
    const ClientStats s = client->stats();
    const size_t one_message = 2 * size + 512;
    EXPECT_LE(s.peak_pending_bytes, options.max_pending_bytes + one_message);
    EXPECT_GT(s.read_pauses, 0u);
    EXPECT_EQ(s.backlog_frames, 0u);
    EXPECT_EQ(shown_numbers(host), one_to(count));
}

// Catches a reader that never holds back when the GUI thread is blocked, and one that loses
// or reorders what waited behind the hold.
TEST_F(Flow, BlockedWindowHoldsTheReaderAtTheWatermark) {
    ClientOptions options;
    options.max_pending_bytes = 128 << 10;
    options.max_read_pause = 1h;
    SetUpFlow(options, 1.0, {.send_buffer_bytes = 64 << 10});
    connect();
    constexpr size_t count = 6000, size = 4000;
    flood(count, size);
    // The GUI thread runs nothing: the client must stop reading, and so the server writing.
    EXPECT_TRUE(block_until([&] { return client->stats().reading_paused; }, 5s));
    EXPECT_FALSE(server->wait_for_texts_sent(count, 500ms))
        << "the server wrote the whole flood while the window handled nothing";
    const ClientStats held = client->stats();
    EXPECT_LE(held.peak_pending_bytes, options.max_pending_bytes + 2 * size + 512);
    EXPECT_EQ(held.backlog_frames, 0u) << "a hold shorter than max_read_pause keeps no backlog";
    ASSERT_TRUE(wait_until([&] { return shown_numbers(host).size() >= count; }, 30000));
    EXPECT_EQ(shown_numbers(host), one_to(count));
    EXPECT_TRUE(server->wait_for_texts_sent(count, 1s));
}

// Catches a held-back reader that lets the server's keep-alive drop the connection while a
// modal dialog holds the GUI thread, and an answer that waited behind it reaching no one.
TEST_F(Flow, ModalDialogLongerThanThePingPatience) {
    ClientOptions options;
    options.max_pending_bytes = 64 << 10;
    options.ping_interval = 1h;           // the client stays silent: only its pongs keep it alive
    SetUpFlow(options, test_time_scale);  // the longest hold: 50 ms
    // Twenty times the longest hold: a loaded machine (sanitizer builds, two tests at once)
    // still gets its pongs out in time.
    server->set_ping_patience(1s);
    server->set_responder([](const std::string& frame) -> std::optional<std::string> {
        if (frame.find("get_module") == std::string::npos) return std::nullopt;
        const auto id = boost::json::parse(frame).at("request_id");
        return R"({"type": "module_content", "request_id": ")" + std::string(id.as_string()) +
               R"(", "code": "answer"})";
    });
    connect();
    constexpr size_t count = 3000, size = 1000;
    flood(count / 2, size);
    std::optional<JsonObject> answer;
    size_t shown_before_answer = 0;
    client->send_and_wait_response(
        JsonObject{{"type", "get_module"}},
        [&](JsonObject a) {
            answer = std::move(a);
            shown_before_answer = shown_numbers(host).size();
        },
        "module_content", 500.0);  // 5 s scaled
    ASSERT_TRUE(server->wait_for_frames(1));
    for (size_t i = count / 2; i < count; ++i) server->send_text(numbered(i, size));

    block_for(3s);  // the dialog: three times the server's patience
    EXPECT_EQ(server->ended(), 0u) << logs.dump();
    EXPECT_FALSE(answer) << "callbacks run on the GUI thread only";

    ASSERT_TRUE(wait_until([&] { return shown_numbers(host).size() >= count && answer; }, 20000))
        << logs.dump();
    EXPECT_EQ(shown_numbers(host), one_to(count));
    EXPECT_EQ(answer->at("code"), "answer");
    EXPECT_EQ(shown_before_answer, count / 2) << "the answer keeps its place in arrival order";
    EXPECT_EQ(server->connections(), 1u);
    EXPECT_EQ(server->ended(), 0u);
    EXPECT_EQ(logs.count(LogLevel::warning, "[WebSocketClient] Connection closed"), 0u);
    EXPECT_GE(logs.count(LogLevel::info, "[WebSocketClient] The window has not caught up"), 1u);
    EXPECT_EQ(client->stats().backlog_frames, 0u);
}

// Catches the client's own keep-alive counting time in which it chose not to read: the pong
// waits unread behind the hold, so it must not end the connection.
TEST_F(Flow, OwnPongTimeOutWaitsForTheHoldToEnd) {
    ClientOptions options;
    options.max_pending_bytes = 64 << 10;
    options.max_read_pause = 1h;          // a hold far longer than the pong time-out
    SetUpFlow(options, test_time_scale);  // pings every 0.2 s, pong time-out 0.6 s
    connect();
    ASSERT_TRUE(server->wait_for_pings(1));
    flood(3000, 1000);
    block_for(1500ms);  // reader held for most of it; several pings' pongs wait unread
    ASSERT_TRUE(wait_until([&] { return shown_numbers(host).size() >= 3000; }, 20000))
        << logs.dump();
    EXPECT_EQ(logs.count(LogLevel::warning, "[WebSocketClient] Connection closed"), 0u)
        << logs.dump();
    EXPECT_EQ(server->connections(), 1u);
    EXPECT_GT(client->stats().read_pause_time, 500ms);
    EXPECT_TRUE(client->is_connected());
}

// Catches a backlog that grows without end while the window is stuck, a warning repeated for
// every frame, and a reader that never resumes once the window drains.
TEST_F(Flow, BacklogLimitWarnsOnceThenRecovers) {
    ClientOptions options;
    options.max_pending_bytes = 32 << 10;
    options.backlog_memory_bytes = 256 << 10;
    options.backlog_limit_bytes = 256 << 10;
    options.backlog_spill_dir = "-";
    SetUpFlow(options, test_time_scale);
    connect();
    constexpr size_t count = 4000, size = 1000;  // 4 MB: far past the limit
    flood(count, size);
    const std::string full = "[WebSocketClient] Receive backlog full";
    EXPECT_TRUE(block_until([&] { return logs.count(LogLevel::warning, full) > 0; }, 5s));
    block_for(200ms);  // held at the limit: no second warning, no growth
    const ClientStats s = client->stats();
    EXPECT_TRUE(s.reading_paused);
    EXPECT_LE(s.backlog_bytes, options.backlog_limit_bytes + size + 64);
    EXPECT_EQ(logs.count(LogLevel::warning, full), 1u);

    ASSERT_TRUE(wait_until([&] { return shown_numbers(host).size() >= count; }, 30000));
    EXPECT_EQ(shown_numbers(host), one_to(count));
    EXPECT_GE(logs.count(LogLevel::info, "[WebSocketClient] Receive backlog down to"), 1u);
    EXPECT_EQ(logs.count(LogLevel::warning, "[WebSocketClient] Connection closed"), 0u);
}

// Catches a backlog that spills and loses, duplicates or reorders what went to the file.
TEST_F(Flow, BacklogSpillsToAFileAndBackInOrder) {
    ClientOptions options;
    options.max_pending_bytes = 32 << 10;
    options.backlog_memory_bytes = 64 << 10;  // the rest of the flood goes to the file
    SetUpFlow(options, test_time_scale);
    connect();
    constexpr size_t count = 6000, size = 1000;
    flood(count, size);
    EXPECT_TRUE(block_until([&] { return client->stats().backlog_bytes > (1u << 20); }, 10s))
        << client->stats().backlog_bytes;
    ASSERT_TRUE(wait_until([&] { return shown_numbers(host).size() >= count; }, 30000));
    EXPECT_EQ(shown_numbers(host), one_to(count));
    EXPECT_EQ(client->stats().backlog_bytes, 0u);
}

// Catches an outbox that grows without bound behind a server that stops reading, pings
// refused with the frames, and a client that cannot send again once the server reads.
TEST_F(Flow, OutboxFullFailsTheSendThenRecovers) {
    ClientOptions options;
    options.max_outbox_bytes = 256 << 10;
    // Pings every second, pong time-out 3 s: the server's pause must stay shorter than that,
    // even on a slow (sanitizer) build.
    SetUpFlow(options, 0.05, {.send_buffer_bytes = 64 << 10});
    connect();
    server->pause_reading(true);
    client->set_traffic_log_enabled(true);
    const std::string chunk(16 << 10, 'o');
    for (int i = 0; i < 2000; ++i) client->send_text_message(chunk);  // 32 MB
    const std::string full = "[WebSocketClient] Send error: outbox full";
    EXPECT_TRUE(logs.wait_for(LogLevel::error, full, 1, 5000));
    const size_t pings_before = server->pings();
    EXPECT_LE(client->stats().outbox_bytes, options.max_outbox_bytes);
    server->pause_reading(false);
    EXPECT_TRUE(server->wait_for_pings(pings_before + 1, 10s)) << "the keep-alive still goes out";
    ASSERT_TRUE(wait_until([&] { return client->stats().outbox_bytes == 0; }, 10000));
    client->send_text_message("after");
    ASSERT_TRUE(wait_until([&] {
        const auto f = server->frames();
        return !f.empty() && f.back() == "after";
    }));
    const size_t failed = logs.count(LogLevel::error, full);
    EXPECT_EQ(server->frames().size(), 2000 - failed + 1) << "each send arrives or says why not";
    size_t logged_full = 0;
    for (const auto& e : client->traffic_log().entries) logged_full += e->event == "outbox_full";
    EXPECT_EQ(logged_full, failed);
    EXPECT_TRUE(client->is_connected());
}

// A server's unmasked text frame, as it goes on the wire.
std::string wire_frame(std::string_view payload) {
    std::string out = "\x81";
    if (payload.size() < 126) {
        out += char(payload.size());
    } else {
        out += char(126);
        out += char((payload.size() >> 8) & 0xff);
        out += char(payload.size() & 0xff);
    }
    return out.append(payload);
}

// The default GUI-thread facility, counting what is handed to it and the most console lines
// one hand-off showed.
class CountingGuiThread final : public GuiThread {
  public:
    void post(Task task) override {
        posts.fetch_add(1);
        inner_->post([this, task = std::move(task)]() mutable {
            const size_t before = lines;
            task();
            most_lines = std::max(most_lines, lines - before);
        });
    }
    size_t queued() const override { return inner_->queued(); }
    std::atomic<size_t> posts{0};
    size_t lines = 0;       // GUI thread: counted by the host
    size_t most_lines = 0;  // GUI thread

  private:
    std::shared_ptr<GuiThread> inner_ = make_qt_gui_thread();
};

class Burst : public Flow {
  protected:
    void SetUp() override {
        set_gui_thread(facility);
        SetUpFlow({}, test_time_scale);
        host.log.on_call = [this](const Call& c) {
            if (c.name == "log_to_console") ++facility->lines;
        };
    }
    void TearDown() override {
        Flow::TearDown();
        // What the stopped client handed over last runs (and lets go of the client) before
        // the facility goes.
        EXPECT_TRUE(wait_until([&] { return facility->queued() == 0; }));
        set_gui_thread(nullptr);
    }
    // Messages 0..count-1 in one write, so that they arrive together; `odd_one` replaces one.
    void burst(size_t count, std::optional<std::pair<size_t, std::string>> odd_one = {}) {
        std::string bytes;
        for (size_t i = 0; i < count; ++i)
            bytes += wire_frame(odd_one && odd_one->first == i ? odd_one->second : numbered(i, 60));
        server->send_raw(std::move(bytes));
    }
    const std::shared_ptr<CountingGuiThread> facility = std::make_shared<CountingGuiThread>();
};

// Catches a hand-off that meets the GUI thread once per message (each a wake-up of the GUI
// thread, the cost that dominates a flood), and batches without a bound.
TEST_F(Burst, ArrivesOnTheGuiThreadInBoundedBatches) {
    connect();
    ASSERT_TRUE(wait_until([&] { return facility->queued() == 0; }));
    const size_t before = facility->posts.load();
    constexpr size_t count = 2000;
    burst(count);
    ASSERT_TRUE(wait_until([&] { return shown_numbers(host).size() >= count; }, 20000));
    EXPECT_EQ(shown_numbers(host), one_to(count));
    const size_t posts = facility->posts.load() - before;
    EXPECT_LT(posts, count / 4) << "GUI-thread hand-offs for " << count << " messages";
    EXPECT_LE(facility->most_lines, 64u) << "a batch holds at most 64 messages";
}

// Catches a batch that one throwing handler cuts short: the messages behind it in the same
// batch must still be shown, in order, and the exception logged once.
TEST_F(Burst, ThrowingHandlerSpoilsNothingElseInItsBatch) {
    host.log.on_call = [](const Call& c) {
        if (c.name == "log_to_console" && c.args[0].as_string() == "boom")
            throw std::runtime_error("the window failed");
    };
    connect();
    constexpr size_t count = 200;
    burst(count, std::pair<size_t, std::string>{
                     100, R"({"type": "stdout", "content": "boom", "source": "ide"})"});
    std::vector<size_t> expected = one_to(count);
    expected.erase(expected.begin() + 100);
    ASSERT_TRUE(wait_until([&] { return shown_numbers(host).size() >= count - 1; }, 20000));
    EXPECT_EQ(shown_numbers(host), expected);
    EXPECT_EQ(logs.count(LogLevel::error,
                         "Unhandled exception in GUI-thread call: "
                         "std::runtime_error: the window failed"),
              1u)
        << logs.dump();
}

// A large backlog drained into a window that keeps up, against a server with a short ping
// patience: the drain must leave the network thread free to read (and so to answer pings)
// between its slices; every line once, in order, on the one connection.
class BurstRealTimings : public Burst {
  protected:
    void SetUp() override {
        set_gui_thread(facility);
        ClientOptions options;  // the real watermarks, a short stall bound
        options.max_read_pause = 50ms;
        SetUpFlow(options, 1.0);
    }
};

TEST_F(BurstRealTimings, LargeBacklogDrainsWithoutSilencingThePongs) {
    // A quick window: lines are checked as they come, not recorded.
    host.log.keep = false;
    size_t next = 0;
    bool in_order = true;
    host.log.on_call = [&](const Call& c) {
        if (c.name != "log_to_console") return;
        const std::string_view text = c.args[0].as_string();
        if (text.empty() || text[0] < '0' || text[0] > '9') return;
        in_order = in_order && std::stoul(std::string(text.substr(0, text.find(' ')))) == next;
        ++next;
        lines_shown.fetch_add(1);
    };
    client->start();
    ASSERT_TRUE(server->wait_for_connections(1));
    ASSERT_TRUE(wait_until([&] { return client->is_connected(); }));
    server->set_ping_patience(400ms);
    constexpr size_t count = 200000;
    flood(count, 60);   // frame by frame: the server's pings go between them
    block_for(1000ms);  // a dialog: the frames wait as text, the backlog grows
    ASSERT_TRUE(wait_until([&] { return lines_shown.load() >= count; }, 120000))
        << lines_shown.load() << " shown" << logs.dump();
    EXPECT_TRUE(in_order);
    EXPECT_EQ(server->ended(), 0u) << logs.dump();
    EXPECT_EQ(server->connections(), 1u);
    EXPECT_EQ(client->stats().backlog_frames, 0u);
}

// Catches a cost estimate that drifts from what Boost.JSON really allocates: the watermark
// would then bound the wrong thing.
TEST(MessageCost, FollowsTheRealAllocations) {
    // Counts what the tree takes from the heap as glibc's malloc would: header and granules.
    class Counting : public boost::json::memory_resource {
      public:
        size_t total = 0;

      private:
        void* do_allocate(size_t n, size_t align) override {
            total += std::max<size_t>(32, (n + 8 + 15) & ~size_t{15});
            return ::operator new(n, std::align_val_t(align));
        }
        void do_deallocate(void* p, size_t, size_t align) override {
            ::operator delete(p, std::align_val_t(align));
        }
        bool do_is_equal(const memory_resource& other) const noexcept override {
            return this == &other;
        }
    };
    const char* messages[] = {
        R"({"type": "stdout", "content": "short"})",
        R"({"type": "stdout", "content": "a line long enough to leave the inline buffer", "source": "ide"})",
        R"({"type": "all_modules", "workbook_id": "wb", "modules": {"a": "x = 1", "b": "def f():\n    return 2\n"}})",
        R"({"type": "workbook_list", "workbooks": [{"id": "w1", "name": "Book1"}, {"id": "w2", "name": "Book2", "modules": []}], "n": [1, 2.5, null, true]})",
        R"({"k0":0,"k1":1,"k2":2,"k3":3,"k4":4,"k5":5,"k6":6,"k7":7,"k8":8,"k9":9,"k10":10,"k11":11,"k12":12,"k13":13,"k14":14,"k15":15,"k16":16,"k17":17,"k18":18,"k19":19,"k20":20})",
    };
    for (const char* text : messages) {
        Counting counting;
        {
            Json v = boost::json::parse(text, boost::json::storage_ptr(&counting));
            EXPECT_EQ(held_bytes(v), counting.total) << text;
        }
    }
}

// Catches a backlog that reorders or loses frames between its memory part, its file and the
// tail not yet written, or that keeps disk space after draining.
TEST(Backlog, KeepsOrderAcrossMemoryAndFile) {
    Backlog backlog(64 << 10, 64 << 20, "");
    std::vector<std::string> pushed;
    std::string out;
    size_t next = 0;
    auto pop_expect = [&](size_t n) {
        for (size_t i = 0; i < n; ++i, ++next) {
            ASSERT_TRUE(backlog.pop(out));
            ASSERT_EQ(out, pushed[next]);
        }
    };
    auto push = [&](size_t n, size_t size) {
        for (size_t i = 0; i < n; ++i) {
            std::string frame = std::to_string(pushed.size()) + ":";
            frame.resize(size + pushed.size() % 7, char('a' + pushed.size() % 26));
            backlog.push(frame);
            pushed.push_back(std::move(frame));
        }
    };
    push(100, 1000);  // memory
    EXPECT_EQ(backlog.file_bytes(), 0u);
    push(3000, 1000);  // past the memory limit: file, and a tail not yet written
    EXPECT_GT(backlog.file_bytes(), 0u);
    EXPECT_LE(backlog.memory_bytes(), (64u << 10) + (1u << 20) + 1100);
    pop_expect(50);
    push(10, 300000);  // frames larger than a file piece
    pop_expect(2000);
    push(500, 10);
    pop_expect(pushed.size() - next);
    EXPECT_TRUE(backlog.empty());
    EXPECT_FALSE(backlog.pop(out));
    EXPECT_EQ(backlog.bytes(), 0u);
    EXPECT_EQ(backlog.file_bytes(), 0u) << "the file is emptied once drained";
    EXPECT_EQ(backlog.pushed(), backlog.popped());
}

// Catches the limits: without a file the memory limit is the limit; a folder that cannot take
// the file falls back to it as well; with a file the total limit counts both parts.
TEST(Backlog, Limits) {
    struct Row {
        const char* name;
        std::string dir;
        size_t memory, total, frames_to_limit;
    };
    const std::string missing =
        (std::filesystem::temp_directory_path() / "quarvo-no-such-dir/x").string();
    const Row rows[] = {
        {"no file", "-", 10000, 1 << 20, 10},
        {"unwritable folder", missing, 10000, 1 << 20, 11},
        {"file", "", 10000, 30000, 30},
    };
    for (const Row& row : rows) {
        Backlog backlog(row.memory, row.total, row.dir);
        size_t frames = 0;
        while (!backlog.at_limit() && frames < 100000) {
            backlog.push(std::string(996, 'f'));
            ++frames;
        }
        EXPECT_EQ(frames, row.frames_to_limit) << row.name;
        std::string out;
        size_t popped = 0;
        while (backlog.pop(out)) ++popped;
        EXPECT_EQ(popped, frames) << row.name;
    }
}

}  // namespace
