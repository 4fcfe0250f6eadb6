#include "state.h"

#include <cstdio>
#include <map>
#include <sstream>

#include "text.h"

namespace fakewifi {

namespace {

using Fields = std::map<std::string, std::string>;

// "key=value key=value ..." into a map; nothing if a word has no '='.
std::optional<Fields> split_fields(const std::string &line) {
    Fields fields;
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
        auto eq = word.find('=');
        if (eq == std::string::npos) return std::nullopt;
        fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return fields;
}

template <typename T>
bool take(const Fields &f, const char *key, T &out, uint64_t max) {
    auto it = f.find(key);
    if (it == f.end()) return true;  // keeps the default
    auto v = parse_number(it->second, max);
    if (v) out = static_cast<T>(*v);
    return v.has_value();
}

bool take_numbers(const Fields &f, Station &s) {
    StationEntry &e = s.entry;
    uint32_t radio = 1;
    bool ok =
        take(f, "radio", radio, INT32_MAX) && take(f, "wlan", s.wlan, 0xFF) &&
        take(f, "length", e.length, 0xFFFF) && take(f, "rssi", e.rssi, 0xFF) &&
        take(f, "rate_index", e.rate_index, 0xFF) && take(f, "rate_byte", e.rate_byte, 0xFF) &&
        take(f, "txkbps", e.tx_kbps, UINT32_MAX) && take(f, "rxbytes", e.rxbytes, UINT64_MAX) &&
        take(f, "txbytes", e.txbytes, UINT64_MAX) && take(f, "rxrate", e.rxrate, UINT32_MAX) &&
        take(f, "txrate", e.txrate, UINT32_MAX) && take(f, "uptime", e.uptime, UINT32_MAX) &&
        take(f, "aux32", e.aux32, UINT32_MAX) && take(f, "aux16", e.aux16, 0xFFFF);
    s.radio = static_cast<int32_t>(radio);
    return ok;
}

std::optional<Station> parse_station(const std::string &line) {
    auto fields = split_fields(line);
    if (!fields) return std::nullopt;
    auto mac = parse_mac((*fields)["mac"]);
    auto ip = parse_ipv4((*fields)["ip"]);
    Station s;
    if (!mac || !ip || !take_numbers(*fields, s)) return std::nullopt;
    s.entry.mac = *mac;
    s.ip = *ip;
    return s;
}

std::string format_station(const Station &s) {
    const StationEntry &e = s.entry;
    char line[512];
    snprintf(line, sizeof line,
             "mac=%s ip=%s radio=%d wlan=%u length=%u rssi=%u rate_index=%u rate_byte=%u "
             "txkbps=%u rxbytes=%llu txbytes=%llu rxrate=%u txrate=%u uptime=%u aux32=%u "
             "aux16=%u\n",
             format_mac(e.mac).c_str(), format_ipv4(s.ip).c_str(), s.radio, s.wlan, e.length,
             e.rssi, e.rate_index, e.rate_byte, e.tx_kbps,
             static_cast<unsigned long long>(e.rxbytes), static_cast<unsigned long long>(e.txbytes),
             e.rxrate, e.txrate, e.uptime, e.aux32, e.aux16);
    return line;
}

}  // namespace

int interface_index(const Station &s) {
    if (s.radio < 1 || s.radio > 2 || s.wlan > 3) return -1;
    return (s.radio - 1) * 4 + s.wlan;
}

std::string format_state(const std::vector<Station> &stations) {
    std::string text;
    for (const auto &s : stations) text += format_station(s);
    return text;
}

std::optional<std::vector<Station>> parse_state(const std::string &text, int *bad_line) {
    std::vector<Station> stations;
    std::istringstream lines(text);
    std::string line;
    for (int n = 1; std::getline(lines, line); ++n) {
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        auto s = parse_station(line);
        if (!s) {
            if (bad_line) *bad_line = n;
            return std::nullopt;
        }
        stations.push_back(*s);
    }
    return stations;
}

std::array<std::string, 8> station_tables(const std::vector<Station> &stations) {
    std::array<std::string, 8> tables;
    for (const auto &s : stations) {
        int i = interface_index(s);
        if (i >= 0) tables[static_cast<size_t>(i)] += encode_entry(s.entry);
    }
    return tables;
}

}  // namespace fakewifi
