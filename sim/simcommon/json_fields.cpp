#include "json_fields.h"

#include <climits>

namespace sim {

json parse_object(const std::string &text) {
    json j = json::parse(text, nullptr, false);
    return j.is_object() ? j : json();
}

std::string text_field(const json &obj, const char *key) {
    if (!obj.is_object()) return "";
    auto it = obj.find(key);
    return it != obj.end() && it->is_string() ? it->get<std::string>() : "";
}

long number_field(const json &obj, const char *key, long fallback) {
    if (!obj.is_object()) return fallback;
    auto it = obj.find(key);
    if (it == obj.end()) return fallback;
    if (it->is_number_unsigned()) {
        auto v = it->get<unsigned long long>();
        return v <= static_cast<unsigned long long>(LONG_MAX) ? static_cast<long>(v) : fallback;
    }
    if (it->is_number_integer()) return static_cast<long>(it->get<long long>());
    if (it->is_number_float()) {
        double v = it->get<double>();
        // Written so that NaN fails too.
        if (!(v > static_cast<double>(LONG_MIN) && v < static_cast<double>(LONG_MAX)))
            return fallback;
        return static_cast<long>(v);
    }
    return fallback;
}

std::string to_text(const ordered_json &msg) {
    return msg.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

}  // namespace sim
