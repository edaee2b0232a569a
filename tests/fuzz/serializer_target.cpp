#include <algorithm>
#include <boost/json/parse.hpp>
#include <cmath>
#include <cstdlib>

#include <quarvo_zovovi/ide/gui/core/json_text.h>
#include "fuzz_targets.h"

namespace quarvo_fuzz {

namespace {

using namespace quarvo_zovovi::ide::gui;

// Infinity and NaN are written as the peer's words, which a strict JSON parser refuses; such
// values are checked for their words instead of a round trip.
bool finite_throughout(const Json& v) {
    if (v.is_double()) return std::isfinite(v.get_double());
    if (const auto* a = v.if_array()) {
        for (const Json& item : *a)
            if (!finite_throughout(item)) return false;
    } else if (const auto* o = v.if_object()) {
        for (const auto& member : *o)
            if (!finite_throughout(member.value())) return false;
    }
    return true;
}

// Equal, except that reals need only agree to 12 digits: Boost.JSON 1.81 reads some reals a few
// units in the last place off (seen: -9.223368547758379e-48). That the writer's real text
// reads back exactly is the value target's check, with std::from_chars.
bool same(const Json& a, const Json& b) {
    if (a.is_double() && b.is_double()) {
        const double x = a.get_double(), y = b.get_double();
        return x == y || std::fabs(x - y) <= 1e-12 * std::max(std::fabs(x), std::fabs(y));
    }
    if (a.kind() != b.kind()) return false;
    if (const auto* l = a.if_array()) {
        const auto& r = b.get_array();
        if (l->size() != r.size()) return false;
        for (size_t i = 0; i < l->size(); ++i)
            if (!same((*l)[i], r[i])) return false;
        return true;
    }
    if (const auto* l = a.if_object()) {
        const auto& r = b.get_object();
        if (l->size() != r.size()) return false;
        // Member order is part of the wire form.
        for (auto i = l->begin(), j = r.begin(); i != l->end(); ++i, ++j)
            if (i->key() != j->key() || !same(i->value(), j->value())) return false;
        return true;
    }
    return a == b;
}

}  // namespace

int serializer_round_trip(const uint8_t* data, size_t size) {
    boost::json::parse_options options;
    options.max_depth = 256;
    boost::system::error_code ec;
    const Json value = boost::json::parse(
        boost::json::string_view(reinterpret_cast<const char*>(data), size), ec, {}, options);
    if (ec || !value.is_object()) return 0;
    const std::string text = to_json_text(value.get_object());
    // The wire form is ASCII only and has no line break: one frame, one line.
    for (unsigned char c : text)
        if (c >= 0x80 || c == '\n') std::abort();
    if (!finite_throughout(value)) {
        if (text.find("Infinity") == std::string::npos && text.find("NaN") == std::string::npos)
            std::abort();
        return 0;
    }
    const Json back = boost::json::parse(text, ec, {}, options);
    if (ec || !same(back, value)) std::abort();
    return 0;
}

}  // namespace quarvo_fuzz
