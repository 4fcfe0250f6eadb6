// The fake wireless driver as the agents meet it: a probe doing what a
// station monitor does runs in a sandbox with libfakewifi preloaded, while
// the fakewifi command drives the same folder from the host.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sandbox.h"
#include "station_layout.h"
#include "wait_until.h"

namespace sl = station_layout;

namespace {

struct Output {
    int status;
    std::string text;  // standard output and error together
};

Output host_run(const std::vector<std::string> &argv) {
    std::string cmd;
    for (const auto &a : argv) cmd += "'" + a + "' ";
    FILE *p = popen((cmd + "2>&1").c_str(), "r");
    Output o{-1, ""};
    if (!p) return o;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) o.text.append(buf, n);
    int st = pclose(p);
    o.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return o;
}

template <typename T>
void put(std::string &b, size_t at, T v) {
    std::memcpy(&b[at], &v, sizeof v);
}

std::string hex(const std::string &bytes) {
    std::string h;
    char x[3];
    for (unsigned char c : bytes) snprintf(x, sizeof x, "%02x", c), h += x;
    return h;
}

// A 296-byte station event laid out field by field.
std::string event(uint32_t type, int32_t radio, uint8_t wlan, const std::string &mac6,
                  const std::string &ip4, const std::string &ssid, const std::string &extra,
                  const std::string &host) {
    std::string m(sl::kRegistrationLen, '\0');
    put<uint32_t>(m, 0, static_cast<uint32_t>(m.size()));
    const size_t p = sl::kNlHeaderSize;
    put<uint32_t>(m, p + sl::kEvType, type);
    put<int32_t>(m, p + sl::kEvRadio, radio);
    m.replace(p + sl::kEvMac, 6, mac6);
    m.replace(p + sl::kEvIp, 4, ip4);
    m.replace(p + sl::kEvSsid, ssid.size(), ssid);
    put<uint8_t>(m, p + sl::kEvWlan, wlan);
    m.replace(p + sl::kEvExtra, extra.size(), extra);
    m.replace(p + sl::kEvHostname, host.size(), host);
    return m;
}

const char kMac1[] = "aa:bb:cc:dd:ee:01";
const std::string kMac1Bytes("\xaa\xbb\xcc\xdd\xee\x01", 6);
const char kMac2[] = "aa:bb:cc:dd:ee:02";
const char kPort[] = "305419896";  // 0x12345678

class FakeWifi : public ::testing::Test {
  protected:
    FakeWifi() {
        box.env("LD_PRELOAD", sandbox::lib("libfakewifi.so"));
        box.env("ASAN_OPTIONS", "verify_asan_link_order=0");
        box.env("FAKEWIFI_DIR", "/tmp/fakewifi");
    }
    Output cli(std::vector<std::string> args) const {
        args.insert(args.begin(), {sandbox::bin("fakewifi"), "-d", box.host("tmp/fakewifi")});
        return host_run(args);
    }
    std::vector<std::string> probe_args(const std::string &events,
                                        const std::vector<std::string> &ifnames) const {
        std::vector<std::string> a = {sandbox::bin("wifi_probe"), kPort, events};
        a.insert(a.end(), ifnames.begin(), ifnames.end());
        return a;
    }
    // Starts the probe and waits until its registration is in.
    std::unique_ptr<sandbox::Process> start_probe(const std::string &events,
                                                  const std::vector<std::string> &ifnames) {
        auto p = box.start(probe_args(events, ifnames));
        EXPECT_TRUE(
            sandbox::wait_until([&] { return box.exists("tmp/fakewifi/registration"); }, 10000))
            << box.read("stderr");
        return p;
    }
    std::string finish(sandbox::Process &p) {
        EXPECT_EQ(p.wait(10000), 0) << box.read("stdout") << box.read("stderr");
        return box.read("stdout");
    }
    sandbox::Result probe(const std::vector<std::string> &ifnames) const {
        return box.run(probe_args("0", ifnames));
    }
    sandbox::Sandbox box;
};

TEST_F(FakeWifi, JoinEventArrivesByteForByteAndTheTableHasTheStation) {
    auto p = start_probe("1", {"ath13", "ath0"});
    std::string reg(sl::kRegistrationLen, '\0');
    put<uint32_t>(reg, 0, sl::kRegistrationLen);
    put<uint32_t>(reg, 12, 0x12345678u);
    EXPECT_EQ(hex(box.read("tmp/fakewifi/registration")), hex(reg));
    EXPECT_EQ(box.read("tmp/fakewifi/port"), std::string(kPort) + "\n");

    auto c = cli({"join", kMac1, "10.0.0.7", "-r", "2", "-w", "3", "-s", "Guest Net", "-n",
                  "laptop", "-x", "x1"});
    EXPECT_EQ(c.status, 0) << c.text;
    EXPECT_EQ(c.text, "join aa:bb:cc:dd:ee:01 10.0.0.7 radio 2 wlan 3 (ath13)\n");
    std::string out = finish(*p);
    std::string want =
        event(1, 2, 3, kMac1Bytes, std::string("\x0a\x00\x00\x07", 4), "Guest Net", "x1", "laptop");
    EXPECT_NE(out.find("sent 296\nrecv 296 from family=16 port=0\nbytes " + hex(want) + "\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\nath13 240\n  len=240 mac=aa:bb:cc:dd:ee:01 rssi=0 rate_index=11 "
                       "rate_byte=0x6c txkbps=0 "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\nath0 0\n"), std::string::npos) << out;
}

TEST_F(FakeWifi, LeaveSendsTypeTwoFromTheStoredStationAndDropsItsEntry) {
    cli({"join", kMac1, "192.168.1.5", "-w", "1"});
    cli({"join", kMac2, "192.168.1.6", "-w", "1"});
    auto p = start_probe("1", {"ath01"});
    auto c = cli({"leave", kMac1});
    EXPECT_EQ(c.status, 0) << c.text;
    std::string out = finish(*p);
    std::string want = event(2, 1, 1, kMac1Bytes, "\xc0\xa8\x01\x05", "", "", "");
    EXPECT_NE(out.find("bytes " + hex(want) + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nath01 240\n  len=240 mac=aa:bb:cc:dd:ee:02 "), std::string::npos) << out;
    EXPECT_EQ(cli({"list"}).text.find(kMac1), std::string::npos);
}

TEST_F(FakeWifi, LeaveOfAnUnknownStationStillSendsTheEvent) {
    auto p = start_probe("1", {});
    EXPECT_EQ(cli({"leave", kMac1, "-r", "2", "-w", "2", "-i", "1.2.3.4"}).status, 0);
    std::string want = event(2, 2, 2, kMac1Bytes, "\x01\x02\x03\x04", "", "", "");
    EXPECT_NE(finish(*p).find("bytes " + hex(want) + "\n"), std::string::npos);
}

TEST_F(FakeWifi, FiguresAreSetInTheEntriesOfTheirInterface) {
    auto c = cli({"join", kMac1, "10.0.0.1"});
    EXPECT_EQ(c.status, 1);
    EXPECT_NE(c.text.find("fakewifi: event not delivered: no agent is listening on "),
              std::string::npos)
        << c.text;
    cli({"join", kMac2, "10.0.0.2"});
    c = cli({"set",         kMac1,  "--rssi",   "41",     "--rxbytes",    "0x123456789",
             "--txbytes",   "7",    "--rxrate", "54000",  "--txrate",     "65000",
             "--uptime",    "300",  "--txkbps", "150000", "--rate-index", "3",
             "--rate-byte", "0x24", "--aux32",  "9",      "--aux16",      "65535"});
    EXPECT_EQ(c.status, 0) << c.text;
    auto r = probe({"ath0", "ath1", "wlan0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "sent 296\nath0 480\n"
              "  len=240 mac=aa:bb:cc:dd:ee:01 rssi=41 rate_index=3 rate_byte=0x24 txkbps=150000 "
              "rxbytes=4886718345 txbytes=7 rxrate=54000 txrate=65000 uptime=300 aux32=9 "
              "aux16=65535\n"
              "  len=240 mac=aa:bb:cc:dd:ee:02 rssi=0 rate_index=11 rate_byte=0x6c txkbps=0 "
              "rxbytes=0 txbytes=0 rxrate=0 txrate=0 uptime=0 aux32=0 aux16=0\n"
              "ath1 0\nwlan0 0\n");
    EXPECT_EQ(cli({"clear"}).status, 0);
    EXPECT_EQ(probe({"ath0"}).out, "sent 296\nath0 0\n");
}

TEST_F(FakeWifi, TheTableIsCutToTheCallersBuffer) {
    std::string table(30000, '\x01');
    box.write("tmp/fakewifi/table.ath0", table);
    auto r = probe({"ath0"});
    EXPECT_NE(r.out.find("ath0 24576\n"), std::string::npos) << r.out;
}

TEST_F(FakeWifi, InjectedFailuresAndBadInterfaceNames) {
    struct Case {
        std::string fail, ifname, want;
        int status;
    } cases[] = {
        {"socket", "ath0", "socket: Protocol not supported\n", 1},
        {"bind", "ath0", "bind: Address already in use\n", 1},
        {"send", "ath0", "sendmsg: Connection refused\nath0 0\n", 0},
        {"ioctl", "ath0", "sent 296\nioctl ath0: Input/output error\n", 0},
        {"send,ioctl", "ath0", "sendmsg: Connection refused\nioctl ath0: Input/output error\n", 0},
        {"", "../x", "sent 296\nioctl ../x: No such device\n", 0},
    };
    for (const auto &c : cases) {
        box.env("FAKEWIFI_FAIL", c.fail);
        auto r = probe({c.ifname});
        EXPECT_EQ(r.status, c.status) << c.fail;
        EXPECT_EQ(r.out, c.want) << c.fail;
    }
}

TEST_F(FakeWifi, RawSendsTheFileAsOneMessageAndAnEmptyOneReadsAsZero) {
    auto p = start_probe("2", {});
    box.write("raw1", "hello");
    box.write("raw2", "");
    EXPECT_EQ(cli({"raw", box.host("raw1")}).status, 0);
    EXPECT_EQ(cli({"raw", box.host("raw2")}).status, 0);
    EXPECT_EQ(finish(*p),
              "sent 296\nrecv 5 from family=16 port=0\nbytes 68656c6c6f\n"
              "recv 0 from family=16 port=0\nbytes \n");
}

TEST(FakeWifiDefaults, TheFolderIsTmpFakewifi) {
    sandbox::Sandbox box;
    box.env("LD_PRELOAD", sandbox::lib("libfakewifi.so"));
    box.env("ASAN_OPTIONS", "verify_asan_link_order=0");
    auto r = box.run({sandbox::bin("wifi_probe"), "7", "0"});
    EXPECT_EQ(r.out, "sent 296\n") << r.err;
    EXPECT_EQ(box.read("tmp/fakewifi/port"), "7\n");
    EXPECT_TRUE(box.exists("tmp/fakewifi/events.sock"));
}

TEST_F(FakeWifi, CommandLineMistakesAreRefused) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{}, 2, "fakewifi: no command"},
        {{"join", "aa:bb:cc:dd:ee", "10.0.0.1"}, 2, "bad MAC"},
        {{"join", kMac1, "10.0.0.300"}, 2, "bad MAC, IP"},
        {{"join", kMac1}, 2, "wrong number of arguments"},
        {{"leave", kMac1, "-s", "x"}, 2, "option -s does not go with leave"},
        {{"set", kMac1, "--rssi", "256"}, 2, "bad figure"},
        {{"set", kMac1, "--rssi"}, 2, "option --rssi needs a value"},
        {{"set", kMac1, "--rssi", "1"}, 1, "no station aa:bb:cc:dd:ee:01"},
        {{"raw", "/nonexistent"}, 1, "cannot read /nonexistent"},
    };
    for (const auto &c : cases) {
        auto o = cli(c.args);
        EXPECT_EQ(o.status, c.status) << o.text;
        EXPECT_NE(o.text.find(c.message), std::string::npos) << o.text;
    }
}

}  // namespace
