// Value helpers shared by the pipeline and every handler.
#include <quarvo_zovovi/ide/gui/core/value.h>

#include <charconv>
#include <cmath>
#include <cstdio>

#include <quarvo_zovovi/ide/gui/core/json_text.h>

namespace quarvo_zovovi::ide::gui {

bool is_set(const Json* v) {
    if (!v) return false;
    switch (v->kind()) {
        case boost::json::kind::null:
            return false;
        case boost::json::kind::bool_:
            return v->get_bool();
        case boost::json::kind::int64:
            return v->get_int64() != 0;
        case boost::json::kind::uint64:
            return v->get_uint64() != 0;
        case boost::json::kind::double_:
            return v->get_double() != 0.0;
        case boost::json::kind::string:
            return !v->get_string().empty();
        case boost::json::kind::array:
            return !v->get_array().empty();
        case boost::json::kind::object:
            return !v->get_object().empty();
    }
    return false;
}

bool is_non_empty(const Json* v) {
    return v && !v->is_null() && !(v->is_string() && v->get_string().empty());
}

const Json& get(const JsonObject& object, std::string_view key, const Json& fallback) {
    const Json* v = object.if_contains(key);
    return v ? *v : fallback;
}

const Json& get(const JsonObject& object, std::string_view key) {
    static const Json null_value;
    return get(object, key, null_value);
}

void append_real(std::string& out, double x) {
    if (std::isnan(x)) {
        out += "nan";
        return;
    }
    if (std::isinf(x)) {
        out += x < 0 ? "-inf" : "inf";
        return;
    }
    // Shortest round-trip digits and exponent, then laid out the way the texts need them.
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    std::string_view sci(buf, size_t(res.ptr - buf));
    bool negative = false;
    if (!sci.empty() && sci.front() == '-') {
        negative = true;
        sci.remove_prefix(1);
    }
    const size_t e_pos = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e_pos))
        if (c != '.') digits += c;
    int exponent = 0;
    std::string_view exp_text = sci.substr(e_pos + 1);
    if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
    std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);

    if (negative) out += '-';
    if (exponent >= -4 && exponent < 16) {
        if (exponent >= 0) {
            const size_t int_len = size_t(exponent) + 1;
            if (digits.size() <= int_len) {
                out += digits;
                out.append(int_len - digits.size(), '0');
                out += ".0";
            } else {
                out.append(digits, 0, int_len);
                out += '.';
                out.append(digits, int_len);
            }
        } else {
            out += "0.";
            out.append(size_t(-exponent - 1), '0');
            out += digits;
        }
    } else {
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += exponent < 0 ? "e-" : "e+";
        const int mag = exponent < 0 ? -exponent : exponent;
        if (mag < 10) out += '0';
        out += std::to_string(mag);
    }
}

std::string format_real(double x) {
    std::string out;
    append_real(out, x);
    return out;
}

std::string format_fixed(double x, int decimals) {
    char buf[512];
    const int n = std::snprintf(buf, sizeof buf, "%.*f", decimals, x);
    return std::string(buf, n > 0 ? size_t(n) : 0);
}

void append_text_form(std::string& out, const Json& v) {
    switch (v.kind()) {
        case boost::json::kind::null:
            out += "None";
            break;
        case boost::json::kind::bool_:
            out += v.get_bool() ? "True" : "False";
            break;
        case boost::json::kind::int64:
            out += std::to_string(v.get_int64());
            break;
        case boost::json::kind::uint64:
            out += std::to_string(v.get_uint64());
            break;
        case boost::json::kind::double_:
            append_real(out, v.get_double());
            break;
        case boost::json::kind::string:
            out += v.get_string();
            break;
        case boost::json::kind::array:
        case boost::json::kind::object:
            append_json(out, v, compact_style);
            break;
    }
}

std::string text_form(const Json& v) {
    std::string out;
    append_text_form(out, v);
    return out;
}

}  // namespace quarvo_zovovi::ide::gui
