#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "shell_recorder.h"
#include "station_monitor.h"
#include "vclock.h"
#include "wifi_fake.h"

namespace {

using namespace wifi_fake;

class StationMonitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/ostrel-station-XXXXXX";
        dir_ = mkdtemp(tmpl) ? tmpl : "";
        file_ = dir_ + "/sta_mac_ip";
        station_file_set_path(file_.c_str());
        driver().reset();
        wifi_set_driver(&kFakeOps);
        if (!NLhead) NLhead = static_cast<NLnode *>(std::calloc(1, sizeof(NLnode)));
    }
    void TearDown() override {
        NLlistclear(NLhead);
        wifi_set_driver(nullptr);
        station_file_set_path(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    static FakeDriver &driver() { return FakeDriver::get(); }
    static void deliver(const Event &e) {
        Bytes m = event_message(e);
        nl_handle_message(m.data(), m.size());
    }
    static std::vector<NLnode *> records() {
        std::vector<NLnode *> out;
        for (NLnode *p = NLhead->next; p; p = p->next) out.push_back(p);
        return out;
    }
    std::string station_file() const {
        std::ifstream f(file_);
        std::ostringstream s;
        s << f.rdbuf();
        return s.str();
    }

    plat::ShellRecorder shell;
    std::string dir_, file_;
};

Entry figures(const Mac &mac, uint32_t seed) {
    Entry e;
    e.mac = mac;
    e.rssi = 0xC8;  // -56 as a signed byte
    e.kbps = 0;
    e.rate_index = 3;
    e.rate_byte = 0x6C;  // 54 Mbit/s
    e.rxbytes = 0x100000000ull + seed;
    e.txbytes = 2 * seed;
    e.rxrate = 3 * seed;
    e.txrate = 4 * seed;
    e.uptime = 5 * seed;
    return e;
}

TEST_F(StationMonitorTest, JoinQueuesOneRecordWithTheDriverFiguresAndAddsTheFileLine) {
    Event join;
    join.radio = 2;
    join.wlan = 3;
    driver().tables["ath13"] = table_of({figures({9, 9, 9, 9, 9, 9}, 1), figures(join.mac, 10)});
    deliver(join);
    ASSERT_EQ(records().size(), 1u);
    const NLnode &r = *records()[0];
    EXPECT_EQ(r.type, 1u);
    EXPECT_STREQ(r.mac, "00:1a:2b:3c:4d:5e");
    EXPECT_STREQ(r.staip, "192.168.1.20");
    EXPECT_EQ(r.radioid, 2);
    EXPECT_EQ(r.wlanid, 3);
    EXPECT_STREQ(r.ssid, "guest");
    EXPECT_STREQ(r.extra, "x");
    EXPECT_STREQ(r.hostname, "phone");
    EXPECT_EQ(r.rxbytes, 0x10000000Aull);
    EXPECT_EQ(r.txbytes, 20u);
    EXPECT_EQ(r.rxrate, 30u);
    EXPECT_EQ(r.txrate, 40u);
    EXPECT_EQ(r.uptime, 50u);
    EXPECT_EQ(r.rssi, -56);
    EXPECT_EQ(r.phyrate, 54);
    EXPECT_EQ(driver().asked, std::vector<std::string>{"ath13"});
    EXPECT_EQ(station_file(), "mac:00:1a:2b:3c:4d:5e ip:192.168.1.20\n");
    EXPECT_TRUE(shell.commands().empty());
}

TEST_F(StationMonitorTest, LeaveQueuesASecondRecordAndRemovesTheMacLines) {
    Event e;
    deliver(e);
    deliver(e);  // a second join keeps both lines until the leave
    e.type = 2;
    deliver(e);
    ASSERT_EQ(records().size(), 3u);
    EXPECT_EQ(records()[2]->type, 2u);
    EXPECT_EQ(records()[2]->rxbytes, 0u);  // the driver no longer lists it
    EXPECT_EQ(station_file(), "mac:00:1a:2b:3c:4d:5e ip:192.168.1.20\n"
                              "mac:00:1a:2b:3c:4d:5e ip:192.168.1.20\n");
    EXPECT_EQ(shell.commands(),
              std::vector<std::string>{"sed -i '/00:1a:2b:3c:4d:5e/d' " + file_});
}

TEST_F(StationMonitorTest, StationsWhoseMacsBeginWithZeroGetTheirOwnFigures) {
    Event a, b;
    b.mac = {0x00, 0x99, 0x88, 0x77, 0x66, 0x55};
    driver().tables["ath0"] = table_of({figures(a.mac, 1), figures(b.mac, 2)});
    deliver(a);
    deliver(b);
    ASSERT_EQ(records().size(), 2u);
    EXPECT_EQ(records()[0]->txrate, 4u);
    EXPECT_EQ(records()[1]->txrate, 8u);
}

TEST_F(StationMonitorTest, FullListQueuesNothingButKeepsTheFile) {
    for (int i = 0; i < NL_LIST_MAX; ++i) deliver(Event{});
    std::filesystem::remove(file_);
    Event late;
    late.mac[5] = 0x77;
    deliver(late);
    EXPECT_EQ(records().size(), static_cast<size_t>(NL_LIST_MAX));
    EXPECT_EQ(station_file(), "mac:00:1a:2b:3c:4d:77 ip:192.168.1.20\n");
}

TEST_F(StationMonitorTest, IgnoredEventsChangeNeitherListNorFile) {
    Event nonzero;
    nonzero.zero = 1;
    Event other;
    other.type = 3;
    deliver(nonzero);
    deliver(other);
    uint8_t too_short[20] = {};
    nl_handle_message(too_short, sizeof too_short);  // reads as zeros: type 0
    EXPECT_TRUE(records().empty());
    EXPECT_FALSE(std::filesystem::exists(file_));
    EXPECT_TRUE(shell.commands().empty());
}

TEST_F(StationMonitorTest, LongHostNameIsStoredAsItsFirstThirtyThreeCharacters) {
    Event e;
    e.hostname = std::string(40, 'h');
    deliver(e);
    ASSERT_EQ(records().size(), 1u);
    EXPECT_EQ(std::string(records()[0]->hostname), std::string(33, 'h'));
}

TEST_F(StationMonitorTest, RecordKeepsZeroFiguresWhenTheDriverCannotTell) {
    Event bad_radio;
    bad_radio.radio = 3;
    Event bad_wlan;
    bad_wlan.wlan = 4;
    Event zero_length;  // an entry of length 0 ends the walk
    Entry stuck = figures({1, 2, 3, 4, 5, 6}, 1);
    stuck.len = 0;
    driver().tables["ath0"] = table_of({stuck, figures(zero_length.mac, 3)});
    deliver(bad_radio);
    deliver(bad_wlan);
    deliver(zero_length);
    driver().table_result = kTableIoctlFailed;
    testing::internal::CaptureStdout();
    deliver(Event{});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "unable to get station information\n");
    ASSERT_EQ(records().size(), 4u);
    for (NLnode *r : records()) EXPECT_EQ(r->uptime + r->txrate + r->rxbytes, 0u) << r->radioid;
    EXPECT_EQ(driver().asked, (std::vector<std::string>{"ath0", "ath0"}));
}

TEST_F(StationMonitorTest, DeleteTakesTheOldestAndRefusesOutOfRange) {
    Event a, b;
    b.mac[5] = 1;
    deliver(a);
    deliver(b);
    testing::internal::CaptureStdout();
    EXPECT_EQ(NLlistdelete(NLhead, 0), 1);
    EXPECT_EQ(NLlistdelete(NLhead, 3), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "index must > 1\nlist only 2 Node\n");
    EXPECT_EQ(NLlistdelete(NLhead, 1), 0);
    ASSERT_EQ(records().size(), 1u);
    EXPECT_STREQ(records()[0]->mac, "00:1a:2b:3c:4d:01");
}

TEST_F(StationMonitorTest, FailingReceiveBacksOffInsteadOfSpinning) {
    plat::VirtualClock clock;
    driver().failures = 5;
    driver().messages.push_back(event_message(Event{}));
    uint8_t buf[station_layout::kRecvBufferSize];
    std::size_t n = nl_receive_message(7, buf, sizeof buf);
    EXPECT_EQ(n, station_layout::kNlHeaderSize + station_layout::kEventPayloadSize);
    EXPECT_EQ(clock.sleeps(), 5u);
    EXPECT_DOUBLE_EQ(clock.elapsed(), 0.5);
}

}  // namespace
