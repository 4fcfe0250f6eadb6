#include "text.h"

#include <arpa/inet.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace fakewifi {

std::optional<Mac> parse_mac(const std::string &text) {
    Mac mac{};
    if (text.size() != 17) return std::nullopt;
    for (size_t i = 0; i < mac.size(); ++i) {
        if (i > 0 && text[i * 3 - 1] != ':') return std::nullopt;
        auto byte = parse_number("0x" + text.substr(i * 3, 2), 0xFF);
        if (!byte) return std::nullopt;
        mac[i] = static_cast<uint8_t>(*byte);
    }
    return mac;
}

std::string format_mac(const Mac &mac) {
    char text[18];
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
    return text;
}

std::optional<Ipv4> parse_ipv4(const std::string &text) {
    Ipv4 ip{};
    if (inet_pton(AF_INET, text.c_str(), ip.data()) != 1) return std::nullopt;
    return ip;
}

std::string format_ipv4(const Ipv4 &ip) {
    char text[INET_ADDRSTRLEN];
    snprintf(text, sizeof text, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    return text;
}

std::optional<uint64_t> parse_number(const std::string &text, uint64_t max) {
    if (text.empty() || text[0] == '-' || text[0] == '+' ||
        isspace(static_cast<unsigned char>(text[0])))
        return std::nullopt;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || v > max) return std::nullopt;
    return v;
}

}  // namespace fakewifi
