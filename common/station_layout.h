// Byte layouts shared with the wireless driver: station events on netlink
// protocol 22, the agent's registration message, and the station table that
// ioctl 0x89F6 returns. Numbers are in the processor's native byte order
// (big-endian on the AP) unless a field says otherwise. Shared by both agents
// and by the fake driver of sim/.
#pragma once

#include <cstddef>
#include <cstdint>

namespace station_layout {

constexpr int kNetlinkProtocol = 22;
constexpr std::size_t kNlHeaderSize = 16;      // standard netlink header
constexpr std::size_t kRecvBufferSize = 1024;  // one event is received into this
constexpr std::size_t kEventPayloadSize = 280;

// Station event payload, offsets from the start of the payload.
constexpr std::size_t kEvZero = 0;    // 32-bit, must be 0
constexpr std::size_t kEvType = 4;    // 32-bit: kEventJoin or kEventLeave
constexpr std::size_t kEvRadio = 12;  // 32-bit radio number: 1 = 2.4 GHz, 2 = 5 GHz
constexpr std::size_t kEvMac = 20;    // 6 bytes
constexpr std::size_t kEvIp = 28;     // 4 bytes, network byte order
constexpr std::size_t kEvSsid = 32;   // text of at most kEvSsidSize bytes
constexpr std::size_t kEvSsidSize = 33;
constexpr std::size_t kEvWlan = 65;   // 8-bit WLAN index 0-3
constexpr std::size_t kEvExtra = 85;  // text of at most kEvExtraSize bytes
constexpr std::size_t kEvExtraSize = 129;
constexpr std::size_t kEvHostname = 214;  // text, to the end of the message
constexpr uint32_t kEventJoin = 1;
constexpr uint32_t kEventLeave = 2;

// The agent's registration: a netlink header of this length, type 0, flags
// 0, sequence 0, port = the agent's port, then an all-zero payload.
constexpr std::size_t kRegistrationLen = kNlHeaderSize + kEventPayloadSize;  // 296

// Station table, returned by the device-private ioctl into a buffer of
// kStationTableSize bytes; entries are packed one after another.
constexpr unsigned long kStationTableIoctl = 0x89F6;
constexpr std::size_t kStationTableSize = 24576;
constexpr std::size_t kEntryMinSize = 232;      // the walk stops when fewer bytes remain
constexpr std::size_t kEntLen = 0;              // 16-bit length of this entry
constexpr std::size_t kEntRssi = 19;            // 8-bit
constexpr std::size_t kEntMac = 27;             // 6 bytes
constexpr std::size_t kEntRates = 34;           // rate table, 500 kbit/s units (bit 7 ignored)
constexpr std::size_t kEntRatesSize = 78 - 34;  // up to the rate index
constexpr std::size_t kEntRateIndex = 78;       // 8-bit index into the rate table
constexpr std::size_t kEntTxRateKbps = 80;      // 32-bit, 0 if not given
constexpr std::size_t kEntRxBytes = 168;        // 64-bit
constexpr std::size_t kEntTxBytes = 176;        // 64-bit
constexpr std::size_t kEntRxRate = 184;         // 32-bit
constexpr std::size_t kEntTxRate = 188;         // 32-bit
constexpr std::size_t kEntUptime = 196;         // 32-bit
constexpr std::size_t kEntAux32 = 208;          // 32-bit
constexpr std::size_t kEntAux16 = 214;          // 16-bit

}  // namespace station_layout

// Interface of radio r, WLAN w: ifname_list[(r - 1) * 4 + w].
constexpr const char *ifname_list[8] = {"ath0", "ath01", "ath02", "ath03",
                                        "ath1", "ath11", "ath12", "ath13"};
