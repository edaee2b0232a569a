// The outbound wire form, byte for byte: peers parse these frames, and tests of peers compare them.
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <cstdint>
#include <limits>

#include <quarvo_zovovi/ide/gui/core/json_text.h>

using namespace quarvo_zovovi::ide::gui;

namespace {

struct WireCase {
    const char* name;
    JsonObject message;
    const char* expected;
};

// Catches any byte of difference from the wire form: separators, number forms, escapes, order.
TEST(JsonText, WritesTheExactWireForm) {
    const WireCase cases[] = {
        {"empty", JsonObject{}, "{}"},
        {"member order kept", JsonObject{{"z", 1}, {"a", 2}, {"m", 3}},
         R"({"z": 1, "a": 2, "m": 3})"},
        {"scalars",
         JsonObject{{"t", true}, {"f", false}, {"n", nullptr}, {"i", -42}, {"s", "text"}},
         R"({"t": true, "f": false, "n": null, "i": -42, "s": "text"})"},
        {"integers",
         JsonObject{{"max", std::numeric_limits<int64_t>::max()},
                    {"umax", std::numeric_limits<uint64_t>::max()}},
         R"({"max": 9223372036854775807, "umax": 18446744073709551615})"},
        {"reals",
         JsonObject{{"a", 1.0}, {"b", 2.5}, {"c", 1e-05}, {"d", 1e16}, {"e", 0.1}, {"f", -0.0}},
         R"({"a": 1.0, "b": 2.5, "c": 1e-05, "d": 1e+16, "e": 0.1, "f": -0.0})"},
        {"nesting",
         JsonObject{{"a", JsonArray{1, JsonArray{2, JsonObject{}}, JsonObject{{"b", JsonArray{}}}}},
                    {"c", JsonObject{}}},
         R"({"a": [1, [2, {}], {"b": []}], "c": {}})"},
        {"short escapes", JsonObject{{"s", "q\"b\\n\nr\rt\tb\bf\f/"}},
         R"({"s": "q\"b\\n\nr\rt\tb\bf\f/"})"},
        {"control characters and DEL", JsonObject{{"s", std::string("\x01\x1f\x7f\0", 4)}},
         R"({"s": "\u0001\u001f\u007f\u0000"})"},
        {"non-ASCII, lower-case hex", JsonObject{{"s", "caf\xC3\xA9 \xE2\x82\xAC \xEF\xBF\xBF"}},
         R"({"s": "caf\u00e9 \u20ac \uffff"})"},
        {"surrogate pairs", JsonObject{{"s", "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"}},
         R"({"s": "\ud83d\ude00\udbff\udfff"})"},
        {"keys escaped too", JsonObject{{"k\xC3\xA9y\n", "v"}}, R"({"k\u00e9y\n": "v"})"},
        {"invalid UTF-8 replaced",
         JsonObject{{"s",
                     "a\xFF"
                     "b\xC3"}},
         R"({"s": "a\ufffdb\ufffd"})"},
    };
    for (const WireCase& c : cases) EXPECT_EQ(to_json_text(c.message), c.expected) << c.name;
}

// Catches a wire form that another JSON parser reads back differently.
TEST(JsonText, ReadsBackAsTheSameValue) {
    const char* samples[] = {
        R"({"type": "x", "list": [1, 2.25, "\u00e9\ud83d\ude00", null, {"deep": [[[]]]}], "n": -0.5})",
        R"({"big": 1.7976931348623157e308, "tiny": 5e-324, "u": 18446744073709551615})",
    };
    for (const char* text : samples) {
        const Json original = boost::json::parse(text);
        EXPECT_EQ(boost::json::parse(to_json_text(original.as_object())), original) << text;
    }
}

// Catches "inf", which no JSON reader takes: a parsed 1e400 is an infinity on its way out.
TEST(JsonText, NonFiniteRealsUseThePeersWords) {
    const JsonObject m{{"a", boost::json::parse("1e400")},
                       {"b", -std::numeric_limits<double>::infinity()},
                       {"c", std::numeric_limits<double>::quiet_NaN()}};
    EXPECT_EQ(to_json_text(m), R"({"a": Infinity, "b": -Infinity, "c": NaN})");
}

}  // namespace
