// The edges of start and stop: requests and sends around them, memory and descriptors across
// many cycles, and the add-in's message box when the window goes while it is open.
#include <dirent.h>
#include <malloc.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <algorithm>
#include <chrono>

#include "client_fixture.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer runtime's count of the heap in use (its allocator replaces malloc's).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

using namespace quarvo_test;
using namespace std::chrono_literals;

namespace {

class Edges : public ClientTest {
  protected:
    // Registers a request that no server answers; its answers land in `got`.
    void request(double timeout = 1.0) {
        client->send_and_wait_response(
            JsonObject{{"type", "get_module"}},
            [this](JsonObject a) { got.push_back(std::move(a)); }, "module_content", timeout);
    }
    bool one_time_out() {
        return wait_until([&] { return !got.empty(); }) && is_timeout(got[0]);
    }
    std::vector<JsonObject> got;
};

// Catches a request made before the network thread has its loop: its time-out was never
// scheduled, so its callback never ran and its entry stayed forever.
TEST_F(Edges, RequestRightAfterStartTimesOut) {
    SetUpClient();
    client->start();
    request();
    ASSERT_TRUE(one_time_out());
    pump_events(50);
    EXPECT_EQ(got.size(), 1u);
    EXPECT_EQ(client->pending_request_count(), 0u);
}

// Catches a request made after stop, whose time-out went into the halted loop: it must get
// its one callback once the client runs again.
TEST_F(Edges, RequestAfterStopTimesOutAfterTheNextStart) {
    SetUpClient();
    connect();
    client->stop();
    request();
    EXPECT_EQ(logs.count(LogLevel::error, "[WebSocketClient] Send error: the client is stopped"),
              1u);
    pump_events(100);  // ten times its time-out: no loop runs, so nothing yet
    EXPECT_TRUE(got.empty());
    client->start();
    ASSERT_TRUE(one_time_out());
    pump_events(50);
    EXPECT_EQ(got.size(), 1u);
}

// Catches a request registered before the first start that never gets its time-out after it.
TEST_F(Edges, RequestBeforeStartTimesOutOnceStarted) {
    SetUpClient();
    request();
    pump_events(50);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(client->pending_request_count(), 1u);
    client->start();
    ASSERT_TRUE(one_time_out());
    pump_events(50);
    EXPECT_EQ(got.size(), 1u);
}

// Catches a pending request lost across stop and start: it is answered on the new connection.
TEST_F(Edges, PendingRequestSurvivesARestart) {
    SetUpClient();
    connect();
    client->send_and_wait_response(
        JsonObject{{"type", "get_module"}, {"request_id", "r1"}},
        [this](JsonObject a) { got.push_back(std::move(a)); }, "module_content", 500.0);
    client->stop();
    client->start();
    ASSERT_TRUE(server->wait_for_connections(2));
    server->send_text(R"({"type": "module_content", "request_id": "r1", "code": "x"})");
    ASSERT_TRUE(wait_until([&] { return !got.empty(); }));
    EXPECT_EQ(got[0].at("code"), "x");
    pump_events(50);
    EXPECT_EQ(got.size(), 1u);
}

// Catches sends after stop that vanish into the halted loop without a word.
TEST_F(Edges, SendsAfterStopSayWhy) {
    SetUpClient();
    connect();
    client->stop();
    EXPECT_TRUE(client->is_connected()) << "the last state stays, as before";
    client->send_message(JsonObject{{"type", "run_module"}});
    client->send_text_message("x");
    client->sendTextMessage("y");
    EXPECT_EQ(logs.count(LogLevel::error, "[WebSocketClient] Send error: the client is stopped"),
              3u);
    client->start();
    // is_connected() still reads true from before: wait for the new connection's event.
    ASSERT_TRUE(wait_until([&] {
        const auto events = host.connection_events();
        return std::count_if(events.begin(), events.end(), [](const ConnectionEvent& e) {
                   return e.state == ConnectionState::connected;
               }) == 2;
    }));
    client->send_text_message("after");
    ASSERT_TRUE(server->wait_for_frames(1));
    EXPECT_EQ(server->frames(), std::vector<std::string>{"after"});
}

int open_descriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

size_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

class NoLog final : public LogSink {
  public:
    bool enabled(std::string_view, LogLevel) const override { return false; }
    void write(const LogRecord&) override {}
};

// Catches memory and descriptors that grow with every start and stop: each run's event loop,
// its last connection and its buffers were kept until the client went.
TEST(StartStopCycles, HeapAndDescriptorsStayFlat) {
    ScopedEnv plain("QUARVO_SECURED", "0");
    set_log_sink(std::make_shared<NoLog>());
    TestServer server;
    RecordingHost host;
    host.log.keep = false;
    WebSocketClient client(host, "127.0.0.1", server.port(), ClientTestOptions{test_time_scale});
    auto cycle = [&](size_t n) {
        client.start();
        ASSERT_TRUE(server.wait_for_connections(n));
        ASSERT_TRUE(wait_until([&] { return client.is_connected(); }));
        client.stop();
        pump_events(1);
    };
    size_t n = 0;
    for (int i = 0; i < 100; ++i) cycle(++n);  // warm-up: caches, the server's sessions
    ASSERT_TRUE(server.wait_for_ended(n));
    server.clear_frames();
    pump_events(20);
    const size_t heap_before = heap_in_use();
    const int fds_before = open_descriptors();
    for (int i = 0; i < 1000; ++i) {
        cycle(++n);
        if (i % 100 == 0) server.clear_frames();  // the server's own record of handshakes
    }
    ASSERT_TRUE(server.wait_for_ended(n));
    server.clear_frames();
    pump_events(20);
    const size_t heap_after = heap_in_use();
    set_log_sink(nullptr);
    EXPECT_LE(open_descriptors(), fds_before + 2);
    // A kept loop with its connection is tens of KiB: 1000 of them would be tens of MiB.
    EXPECT_LT(heap_after, heap_before + (1u << 20))
        << "before " << heap_before << ", after " << heap_after;
}

// Catches the crash when the window goes while the add-in's message box is open (the IDE
// closed from the task bar): the box was on the handler's stack and deleted twice.
TEST(MessageBox, WindowDestroyedWhileTheBoxIsOpen) {
    auto host = std::make_unique<RecordingHost>();
    auto client = std::make_unique<WebSocketClient>(*host, "127.0.0.1", 1);
    bool torn_down = false;
    auto* poll = new QTimer(qApp);  // owned by the application, deleted once done
    QObject::connect(poll, &QTimer::timeout, [&, poll] {
        if (!qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) return;
        client.reset();  // the host tears down: the client, then the window with the box
        host.reset();
        torn_down = true;
        poll->stop();
        poll->deleteLater();
    });
    poll->start(5);
    detail::ClientAccess::_handle_message(
        *client, R"({"type": "message_ide", "message": "hello", "from_client": "Excel"})");
    ASSERT_TRUE(wait_until([&] { return torn_down; }));
    pump_events(50);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

}  // namespace
