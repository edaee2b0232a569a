// Outbound sending and request correlation against a server that records frames byte for byte.
#include <QCoreApplication>
#include <QThread>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "client_fixture.h"

using namespace quarvo_test;
using namespace std::chrono_literals;

namespace {

constexpr const char* not_connected = "[WebSocketClient] Cannot send message: not connected";

bool on_gui_thread() {
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

class Sending : public ClientTest {
  protected:
    void SetUp() override { SetUpClient(); }
};

// Catches sends queued while disconnected and replayed later, or warnings not given per call.
TEST_F(Sending, RefusedBeforeTheFirstConnection) {
    client->send_message(JsonObject{{"type", "a"}});
    client->send_text_message("b");
    client->sendTextMessage("c");
    EXPECT_EQ(logs.count(LogLevel::warning, not_connected), 3u);
    connect();
    client->send_text_message("after");
    ASSERT_TRUE(server->wait_for_frames(1));
    EXPECT_EQ(server->frames(), std::vector<std::string>{"after"}) << "nothing from before";
}

// Catches sends accepted while the client backs off after a failed connection.
TEST_F(Sending, RefusedDuringTheBackOff) {
    server->refuse_handshakes(503);
    client->start();
    ASSERT_TRUE(logs.wait_for(LogLevel::info, "[WebSocketClient] Reconnecting in "));
    client->send_message(JsonObject{{"type", "a"}});
    client->sendTextMessage("b");
    EXPECT_EQ(logs.count(LogLevel::warning, not_connected), 2u);
    EXPECT_EQ(server->connections(), 0u);
}

// Catches a send into a connection that is gone being dropped without a trace, and an opening
// handshake that never times out. After stop() the client still reports the old connection
// (stop changes neither the flag nor ws), so a send is accepted and then fails.
TEST_F(Sending, SendIntoALostConnectionLogsASendError) {
    connect();
    client->stop();
    server->stall_handshakes(true);
    client->start();
    ASSERT_TRUE(server->wait_for_handshake_attempts(2));
    ASSERT_TRUE(client->is_connected());
    client->send_text_message("lost");
    EXPECT_TRUE(logs.wait_for(LogLevel::error, "[WebSocketClient] Send error: "));
    EXPECT_EQ(logs.count(LogLevel::warning, not_connected), 0u);
    // The stalled handshake ends with the opening time-out (30 s, scaled), then a retry.
    EXPECT_TRUE(logs.wait_for(LogLevel::error, "[WebSocketClient] Connection error: "));
    EXPECT_TRUE(server->wait_for_handshake_attempts(3));
    EXPECT_TRUE(server->frames().empty());
}

// Catches texts that are altered on the way, and objects not in the exact wire form.
TEST_F(Sending, FramesOnTheWireAreExact) {
    connect();
    client->send_text_message("raw {not json} caf\xC3\xA9 \xF0\x9F\x98\x80");
    client->sendTextMessage("");
    JsonObject message{{"type", "save_module"},
                       {"workbook_id", "wb\xC3\xA9"},
                       {"ratio", 2.0},
                       {"items", JsonArray{1, nullptr, "x\n"}}};
    client->send_message(message);
    ASSERT_TRUE(server->wait_for_frames(3));
    EXPECT_EQ(
        server->frames(),
        (std::vector<std::string>{
            "raw {not json} caf\xC3\xA9 \xF0\x9F\x98\x80", "",
            R"({"type": "save_module", "workbook_id": "wb\u00e9", "ratio": 2.0, "items": [1, null, "x\n"]})"}));
    EXPECT_EQ(logs.count(LogLevel::error, "[WebSocketClient] Send error: "), 0u);
}

// Catches lost, duplicated or reordered frames in a burst, alone and with a second sender.
TEST_F(Sending, BurstsArriveCompleteAndInOrder) {
    connect();
    constexpr int n = 10000;
    for (int i = 0; i < n; ++i) client->send_message(JsonObject{{"type", "gui"}, {"seq", i}});
    ASSERT_TRUE(server->wait_for_frames(n, 30s)) << server->frames().size();
    auto frames = server->frames();
    ASSERT_EQ(frames.size(), size_t(n));
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(frames[i], R"({"type": "gui", "seq": )" + std::to_string(i) + "}");

    std::thread other([&] {
        for (int i = 0; i < n; ++i) client->send_text_message("worker " + std::to_string(i));
    });
    for (int i = 0; i < n; ++i) client->send_text_message("gui " + std::to_string(i));
    other.join();
    ASSERT_TRUE(server->wait_for_frames(3 * n, 30s)) << server->frames().size();
    frames = server->frames();
    ASSERT_EQ(frames.size(), size_t(3 * n));
    int next_gui = 0, next_worker = 0;
    for (size_t k = n; k < frames.size(); ++k) {
        if (frames[k].starts_with("gui "))
            ASSERT_EQ(frames[k], "gui " + std::to_string(next_gui++));
        else
            ASSERT_EQ(frames[k], "worker " + std::to_string(next_worker++));
    }
    EXPECT_EQ(next_gui, n);
    EXPECT_EQ(next_worker, n);
}

class Requests : public ClientTest {
  protected:
    void SetUp() override { SetUpClient(); }

    ResponseCallback record(std::string tag) {
        return [this, tag](JsonObject data) {
            if (!on_gui_thread()) off_gui_thread = true;
            received.emplace_back(tag, std::move(data));
        };
    }

    // The request_id of the k-th frame the server received.
    std::string frame_id(size_t k) {
        return std::string(boost::json::parse(server->frames().at(k)).at("request_id").as_string());
    }

    void answer(const std::string& id, const std::string& type, const std::string& extra = "") {
        server->send_text(R"({"type": ")" + type + R"(", "request_id": ")" + id + "\"" + extra +
                          "}");
    }

    std::vector<std::pair<std::string, JsonObject>> received;
    bool off_gui_thread = false;
};

// Catches ids that are not canonical lower-case version-4 UUIDs or not stamped on the message.
TEST_F(Requests, GeneratedIdsAreUuid4AndStampedOnTheMessage) {
    connect();
    JsonObject message{{"type", "get_package_versions"}, {"package", "requests"}};
    const std::string id = client->send_and_wait_response(message, record("a"));
    static const std::regex uuid4(
        "^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
    EXPECT_TRUE(std::regex_match(id, uuid4)) << id;
    EXPECT_EQ(message.at("request_id"), Json(id)) << "the caller's object gets the id";
    ASSERT_TRUE(server->wait_for_frames(1));
    EXPECT_EQ(
        server->frames()[0],
        R"({"type": "get_package_versions", "package": "requests", "request_id": ")" + id + "\"}");
    JsonObject empty_id{{"type", "q"}, {"request_id", ""}};
    const std::string replaced = client->send_and_wait_response(empty_id, record("b"));
    EXPECT_TRUE(std::regex_match(replaced, uuid4)) << "an empty id is replaced";
    EXPECT_NE(replaced, id);
    JsonObject own{{"type", "q"}, {"request_id", "my-id"}};
    EXPECT_EQ(client->send_and_wait_response(own, record("c")), "my-id");
    EXPECT_EQ(own.at("request_id"), Json("my-id"));
}

// Catches answers matched by the wrong type, missed, or delivered twice.
TEST_F(Requests, AnswersReachTheirCallbacks) {
    connect();
    const std::string typed = client->send_and_wait_response(
        JsonObject{{"type", "q1"}}, record("typed"), std::string("q1_response"));
    const std::string any =
        client->send_and_wait_response(JsonObject{{"type", "q2"}}, record("any"));
    answer(typed, "progress", R"(, "step": 1)");
    answer(any, "anything");
    answer(typed, "q1_response", R"(, "value": 7)");
    ASSERT_TRUE(wait_until([&] { return received.size() == 2; }));
    EXPECT_EQ(received[0].first, "any");
    EXPECT_EQ(received[0].second.at("type"), Json("anything"));
    EXPECT_EQ(received[1].first, "typed");
    EXPECT_EQ(received[1].second.at("value"), Json(7));
    EXPECT_EQ(
        logs.count(LogLevel::warning, "[WebSocketClient] No handler for message type: progress"),
        1u);
    EXPECT_EQ(client->pending_request_count(), 0u);
    EXPECT_FALSE(off_gui_thread);
}

// Catches a missing or malformed time-out object, a second delivery, or a late answer swallowed.
TEST_F(Requests, TimeOutDeliversTheTimeOutObjectOnce) {
    connect();
    const std::string id = client->send_and_wait_response(JsonObject{{"type", "slow"}}, record("t"),
                                                          std::string("slow_response"));
    const std::string half = client->send_and_wait_response(JsonObject{{"type", "slow"}},
                                                            record("h"), std::nullopt, 2.5);
    EXPECT_TRUE(received.empty()) << "never on the caller's stack";
    ASSERT_TRUE(wait_until([&] { return received.size() == 2; }));
    EXPECT_EQ(received[0].first, "h");
    EXPECT_EQ(boost::json::serialize(received[0].second),
              R"({"error":"timeout","request_id":")" + half +
                  R"(","message":"Request timed out after 2.5s"})");
    EXPECT_EQ(received[1].first, "t");
    EXPECT_EQ(boost::json::serialize(received[1].second),
              R"({"error":"timeout","request_id":")" + id +
                  R"(","message":"Request timed out after 30.0s"})");
    EXPECT_FALSE(off_gui_thread);
    answer(id, "slow_response");
    EXPECT_TRUE(logs.wait_for(LogLevel::warning,
                              "[WebSocketClient] No handler for message type: slow_response"));
    pump_events(20);
    EXPECT_EQ(received.size(), 2u);
    EXPECT_EQ(logs.count(LogLevel::info, "[WebSocketClient] Request"), 0u)
        << "nothing logged on a time-out";
}

// Catches a request while disconnected that is never resolved, or one that times out unstarted.
TEST_F(Requests, NotConnectedStillTimesOutOnlyWhenStarted) {
    const std::string unstarted =
        client->send_and_wait_response(JsonObject{{"type", "q"}}, record("u"), std::nullopt, 0.5);
    EXPECT_EQ(logs.count(LogLevel::warning, not_connected), 1u);
    EXPECT_FALSE(unstarted.empty());
    pump_events(50);  // ten times its scaled time-out
    EXPECT_TRUE(received.empty()) << "no time-out runs before start";
    EXPECT_EQ(client->pending_request_count(), 1u);

    server->refuse_handshakes(503);
    client->start();
    ASSERT_TRUE(logs.wait_for(LogLevel::info, "[WebSocketClient] Reconnecting in "));
    const std::string id =
        client->send_and_wait_response(JsonObject{{"type", "q"}}, record("s"), std::nullopt, 0.5);
    EXPECT_EQ(logs.count(LogLevel::warning, not_connected), 2u);
    // Once started, the earlier request times out too, measured from the loop's start.
    ASSERT_TRUE(wait_until([&] { return received.size() == 2; }));
    EXPECT_EQ(received[0].first, "u");
    EXPECT_EQ(received[0].second.at("request_id"), Json(unstarted));
    EXPECT_EQ(received[1].first, "s");
    EXPECT_EQ(received[1].second.at("request_id"), Json(id));
    EXPECT_EQ(received[1].second.at("error"), Json("timeout"));
    EXPECT_EQ(client->pending_request_count(), 0u);
}

// Catches a pending request id taken again: the first request keeps its callback and its
// time-out; the second is refused at once, unsent, with a warning.
TEST_F(Requests, TwoRequestsUnderOneId) {
    connect();
    client->send_and_wait_response(JsonObject{{"type", "q"}, {"request_id", "dup"}},
                                   record("first"), std::nullopt, 5.0);
    client->send_and_wait_response(JsonObject{{"type", "q"}, {"request_id", "dup"}},
                                   record("second"), std::nullopt, 3000.0);
    ASSERT_TRUE(wait_until([&] { return received.size() == 2; }));
    EXPECT_EQ(received[0].first, "second");
    EXPECT_EQ(boost::json::serialize(received[0].second),
              R"({"error":"duplicate_request_id","request_id":"dup",)"
              R"("message":"Request id dup is already pending"})");
    EXPECT_EQ(response_kind(received[0].second), ResponseKind::duplicate_id);
    EXPECT_EQ(logs.count(LogLevel::warning,
                         "[WebSocketClient] Request id already pending, request not sent: dup"),
              1u);
    EXPECT_EQ(received[1].first, "first");
    EXPECT_EQ(received[1].second.at("message"), Json("Request timed out after 5.0s"));
    EXPECT_EQ(server->frames().size(), 1u) << "the refused request is not sent";
    EXPECT_EQ(client->pending_request_count(), 0u);
    pump_events(20);
    EXPECT_EQ(received.size(), 2u);
}

// Catches the time-out of an ended request ending the next request of its id.
TEST_F(Requests, AnIdIsFreeAgainOnceItsRequestHasEnded) {
    connect();
    // 30 s scaled is 300 ms: room for the answer's round trip on a loaded sanitizer run.
    client->send_and_wait_response(JsonObject{{"type", "q"}, {"request_id", "r"}}, record("first"),
                                   std::nullopt, 30.0);
    ASSERT_TRUE(server->wait_for_frames(1));
    answer("r", "q_response");
    ASSERT_TRUE(wait_until([&] { return received.size() == 1; }));
    client->send_and_wait_response(JsonObject{{"type", "q"}, {"request_id", "r"}}, record("second"),
                                   std::nullopt, 3000.0);
    pump_events(600);  // twice the first one's scaled time-out
    EXPECT_EQ(received.size(), 1u);
    EXPECT_EQ(client->pending_request_count(), 1u);
    EXPECT_EQ(response_kind(received[0].second), ResponseKind::answer);
}

// Catches a callback run after its context was destroyed (a closed dialog's `this`; a use after
// free under ASan) or one dropped while its context lives.
TEST_F(Requests, ACallbackGoesWithItsContext) {
    connect();
    struct Dialog : QObject {
        int answers = 0;
    };
    auto* closed = new Dialog;
    Dialog open;
    int calls = 0;
    const std::string to_closed = client->send_and_wait_response(JsonObject{{"type", "q"}}, closed,
                                                                 [closed, &calls](JsonObject) {
                                                                     ++calls;
                                                                     ++closed->answers;
                                                                 });
    const std::string to_open = client->send_and_wait_response(JsonObject{{"type", "q"}}, &open,
                                                               [&open, &calls](JsonObject) {
                                                                   ++calls;
                                                                   ++open.answers;
                                                               });
    delete closed;  // before its answer
    ASSERT_TRUE(server->wait_for_frames(2));
    answer(to_closed, "q_response");
    answer(to_open, "q_response");
    ASSERT_TRUE(wait_until([&] { return open.answers == 1; }));
    pump_events(20);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(client->pending_request_count(), 0u) << "both requests ended";
}

// Catches a cancelled request whose callback still runs, a cancel that says it removed a request
// that had ended, and a callback run twice when a cancel from another thread races the answer.
TEST_F(Requests, ACancelledCallbackNeverRunsEvenWhenItRacesTheAnswer) {
    connect();
    const std::string unanswered =
        client->send_and_wait_response(JsonObject{{"type", "q"}}, record("u"), std::nullopt, 0.5);
    EXPECT_TRUE(client->cancel_request(unanswered));
    EXPECT_FALSE(client->cancel_request(unanswered)) << "once";
    pump_events(50);  // ten times its scaled time-out
    EXPECT_TRUE(received.empty());

    server->set_responder([](const std::string& frame) -> std::optional<std::string> {
        const auto id = boost::json::parse(frame).at("request_id");
        return R"({"type": "q_response", "request_id": )" + boost::json::serialize(id) + "}";
    });
    constexpr size_t n = 300;
    std::vector<std::string> ids(n);
    std::vector<int> calls(n, 0);
    std::vector<char> cancelled(n, 0);
    for (size_t i = 0; i < n; ++i)
        ids[i] = client->send_and_wait_response(
            JsonObject{{"type", "q"}}, [&calls, i](JsonObject) { ++calls[i]; },
            std::string("q_response"), 3000.0);
    std::thread canceller([&] {
        for (size_t i = 0; i < n; ++i) cancelled[i] = client->cancel_request(ids[i]);
    });
    canceller.join();
    ASSERT_TRUE(wait_until([&] { return client->pending_request_count() == 0; }));
    pump_events(20);
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(calls[i], cancelled[i] ? 0 : 1) << i;
}

// Catches a request that waits out its time-out while disconnected although the host chose to
// fail fast, and a send that reports as queued what it dropped (or the reverse).
TEST_F(Requests, FailFastEndsARequestMadeWhileDisconnectedAtOnce) {
    ClientOptions options;
    options.fail_requests_while_disconnected = true;
    client = std::make_unique<WebSocketClient>(host, "127.0.0.1", server->port(), options,
                                               ClientTestOptions{test_time_scale});
    EXPECT_FALSE(client->send_message(JsonObject{{"type", "x"}}));
    const std::string id = client->send_and_wait_response(JsonObject{{"type", "q"}}, record("f"),
                                                          std::nullopt, 3000.0);
    ASSERT_TRUE(wait_until([&] { return received.size() == 1; }));
    EXPECT_EQ(boost::json::serialize(received[0].second),
              R"({"error":"not_sent","request_id":")" + id +
                  R"(","message":"Request not sent: not connected"})");
    EXPECT_EQ(response_kind(received[0].second), ResponseKind::not_sent);
    EXPECT_EQ(client->pending_request_count(), 0u);
    connect();
    EXPECT_TRUE(client->send_text_message("queued"));
    client->send_and_wait_response(JsonObject{{"type", "q"}}, record("c"), std::nullopt, 3000.0);
    ASSERT_TRUE(server->wait_for_frames(2));
    EXPECT_EQ(client->pending_request_count(), 1u) << "connected: sent and pending as usual";
}

// Catches lost or doubled callbacks and entries left behind under load.
TEST_F(Requests, ThousandConcurrentRequestsResolveExactlyOnce) {
    connect();
    constexpr int n = 1000;
    std::vector<int> calls(n, 0);
    std::vector<std::string> outcome(n);
    std::vector<std::string> ids(n);
    for (int i = 0; i < n; ++i) {
        const bool answered = i % 2 == 0;
        ids[i] = client->send_and_wait_response(
            JsonObject{{"type", "q"}, {"seq", i}},
            [&, i](JsonObject data) {
                ++calls[i];
                outcome[i] = data.contains("error") ? "timeout" : "answer";
            },
            std::string("q_response"), answered ? 500.0 : 0.5);
    }
    ASSERT_TRUE(server->wait_for_frames(n, 30s));
    for (size_t k = 0; k < size_t(n); ++k) {
        const auto frame = boost::json::parse(server->frames()[k]).as_object();
        const int seq = int(frame.at("seq").as_int64());
        if (seq % 2 == 0) answer(ids[seq], "q_response");
    }
    ASSERT_TRUE(wait_until([&] { return client->pending_request_count() == 0; }, 30000));
    ASSERT_TRUE(wait_until(
        [&] { return std::all_of(calls.begin(), calls.end(), [](int c) { return c == 1; }); }));
    pump_events(20);
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(calls[i], 1) << i;
        ASSERT_EQ(outcome[i], i % 2 == 0 ? "answer" : "timeout") << i;
    }
}

// The events of a traffic log entry list as "event id connection", frames as "sent/received
// type id connection".
std::vector<std::string> described(const TrafficSnapshot& log) {
    std::vector<std::string> out;
    for (const auto& e : log.entries) {
        std::string line = e->kind == TrafficEntry::Kind::event
                               ? e->event
                               : (e->kind == TrafficEntry::Kind::sent ? "sent " : "received ") +
                                     e->type;
        if (!e->request_id.empty()) line += " " + e->request_id;
        line += " #" + std::to_string(e->connection);
        if (e->event == "answered") {
            EXPECT_TRUE(e->latency) << line;
        }
        out.push_back(line);
    }
    return out;
}

// Catches a request in the traffic log without its end (answer, time-out or cancel), an end
// without its request, frames on the wrong connection across a reconnect, and a log that
// records while off.
TEST_F(Requests, TrafficLogPairsEachRequestWithItsEnd) {
    connect();
    server->send_text(R"({"type": "unlogged"})");
    ASSERT_TRUE(logs.wait_for(LogLevel::warning, "[WebSocketClient] No handler"));
    EXPECT_TRUE(client->traffic_log().entries.empty()) << "off by default";
    client->set_traffic_log_enabled(true);
    EXPECT_TRUE(client->traffic_log_enabled());
    client->send_and_wait_response(JsonObject{{"type", "q"}, {"request_id", "a"}}, record("a"),
                                   std::string("q_response"), 3000.0);
    client->send_and_wait_response(JsonObject{{"type", "q"}, {"request_id", "t"}}, record("t"),
                                   std::nullopt, 5.0);
    client->send_and_wait_response(JsonObject{{"type", "q"}, {"request_id", "c"}}, record("c"),
                                   std::nullopt, 3000.0);
    ASSERT_TRUE(server->wait_for_frames(3));
    EXPECT_TRUE(client->cancel_request("c"));
    answer("a", "q_response");
    ASSERT_TRUE(wait_until([&] { return received.size() == 2; }));
    server->close(1000, "bye");
    ASSERT_TRUE(server->wait_for_connections(2));
    ASSERT_TRUE(wait_until([&] { return client->is_connected(); }));
    client->send_and_wait_response(JsonObject{{"type", "q"}, {"request_id", "b"}}, record("b"),
                                   std::nullopt, 3000.0);
    ASSERT_TRUE(server->wait_for_frames(4));
    answer("b", "q_response");
    ASSERT_TRUE(wait_until([&] { return received.size() == 3; }));
    // Each request's own entries, in order; the GUI thread's and the network thread's
    // entries of different requests may interleave.
    const std::vector<std::string> lines = described(client->traffic_log());
    std::map<std::string, std::vector<std::string>> by_id;
    for (const std::string& line : lines)
        for (const char* id : {" a ", " t ", " c ", " b "})
            if (line.find(id) != std::string::npos) by_id[std::string(id, 1, 1)].push_back(line);
    const std::map<std::string, std::vector<std::string>> expected{
        {"a", {"request_sent a #1", "sent q a #1", "received q_response a #1", "answered a #1"}},
        {"t", {"request_sent t #1", "sent q t #1", "timed_out t #1"}},
        {"c", {"request_sent c #1", "sent q c #1", "cancelled c #1"}},
        {"b", {"request_sent b #2", "sent q b #2", "received q_response b #2", "answered b #2"}}};
    EXPECT_EQ(by_id, expected) << testing::PrintToString(lines);
    const auto at = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) - lines.begin();
    };
    EXPECT_LT(at("answered a #1"), at("closed #1"));
    EXPECT_LT(at("closed #1"), at("reconnecting #1"));
    EXPECT_LT(at("reconnecting #1"), at("connected #2"));
    EXPECT_LT(at("connected #2"), at("request_sent b #2"));
}

}  // namespace
