// Station events applied to the list and the station file; samples and
// their ring; the run state's queries of the list.
#include <cstdlib>

#include "station_test_support.h"

namespace station_test {
namespace {

const Mac kMac{0x00, 0x11, 0x22, 0xaa, 0xbb, 0xcc};

Event join(int32_t radio = 1, uint8_t wlan = 0, Mac mac = kMac) {
    Event e;
    e.radio = radio;
    e.wlan = wlan;
    e.mac = mac;
    return e;
}
Event leave(int32_t radio = 1, uint8_t wlan = 0, Mac mac = kMac) {
    Event e = join(radio, wlan, mac);
    e.type = sl::kEventLeave;
    return e;
}

std::vector<uint32_t> types() {
    std::vector<uint32_t> out;
    for (NLnode *p = NLhead->next; p; p = p->next) out.push_back(p->type);
    return out;
}

using StationEvents = StationTest;

TEST_F(StationEvents, JoinOfNewStationMakesOneRecordWithOneSampleAndRewritesItsLine) {
    std::ofstream(file_) << "R:2 W:1 mac:00:11:22:aa:bb:cc ip:10.0.0.9\n";
    Entry entry;
    entry.mac = kMac;
    entry.uptime = 77;
    driver().tables["ath02"] = table_of({entry});
    Event e = join(1, 2);
    e.hostname = "laptop";
    e.ssid = "office";
    e.extra = "vendor";
    deliver(e);

    auto recs = records();
    ASSERT_EQ(recs.size(), 1u);
    NLnode &r = *recs[0];
    EXPECT_EQ(r.type, 1u);
    EXPECT_EQ(std::memcmp(r.mac, kMac.data(), 6), 0);
    EXPECT_STREQ(r.staip, "192.168.1.20");
    EXPECT_EQ(r.radioid, 1);
    EXPECT_EQ(r.wlanid, 2);
    EXPECT_STREQ(r.ssid, "office");
    EXPECT_STREQ(r.extra, "vendor");
    EXPECT_STREQ(r.hostname, "laptop");
    ASSERT_EQ(r.usrcnt, 1);
    EXPECT_EQ(r.usrlist->next, r.usrlist);
    EXPECT_EQ(r.usrlist->uptime, 77u);
    EXPECT_EQ(driver().asked, std::vector<std::string>{"ath02"});
    EXPECT_EQ(shell.commands(), std::vector<std::string>{"sed -i '/00:11:22:aa:bb:cc/d' " + file_});
    // The recorder does not run sed, so the old line is still there.
    EXPECT_EQ(station_file(),
              "R:2 W:1 mac:00:11:22:aa:bb:cc ip:10.0.0.9\n"
              "R:1 W:2 mac:00:11:22:aa:bb:cc ip:192.168.1.20\n");
    EXPECT_EQ(STAflag.load(), 1);
}

TEST_F(StationEvents, LeaveRunsTheStationLineSedOnTheFixedFile) {
    station_file_set_path(nullptr);
    deliver(leave(2, 3));
    EXPECT_EQ(shell.commands(), std::vector<std::string>{
                                    "sed -i '/R:2 W:3 mac:00:11:22:aa:bb:cc/d' /tmp/sta_mac_ip"});
}

TEST_F(StationEvents, SameJoinTwiceKeepsOneRecordAndRewritesTheLine) {
    deliver(join());
    deliver(join());
    EXPECT_EQ(types(), std::vector<uint32_t>{1});
    EXPECT_EQ(records()[0]->usrcnt, 1);  // the second probe's sample went with it
    EXPECT_EQ(shell.commands().size(), 2u);
    EXPECT_EQ(station_file(),
              "R:1 W:0 mac:00:11:22:aa:bb:cc ip:192.168.1.20\n"
              "R:1 W:0 mac:00:11:22:aa:bb:cc ip:192.168.1.20\n");
}

TEST_F(StationEvents, StationIdentityIsMacIpRadioAndWlan) {
    deliver(join(1, 0));
    deliver(join(1, 1));
    deliver(join(2, 0));
    Event other_ip = join();
    other_ip.ip = {192, 168, 1, 21};
    deliver(other_ip);
    Mac mac2 = kMac;
    mac2[5] = 0xcd;
    deliver(join(1, 0, mac2));
    EXPECT_EQ(records().size(), 5u);
}

TEST_F(StationEvents, MergesOfJoinAndLeave) {
    struct Case {
        const char *name;
        std::vector<std::string> steps;  // "join", "leave", "report"
        std::vector<uint32_t> types;
    };
    const std::vector<Case> cases = {
        {"join then leave before the report", {"join", "leave"}, {}},
        {"reported then leave", {"join", "report", "leave"}, {2}},
        {"reported, leave, join again", {"join", "report", "leave", "join"}, {0}},
        {"leave twice", {"join", "report", "leave", "leave"}, {2}},
        {"join of a reported station", {"join", "report", "join"}, {0}},
        {"leave of an unknown station", {"leave"}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        NLlistclear(NLhead);
        for (const std::string &s : c.steps) {
            if (s == "join") deliver(join());
            if (s == "leave") deliver(leave());
            if (s == "report") records()[0]->type = 0;
        }
        EXPECT_EQ(types(), c.types);
    }
}

// A driver may send a leave event of the bare fields only: it still removes
// the station.
TEST_F(StationEvents, ShortLeaveEventRemovesTheStation) {
    deliver(join(2, 1));
    records()[0]->type = 0;  // reported
    shell.clear();
    Bytes m = event_message(leave(2, 1));
    m.resize(82);
    nl_handle_message(m.data(), m.size());
    EXPECT_EQ(types(), std::vector<uint32_t>{2});
    EXPECT_EQ(shell.commands(),
              std::vector<std::string>{"sed -i '/R:2 W:1 mac:00:11:22:aa:bb:cc/d' " + file_});
}

TEST_F(StationEvents, LeaveOfUnknownStationStillRunsSedAndSetsTheFlag) {
    deliver(join(1, 0));
    shell.clear();
    STAflag = 0;
    deliver(leave(2, 1));
    EXPECT_EQ(types(), std::vector<uint32_t>{1});
    EXPECT_EQ(shell.commands(),
              std::vector<std::string>{"sed -i '/R:2 W:1 mac:00:11:22:aa:bb:cc/d' " + file_});
    EXPECT_EQ(STAflag.load(), 1);
}

TEST_F(StationEvents, FullListDropsFurtherJoinsButStillTakesLeaves) {
    for (int i = 0; i < NL_LIST_MAX; ++i) {
        Mac mac = kMac;
        mac[4] = static_cast<uint8_t>(i);
        deliver(join(1, 0, mac));
    }
    ASSERT_EQ(records().size(), 128u);
    for (auto *r : records()) r->type = 0;  // all reported
    const std::string before = station_file();
    shell.clear();
    driver().asked.clear();
    STAflag = 0;
    Mac newcomer{0x02, 0, 0, 0, 0, 1};
    deliver(join(1, 0, newcomer));
    EXPECT_EQ(records().size(), 128u);
    EXPECT_EQ(station_file(), before);
    EXPECT_TRUE(shell.commands().empty());
    EXPECT_TRUE(driver().asked.empty());
    EXPECT_EQ(STAflag.load(), 1);

    // A leave can only shrink the list: a full list must still take it, or
    // it could never drain.
    Mac first = kMac;
    first[4] = 0;
    deliver(leave(1, 0, first));
    EXPECT_EQ(records()[0]->type, 2u);
    EXPECT_EQ(shell.commands().size(), 1u);
    NLlistdelete(NLhead, records()[0]);
    deliver(join(1, 0, newcomer));
    EXPECT_EQ(records().size(), 128u);
    EXPECT_EQ(records().back()->mac[0], 0x02);
}

TEST_F(StationEvents, StationFileThatCannotBeOpenedLeavesTheEventProcessed) {
    station_file_set_path((dir_ + "/missing/sta_mac_ip").c_str());
    testing::internal::CaptureStdout();
    deliver(join());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "save sta mac ip error");
    EXPECT_EQ(types(), std::vector<uint32_t>{1});
}

TEST_F(StationEvents, UnknownRadioOrWlanKeepsTheRecordWithoutSample) {
    for (auto [radio, wlan] :
         {std::pair<int32_t, uint8_t>{0, 0}, {3, 0}, {-1, 0}, {1, 4}, {2, 255}}) {
        SCOPED_TRACE(radio * 1000 + wlan);
        NLlistclear(NLhead);
        shell.clear();
        deliver(join(radio, wlan));
        ASSERT_EQ(records().size(), 1u);
        EXPECT_EQ(records()[0]->usrcnt, 0);
        EXPECT_EQ(records()[0]->usrlist, nullptr);
        EXPECT_EQ(shell.commands().size(), 1u);
    }
    EXPECT_TRUE(driver().asked.empty());
    get_OnlineStaNum(NLhead);  // still reported
    EXPECT_EQ(log_messages().back(), "        mac:00:11:22:aa:bb:cc, radioId:2");
}

TEST_F(StationEvents, IgnoredMessagesChangeNothing) {
    Bytes wrong_type = event_message(join());
    put<uint32_t>(wrong_type, sl::kNlHeaderSize + sl::kEvType, 3);
    Bytes nonzero = event_message(join());
    put<uint32_t>(nonzero, sl::kNlHeaderSize + sl::kEvZero, 1);
    Bytes no_type = event_message(join());
    no_type.resize(sl::kNlHeaderSize + sl::kEvType);  // ends before the event type
    for (const Bytes &m : {wrong_type, nonzero, no_type}) nl_handle_message(m.data(), m.size());
    EXPECT_TRUE(records().empty());
    EXPECT_TRUE(shell.commands().empty());
    EXPECT_EQ(STAflag.load(), 0);
}

using StationSamples = StationTest;

TEST_F(StationSamples, RingKeepsTheLastTenOldestFirst) {
    auto *rec = static_cast<NLnode *>(std::calloc(1, sizeof(NLnode)));
    rec->radioid = 1;
    Entry entry;
    entry.mac = kMac;
    for (uint32_t i = 1; i <= 12; ++i) {
        entry.uptime = i;
        driver().tables["ath0"] = table_of({entry});
        UsrListInsert(kMac.data(), rec);
        EXPECT_EQ(rec->usrcnt, std::min<uint32_t>(i, 10));
    }
    std::vector<uint32_t> seen;
    UsrNode *p = rec->usrlist;
    for (int i = 0; i < 10; ++i, p = p->next) seen.push_back(p->uptime);
    EXPECT_EQ(seen, (std::vector<uint32_t>{3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(p, rec->usrlist);  // newest leads back to the oldest
    free_usr_ring(rec);
    std::free(rec);
}

TEST_F(StationSamples, SampleTakesEveryFieldFromTheMatchingEntry) {
    Entry other;
    other.mac = {1, 2, 3, 4, 5, 6};
    other.len = 300;
    other.uptime = 999;
    Entry mine;
    mine.mac = kMac;
    mine.rssi = 0xd5;
    mine.kbps = 144400;
    mine.rxbytes = 0x1122334455667788ull;
    mine.txbytes = 0x0102030405060708ull;
    mine.rxrate = 11;
    mine.txrate = 12;
    mine.uptime = 13;
    mine.aux32 = 0xdeadbeef;
    mine.aux16 = 0xfffe;
    driver().tables["ath13"] = table_of({other, mine});
    deliver(join(2, 3));
    const UsrNode &s = *records()[0]->usrlist;
    EXPECT_EQ(driver().asked, std::vector<std::string>{"ath13"});
    EXPECT_EQ(s.rssi, 0xd5);
    EXPECT_EQ(s.phyrate, 144);
    EXPECT_EQ(s.rxbytes, 0x1122334455667788ull);
    EXPECT_EQ(s.txbytes, 0x0102030405060708ull);
    EXPECT_EQ(s.rxrate, 11u);
    EXPECT_EQ(s.txrate, 12u);
    EXPECT_EQ(s.uptime, 13u);
    EXPECT_EQ(s.aux32, 0xdeadbeefu);
    EXPECT_EQ(s.aux16, 0xfffeu);
}

TEST_F(StationSamples, StationMissingFromTheTableGetsZeros) {
    Entry other;
    other.mac = {1, 2, 3, 4, 5, 6};
    other.uptime = 5;
    driver().tables["ath0"] = table_of({other});
    deliver(join());
    EXPECT_EQ(driver().asked, std::vector<std::string>{"ath0"});
    ASSERT_EQ(records()[0]->usrcnt, 1);
    const UsrNode &s = *records()[0]->usrlist;
    EXPECT_EQ(s.uptime + s.rxrate + s.txrate + s.rssi + s.phyrate + s.aux32 + s.aux16, 0u);
    EXPECT_EQ(s.rxbytes + s.txbytes, 0u);
}

TEST_F(StationSamples, DriverFailuresAddNoSample) {
    struct Case {
        long result;
        std::string out, err;
    };
    for (const Case &c : {Case{kTableNoSocket, "socket(SOCK_DRAGM)\n", ""},
                          Case{kTableNameTooLong, "", "ifname too long: ath0\n"},
                          Case{kTableIoctlFailed, "unable to get station information\n", ""}}) {
        NLlistclear(NLhead);
        driver().table_result = c.result;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        deliver(join());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        ASSERT_EQ(records().size(), 1u);
        EXPECT_EQ(records()[0]->usrlist, nullptr);
    }
}

TEST_F(StationSamples, ClaimedLengthBeyondTheBufferIsReadUpToItsEnd) {
    Entry mine;
    mine.mac = kMac;
    mine.uptime = 4;
    driver().tables["ath0"] = table_of({mine});
    driver().claimed = static_cast<long>(sl::kStationTableSize) * 4;
    deliver(join());
    ASSERT_EQ(records()[0]->usrcnt, 1);
    EXPECT_EQ(records()[0]->usrlist->uptime, 4u);
}

using StationQueries = StationTest;

NLnode *add_record(uint32_t type, int32_t radio, uint8_t last, uint8_t wlan = 0) {
    auto *rec = static_cast<NLnode *>(std::calloc(1, sizeof(NLnode)));
    rec->type = type;
    rec->radioid = radio;
    rec->wlanid = wlan;
    std::memcpy(rec->mac, kMac.data(), 6);
    rec->mac[5] = last;
    std::snprintf(rec->staip, sizeof rec->staip, "10.0.0.%u", last);
    NLnode *tail = NLhead;
    while (tail->next) tail = tail->next;
    tail->next = rec;
    return rec;
}

TEST_F(StationQueries, OnlineCountsAndTheirLogLines) {
    add_record(0, 1, 1);
    add_record(1, 2, 2);
    add_record(2, 1, 3);  // gone: not counted
    add_record(0, 2, 4);
    add_record(1, 1, 5);
    add_record(0, 7, 6);  // counted in neither radio, still listed
    staNUM24 = staNUM5 = 99;
    get_OnlineStaNum(NLhead);
    EXPECT_EQ(staNUM24, 2);
    EXPECT_EQ(staNUM5, 2);
    EXPECT_EQ(log_messages(), (std::vector<std::string>{
                                  "initNLlist OK!",
                                  "ONLINE STA:",
                                  "        mac:00:11:22:aa:bb:01, radioId:1",
                                  "        mac:00:11:22:aa:bb:02, radioId:2",
                                  "        mac:00:11:22:aa:bb:04, radioId:2",
                                  "        mac:00:11:22:aa:bb:05, radioId:1",
                                  "        mac:00:11:22:aa:bb:06, radioId:7",
                              }));
}

TEST_F(StationQueries, PendingChangeIsTheFirstRecordNotOfTypeZero) {
    EXPECT_EQ(isNLlistSendStaInfo(NLhead), nullptr);
    add_record(0, 1, 1);
    EXPECT_EQ(isNLlistSendStaInfo(NLhead), nullptr);
    NLnode *gone = add_record(2, 1, 2);
    add_record(1, 1, 3);
    EXPECT_EQ(isNLlistSendStaInfo(NLhead), gone);
}

TEST_F(StationQueries, DeleteRemovesOnlyALeftRecordOfTheSameStation) {
    NLnode *online = add_record(0, 1, 1);
    NLnode *other_wlan = add_record(2, 1, 1, 1);
    NLnode *gone = add_record(2, 1, 1);
    NLnode probe = *online;
    EXPECT_EQ(NLlistdelete(NLhead, &probe), 0);
    EXPECT_EQ(records(), (std::vector<NLnode *>{online, other_wlan}));
    EXPECT_EQ(NLlistdelete(NLhead, &probe), 0);  // nothing left to remove
    EXPECT_EQ(records(), (std::vector<NLnode *>{online, other_wlan}));
    (void)gone;
}

TEST_F(StationQueries, DeleteFreesTheRing) {
    driver().tables["ath0"] = {};
    NLnode *gone = add_record(2, 1, 1);
    for (int i = 0; i < 3; ++i) UsrListInsert(gone->mac, gone);
    ASSERT_EQ(gone->usrcnt, 3);
    NLnode probe = *gone;
    NLlistdelete(NLhead, &probe);  // the sanitizers check the ring is freed
    EXPECT_TRUE(records().empty());
}

TEST_F(StationQueries, UpdateSamplesOnlyReportedOnlineRecords) {
    NLnode *online = add_record(0, 2, 1, 1);
    NLnode *joined = add_record(1, 1, 2);
    NLnode *gone = add_record(2, 1, 3);
    NLnode *online2 = add_record(0, 1, 4, 3);
    NLlistUpdate(NLhead);
    NLlistUpdate(NLhead);
    EXPECT_EQ(online->usrcnt, 2);
    EXPECT_EQ(online2->usrcnt, 2);
    EXPECT_EQ(joined->usrcnt, 0);
    EXPECT_EQ(gone->usrcnt, 0);
    EXPECT_EQ(driver().asked, (std::vector<std::string>{"ath11", "ath03", "ath11", "ath03"}));
}

TEST_F(StationQueries, ClearFreesEveryRecordAndKeepsTheHead) {
    NLnode *head = NLhead;
    deliver(join());
    deliver(join(2, 1));
    NLlistclear(NLhead);
    EXPECT_EQ(NLhead, head);
    EXPECT_EQ(NLhead->next, nullptr);
}

}  // namespace
}  // namespace station_test
