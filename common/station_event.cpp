#include "station_event.h"

#include <cstdio>
#include <cstring>

namespace sl = station_layout;

namespace {

// Room for the host name in the receive buffer: it runs to the buffer's end.
constexpr std::size_t kHostnameRoom = sl::kRecvBufferSize - sl::kNlHeaderSize - sl::kEvHostname;

template <typename T>
T read_native(const uint8_t *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Copies text that starts at `src` and may run for `avail` bytes into a
// field of `size` bytes, stopping at a NUL, the field or the bytes given.
void copy_text(char *dst, std::size_t size, const uint8_t *src, std::size_t avail) {
    std::size_t n = 0;
    while (n + 1 < size && n < avail && src[n] != 0) ++n;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

void fill_sample(const uint8_t *entry, std::size_t size, StationSample *out) {
    out->uptime = read_native<uint32_t>(entry + sl::kEntUptime);
    out->rxrate = read_native<uint32_t>(entry + sl::kEntRxRate);
    out->txrate = read_native<uint32_t>(entry + sl::kEntTxRate);
    out->rxbytes = read_native<uint64_t>(entry + sl::kEntRxBytes);
    out->txbytes = read_native<uint64_t>(entry + sl::kEntTxBytes);
    out->rssi = entry[sl::kEntRssi];
    out->phyrate = station_phyrate(entry, size);
    out->aux32 = read_native<uint32_t>(entry + sl::kEntAux32);
    out->aux16 = read_native<uint16_t>(entry + sl::kEntAux16);
}

}  // namespace

bool decode_station_event(const uint8_t *msg, std::size_t len, StationEvent *ev) {
    if (!msg) return false;
    // The message as the receive buffer holds it: zeros beyond its end, so a
    // short event is decoded with zero fields rather than dropped.
    uint8_t buf[sl::kRecvBufferSize] = {};
    std::size_t n = len < sizeof buf ? len : sizeof buf;
    std::memcpy(buf, msg, n);
    const uint8_t *p = buf + sl::kNlHeaderSize;
    uint32_t type = read_native<uint32_t>(p + sl::kEvType);
    if (read_native<uint32_t>(p + sl::kEvZero) != 0) return false;
    if (type != sl::kEventJoin && type != sl::kEventLeave) return false;

    *ev = StationEvent{};
    ev->type = type;
    ev->radioid = read_native<int32_t>(p + sl::kEvRadio);
    ev->wlanid = p[sl::kEvWlan];
    std::memcpy(ev->mac, p + sl::kEvMac, sizeof ev->mac);
    const uint8_t *ip = p + sl::kEvIp;
    std::snprintf(ev->staip, sizeof ev->staip, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    copy_text(ev->ssid, sizeof ev->ssid, p + sl::kEvSsid, sl::kEvSsidSize);
    copy_text(ev->extra, sizeof ev->extra, p + sl::kEvExtra, sl::kEvExtraSize);
    copy_text(ev->hostname, sizeof ev->hostname, p + sl::kEvHostname, kHostnameRoom);
    return true;
}

uint8_t station_phyrate(const uint8_t *entry, std::size_t size) {
    uint32_t kbps = read_native<uint32_t>(entry + sl::kEntTxRateKbps);
    if (kbps != 0) return static_cast<uint8_t>(kbps / 1000);
    std::size_t at = sl::kEntRates + entry[sl::kEntRateIndex];
    if (at >= size) return 0;
    return (entry[at] >> 1) & 0x3F;
}

std::size_t station_entry_size(const uint8_t *entry, std::size_t left) {
    std::size_t size = read_native<uint16_t>(entry + sl::kEntLen);
    if (size < sl::kEntryMinSize) size = sl::kEntryMinSize;
    return size < left ? size : left;
}

bool find_station_sample(const uint8_t *table, std::size_t len, const uint8_t *mac,
                         StationSample *out) {
    *out = StationSample{};
    std::size_t pos = 0;
    std::size_t left = table ? len : 0;
    while (left >= sl::kEntryMinSize) {
        const uint8_t *entry = table + pos;
        if (std::memcmp(entry + sl::kEntMac, mac, 6) == 0) {
            fill_sample(entry, station_entry_size(entry, left), out);
            return true;
        }
        std::size_t step = read_native<uint16_t>(entry + sl::kEntLen);
        if (step == 0 || step > left) break;
        pos += step;
        left -= step;
    }
    return false;
}

void build_registration(uint32_t port, uint8_t (&out)[sl::kRegistrationLen]) {
    std::memset(out, 0, sizeof out);
    const uint32_t len = sl::kRegistrationLen;
    std::memcpy(out, &len, 4);        // nlmsg_len; type, flags and sequence stay 0
    std::memcpy(out + 12, &port, 4);  // nlmsg_pid
}
