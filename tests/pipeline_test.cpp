// The inbound pipeline: parsing, response matching, type dispatch and its error lines.
#include <QCoreApplication>
#include <QThread>
#include <thread>

#include "client_fixture.h"

using namespace quarvo_test;

namespace {

class Pipeline : public ClientTest {
  protected:
    void SetUp() override { SetUpClient(); }

    // Registers a request on the never-started client (no time-out runs) and records what
    // its callback receives.
    std::string request(std::optional<std::string> response_type, JsonObject message = {}) {
        if (message.empty()) message["type"] = "ask";
        return client->send_and_wait_response(
            message, [this](JsonObject data) { answers.push_back(std::move(data)); },
            std::move(response_type));
    }

    size_t warnings(std::string_view prefix) const { return logs.count(LogLevel::warning, prefix); }

    std::vector<JsonObject> answers;
};

struct BadFrame {
    const char* frame;
    LogLevel level;
    const char* text;  // the whole log text, or a prefix when it ends with ": "
    bool stack_trace;
};

// Catches a bad frame that escapes the pipeline, logs the wrong line, or logs twice.
TEST_F(Pipeline, BadFramesLogOneLineEach) {
    const BadFrame cases[] = {
        {"not json", LogLevel::error, "[WebSocketClient] Failed to parse message: ", false},
        {"{\"type\": \"x\"", LogLevel::error, "[WebSocketClient] Failed to parse message: ", false},
        {"[1, 2]", LogLevel::error, "[WebSocketClient] Error handling message: ", true},
        {"\"just text\"", LogLevel::error, "[WebSocketClient] Error handling message: ", true},
        {"42", LogLevel::error, "[WebSocketClient] Error handling message: ", true},
        {"{}", LogLevel::warning, "[WebSocketClient] No handler for message type: None", false},
        {"{\"type\": null}", LogLevel::warning,
         "[WebSocketClient] No handler for message type: None", false},
        {"{\"type\": \"no_such_type\"}", LogLevel::warning,
         "[WebSocketClient] No handler for message type: no_such_type", false},
        {"{\"type\": \"Stdout\"}", LogLevel::warning,
         "[WebSocketClient] No handler for message type: Stdout", false},
        {"{\"type\": \" stdout\"}", LogLevel::warning,
         "[WebSocketClient] No handler for message type:  stdout", false},
        {"{\"type\": 5}", LogLevel::warning, "[WebSocketClient] No handler for message type: 5",
         false},
        {"{\"type\": [\"a\"]}", LogLevel::error,
         "[WebSocketClient] Error handling message: ", true},
        {"{\"type\": \"x\", \"request_id\": {\"a\": 1}}", LogLevel::error,
         "[WebSocketClient] Error handling message: ", true},
    };
    for (const BadFrame& c : cases) {
        LogCapture one;
        detail::ClientAccess::_handle_message(*client, c.frame);
        const auto records = one.records();
        ASSERT_EQ(records.size(), 1u) << c.frame << "\n" << one.dump();
        EXPECT_EQ(records[0].level, c.level) << c.frame;
        const std::string_view expected(c.text);
        if (expected.ends_with(": "))
            EXPECT_TRUE(records[0].text.starts_with(expected) &&
                        records[0].text.size() > expected.size())
                << c.frame << " -> " << records[0].text;
        else
            EXPECT_EQ(records[0].text, expected) << c.frame;
        EXPECT_EQ(!records[0].stack_trace.empty(), c.stack_trace) << c.frame;
    }
}

// Catches a response that goes to type dispatch although its request awaits it.
TEST_F(Pipeline, ResponseOfTheAwaitedTypeGoesToTheCallbackOnly) {
    const std::string id = request("pong");
    EXPECT_EQ(client->pending_request_count(), 1u);
    detail::ClientAccess::_handle_message(
        *client, R"({"type": "pong", "request_id": ")" + id + R"(", "v": 1})");
    ASSERT_TRUE(wait_until([&] { return answers.size() == 1; }));
    EXPECT_EQ(answers[0].at("v"), Json(1));
    EXPECT_EQ(answers[0].at("type"), Json("pong")) << "the callback gets the whole message";
    EXPECT_EQ(warnings("[WebSocketClient] No handler for message type: "), 0u);
    EXPECT_EQ(client->pending_request_count(), 0u);

    // The finished request's id is now an ordinary message.
    detail::ClientAccess::_handle_message(*client,
                                          R"({"type": "pong", "request_id": ")" + id + R"("})");
    EXPECT_EQ(warnings("[WebSocketClient] No handler for message type: pong"), 1u);
    pump_events(20);
    EXPECT_EQ(answers.size(), 1u) << "a callback runs at most once";
}

// Catches an any-type request rejecting a response, or answering a second message.
TEST_F(Pipeline, AnyTypeRequestTakesTheFirstMessageWithItsId) {
    const std::string id = request(std::nullopt);
    const std::string empty_type_id = request(std::string());
    detail::ClientAccess::_handle_message(*client,
                                          R"({"type": "whatever", "request_id": ")" + id + R"("})");
    detail::ClientAccess::_handle_message(*client, R"({"request_id": ")" + empty_type_id + R"("})");
    ASSERT_TRUE(wait_until([&] { return answers.size() == 2; }));
    EXPECT_EQ(answers[0].at("type"), Json("whatever"));
    EXPECT_FALSE(answers[1].contains("type"));
    EXPECT_EQ(warnings("[WebSocketClient] No handler for message type: "), 0u);
}

// Catches a mismatched response consuming the request, or being swallowed.
TEST_F(Pipeline, WrongTypeStaysPendingAndIsDispatchedByType) {
    const std::string id = request("answer");
    detail::ClientAccess::_handle_message(*client,
                                          R"({"type": "progress", "request_id": ")" + id + R"("})");
    detail::ClientAccess::_handle_message(*client, R"({"request_id": ")" + id + R"("})");
    EXPECT_EQ(warnings("[WebSocketClient] No handler for message type: progress"), 1u);
    EXPECT_EQ(warnings("[WebSocketClient] No handler for message type: None"), 1u);
    EXPECT_EQ(client->pending_request_count(), 1u);
    pump_events(20);
    EXPECT_TRUE(answers.empty());
    detail::ClientAccess::_handle_message(*client,
                                          R"({"type": "answer", "request_id": ")" + id + R"("})");
    ASSERT_TRUE(wait_until([&] { return answers.size() == 1; }));
    EXPECT_EQ(answers[0].at("type"), Json("answer"));
}

// Catches a falsy request_id (empty, null, 0) being looked up as an id.
TEST_F(Pipeline, UnsetRequestIdIsAnOrdinaryMessage) {
    JsonObject message{{"type", "ask"}, {"request_id", "0"}};
    request(std::nullopt, message);  // registers under the text "0"
    for (const char* frame :
         {R"({"type": "t", "request_id": ""})", R"({"type": "t", "request_id": null})",
          R"({"type": "t", "request_id": 0})"})
        detail::ClientAccess::_handle_message(*client, frame);
    EXPECT_EQ(warnings("[WebSocketClient] No handler for message type: t"), 3u);
    EXPECT_EQ(client->pending_request_count(), 1u);
}

// Catches callbacks run on the network thread, or frames reordered on the way to the GUI.
TEST_F(Pipeline, BackToBackFramesReachTheGuiThreadInOrder) {
    connect();
    std::vector<std::string> order;
    bool off_thread = false;
    std::vector<std::string> ids;
    for (int i = 0; i < 50; ++i) {
        ids.push_back(client->send_and_wait_response(
            JsonObject{{"type", "ask"}},
            [&, i](JsonObject data) {
                off_thread |= QThread::currentThread() != QCoreApplication::instance()->thread();
                order.push_back(std::to_string(i) + ":" + std::string(data.at("type").as_string()));
            },
            std::nullopt, 30.0));
    }
    for (int i = 0; i < 50; ++i)
        server->send_text(R"({"type": "r)" + std::to_string(i) + R"(", "request_id": ")" + ids[i] +
                          R"("})");
    ASSERT_TRUE(wait_until([&] { return order.size() == 50; }));
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], std::to_string(i) + ":r" + std::to_string(i));
    EXPECT_FALSE(off_thread);
}

}  // namespace

namespace {

// Catches the pipeline run on a caller's thread while the network thread runs it too (a data
// race on the parser and the hand-off, which ThreadSanitizer reports): on a started client a
// frame handed in goes to the network thread, and every frame, handed in or read, is handled.
TEST_F(Pipeline, FramesHandedInWhileConnectedRunOnTheNetworkThread) {
    connect();
    const size_t before = count_calls("log_to_console");
    std::thread caller([&] {
        for (int i = 0; i < 200; ++i)
            detail::ClientAccess::_handle_message(*client,
                                                  R"({"type": "stdout", "content": "in"})");
    });
    for (int i = 0; i < 200; ++i) server->send_text(R"({"type": "stdout", "content": "wire"})");
    caller.join();
    EXPECT_TRUE(wait_until([&] { return count_calls("log_to_console") == before + 400; }))
        << count_calls("log_to_console") - before;
}

}  // namespace
