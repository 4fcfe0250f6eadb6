// Text forms used on the command line and in the station state file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "encode.h"

namespace fakewifi {

// "aa:bb:cc:dd:ee:ff" (either case).
std::optional<Mac> parse_mac(const std::string &text);
std::string format_mac(const Mac &mac);  // lower case
// Dotted quad.
std::optional<Ipv4> parse_ipv4(const std::string &text);
std::string format_ipv4(const Ipv4 &ip);
// A whole decimal or 0x-hexadecimal number no larger than `max`.
std::optional<uint64_t> parse_number(const std::string &text, uint64_t max);

}  // namespace fakewifi
