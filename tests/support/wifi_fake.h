// A fake wireless driver for tests of the station monitors: builders of
// station events and station-table entries in the driver's layouts, and a
// WifiDriverOps whose netlink receive and station table answer from what the
// test put in. Agent-independent: it knows only common/.
#pragma once

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "station_layout.h"
#include "wifi_driver.h"

namespace wifi_fake {

namespace sl = station_layout;
using Bytes = std::vector<uint8_t>;
using Mac = std::array<uint8_t, 6>;

template <typename T>
void put(Bytes &b, size_t off, T v) {
    if (b.size() < off + sizeof v) b.resize(off + sizeof v);
    std::memcpy(b.data() + off, &v, sizeof v);
}

inline void put_text(Bytes &b, size_t off, const std::string &s) {
    if (b.size() < off + s.size()) b.resize(off + s.size());
    std::memcpy(b.data() + off, s.data(), s.size());
}

struct Event {
    uint32_t zero = 0;  // the payload's first word
    uint32_t type = sl::kEventJoin;
    int32_t radio = 1;
    uint8_t wlan = 0;
    Mac mac{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    std::array<uint8_t, 4> ip{192, 168, 1, 20};
    std::string ssid = "guest";
    std::string extra = "x";
    std::string hostname = "phone";
};

// A received message: netlink header then the payload (at least the
// registration's size), the host name terminated.
inline Bytes event_message(const Event &e) {
    Bytes b(sl::kNlHeaderSize + sl::kEventPayloadSize, 0);
    const size_t p = sl::kNlHeaderSize;
    put<uint32_t>(b, p + sl::kEvZero, e.zero);
    put<uint32_t>(b, p + sl::kEvType, e.type);
    put<int32_t>(b, p + sl::kEvRadio, e.radio);
    std::memcpy(b.data() + p + sl::kEvMac, e.mac.data(), 6);
    std::memcpy(b.data() + p + sl::kEvIp, e.ip.data(), 4);
    put_text(b, p + sl::kEvSsid, e.ssid);
    b[p + sl::kEvWlan] = e.wlan;
    put_text(b, p + sl::kEvExtra, e.extra);
    put_text(b, p + sl::kEvHostname, e.hostname + std::string(1, '\0'));
    put<uint32_t>(b, 0, static_cast<uint32_t>(b.size()));
    return b;
}

struct Entry {
    Mac mac{};
    uint16_t len = 232;
    uint8_t rssi = 40;
    uint8_t rate_index = 0;
    uint8_t rate_byte = 0;
    uint32_t kbps = 0;
    uint64_t rxbytes = 0, txbytes = 0;
    uint32_t rxrate = 0, txrate = 0, uptime = 0, aux32 = 0;
    uint16_t aux16 = 0;
};

// One table entry; its length field says `len`, its bytes are at least the
// fields' span.
inline Bytes table_entry(const Entry &e) {
    Bytes b(e.len > sl::kEntryMinSize ? e.len : sl::kEntryMinSize, 0);
    put<uint16_t>(b, sl::kEntLen, e.len);
    b[sl::kEntRssi] = e.rssi;
    std::memcpy(b.data() + sl::kEntMac, e.mac.data(), 6);
    b[sl::kEntRateIndex] = e.rate_index;
    if (sl::kEntRates + e.rate_index < b.size()) b[sl::kEntRates + e.rate_index] = e.rate_byte;
    put<uint32_t>(b, sl::kEntTxRateKbps, e.kbps);
    put<uint64_t>(b, sl::kEntRxBytes, e.rxbytes);
    put<uint64_t>(b, sl::kEntTxBytes, e.txbytes);
    put<uint32_t>(b, sl::kEntRxRate, e.rxrate);
    put<uint32_t>(b, sl::kEntTxRate, e.txrate);
    put<uint32_t>(b, sl::kEntUptime, e.uptime);
    put<uint32_t>(b, sl::kEntAux32, e.aux32);
    put<uint16_t>(b, sl::kEntAux16, e.aux16);
    return b;
}

inline Bytes table_of(const std::vector<Entry> &entries) {
    Bytes t;
    for (const Entry &e : entries) {
        Bytes b = table_entry(e);
        t.insert(t.end(), b.begin(), b.end());
    }
    return t;
}

// The fake driver: one per process, reached through static functions.
struct FakeDriver {
    std::mutex mu;
    int failures = 0;            // receives that fail before the messages
    std::deque<Bytes> messages;  // then delivered in order
    std::map<std::string, Bytes> tables;  // by interface; a missing one is empty
    long table_result = 0;                // non-zero: returned as is
    std::vector<std::string> asked;       // interfaces asked, in order

    void reset() {
        std::lock_guard<std::mutex> g(mu);
        failures = 0;
        messages.clear();
        tables.clear();
        table_result = 0;
        asked.clear();
    }

    static FakeDriver &get() {
        static FakeDriver d;
        return d;
    }
    static int nl_open(uint32_t) { return 7; }
    static ssize_t nl_send(int, const void *, size_t len) { return static_cast<ssize_t>(len); }
    static ssize_t nl_recv(int, void *buf, size_t size) {
        FakeDriver &d = get();
        std::lock_guard<std::mutex> g(d.mu);
        if (d.failures > 0 || d.messages.empty()) {
            if (d.failures > 0) --d.failures;
            errno = EAGAIN;
            return -1;
        }
        Bytes m = std::move(d.messages.front());
        d.messages.pop_front();
        size_t n = m.size() < size ? m.size() : size;
        if (n) std::memcpy(buf, m.data(), n);
        return static_cast<ssize_t>(n);
    }
    static void nl_close(int) {}
    static long station_table(const char *ifname, uint8_t *buf, size_t size) {
        FakeDriver &d = get();
        std::lock_guard<std::mutex> g(d.mu);
        d.asked.push_back(ifname);
        if (d.table_result) return d.table_result;
        const Bytes &t = d.tables[ifname];
        size_t n = t.size() < size ? t.size() : size;
        if (n) std::memcpy(buf, t.data(), n);
        return static_cast<long>(n);
    }
};

// A churn for the fake driver: `stations` stations on ath0 (radio 1, WLAN
// 0), each in the table with its own traffic figures, and `events` events
// over them in rounds: every station joins, then every station leaves, ...
inline Mac churn_mac(int i) {
    return {0x02, 0x00, 0x00, 0x00, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
}
inline void load_churn(int stations, int events) {
    std::vector<Entry> entries;
    for (int i = 0; i < stations; ++i) {
        Entry e;
        e.mac = churn_mac(i);
        e.rxbytes = 1000u * static_cast<uint64_t>(i);
        e.txbytes = 10u * static_cast<uint64_t>(i);
        entries.push_back(e);
    }
    FakeDriver &d = FakeDriver::get();
    d.reset();
    std::lock_guard<std::mutex> g(d.mu);
    d.tables["ath0"] = table_of(entries);
    for (int n = 0; n < events; ++n) {
        Event ev;
        ev.mac = churn_mac(n % stations);
        ev.type = (n / stations) % 2 ? sl::kEventLeave : sl::kEventJoin;
        d.messages.push_back(event_message(ev));
    }
}

inline const WifiDriverOps kFakeOps = {FakeDriver::nl_open, FakeDriver::nl_send,
                                       FakeDriver::nl_recv, FakeDriver::nl_close,
                                       FakeDriver::station_table};

}  // namespace wifi_fake
