// The bytes the wireless driver produces: a station event as one netlink
// message, and station-table entries as the station ioctl returns them. Pure
// functions; numbers in this machine's byte order, the IPv4 address in
// network byte order.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace fakewifi {

using Mac = std::array<uint8_t, 6>;
using Ipv4 = std::array<uint8_t, 4>;  // in network order: 192.168.1.2 is {192, 168, 1, 2}

struct StationEvent {
    uint32_t type = 1;  // station_layout::kEventJoin or kEventLeave
    int32_t radio = 1;
    uint8_t wlan = 0;
    Mac mac{};
    Ipv4 ip{};
    std::string ssid;      // cut to 32 characters
    std::string extra;     // cut to 128 characters
    std::string hostname;  // the payload grows past its usual 280 bytes for a long one
};

// 16-byte netlink header (length, type 0, flags 0, sequence 0, port 0) and
// the payload.
std::string encode_event(const StationEvent &event);

constexpr uint16_t kDefaultEntryLength = 240;
// 500 kbit/s units; bit 7 marks a basic rate. The last one is 54 Mbit/s.
constexpr std::array<uint8_t, 12> kDefaultRates = {0x82, 0x84, 0x8B, 0x96, 0x0C, 0x12,
                                                   0x18, 0x24, 0x30, 0x48, 0x60, 0x6C};

struct StationEntry {
    uint16_t length = kDefaultEntryLength;  // below the minimum: a lying length field
    Mac mac{};
    uint8_t rssi = 0;
    uint8_t rate_index = kDefaultRates.size() - 1;
    uint8_t rate_byte = kDefaultRates.back();  // rate-table byte at rate_index
    uint32_t tx_kbps = 0;
    uint64_t rxbytes = 0, txbytes = 0;
    uint32_t rxrate = 0, txrate = 0, uptime = 0, aux32 = 0;
    uint16_t aux16 = 0;
};

// One entry: `length` bytes, or kDefaultEntryLength when `length` is too
// short to hold the fields (the length field still says `length`).
std::string encode_entry(const StationEntry &entry);
std::string encode_table(const std::vector<StationEntry> &entries);

}  // namespace fakewifi
