// The JSON writer. Boost.JSON's own serializer writes reals as 2E0 and keeps raw UTF-8, which
// is not the wire form peers expect, so the client writes JSON text itself.
#include <quarvo_zovovi/ide/gui/core/json_text.h>

#include <charconv>
#include <cmath>

namespace quarvo_zovovi::ide::gui {
namespace {

constexpr char hex_digits[] = "0123456789abcdef";

void append_u_escape(std::string& out, unsigned code) {
    out += "\\u";
    out += hex_digits[(code >> 12) & 0xF];
    out += hex_digits[(code >> 8) & 0xF];
    out += hex_digits[(code >> 4) & 0xF];
    out += hex_digits[code & 0xF];
}

// Decodes one UTF-8 sequence at s[i]; returns the code point and advances i. An invalid or
// truncated sequence yields U+FFFD and consumes one byte.
unsigned decode_utf8(std::string_view s, size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    auto cont = [&](size_t k) -> int {
        if (i + k >= s.size()) return -1;
        const auto b = static_cast<unsigned char>(s[i + k]);
        return (b & 0xC0) == 0x80 ? int(b & 0x3F) : -1;
    };
    unsigned cp = 0;
    size_t len = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        cp = b0 & 0x1F, len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        cp = b0 & 0x0F, len = 3;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        cp = b0 & 0x07, len = 4;
    } else {
        ++i;
        return 0xFFFD;
    }
    for (size_t k = 1; k < len; ++k) {
        const int c = cont(k);
        if (c < 0) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | unsigned(c);
    }
    const bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
    if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return 0xFFFD;
    }
    i += len;
    return cp;
}

void append_string(std::string& out, std::string_view s, bool ascii_only) {
    out += '"';
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            // Copy the run of plain characters in one go.
            size_t j = i + 1;
            while (j < s.size()) {
                const auto d = static_cast<unsigned char>(s[j]);
                if (d < 0x20 || d >= 0x7F || d == '"' || d == '\\') break;
                ++j;
            }
            out.append(s, i, j - i);
            i = j;
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                ++i;
                continue;
            case '\\':
                out += "\\\\";
                ++i;
                continue;
            case '\n':
                out += "\\n";
                ++i;
                continue;
            case '\r':
                out += "\\r";
                ++i;
                continue;
            case '\t':
                out += "\\t";
                ++i;
                continue;
            case '\b':
                out += "\\b";
                ++i;
                continue;
            case '\f':
                out += "\\f";
                ++i;
                continue;
            default:
                break;
        }
        if (c < 0x20 || (c == 0x7F && ascii_only)) {
            append_u_escape(out, c);
            ++i;
        } else if (c == 0x7F) {
            out += char(c);
            ++i;
        } else if (ascii_only) {
            const unsigned cp = decode_utf8(s, i);
            if (cp >= 0x10000) {
                const unsigned v = cp - 0x10000;
                append_u_escape(out, 0xD800 + (v >> 10));
                append_u_escape(out, 0xDC00 + (v & 0x3FF));
            } else {
                append_u_escape(out, cp);
            }
        } else {
            const size_t start = i;
            decode_utf8(s, i);
            if (i == start + 1)
                out += "\xEF\xBF\xBD";  // an invalid byte: U+FFFD in its place
            else
                out.append(s, start, i - start);
        }
    }
    out += '"';
}

void append_object(std::string& out, const JsonObject& object, const JsonStyle& style) {
    out += '{';
    bool first = true;
    for (const auto& member : object) {
        if (!first) out += style.item_separator;
        first = false;
        append_string(out, member.key(), style.ascii_only);
        out += style.key_separator;
        append_json(out, member.value(), style);
    }
    out += '}';
}

}  // namespace

void append_json(std::string& out, const Json& v, const JsonStyle& style) {
    switch (v.kind()) {
        case boost::json::kind::null:
            out += "null";
            break;
        case boost::json::kind::bool_:
            out += v.get_bool() ? "true" : "false";
            break;
        case boost::json::kind::int64:
            out += std::to_string(v.get_int64());
            break;
        case boost::json::kind::uint64:
            out += std::to_string(v.get_uint64());
            break;
        case boost::json::kind::double_: {
            // JSON has no infinity or NaN; these are the words a Python peer reads back (a
            // parsed 1e400 is an infinity). Text forms elsewhere keep "inf" and "nan".
            const double x = v.get_double();
            if (std::isnan(x))
                out += "NaN";
            else if (std::isinf(x))
                out += x < 0 ? "-Infinity" : "Infinity";
            else
                append_real(out, x);
            break;
        }
        case boost::json::kind::string:
            append_string(out, v.get_string(), style.ascii_only);
            break;
        case boost::json::kind::array: {
            out += '[';
            bool first = true;
            for (const Json& item : v.get_array()) {
                if (!first) out += style.item_separator;
                first = false;
                append_json(out, item, style);
            }
            out += ']';
            break;
        }
        case boost::json::kind::object:
            append_object(out, v.get_object(), style);
            break;
    }
}

std::string to_json_text(const JsonObject& message) {
    std::string out;
    append_object(out, message, wire_style);
    return out;
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

}  // namespace quarvo_zovovi::ide::gui
