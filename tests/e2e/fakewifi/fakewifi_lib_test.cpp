// Encoders, text forms and station state of the fake wireless driver.
#include <gtest/gtest.h>

#include <cstring>

#include "encode.h"
#include "state.h"
#include "station_layout.h"
#include "text.h"

namespace sl = station_layout;
using namespace fakewifi;

namespace {

template <typename T>
T get(const std::string &b, size_t at) {
    T v;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}

const Mac kMac = {0x00, 0x11, 0x22, 0xaa, 0xbb, 0xcc};

TEST(FakewifiEncodeEvent, PlacesEveryFieldAtItsOffset) {
    StationEvent ev{2, 2, 3, kMac, {192, 168, 0, 9}, "net", "more", "host-a"};
    std::string m = encode_event(ev);
    ASSERT_EQ(m.size(), sl::kRegistrationLen);
    EXPECT_EQ(get<uint32_t>(m, 0), sl::kRegistrationLen);
    EXPECT_EQ(m.substr(4, 12), std::string(12, '\0'));  // type, flags, sequence, port
    std::string p = m.substr(sl::kNlHeaderSize);
    EXPECT_EQ(get<uint32_t>(p, sl::kEvZero), 0u);
    EXPECT_EQ(get<uint32_t>(p, sl::kEvType), 2u);
    EXPECT_EQ(get<int32_t>(p, sl::kEvRadio), 2);
    EXPECT_EQ(p.substr(sl::kEvMac, 6), std::string("\x00\x11\x22\xaa\xbb\xcc", 6));
    EXPECT_EQ(p.substr(sl::kEvIp, 4), std::string("\xc0\xa8\x00\x09", 4));
    EXPECT_EQ(p.substr(sl::kEvSsid, 4), std::string("net\0", 4));
    EXPECT_EQ(p[sl::kEvWlan], 3);
    EXPECT_EQ(p.substr(sl::kEvExtra, 5), std::string("more\0", 5));
    EXPECT_EQ(p.substr(sl::kEvHostname), std::string("host-a") + std::string(60, '\0'));
    // Everything not named above stays zero.
    for (size_t i : {8u, 16u, 26u, 27u, 66u, 84u}) EXPECT_EQ(p[i], '\0') << i;
}

TEST(FakewifiEncodeEvent, CutsLongTextsAndGrowsForALongHostName) {
    StationEvent ev;
    ev.ssid = std::string(40, 's');
    ev.extra = std::string(200, 'x');
    ev.hostname = std::string(100, 'h');
    std::string m = encode_event(ev);
    std::string p = m.substr(sl::kNlHeaderSize);
    EXPECT_EQ(p.substr(sl::kEvSsid, sl::kEvSsidSize), std::string(32, 's') + '\0');
    EXPECT_EQ(p.substr(sl::kEvExtra, sl::kEvExtraSize), std::string(128, 'x') + '\0');
    EXPECT_EQ(p.substr(sl::kEvHostname), std::string(100, 'h') + '\0');
    EXPECT_EQ(get<uint32_t>(m, 0), m.size());
}

TEST(FakewifiEncodeEntry, PlacesTheFiguresAtTheirOffsets) {
    StationEntry e;
    e.mac = kMac;
    e.rssi = 45;
    e.rate_index = 2;
    e.rate_byte = 0x96;
    e.tx_kbps = 130000;
    e.rxbytes = 0x0102030405060708ull;
    e.txbytes = 5;
    e.rxrate = 6, e.txrate = 7, e.uptime = 8, e.aux32 = 0xdeadbeef, e.aux16 = 0xbeef;
    std::string b = encode_entry(e);
    ASSERT_EQ(b.size(), 240u);
    EXPECT_EQ(get<uint16_t>(b, sl::kEntLen), 240);
    EXPECT_EQ(b[sl::kEntRssi], 45);
    EXPECT_EQ(b.substr(sl::kEntMac, 6), std::string("\x00\x11\x22\xaa\xbb\xcc", 6));
    EXPECT_EQ(static_cast<uint8_t>(b[sl::kEntRates]), 0x82);  // default table kept
    EXPECT_EQ(static_cast<uint8_t>(b[sl::kEntRates + 2]), 0x96);
    EXPECT_EQ(b[sl::kEntRateIndex], 2);
    EXPECT_EQ(get<uint32_t>(b, sl::kEntTxRateKbps), 130000u);
    EXPECT_EQ(get<uint64_t>(b, sl::kEntRxBytes), 0x0102030405060708ull);
    EXPECT_EQ(get<uint64_t>(b, sl::kEntTxBytes), 5u);
    EXPECT_EQ(get<uint32_t>(b, sl::kEntRxRate), 6u);
    EXPECT_EQ(get<uint32_t>(b, sl::kEntTxRate), 7u);
    EXPECT_EQ(get<uint32_t>(b, sl::kEntUptime), 8u);
    EXPECT_EQ(get<uint32_t>(b, sl::kEntAux32), 0xdeadbeefu);
    EXPECT_EQ(get<uint16_t>(b, sl::kEntAux16), 0xbeef);
}

TEST(FakewifiEncodeEntry, LengthFieldDecidesTheSizeUnlessTooShort) {
    struct Case {
        uint16_t length;
        size_t size;
    } cases[] = {{232, 232}, {300, 300}, {0, 240}, {100, 240}};
    for (auto c : cases) {
        StationEntry e;
        e.length = c.length;
        std::string b = encode_entry(e);
        EXPECT_EQ(b.size(), c.size) << c.length;
        EXPECT_EQ(get<uint16_t>(b, 0), c.length);
    }
    EXPECT_EQ(encode_table({StationEntry{}, StationEntry{}}).size(), 480u);
}

TEST(FakewifiText, ParsesMacsIpsAndNumbers) {
    EXPECT_EQ(parse_mac("00:11:22:AA:bb:cc"), kMac);
    for (const char *bad : {"00:11:22:aa:bb", "00:11:22:aa:bb:cc:", "00-11-22-aa-bb-cc",
                            "0g:11:22:aa:bb:cc", " 0:11:22:aa:bb:cc", "+0:11:22:aa:bb:cc"})
        EXPECT_FALSE(parse_mac(bad)) << bad;
    EXPECT_EQ(format_mac(kMac), "00:11:22:aa:bb:cc");
    EXPECT_EQ(parse_ipv4("10.1.2.3"), (Ipv4{10, 1, 2, 3}));
    EXPECT_FALSE(parse_ipv4("10.1.2"));
    EXPECT_EQ(format_ipv4({255, 0, 1, 2}), "255.0.1.2");
    EXPECT_EQ(parse_number("010", 100), 10u);
    EXPECT_EQ(parse_number("0x10", 100), 16u);
    EXPECT_EQ(parse_number("18446744073709551615", UINT64_MAX), UINT64_MAX);
    for (const char *bad : {"", "-1", "+1", " 1", "1x", "101", "0x", "18446744073709551616"})
        EXPECT_FALSE(parse_number(bad, 100)) << bad;
}

TEST(FakewifiState, RoundTripsAndPlacesStationsOnTheirInterface) {
    Station a, b, c;
    a.entry.mac = kMac;
    a.entry.rxbytes = UINT64_MAX;
    a.ip = {1, 2, 3, 4};
    b.radio = 2, b.wlan = 3, b.entry.rssi = 9;
    c.radio = 3;  // no interface
    std::string text = format_state({a, b, c});
    auto back = parse_state(text, nullptr);
    ASSERT_TRUE(back);
    ASSERT_EQ(back->size(), 3u);
    EXPECT_EQ(format_state(*back), text);
    EXPECT_EQ((*back)[0].entry.rxbytes, UINT64_MAX);
    auto tables = station_tables(*back);
    EXPECT_EQ(tables[0], encode_entry(a.entry));
    EXPECT_EQ(tables[7], encode_entry(b.entry));
    for (size_t i = 1; i < 7; ++i) EXPECT_EQ(tables[i], "") << i;
    EXPECT_EQ(interface_index(c), -1);
}

TEST(FakewifiState, ReportsTheFirstLineNotUnderstood) {
    int bad = 0;
    EXPECT_FALSE(parse_state("mac=00:11:22:aa:bb:cc ip=1.2.3.4\n\nmac=00:11 ip=1.2.3.4\n", &bad));
    EXPECT_EQ(bad, 3);
    EXPECT_FALSE(parse_state("mac=00:11:22:aa:bb:cc ip=1.2.3.4 rssi=300\n", &bad));
    EXPECT_EQ(bad, 1);
    EXPECT_FALSE(parse_state("mac=00:11:22:aa:bb:cc ip=1.2.3.4 junk\n", &bad));
    EXPECT_TRUE(parse_state("", &bad));
}

}  // namespace
