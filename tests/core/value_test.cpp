// The value helpers decide every console and log text: set values, defaults, text forms.
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <cmath>
#include <limits>

#include <quarvo_zovovi/ide/gui/core/value.h>

using namespace quarvo_zovovi::ide::gui;

namespace {

Json parse(std::string_view text) {
    return boost::json::parse(text);
}

struct SetCase {
    const char* json;
    bool set;
};

// Catches a falsy value treated as set (or the reverse), e.g. 0.0, "" or {} gating a handler.
TEST(ValueIsSet, FollowsTheTruthRules) {
    const SetCase cases[] = {
        {"null", false},
        {"false", false},
        {"true", true},
        {"0", false},
        {"0.0", false},
        {"-0.0", false},
        {"1", true},
        {"-1", true},
        {"0.5", true},
        {"\"\"", false},
        {"\"0\"", true},
        {"\" \"", true},
        {"[]", false},
        {"[0]", true},
        {"{}", false},
        {"{\"a\":null}", true},
        {"18446744073709551615", true},
    };
    for (const SetCase& c : cases) EXPECT_EQ(is_set(parse(c.json)), c.set) << c.json;
    EXPECT_FALSE(is_set(nullptr)) << "an absent value is not set";
}

// Catches a default that replaces a present null, which would turn "None" into the default.
TEST(ValueGet, DefaultReplacesOnlyAnAbsentKey) {
    const JsonObject o = parse(R"({"a": null, "b": 0, "c": "x"})").as_object();
    static const Json fallback = "dflt";
    EXPECT_TRUE(get(o, "a", fallback).is_null());
    EXPECT_EQ(get(o, "b", fallback), Json(0));
    EXPECT_EQ(get(o, "c", fallback), Json("x"));
    EXPECT_EQ(get(o, "missing", fallback), Json("dflt"));
    EXPECT_TRUE(get(o, "missing").is_null());
    EXPECT_EQ(find(o, "missing"), nullptr);
    EXPECT_NE(find(o, "a"), nullptr);
}

struct TextCase {
    const char* json;
    const char* text;
};

// Catches texts that differ from what the user is meant to read: "30" for 30.0, "null" for None.
TEST(ValueTextForm, WritesEveryKindAsTheTextsNeed) {
    const TextCase cases[] = {
        {"\"plain text\"", "plain text"},
        {"\"\"", ""},
        {"\"caf\\u00e9\"", "caf\xC3\xA9"},
        {"null", "None"},
        {"true", "True"},
        {"false", "False"},
        {"0", "0"},
        {"-17", "-17"},
        {"9223372036854775807", "9223372036854775807"},
        {"18446744073709551615", "18446744073709551615"},
        {"30.0", "30.0"},
        {"2.5", "2.5"},
        {"0.1", "0.1"},
        {"-0.0", "-0.0"},
        {"100.0", "100.0"},
        {"123456.789", "123456.789"},
        {"0.0001", "0.0001"},
        {"0.00001", "1e-05"},
        {"0.000015", "1.5e-05"},
        {"1e16", "1e+16"},
        {"1.5e16", "1.5e+16"},
        {"9999999999999998.0", "9999999999999998.0"},
        {"1e100", "1e+100"},
        {"1e-300", "1e-300"},
        {"0.30000000000000004", "0.30000000000000004"},
        {"[1, \"a\", null, 2.0]", "[1,\"a\",null,2.0]"},
        {"{\"k\": [true, {}], \"n\": 1e-05}", "{\"k\":[true,{}],\"n\":1e-05}"},
        {"[\"caf\\u00e9\", \"\\n\"]", "[\"caf\xC3\xA9\",\"\\n\"]"},
    };
    for (const TextCase& c : cases) EXPECT_EQ(text_form(parse(c.json)), c.text) << c.json;
}

// Catches a real that does not read back as itself (lost digits) in the shortest form.
TEST(ValueTextForm, RealsRoundTrip) {
    const double samples[] = {1.0 / 3, 2.0 / 3,   1e-7,
                              123.456, 5e-324,    1.7976931348623157e308,
                              4.35,    0.1 + 0.2, 1234567890123456.7};
    for (double x : samples) {
        const std::string text = format_real(x);
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), x) << text;
    }
    EXPECT_EQ(format_real(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(format_real(-std::numeric_limits<double>::infinity()), "-inf");
    EXPECT_EQ(format_real(std::nan("")), "nan");
}

// Catches status texts that print "30.0" where a whole number is shown, or round 2.5 up.
TEST(ValueFormatFixed, RoundsHalfToEven) {
    EXPECT_EQ(format_fixed(30.0, 1), "30.0");
    EXPECT_EQ(format_fixed(1.0, 1), "1.0");
    EXPECT_EQ(format_fixed(30.0, 0), "30");
    EXPECT_EQ(format_fixed(16.0, 0), "16");
    EXPECT_EQ(format_fixed(2.5, 0), "2");
    EXPECT_EQ(format_fixed(3.5, 0), "4");
    EXPECT_EQ(format_fixed(0.25, 1), "0.2");
}

}  // namespace
