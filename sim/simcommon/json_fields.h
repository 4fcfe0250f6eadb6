// Reading and writing the simulators' JSON messages (nlohmann-json). The
// readers never throw: a message from an AP may be anything.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace sim {

using nlohmann::json;
using nlohmann::ordered_json;

// The object that `text` holds, or a null value when it holds none (not
// JSON, or JSON of another kind).
json parse_object(const std::string &text);
// The string field `key` of an object; "" when absent or not a string.
std::string text_field(const json &obj, const char *key);
// The number field `key` of an object, truncated to an integer; `fallback`
// when absent, not a number, or beyond a long.
long number_field(const json &obj, const char *key, long fallback = 0);
// The text of a message; bytes that are not UTF-8 (from a command line)
// are replaced rather than thrown at.
std::string to_text(const ordered_json &msg);

}  // namespace sim
