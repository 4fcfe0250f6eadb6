// One AP of the fleet without its agent: the churn it plays on the fake
// driver's folder, as the driver's event socket receives it, and the bound
// on the output kept per AP.
#include "fleet_ap.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "folder.h"
#include "station_event.h"
#include "station_layout.h"

namespace fs = std::filesystem;

namespace {

class FleetApTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/apm-fleet-ap-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        settings_.kind = "ostrel";
        settings_.sn = "FL0007";
        settings_.dir = dir_;
        settings_.index = 7;
    }
    void TearDown() override {
        if (sock_ >= 0) close(sock_);
        fs::remove_all(dir_);
    }
    // The agent's end of the driver's event channel.
    void listen_for_events() {
        std::string wifi = dir_ + "/tmp/fakewifi";
        fs::create_directories(wifi);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::string path = wifi + "/events.sock";
        std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
        sock_ = socket(AF_UNIX, SOCK_DGRAM, 0);
        ASSERT_EQ(bind(sock_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    }
    StationEvent next_event() {
        uint8_t buf[1024] = {};
        ssize_t n = recv(sock_, buf, sizeof buf, MSG_DONTWAIT);
        StationEvent ev{};
        EXPECT_GT(n, 0);
        EXPECT_TRUE(decode_station_event(buf, n > 0 ? static_cast<size_t>(n) : 0, &ev));
        return ev;
    }
    std::string dir_;
    sim::ApSettings settings_;
    int sock_ = -1;
};

TEST_F(FleetApTest, ChurnKeepsThreeStationsAndTheLongestAssociatedLeavesFirst) {
    listen_for_events();
    sim::FleetAp ap(settings_, {});
    std::vector<StationEvent> events;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(ap.churn()) << i;
        events.push_back(next_event());
    }
    const uint32_t join = station_layout::kEventJoin, leave = station_layout::kEventLeave;
    std::vector<uint32_t> types;
    for (const auto &e : events) types.push_back(e.type);
    EXPECT_EQ(types, (std::vector<uint32_t>{join, join, join, leave, join}));
    EXPECT_EQ(0, std::memcmp(events[3].mac, events[0].mac, 6));  // the first one left
    // The AP's own MACs: 02 and its index, then the station's number.
    const uint8_t own[] = {0x02, 0x00, 0x00, 0x07};
    for (const auto &e : events) EXPECT_EQ(0, std::memcmp(e.mac, own, sizeof own));
    EXPECT_STREQ(events[0].ssid, "fleet");
    EXPECT_STREQ(events[1].hostname, "sta-1");

    // The driver's state holds what the events said: stations 1, 2 and 3.
    std::vector<fakewifi::Station> stations;
    std::string error;
    ASSERT_TRUE(fakewifi::load_stations(dir_ + "/tmp/fakewifi", stations, error)) << error;
    ASSERT_EQ(stations.size(), 3u);
    for (size_t i = 0; i < stations.size(); ++i) EXPECT_EQ(stations[i].entry.mac[5], i + 1) << i;
}

TEST_F(FleetApTest, AnEventNobodyListensForIsReportedLost) {
    sim::FleetAp ap(settings_, {});
    EXPECT_FALSE(ap.churn());
}

TEST_F(FleetApTest, OutputIsKeptWithinTwiceTheBound) {
    sim::FleetAp ap(settings_, {});
    std::string big(1500, 'x'), small = "after\n";
    std::ofstream(dir_ + "/out") << big;
    ap.bound_output(1024);
    EXPECT_EQ(fs::file_size(dir_ + "/out"), 0u);
    EXPECT_EQ(fs::file_size(dir_ + "/out.old"), big.size());
    std::ofstream(dir_ + "/out", std::ios::app) << small;
    ap.bound_output(1024);  // below the bound: left as it is
    EXPECT_EQ(ap.log_text(), big + small);
}

}  // namespace
