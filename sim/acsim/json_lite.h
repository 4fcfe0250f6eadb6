// Just enough JSON reading for the simulators: the value of a top-level
// string or number field of a flat object such as the sample scripts send.
#pragma once

#include <string>
#include <vector>

namespace sim {

// The text of the first "key":"..." (escapes \" \\ \/ undone), or "" if absent.
std::string json_string(const std::string &json, const std::string &key);
// Every string value of "key" anywhere in the text, in order.
std::vector<std::string> json_strings(const std::string &json, const std::string &key);
// The number of "key":123, or `fallback` if absent or not a number.
long json_number(const std::string &json, const std::string &key, long fallback = 0);
// Escapes a text for use inside a JSON string.
std::string json_escape(const std::string &text);

}  // namespace sim
