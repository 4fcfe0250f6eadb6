// Pure decoders of the wireless driver's bytes (layouts in station_layout.h):
// a received netlink message into a station event, the station table into
// the traffic sample of one station, and the agent's registration message.
// They read only the `len` bytes given and never write past their outputs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "station_layout.h"
#include "station_list.h"

// The shortest message that holds an event: the netlink header and the
// payload up to the host name (an empty host name when nothing follows).
constexpr std::size_t kStationEventMinLen =
    station_layout::kNlHeaderSize + station_layout::kEvHostname;  // 230

struct StationEvent {
    uint32_t type;  // kEventJoin or kEventLeave
    int32_t radioid;
    uint8_t wlanid;
    uint8_t mac[6];
    char staip[23];  // dotted IPv4 text
    char ssid[33];
    char extra[129];
    char hostname[40];  // at most 39 characters
};

// Decodes the message `msg` of `len` bytes (netlink header included). False,
// with *ev untouched, when it is too short, its first payload word is not 0
// or its event type is neither join nor leave. Texts are cut to their fields
// and always terminated, also when the message ends inside them.
bool decode_station_event(const uint8_t *msg, std::size_t len, StationEvent *ev);

// Walks the station table `table` of `len` filled bytes for the entry of
// `mac` and fills *out from it; true when found, else *out is all zero. The
// walk stops at an entry length of 0 or one beyond the bytes left.
bool find_station_sample(const uint8_t *table, std::size_t len, const uint8_t *mac,
                         StationSample *out);

// The current transmit rate of the entry at `entry` (at least kEntryMinSize
// bytes) in Mbit/s: the kbit/s figure if given, else the rate-table byte at
// the rate index (0 when the index lies outside the rate table).
uint8_t station_phyrate(const uint8_t *entry);

// Fills `out` with the registration message of the agent's netlink `port`.
void build_registration(uint32_t port, uint8_t (&out)[station_layout::kRegistrationLen]);
