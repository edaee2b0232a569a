// Incoming numbers exact to the last digit: reals correctly rounded, the non-finite words a
// Python peer writes, lone surrogate escapes, integers beyond 64 bits, through the parser.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>

#include <quarvo_zovovi/ide/gui/core/json_parse.h>
#include <quarvo_zovovi/ide/gui/core/json_text.h>

using namespace quarvo_zovovi::ide::gui;
using quarvo_zovovi::ide::gui::detail::MessageParser;

namespace {

Json parse_ok(MessageParser& parser, std::string_view text) {
    boost::system::error_code ec;
    Json v = parser.parse(text, ec);
    EXPECT_FALSE(ec) << text << ": " << ec.message();
    return v;
}

// Catches a real that arrives one to three units in the last place off: a million random
// doubles, written shortest and with 17 digits, must read back as the very same bits.
TEST(Numbers, EveryDoubleReadsBackExactly) {
    MessageParser parser;
    std::mt19937_64 random(20261209);
    size_t checked = 0, wrong = 0;
    std::string first_wrong;
    char text[64];
    while (checked < 1000000) {
        const double x = std::bit_cast<double>(random());
        if (!std::isfinite(x)) continue;
        for (int form = 0; form < 2; ++form) {
            std::string json = "[";
            if (form == 0)
                json.append(text, std::to_chars(text, text + sizeof text, x).ptr);
            else
                json.append(text, size_t(std::snprintf(text, sizeof text, "%.17g", x)));
            json += "]";
            const Json v = parse_ok(parser, json);
            // strtod: libc++ 14 has no std::from_chars for reals (the C locale here).
            const double expected = std::strtod(json.c_str() + 1, nullptr);
            const Json& got = v.as_array().at(0);
            const double d = got.is_double() ? got.get_double() : got.to_number<double>();
            if (std::bit_cast<uint64_t>(d) != std::bit_cast<uint64_t>(expected) ||
                std::bit_cast<uint64_t>(d) != std::bit_cast<uint64_t>(x)) {
                if (wrong++ == 0) first_wrong = json;
            }
        }
        ++checked;
    }
    EXPECT_EQ(wrong, 0u) << "first: " << first_wrong;
}

// Catches the two reals the Business Layer stand-in showed wrong, and integer edges.
TEST(Numbers, KnownValues) {
    MessageParser parser;
    struct Row {
        const char* text;
        double value;
    } rows[] = {
        {"216.98694123313734", 216.98694123313734},
        {"90881.84001853247", 90881.84001853247},
        {"1e-320", 1e-320},
        {"2.2250738585072014e-308", 2.2250738585072014e-308},
        {"1180591620717411303424", std::ldexp(1.0, 70)},  // 2^70: beyond 64 bits, nearest real
        {"-0.0", -0.0},
        {"1e400", std::numeric_limits<double>::infinity()},  // out of range: infinity
    };
    for (const Row& row : rows) {
        const Json v = parse_ok(parser, std::string("[") + row.text + "]");
        const Json& got = v.as_array().at(0);
        ASSERT_TRUE(got.is_double()) << row.text;
        EXPECT_EQ(std::bit_cast<uint64_t>(got.get_double()), std::bit_cast<uint64_t>(row.value))
            << row.text;
    }
    const Json ints =
        parse_ok(parser, "[9223372036854775807, 18446744073709551615, -9223372036854775808]");
    EXPECT_TRUE(ints.as_array()[0].is_int64());
    EXPECT_TRUE(ints.as_array()[1].is_uint64());
    EXPECT_EQ(ints.as_array()[2].as_int64(), std::numeric_limits<int64_t>::min());
}

// Catches a whole message dropped for a word a Python peer writes for non-finite reals, a word
// given to the wrong number, and words inside strings taken for numbers.
TEST(Numbers, NonFiniteWords) {
    MessageParser parser;
    const Json v = parse_ok(
        parser,
        R"({"a": 1, "b": NaN, "c": [2.5, -Infinity, 3], "d": "NaN Infinity", "e": Infinity, "f": -1e3})");
    const JsonObject& o = v.as_object();
    EXPECT_EQ(o.at("a"), 1);
    EXPECT_TRUE(std::isnan(o.at("b").as_double()));
    EXPECT_EQ(o.at("c"), (JsonArray{2.5, -std::numeric_limits<double>::infinity(), 3}));
    EXPECT_EQ(o.at("d"), "NaN Infinity");
    EXPECT_EQ(o.at("e").as_double(), std::numeric_limits<double>::infinity());
    EXPECT_EQ(o.at("f").as_double(), -1000.0);
    // What the client itself writes outbound reads back.
    const std::string written = to_json_text(JsonObject{
        {"x", std::numeric_limits<double>::infinity()}, {"y", std::nan("")}, {"z", 0.1}});
    const JsonObject back = parse_ok(parser, written).as_object();
    EXPECT_EQ(back.at("x").as_double(), std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(back.at("y").as_double()));
    EXPECT_EQ(back.at("z").as_double(), 0.1);
    // Still an error: not JSON with or without the words.
    boost::system::error_code ec;
    parser.parse(R"({"a": NaNa})", ec);
    EXPECT_TRUE(ec);
}

// Catches a message dropped for a lone surrogate escape, and a real pair broken apart.
TEST(Numbers, LoneSurrogatesBecomeReplacementCharacters) {
    MessageParser parser;
    const Json v = parse_ok(
        parser, R"({"s": "a\ud800b", "t": "\udc00", "u": "\ud83d\ude00", "k\udbff": "\\ud800"})");
    const JsonObject& o = v.as_object();
    EXPECT_EQ(o.at("s"),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(o.at("t"), "\xEF\xBF\xBD");
    EXPECT_EQ(o.at("u"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(o.at("k\xEF\xBF\xBD"), "\\ud800") << "an escaped backslash is not an escape";
}

}  // namespace
