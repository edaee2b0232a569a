// The frame parser: Boost.JSON's tokenizer with a value-building handler of our own, and a
// second pass for the texts the tokenizer refuses that a Python peer writes.
#include <quarvo_zovovi/ide/gui/core/json_parse.h>
#include <quarvo_zovovi/ide/gui/core/message_memory.h>
#include <quarvo_zovovi/ide/gui/core/platform.h>

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/value_stack.hpp>
#include <charconv>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace quarvo_zovovi::ide::gui::detail {
namespace {

using boost::json::string_view;
using error_code = boost::system::error_code;

// Builds the value as Boost.JSON's own parser does, but converts each real from its text.
struct Handler {
    static constexpr std::size_t max_object_size = boost::json::object::max_size();
    static constexpr std::size_t max_array_size = boost::json::array::max_size();
    static constexpr std::size_t max_key_size = boost::json::string::max_size();
    static constexpr std::size_t max_string_size = boost::json::string::max_size();

    explicit Handler(boost::json::storage_ptr sp) : st(std::move(sp)) {}

    boost::json::value_stack st;
    std::string number;  // the parts of a number split across writes
    // Numbers (by their place among all numbers of the text) that stand for a non-finite real.
    std::vector<std::pair<std::size_t, double>> specials;
    std::size_t next_special = 0;
    std::size_t numbers = 0;

    // True when the current number stands for a non-finite real, which has then been pushed.
    bool special() {
        const std::size_t at = numbers++;
        if (next_special == specials.size() || specials[next_special].first != at) return false;
        st.push_double(specials[next_special++].second);
        return true;
    }

    bool on_document_begin(error_code&) { return true; }
    bool on_document_end(error_code&) { return true; }
    bool on_object_begin(error_code&) { return true; }
    bool on_object_end(std::size_t n, error_code&) {
        st.push_object(n);
        return true;
    }
    bool on_array_begin(error_code&) { return true; }
    bool on_array_end(std::size_t n, error_code&) {
        st.push_array(n);
        return true;
    }
    bool on_key_part(string_view s, std::size_t, error_code&) {
        st.push_chars(s);
        return true;
    }
    bool on_key(string_view s, std::size_t, error_code&) {
        st.push_key(s);
        return true;
    }
    bool on_string_part(string_view s, std::size_t, error_code&) {
        st.push_chars(s);
        return true;
    }
    bool on_string(string_view s, std::size_t, error_code&) {
        st.push_string(s);
        return true;
    }
    bool on_number_part(string_view s, error_code&) {
        number.append(s.data(), s.size());
        return true;
    }
    bool on_int64(std::int64_t i, string_view, error_code&) {
        number.clear();
        if (!special()) st.push_int64(i);
        return true;
    }
    bool on_uint64(std::uint64_t u, string_view, error_code&) {
        number.clear();
        if (!special()) st.push_uint64(u);
        return true;
    }
    bool on_double(double d, string_view s, error_code&) {
        if (!special()) {
            // Correctly rounded from the number's own text. Out of range (1e400) keeps the
            // tokenizer's infinity or zero.
            std::string_view text(s.data(), s.size());
            if (!number.empty()) {
                number.append(s.data(), s.size());
                text = number;
            }
            double exact = 0;
            st.push_double(
                platform::read_double(text.data(), text.data() + text.size(), exact) ? exact : d);
        }
        number.clear();
        return true;
    }
    bool on_bool(bool b, error_code&) {
        st.push_bool(b);
        return true;
    }
    bool on_null(error_code&) {
        st.push_null();
        return true;
    }
    bool on_comment_part(string_view, error_code&) { return true; }
    bool on_comment(string_view, error_code&) { return true; }
};

bool hex4(std::string_view s, unsigned& value) {
    if (s.size() < 4) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) {
        const char c = s[size_t(i)];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = unsigned(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = unsigned(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = unsigned(c - 'A' + 10);
        else
            return false;
        value = value * 16 + digit;
    }
    return true;
}

bool is_number_char(char c) {
    return (c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-';
}

// The text with what the tokenizer refuses mended: NaN, Infinity and -Infinity become "0",
// noted in `specials` by their place among the text's numbers; a lone surrogate escape
// becomes \ufffd. False when there was nothing to mend.
bool mend(std::string_view in, std::string& out,
          std::vector<std::pair<std::size_t, double>>& specials) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    out.clear();
    specials.clear();
    bool changed = false;
    std::size_t numbers = 0;
    auto word = [&](std::size_t at, std::string_view w) { return in.substr(at, w.size()) == w; };
    for (std::size_t i = 0; i < in.size();) {
        const char c = in[i];
        if (c == '"') {
            out += c;
            for (++i; i < in.size();) {
                const char d = in[i];
                if (d == '"') {
                    out += d;
                    ++i;
                    break;
                }
                unsigned u = 0, v = 0;
                if (d == '\\' && word(i + 1, "u") && hex4(in.substr(i + 2), u) && u >= 0xD800 &&
                    u <= 0xDFFF) {
                    const bool pair = u <= 0xDBFF && word(i + 6, "\\u") &&
                                      hex4(in.substr(i + 8), v) && v >= 0xDC00 && v <= 0xDFFF;
                    if (pair) {
                        out.append(in.substr(i, 12));
                        i += 12;
                    } else {
                        out += "\\ufffd";
                        i += 6;
                        changed = true;
                    }
                    continue;
                }
                const std::size_t n = d == '\\' ? 2 : 1;
                out.append(in.substr(i, n));
                i += n;
            }
            continue;
        }
        double special = 0;
        std::size_t length = 0;
        if (word(i, "NaN")) {
            special = std::numeric_limits<double>::quiet_NaN();
            length = 3;
        } else if (word(i, "Infinity")) {
            special = inf;
            length = 8;
        } else if (word(i, "-Infinity")) {
            special = -inf;
            length = 9;
        }
        if (length) {
            specials.emplace_back(numbers++, special);
            out += '0';
            i += length;
            changed = true;
            continue;
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            std::size_t j = i + 1;
            while (j < in.size() && is_number_char(in[j])) ++j;
            out.append(in.substr(i, j - i));
            i = j;
            ++numbers;
            continue;
        }
        out += c;
        ++i;
    }
    return changed;
}

boost::json::parse_options message_options() {
    boost::json::parse_options options;
    options.max_depth = 256;
    return options;
}

}  // namespace

struct MessageParser::Impl {
    boost::json::basic_parser<Handler> parser{message_options(), boost::json::storage_ptr()};
    std::string mended;

    Json run(std::string_view text, error_code& ec) {
        parser.reset();
        Handler& h = parser.handler();
        h.st.reset(MessageMemory::storage());
        h.number.clear();
        h.next_special = 0;
        h.numbers = 0;
        const std::size_t n = parser.write_some(false, text.data(), text.size(), ec);
        if (!ec && n < text.size()) ec = boost::json::error::extra_data;
        if (ec) return nullptr;
        return h.st.release();
    }
};

MessageParser::MessageParser() : impl_(std::make_unique<Impl>()) {}
MessageParser::~MessageParser() = default;

Json MessageParser::parse(std::string_view text, error_code& ec) {
    Handler& h = impl_->parser.handler();
    h.specials.clear();
    Json value = impl_->run(text, ec);
    // What a Python peer writes and the tokenizer refuses is rare: mend and retry only then.
    if (ec && mend(text, impl_->mended, h.specials)) value = impl_->run(impl_->mended, ec);
    return value;
}

}  // namespace quarvo_zovovi::ide::gui::detail
