// Incoming numbers exact to the last digit through the pipeline and a real connection (the
// parser's own cases are in core/numbers_test.cpp).
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <random>

#include <quarvo_zovovi/ide/gui/core/json_text.h>
#include "client_fixture.h"

using namespace quarvo_test;

namespace {

class NumbersEndToEnd : public ClientTest {};

// Catches reals changed on their way to the host, through the pipeline and over a real
// connection: a forwarder receives them bit for bit.
TEST_F(NumbersEndToEnd, ForwardedRealsKeepTheirBits) {
    SetUpClient();
    connect();
    server->send_text(
        R"({"type": "completion_response", "items": [216.98694123313734, 90881.84001853247, NaN, -Infinity, 1180591620717411303424], "label": "\ud800"})");
    ASSERT_TRUE(wait_until([&] { return !host.log.named("_handle_completion_response").empty(); }));
    const JsonObject m = host.log.named("_handle_completion_response")[0].args[0].as_object();
    const JsonArray& items = m.at("items").as_array();
    EXPECT_EQ(std::bit_cast<uint64_t>(items[0].as_double()),
              std::bit_cast<uint64_t>(216.98694123313734));
    EXPECT_EQ(std::bit_cast<uint64_t>(items[1].as_double()),
              std::bit_cast<uint64_t>(90881.84001853247));
    EXPECT_TRUE(std::isnan(items[2].as_double()));
    EXPECT_EQ(items[3].as_double(), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(items[4].as_double(), std::ldexp(1.0, 70));
    EXPECT_EQ(m.at("label"), "\xEF\xBF\xBD");
    EXPECT_EQ(logs.count(LogLevel::error, "[WebSocketClient] Failed to parse message"), 0u);
}

}  // namespace
