#include <boost/json/parse.hpp>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <quarvo_zovovi/ide/gui/core/value.h>
#include "fuzz_targets.h"

namespace quarvo_fuzz {

using namespace quarvo_zovovi::ide::gui;

int value_helpers(const uint8_t* data, size_t size) {
    // Any 8 bytes as a double: the shortest form reads back as the same number.
    if (size >= 8) {
        double x;
        std::memcpy(&x, data, 8);
        const std::string text = format_real(x);
        if (std::isfinite(x)) {
            double back = 0;
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
            if (ec != std::errc() || end != text.data() + text.size() || back != x) std::abort();
            if (text.find_first_of(".e") == std::string::npos) std::abort();  // reads as a real
        }
        const std::string fixed = format_fixed(x, int(data[0] % 8));
        if (fixed.empty()) std::abort();
    }
    boost::json::parse_options options;
    options.max_depth = 256;
    boost::system::error_code ec;
    const Json value = boost::json::parse(
        boost::json::string_view(reinterpret_cast<const char*>(data), size), ec, {}, options);
    if (ec) return 0;
    const std::string text = text_form(value);
    if (value.is_string() && text != value.get_string()) std::abort();
    if (is_set(value) && (value.is_null() || text.empty())) std::abort();
    if (is_non_empty(value) !=
        !(value.is_null() || (value.is_string() && value.get_string().empty())))
        std::abort();
    if (const auto* o = value.if_object()) {
        for (const auto& member : *o) {
            if (find(*o, member.key()) == nullptr) std::abort();
            (void)text_form(get(*o, member.key()));
        }
        if (!o->contains("\x01"
                         "absent") &&
            !get(*o,
                 "\x01"
                 "absent")
                 .is_null())
            std::abort();
    }
    return 0;
}

}  // namespace quarvo_fuzz
