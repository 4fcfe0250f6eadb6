// Pure decoders of the wireless driver's bytes (layouts in station_layout.h):
// a received netlink message into a station event, the station table into
// the traffic sample of one station, and the agent's registration message.
// They read only the `len` bytes given and never write past their outputs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "station_layout.h"

// The figures of one station taken from the driver's station table.
struct StationSample {
    uint32_t uptime;
    uint32_t rxrate;
    uint32_t txrate;
    uint64_t rxbytes;
    uint64_t txbytes;
    uint8_t rssi;
    uint8_t phyrate;  // Mbit/s
    uint32_t aux32;
    uint32_t aux16;  // 16-bit value, zero-extended
};

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

// Decodes the message `msg` of `len` bytes (netlink header included) as the
// zeroed receive buffer holds it: bytes beyond `len` (or beyond the buffer)
// read as zero, so a short message decodes with zero fields. False, with *ev
// untouched, when its first payload word is not 0 or its event type is
// neither join nor leave. Texts are cut to their fields and always
// terminated, also when the message ends inside them.
bool decode_station_event(const uint8_t *msg, std::size_t len, StationEvent *ev);

// Walks the station table `table` of `len` filled bytes for the entry of
// `mac` and fills *out from it; true when found, else *out is all zero. The
// walk stops at an entry length of 0 or one beyond the bytes left.
bool find_station_sample(const uint8_t *table, std::size_t len, const uint8_t *mac,
                         StationSample *out);

// The current transmit rate of the entry at `entry` of `size` bytes (at
// least kEntryMinSize) in Mbit/s: the kbit/s figure if given, else the byte
// at the rate index counted from the rate table's start, wherever it lies in
// the entry; 0 when that byte lies beyond the entry's end.
uint8_t station_phyrate(const uint8_t *entry, std::size_t size);

// The bytes of the entry at `entry` that may be read, with `left` (at least
// kEntryMinSize) bytes left in the table: its length, at least
// kEntryMinSize, at most `left`.
std::size_t station_entry_size(const uint8_t *entry, std::size_t left);

// Fills `out` with the registration message of the agent's netlink `port`.
void build_registration(uint32_t port, uint8_t (&out)[station_layout::kRegistrationLen]);
