// The shipped ostrel in a sandbox root with the sample script, the fake
// Wi-Fi driver, cloudsim and a real broker.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "broker.h"
#include "cloudsim.h"
#include "sandbox.h"
#include "test_certs.h"
#include "wait_until.h"

namespace {

const std::string kSource = APM_SOURCE_DIR;
const std::string kSn = "AB12";

bool has(const std::string &text, const std::string &what) {
    return text.find(what) != std::string::npos;
}

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::string slurp(const std::string &path) {
    std::ifstream f(path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// An agent in a sandbox with the sample script, the firmware stubs and the
// fake driver, provisioned by cloudsim over a real broker.
//
// With a TLS listener the agent connects to it, trusting the CA in `cafile`
// (copied into the sandbox); cloudsim stays on the plain listener.
struct CloudAgent {
    explicit CloudAgent(std::map<std::string, std::string> env = {},
                        const sandbox::TlsListener &tls = {}, const std::string &cafile = "")
        : broker(tls) {
        settings.port = broker.port();
        cloud = std::make_unique<sim::CloudSim>(settings);
        cloud->start();
        box.bind(kSource + "/examples/lua/ostrel.lua", "/usr/lib/lua/ostrel.lua");
        box.bind(kSource + "/sim/stubs/iface_led.sh", "/sbin/iface_led.sh");
        box.bind(kSource + "/sim/stubs/sysupgrade", "/sbin/sysupgrade");
        box.bind(kSource + "/sim/stubs/disconnect.sh", "/usr/bin/disconnect.sh");
        box.env("OSTREL_SN", kSn);
        box.env("OSTREL_SERVER_PORT", std::to_string(broker.port()));
        box.env("OSTREL_SERVER_KEEPLIVE", "5");
        box.env("LD_PRELOAD", sandbox::lib("libfakewifi.so"));
        box.env("FAKEWIFI_DIR", "/tmp/fakewifi");
        box.env("ASAN_OPTIONS", "verify_asan_link_order=0");
        if (broker.tls_port()) {
            box.write("tmp/cloud-ca.pem", slurp(cafile));
            box.env("OSTREL_SERVER_PORT", std::to_string(broker.tls_port()));
            box.env("OSTREL_SERVER_TLS", "1");
            box.env("OSTREL_SERVER_CAFILE", "/tmp/cloud-ca.pem");
        }
        for (auto &kv : env) box.env(kv.first, kv.second);
        agent = box.start({sandbox::bin("ostrel")});
    }
    std::string out() const { return box.read("stdout"); }
    bool wait_out(const std::string &line, size_t times = 1, int timeout_ms = 20000) {
        return sandbox::wait_until([&] { return count(out(), line + "\n") >= times; },
                                   timeout_ms);
    }
    bool heard(const std::string &kind, size_t n = 1, int timeout_ms = 15000) {
        return sandbox::wait_until([&] { return cloud->count(kSn, kind) >= n; }, timeout_ms);
    }
    // The payload of the last message of `kind` heard from the AP.
    std::string last(const std::string &kind) const {
        std::string payload;
        for (auto &e : cloud->events())
            if (e.from_ap && e.kind == kind) payload = e.payload;
        return payload;
    }
    // Sends the request until its reply is heard: right after a reconnect
    // the agent's subscription may not be in place yet.
    bool answered(const std::string &command, const std::string &reply) {
        size_t before = cloud->count(kSn, reply);
        for (int i = 0; i < 10; ++i) {
            if (!cloud->command(command)) return false;
            if (heard(reply, before + 1, 2000)) return true;
        }
        return false;
    }
    int wifi(const std::string &args) const {
        std::string cmd = "\"" + sandbox::bin("fakewifi") + "\" -d \"" +
                          box.host("tmp/fakewifi") + "\" " + args + " >/dev/null";
        return std::system(cmd.c_str());
    }

    sandbox::Broker broker;
    sim::CloudSettings settings;
    std::unique_ptr<sim::CloudSim> cloud;
    sandbox::Sandbox box;
    std::unique_ptr<sandbox::Process> agent;
};

TEST(OstrelE2E, WithoutItsScriptItPrintsTheErrorAndFails) {
    sandbox::Sandbox box;
    auto r = box.run({sandbox::bin("ostrel")});
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(has(r.out, "error cannot open /usr/lib/lua/ostrel.lua")) << r.out;
}

TEST(OstrelE2E, ProvisionsReportsStationsAndAnswersEveryRequest) {
    CloudAgent a;
    ASSERT_TRUE(a.wait_out("enter run")) << a.out();
    EXPECT_EQ(a.cloud->count(kSn, "join"), 1u);
    EXPECT_EQ(a.cloud->count(kSn, "config"), 1u);
    EXPECT_TRUE(a.heard("heartbeat")) << "the heartbeat at entry to run";
    EXPECT_TRUE(sandbox::wait_until([&] { return has(a.box.read("tmp/iface_led.log"), "5\n"); }));
    // Lines reach the pipe as they are printed, not when a buffer fills.
    EXPECT_TRUE(has(a.out(), "connect\n"));

    ASSERT_TRUE(sandbox::wait_until([&] { return a.box.exists("tmp/fakewifi/events.sock"); }));
    ASSERT_EQ(a.wifi("join 00:11:22:33:44:01 192.168.1.11 -r 1 -w 0 -s office -n phone"), 0);
    ASSERT_EQ(a.wifi("join 00:11:22:33:44:02 192.168.1.12 -r 2 -w 1 -n laptop"), 0);
    ASSERT_TRUE(a.heard("station", 2)) << a.out();
    std::string joined = a.last("station");
    EXPECT_TRUE(has(joined, "\"mac\":\"00:11:22:33:44:02\"")) << joined;
    EXPECT_TRUE(has(joined, "\"event\":\"join\"")) << joined;
    EXPECT_EQ(a.box.read("tmp/sta_mac_ip"),
              "mac:00:11:22:33:44:01 ip:192.168.1.11\n"
              "mac:00:11:22:33:44:02 ip:192.168.1.12\n");
    ASSERT_EQ(a.wifi("leave 00:11:22:33:44:01"), 0);
    ASSERT_TRUE(a.heard("station", 3)) << a.out();
    EXPECT_TRUE(has(a.last("station"), "\"event\":\"leave\"")) << a.last("station");
    EXPECT_TRUE(sandbox::wait_until([&] {
        return a.box.read("tmp/sta_mac_ip") == "mac:00:11:22:33:44:02 ip:192.168.1.12\n";
    })) << a.box.read("tmp/sta_mac_ip");

    const struct {
        std::string command, reply;
    } requests[] = {
        {"type1 " + kSn, "ack"},
        {"get " + kSn, "get_resp"},
        {"upload " + kSn + " stations", "upload_resp"},
        {"command " + kSn + " uptime", "command_resp"},
        {"download " + kSn, "download_resp"},
    };
    for (const auto &r : requests) {
        SCOPED_TRACE(r.command);
        ASSERT_TRUE(a.cloud->command(r.command));
        EXPECT_TRUE(a.heard(r.reply)) << a.out();
    }
    EXPECT_TRUE(has(a.last("upload_resp"), "00:11:22:33:44:02")) << a.last("upload_resp");
    EXPECT_TRUE(has(a.last("download_resp"), "\"upgrade\":false")) << a.last("download_resp");
    EXPECT_TRUE(a.agent->running());
}

TEST(OstrelE2E, ProvisionsOverTlsWithTheCloudsCaAndAnswers) {
    testcerts::TestCa ca("Cloud CA");
    testcerts::CertPair server = ca.issue("127.0.0.1", "IP:127.0.0.1");
    CloudAgent a({}, sandbox::TlsListener{"", server.cert, server.key}, ca.cafile());
    ASSERT_TRUE(a.wait_out("enter run")) << a.out();
    EXPECT_FALSE(has(a.out(), "tls connect failed")) << a.out();
    EXPECT_TRUE(has(a.broker.log(), "on port " + std::to_string(a.broker.tls_port())));
    EXPECT_TRUE(a.answered("get " + kSn, "get_resp")) << a.out();
}

TEST(OstrelE2E, ABrokerLostAndBackIsReconnectedByTheLibrary) {
    CloudAgent a;
    ASSERT_TRUE(a.wait_out("enter run")) << a.out();
    a.broker.stop();
    ASSERT_TRUE(a.wait_out("disconnect")) << a.out();
    EXPECT_TRUE(sandbox::wait_until(
        [&] { return has(a.box.read("tmp/disconnect.log"), "disconnect.sh 5\n"); }));
    a.broker.start();
    ASSERT_TRUE(a.wait_out("connect", 2, 30000)) << a.out();
    ASSERT_TRUE(sandbox::wait_until([&] { return a.cloud->ready(); }, 30000));
    EXPECT_TRUE(a.answered("get " + kSn, "get_resp")) << a.out();
}

TEST(OstrelE2E, ADisconnectRequestDropsTheLinkAndTheAgentComesBack) {
    CloudAgent a;
    ASSERT_TRUE(a.wait_out("enter run")) << a.out();
    ASSERT_TRUE(a.cloud->command("disconnect " + kSn));
    ASSERT_TRUE(a.wait_out("disconnect")) << a.out();
    EXPECT_TRUE(sandbox::wait_until(
        [&] { return has(a.box.read("tmp/disconnect.log"), "disconnect.sh 5\n"); }));
    ASSERT_TRUE(a.wait_out("connect", 2, 30000)) << a.out();
    EXPECT_TRUE(a.answered("get " + kSn, "get_resp")) << a.out();
}

TEST(OstrelE2E, ADownloadWithTheUpgradeFlagFlashesAndEndsTheAgent) {
    CloudAgent a;
    ASSERT_TRUE(a.wait_out("enter run")) << a.out();
    a.box.write("tmp/firmware.img", "image");
    ASSERT_TRUE(a.cloud->command("download " + kSn + " upgrade"));
    EXPECT_EQ(a.agent->wait(20000), 1);
    EXPECT_TRUE(a.heard("download_resp"));
    EXPECT_TRUE(has(a.last("download_resp"), "\"upgrade\":true")) << a.last("download_resp");
    EXPECT_EQ(a.box.read("tmp/sysupgrade.log"), "sysupgrade -F /tmp/firmware.img\n");
}

}  // namespace
