// The pure decoders: station events, the station-table walk, the rate rule
// and the registration message.
#include "station_test_support.h"

namespace station_test {
namespace {

TEST(StationEventDecode, JoinEventFields) {
    Event e;
    e.radio = 2;
    e.wlan = 3;
    e.ip = {10, 1, 255, 7};
    Bytes m = event_message(e);
    StationEvent ev;
    ASSERT_TRUE(decode_station_event(m.data(), m.size(), &ev));
    EXPECT_EQ(ev.type, sl::kEventJoin);
    EXPECT_EQ(ev.radioid, 2);
    EXPECT_EQ(ev.wlanid, 3);
    EXPECT_EQ(std::memcmp(ev.mac, e.mac.data(), 6), 0);
    EXPECT_STREQ(ev.staip, "10.1.255.7");
    EXPECT_STREQ(ev.ssid, "guest");
    EXPECT_STREQ(ev.extra, "x");
    EXPECT_STREQ(ev.hostname, "phone");
}

TEST(StationEventDecode, RejectsWhatIsNotAnEvent) {
    Bytes good = event_message(Event{});
    Bytes nonzero = good, type0 = good, type3 = good;
    put<uint32_t>(nonzero, sl::kNlHeaderSize + sl::kEvZero, 0x01000000);
    put<uint32_t>(type0, sl::kNlHeaderSize + sl::kEvType, 0);
    put<uint32_t>(type3, sl::kNlHeaderSize + sl::kEvType, 3);
    StationEvent ev;
    for (const Bytes &m : {nonzero, type0, type3})
        EXPECT_FALSE(decode_station_event(m.data(), m.size(), &ev));
    // Too short to hold an event type: the zeros beyond its end say type 0.
    EXPECT_FALSE(decode_station_event(good.data(), sl::kNlHeaderSize + sl::kEvType, &ev));
    EXPECT_FALSE(decode_station_event(nullptr, 0, &ev));
}

// A message is decoded as the zeroed receive buffer holds it: whatever lies
// beyond its end reads as zero.
TEST(StationEventDecode, ShortMessagesDecodeWithZerosBeyondTheirEnd) {
    Event e;
    e.type = sl::kEventLeave;
    e.radio = 2;
    e.wlan = 1;
    Bytes full = event_message(e);
    struct Case {
        size_t len;
        const char *ip, *ssid, *extra;
        int wlan;
    };
    const std::vector<Case> cases = {
        {230, "192.168.1.20", "guest", "x", 1},  // up to the host name
        {82, "192.168.1.20", "guest", "", 1},    // a leave event of the bare fields
        {40, "0.0.0.0", "", "", 0},              // ends inside the MAC
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.len);
        StationEvent ev;
        ASSERT_TRUE(decode_station_event(full.data(), c.len, &ev));
        EXPECT_EQ(ev.type, sl::kEventLeave);
        EXPECT_EQ(ev.radioid, 2);
        EXPECT_EQ(ev.wlanid, c.wlan);
        EXPECT_STREQ(ev.staip, c.ip);
        EXPECT_STREQ(ev.ssid, c.ssid);
        EXPECT_STREQ(ev.extra, c.extra);
        EXPECT_STREQ(ev.hostname, "");
    }
    StationEvent ev;
    ASSERT_TRUE(decode_station_event(full.data(), 40, &ev));
    EXPECT_EQ(Bytes(ev.mac, ev.mac + 6), (Bytes{e.mac[0], e.mac[1], e.mac[2], e.mac[3], 0, 0}));
}

TEST(StationEventDecode, UnterminatedTextsAreCutToTheirFields) {
    Bytes m(sl::kRecvBufferSize, 'A');  // not one NUL anywhere
    put<uint32_t>(m, sl::kNlHeaderSize + sl::kEvZero, 0);
    put<uint32_t>(m, sl::kNlHeaderSize + sl::kEvType, sl::kEventLeave);
    StationEvent ev;
    ASSERT_TRUE(decode_station_event(m.data(), m.size(), &ev));
    EXPECT_EQ(std::string(ev.ssid), std::string(32, 'A'));
    EXPECT_EQ(std::string(ev.extra), std::string(128, 'A'));
    EXPECT_EQ(std::string(ev.hostname), std::string(39, 'A'));
    EXPECT_STREQ(ev.staip, "65.65.65.65");
}

TEST(StationEventDecode, HostNameStopsAtTheEndOfTheMessage) {
    Event e;
    e.hostname = "tablet-of-someone";
    Bytes m = event_message(e);
    // Cut inside the host name, with what follows in the buffer not NUL.
    size_t cut = sl::kNlHeaderSize + sl::kEvHostname + 6;
    Bytes buf = m;
    std::fill(buf.begin() + static_cast<long>(cut), buf.end(), 'Z');
    StationEvent ev;
    ASSERT_TRUE(decode_station_event(buf.data(), cut, &ev));
    EXPECT_STREQ(ev.hostname, "tablet");
}

TEST(StationEventDecode, LongHostNameKeepsThirtyNineCharacters) {
    Event e;
    e.hostname = std::string(60, 'h');
    Bytes m = event_message(e);
    StationEvent ev;
    ASSERT_TRUE(decode_station_event(m.data(), m.size(), &ev));
    EXPECT_EQ(std::string(ev.hostname), std::string(39, 'h'));
}

const Mac kWanted{0xa0, 0xb1, 0xc2, 0xd3, 0xe4, 0xf5};

TEST(StationTableWalk, FindsTheEntryAfterEntriesOfOtherLengths) {
    Entry a, b, c;
    a.mac = {1, 1, 1, 1, 1, 1};
    a.len = 240;
    b.mac = {2, 2, 2, 2, 2, 2};
    b.len = 400;
    c.mac = kWanted;
    c.uptime = 31;
    Bytes t = table_of({a, b, c});
    StationSample s;
    ASSERT_TRUE(find_station_sample(t.data(), t.size(), kWanted.data(), &s));
    EXPECT_EQ(s.uptime, 31u);
}

TEST(StationTableWalk, StopsAtBadLengthsAndShortRests) {
    Entry other, mine;
    other.mac = {1, 1, 1, 1, 1, 1};
    mine.mac = kWanted;
    mine.uptime = 9;
    struct Case {
        const char *name;
        Bytes table;
        size_t len;
    };
    Bytes zero = table_of({other, mine});
    put<uint16_t>(zero, 0, 0);
    Bytes too_long = table_of({other, mine});
    put<uint16_t>(too_long, 0, 2 * 232 + 1);
    Bytes short_rest = table_of({other, mine});
    const std::vector<Case> cases = {
        {"entry length 0", zero, zero.size()},
        {"entry longer than the bytes left", too_long, too_long.size()},
        {"fewer than 232 bytes left", short_rest, short_rest.size() - 1},
        {"empty table", {}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        StationSample s;
        s.uptime = 1234;
        EXPECT_FALSE(find_station_sample(c.table.data(), c.len, kWanted.data(), &s));
        EXPECT_EQ(s.uptime, 0u);
    }
}

TEST(StationTableWalk, PhyRateRule) {
    struct Case {
        uint32_t kbps;
        uint8_t index, byte;
        uint8_t want;
    };
    const std::vector<Case> cases = {
        {0, 5, 0x6C, 54},      // 108 half-megabit units
        {0, 5, 0xEC, 54},      // bit 7 ignored
        {0, 0, 0x02, 1},       //
        {0, 43, 0x16, 11},     // last byte of the rate table
        {0, 44, 44, 22},       // the index byte itself
        {0, 45, 0x6C, 54},     // past the rate table, still inside the entry
        {0, 197, 0x6C, 54},    // the entry's last byte (232 bytes)
        {0, 198, 0x6C, 0},     // beyond the entry's end
        {0, 255, 0x6C, 0},     //
        {54000, 5, 0x02, 54},  // kbit/s given: it wins
        {5999, 0, 0, 5},       // integer division
    };
    for (const Case &c : cases) {
        Entry e;
        e.kbps = c.kbps;
        e.rate_index = c.index;
        e.rate_byte = c.byte;
        Bytes b = table_entry(e);
        EXPECT_EQ(station_phyrate(b.data(), b.size()), c.want) << c.kbps << " " << int(c.index);
    }
    // A longer entry: an index of 255 still lies inside it, and the walk
    // takes the entry's own length.
    Entry e;
    e.mac = kWanted;
    e.len = 300;
    e.rate_index = 255;
    e.rate_byte = 0x24;
    Bytes t = table_of({e});
    StationSample s;
    ASSERT_TRUE(find_station_sample(t.data(), t.size(), kWanted.data(), &s));
    EXPECT_EQ(s.phyrate, 18);
    put<uint16_t>(t, sl::kEntLen, 232);  // the same bytes, told 232 long
    ASSERT_TRUE(find_station_sample(t.data(), t.size(), kWanted.data(), &s));
    EXPECT_EQ(s.phyrate, 0);
}

TEST(StationRegistration, HeaderThenZeroPayload) {
    uint8_t msg[sl::kRegistrationLen];
    std::memset(msg, 0xEE, sizeof msg);
    build_registration(0x12345678u, msg);
    uint32_t len, port;
    uint16_t type, flags;
    uint32_t seq;
    std::memcpy(&len, msg, 4);
    std::memcpy(&type, msg + 4, 2);
    std::memcpy(&flags, msg + 6, 2);
    std::memcpy(&seq, msg + 8, 4);
    std::memcpy(&port, msg + 12, 4);
    EXPECT_EQ(len, 296u);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(seq, 0u);
    EXPECT_EQ(port, 0x12345678u);
    EXPECT_EQ(Bytes(msg + 16, msg + 296), Bytes(280, 0));
}

}  // namespace
}  // namespace station_test
