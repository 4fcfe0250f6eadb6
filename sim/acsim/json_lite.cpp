#include "json_lite.h"

#include <cstdlib>

namespace sim {
namespace {

// Position just after "key": (and any blanks) at or after `from`, or npos.
size_t value_at(const std::string &json, const std::string &key, size_t from = 0) {
    std::string quoted = "\"" + key + "\"";
    for (size_t at = json.find(quoted, from); at != std::string::npos;
         at = json.find(quoted, at + 1)) {
        size_t p = at + quoted.size();
        while (p < json.size() && (json[p] == ' ' || json[p] == '\t')) ++p;
        if (p < json.size() && json[p] == ':') {
            ++p;
            while (p < json.size() && (json[p] == ' ' || json[p] == '\t')) ++p;
            return p;
        }
    }
    return std::string::npos;
}

// The string starting at the quote at `p`; `p` ends after its closing quote.
std::string string_at(const std::string &json, size_t &p) {
    std::string out;
    for (++p; p < json.size() && json[p] != '"'; ++p) {
        if (json[p] == '\\' && p + 1 < json.size()) ++p;
        out += json[p];
    }
    ++p;
    return out;
}

}  // namespace

std::string json_string(const std::string &json, const std::string &key) {
    size_t p = value_at(json, key);
    if (p == std::string::npos || p >= json.size() || json[p] != '"') return "";
    return string_at(json, p);
}

std::vector<std::string> json_strings(const std::string &json, const std::string &key) {
    std::vector<std::string> out;
    for (size_t p = value_at(json, key); p != std::string::npos; p = value_at(json, key, p)) {
        if (p < json.size() && json[p] == '"') out.push_back(string_at(json, p));
    }
    return out;
}

long json_number(const std::string &json, const std::string &key, long fallback) {
    size_t p = value_at(json, key);
    if (p == std::string::npos) return fallback;
    const char *start = json.c_str() + p;
    char *end = nullptr;
    long v = std::strtol(start, &end, 10);
    return end == start ? fallback : v;
}

std::string json_escape(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

}  // namespace sim
