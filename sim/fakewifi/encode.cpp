#include "encode.h"

#include <algorithm>
#include <cstring>

#include "fakewifi_abi.h"
#include "station_layout.h"

namespace fakewifi {

namespace sl = station_layout;

static_assert(FAKEWIFI_NETLINK_PROTOCOL == sl::kNetlinkProtocol, "netlink protocol");
static_assert(FAKEWIFI_STATION_IOCTL == sl::kStationTableIoctl, "station ioctl");
static_assert(kDefaultRates.size() <= sl::kEntRatesSize, "rate table");

namespace {

template <typename T>
void put(std::string &buf, size_t at, T value) {
    std::memcpy(&buf[at], &value, sizeof value);
}

// Text of at most `room` - 1 characters and its terminating NUL (the buffer
// is zeroed already).
void put_text(std::string &buf, size_t at, const std::string &text, size_t room) {
    buf.replace(at, std::min(text.size(), room - 1), text, 0, room - 1);
}

}  // namespace

std::string encode_event(const StationEvent &event) {
    size_t payload = std::max(sl::kEventPayloadSize, sl::kEvHostname + event.hostname.size() + 1);
    std::string msg(sl::kNlHeaderSize + payload, '\0');
    put<uint32_t>(msg, 0, static_cast<uint32_t>(msg.size()));
    const size_t p = sl::kNlHeaderSize;
    put<uint32_t>(msg, p + sl::kEvZero, 0);
    put<uint32_t>(msg, p + sl::kEvType, event.type);
    put<int32_t>(msg, p + sl::kEvRadio, event.radio);
    std::memcpy(&msg[p + sl::kEvMac], event.mac.data(), event.mac.size());
    std::memcpy(&msg[p + sl::kEvIp], event.ip.data(), event.ip.size());
    put_text(msg, p + sl::kEvSsid, event.ssid, sl::kEvSsidSize);
    put<uint8_t>(msg, p + sl::kEvWlan, event.wlan);
    put_text(msg, p + sl::kEvExtra, event.extra, sl::kEvExtraSize);
    put_text(msg, p + sl::kEvHostname, event.hostname, payload - sl::kEvHostname);
    return msg;
}

std::string encode_entry(const StationEntry &entry) {
    size_t size = entry.length >= sl::kEntryMinSize ? entry.length : kDefaultEntryLength;
    std::string e(size, '\0');
    put<uint16_t>(e, sl::kEntLen, entry.length);
    put<uint8_t>(e, sl::kEntRssi, entry.rssi);
    std::memcpy(&e[sl::kEntMac], entry.mac.data(), entry.mac.size());
    std::memcpy(&e[sl::kEntRates], kDefaultRates.data(), kDefaultRates.size());
    size_t index = std::min<size_t>(entry.rate_index, sl::kEntRatesSize - 1);
    put<uint8_t>(e, sl::kEntRates + index, entry.rate_byte);
    put<uint8_t>(e, sl::kEntRateIndex, entry.rate_index);
    put<uint32_t>(e, sl::kEntTxRateKbps, entry.tx_kbps);
    put<uint64_t>(e, sl::kEntRxBytes, entry.rxbytes);
    put<uint64_t>(e, sl::kEntTxBytes, entry.txbytes);
    put<uint32_t>(e, sl::kEntRxRate, entry.rxrate);
    put<uint32_t>(e, sl::kEntTxRate, entry.txrate);
    put<uint32_t>(e, sl::kEntUptime, entry.uptime);
    put<uint32_t>(e, sl::kEntAux32, entry.aux32);
    put<uint16_t>(e, sl::kEntAux16, entry.aux16);
    return e;
}

std::string encode_table(const std::vector<StationEntry> &entries) {
    std::string table;
    for (const auto &entry : entries) table += encode_entry(entry);
    return table;
}

}  // namespace fakewifi
