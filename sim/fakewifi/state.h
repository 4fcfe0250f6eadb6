// The stations the fake driver knows, kept as text (one line per station)
// from which the binary station tables are made.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "encode.h"

namespace fakewifi {

struct Station {
    int32_t radio = 1;
    uint8_t wlan = 0;
    Ipv4 ip{};
    StationEntry entry;  // MAC and figures
};

// Index into ifname_list of the station's interface, or -1 when its radio
// and WLAN name none.
int interface_index(const Station &s);

std::string format_state(const std::vector<Station> &stations);
// The stations of `text`, or nothing; `bad_line` gets the 1-based number of
// the first line not understood.
std::optional<std::vector<Station>> parse_state(const std::string &text, int *bad_line);

// The table of each interface of ifname_list, in state order.
std::array<std::string, 8> station_tables(const std::vector<Station> &stations);

}  // namespace fakewifi
