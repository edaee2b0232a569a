// Value helpers shared by the pipeline and every handler.
#include <quarvo_zovovi/ide/gui/core/value.h>

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
