// The shipped Fenwire in a sandbox root with the sample script.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "acsim.h"
#include "broker.h"
#include "sandbox.h"

namespace {

const std::string kSource = APM_SOURCE_DIR;

// A sandbox holding the sample script and the firmware stubs.
struct FenwireBox : sandbox::Sandbox {
    FenwireBox() {
        bind(kSource + "/examples/lua/Fenwire.lua", "/usr/lib/lua/Fenwire.lua");
        bind(kSource + "/sim/stubs/iface_led.sh", "/sbin/iface_led.sh");
    }
    std::string log() const { return read("var/log/mqttlog.new"); }
};

bool has(const std::string &text, const std::string &what) {
    return text.find(what) != std::string::npos;
}

TEST(FenwireE2E, WithoutItsScriptItLogsTheErrorAndFails) {
    sandbox::Sandbox box;
    auto r = box.run({sandbox::bin("Fenwire")});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(box.read("var/run/mqtt_debug_enable"), "1\n");
    EXPECT_TRUE(
        has(box.read("var/log/mqttlog.new"), "]\terror cannot open /usr/lib/lua/Fenwire.lua"));
}

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(FenwireE2E, WithTheControllerAbsentItCyclesSlowly) {
    FenwireBox box;
    box.env("FENWIRE_SN", "AB12");
    box.env("FENWIRE_AC_PORT", "1");  // nothing listens there
    auto r = box.run({sandbox::bin("Fenwire")}, "", 2);
    EXPECT_EQ(r.status, 128 + 9) << "the agent runs until stopped";
    std::string log = box.log();
    EXPECT_TRUE(has(log, "MQTT(")) << log;
    EXPECT_TRUE(has(log, "-[Fenwire +")) << log;
    EXPECT_TRUE(has(log, "\t------ Mqtt Start ------\n"));
    EXPECT_TRUE(has(log, "\tap enter discovery\n"));
    EXPECT_TRUE(has(log, "\tmqtt bind failed\n"));
    EXPECT_TRUE(has(log, "\tmqtt connect failed\n"));
    EXPECT_TRUE(has(log, "\tno join response, next cycle in 1s\n"));
    EXPECT_LE(count(log, "\tap enter discovery\n"), 3u) << "cycles must not spin";
    EXPECT_TRUE(has(log, "\tSet join timeout = 10s\n"));
    EXPECT_TRUE(has(log, "\tac ip = 127.0.0.1, port = 1\n"));
    EXPECT_TRUE(has(log, "\tap enter reset\n"));
    EXPECT_TRUE(has(box.read("tmp/iface_led.log"), "5\n"));
}

TEST(FenwireE2E, ProvisionsAgainstTheControllerAndRejoinsAfterBrokerLoss) {
    sandbox::Broker broker;
    sim::AcSettings settings;
    settings.port = broker.port();
    sim::AcSim ac(settings);
    ac.start();
    FenwireBox box;
    box.env("FENWIRE_SN", "AB12");
    box.env("FENWIRE_AC_PORT", std::to_string(broker.port()));
    auto agent = box.start({sandbox::bin("Fenwire")});

    ASSERT_TRUE(sandbox::wait_until([&] { return has(box.log(), "\tget config response\n"); }))
        << box.log();
    EXPECT_TRUE(sandbox::wait_until([&] { return has(box.read("tmp/iface_led.log"), "6\n"); }));
    EXPECT_EQ(ac.count("AB12", "join"), 1u);
    EXPECT_EQ(ac.count("AB12", "config"), 1u);
    EXPECT_TRUE(has(box.log(), "\tget join response, goto config\n"));

    broker.stop();
    ASSERT_TRUE(sandbox::wait_until([&] {
        std::string log = box.log();
        size_t lost = log.find("\tmqtt disconnect ok\n");
        return lost != std::string::npos &&
               log.find("\tap enter discovery\n", lost) != std::string::npos;
    })) << box.log();
    std::string log = box.log();
    size_t lost = log.find("\tmqtt disconnect ok\n");
    size_t clean = log.find("\tmqtt clean\n", lost),
           close = log.find("\tmqtt close connect\n", lost),
           ok = log.find("\tmqtt clean ok\n", lost), reset = log.find("\tap enter reset\n", lost);
    EXPECT_TRUE(clean < close && close < ok && ok < reset && reset != std::string::npos) << log;

    broker.start();
    EXPECT_TRUE(sandbox::wait_until(
        [&] { return count(box.log(), "\tget config response\n") == 2; }, 30000))
        << box.log();
    EXPECT_TRUE(agent->running());
}

// An agent provisioned by acsim over a real broker, in the run state.
struct RunningAgent {
    explicit RunningAgent(std::map<std::string, std::string> env = {}) {
        settings.port = broker.port();
        ac = std::make_unique<sim::AcSim>(settings);
        ac->start();
        box.env("FENWIRE_SN", "AB12");
        box.env("FENWIRE_AC_PORT", std::to_string(broker.port()));
        box.env("FENWIRE_RIMELOAD", "/usr/sbin/rimeload");
        for (auto &kv : env) box.env(kv.first, kv.second);
        box.bind(sandbox::bin("rimeload"), "/usr/sbin/rimeload");
        box.bind(kSource + "/sim/stubs/sysupgrade", "/sbin/sysupgrade");
        agent = box.start({sandbox::bin("Fenwire")});
    }
    bool wait_log(const std::string &line, size_t times = 1, int timeout_ms = 15000) {
        return sandbox::wait_until([&] { return count(box.log(), "\t" + line + "\n") >= times; },
                                   timeout_ms);
    }
    sandbox::Broker broker;
    sim::AcSettings settings;
    std::unique_ptr<sim::AcSim> ac;
    FenwireBox box;
    std::unique_ptr<sandbox::Process> agent;
};

TEST(FenwireE2E, UnansweredHeartbeatsSendTheAgentBackToJoin) {
    RunningAgent a({{"FENWIRE_HEARTBEAT_TIMEOUT", "0"}, {"FENWIRE_HEARTBEAT_TIMES", "2"}});
    ASSERT_TRUE(a.wait_log("ap enter run")) << a.box.log();
    ASSERT_TRUE(sandbox::wait_until([&] { return a.ac->count("AB12", "heartbeat") >= 2; }));
    EXPECT_EQ(count(a.box.log(), "\tReceive heartbeat"), 1u) << "answers fold into one line";
    a.ac->set_answer_heartbeats(false);
    ASSERT_TRUE(a.wait_log("Heartbeat timeout")) << a.box.log();
    a.ac->set_answer_heartbeats(true);  // the controller is back for the new session
    EXPECT_TRUE(a.wait_log("get config response", 2)) << a.box.log();
    EXPECT_GE(a.ac->count("AB12", "join"), 2u);
    EXPECT_TRUE(has(a.box.log(), "\tHeartbeat miss 1\n"));
}

TEST(FenwireE2E, RunMessagesAreAnsweredWithReportsAndBackups) {
    RunningAgent a;
    ASSERT_TRUE(a.wait_log("ap enter run")) << a.box.log();
    ASSERT_TRUE(sandbox::wait_until([&] { return a.ac->count("AB12", "state") >= 1; }))
        << "configuration makes a state report due";
    a.ac->send_run("AB12", 0);
    EXPECT_TRUE(sandbox::wait_until([&] {
        return a.ac->count("AB12", "ack") == 1 && a.ac->count("AB12", "config_backup") == 1 &&
               a.ac->count("AB12", "state") == 2;
    })) << a.box.log();
    EXPECT_TRUE(a.wait_log("send config backup"));
}

TEST(FenwireE2E, AnAcceptedUpdateIsCheckedFlashedAndEndsTheAgent) {
    RunningAgent a;
    ASSERT_TRUE(a.wait_log("ap enter run")) << a.box.log();
    ASSERT_EQ(std::system(("\"" + sandbox::bin("fwimage") + "\" -H V2.0 -n QM4471R -c -o " +
                           a.box.host("tmp/firmware.img"))
                              .c_str()),
              0);
    a.ac->send_run("AB12", 4);  // a corrupt image: rimeload rejects and deletes it
    ASSERT_TRUE(sandbox::wait_until([&] { return a.ac->count("AB12", "update_ack") == 1; }));
    EXPECT_FALSE(a.box.exists("tmp/firmware.img"));
    EXPECT_TRUE(a.agent->running());

    ASSERT_EQ(std::system(("\"" + sandbox::bin("fwimage") + "\" -H V2.0 -n QM4471R -o " +
                           a.box.host("tmp/firmware.img"))
                              .c_str()),
              0);
    a.ac->send_run("AB12", 4);
    EXPECT_EQ(a.agent->wait(20000), 1);
    EXPECT_EQ(a.ac->count("AB12", "update_ack"), 2u);
    auto events = a.ac->events();
    std::string last_ack;
    for (auto &e : events)
        if (e.type == "update_ack") last_ack = e.payload;
    EXPECT_TRUE(has(last_ack, "\"code\":0")) << last_ack;
    EXPECT_TRUE(has(a.box.log(), "\tdo update............\n"));
    EXPECT_EQ(a.box.read("tmp/sysupgrade.log"), "sysupgrade -n -F /tmp/firmware.img\n");
}

// Runs the fake Wi-Fi driver's command against the agent's sandbox.
int wifi(const RunningAgent &a, const std::string &args) {
    std::string cmd = "\"" + sandbox::bin("fakewifi") + "\" -d \"" + a.box.host("tmp/fakewifi") +
                      "\" " + args + " >/dev/null";
    return std::system(cmd.c_str());
}

TEST(FenwireE2E, StationChurnOnBothRadiosIsReportedAndKeptInTheStationFile) {
    RunningAgent a({{"LD_PRELOAD", sandbox::lib("libfakewifi.so")},
                    {"FAKEWIFI_DIR", "/tmp/fakewifi"},
                    {"ASAN_OPTIONS", "verify_asan_link_order=0"}});
    ASSERT_TRUE(a.wait_log("ap enter run")) << a.box.log();
    ASSERT_TRUE(sandbox::wait_until([&] { return a.box.exists("tmp/fakewifi/events.sock"); }));
    auto online = [&](const std::string &mac) {
        for (auto &e : a.ac->events())
            if (e.type == "state" && has(e.payload, "\"event\":\"online\"") && has(e.payload, mac))
                return true;
        return false;
    };
    ASSERT_EQ(wifi(a, "join 00:11:22:33:44:01 192.168.1.11 -r 1 -w 0 -n phone"), 0);
    ASSERT_EQ(wifi(a, "join 00:11:22:33:44:02 192.168.1.12 -r 2 -w 3 -n laptop"), 0);
    ASSERT_EQ(wifi(a, "join 00:11:22:33:44:03 192.168.1.13 -r 2 -w 1"), 0);
    ASSERT_TRUE(sandbox::wait_until([&] {
        return online("00:11:22:33:44:01") && online("00:11:22:33:44:02") && online("00:11:22:33:44:03");
    })) << a.box.log();
    EXPECT_EQ(a.box.read("tmp/sta_mac_ip"),
              "R:1 W:0 mac:00:11:22:33:44:01 ip:192.168.1.11\n"
              "R:2 W:3 mac:00:11:22:33:44:02 ip:192.168.1.12\n"
              "R:2 W:1 mac:00:11:22:33:44:03 ip:192.168.1.13\n");

    ASSERT_EQ(wifi(a, "leave 00:11:22:33:44:02"), 0);
    ASSERT_EQ(wifi(a, "join 00:11:22:33:44:01 192.168.1.21 -r 1 -w 0"), 0);  // new address
    ASSERT_TRUE(sandbox::wait_until([&] {
        return a.wait_log("sta offline mac:00:11:22:33:44:02,ip:192.168.1.12, radioid:2", 1, 0) &&
               a.wait_log("sta online mac:00:11:22:33:44:01,ip:192.168.1.21, radioid:1", 1, 0);
    })) << a.box.log();
    EXPECT_EQ(a.box.read("tmp/sta_mac_ip"),
              "R:2 W:1 mac:00:11:22:33:44:03 ip:192.168.1.13\n"
              "R:1 W:0 mac:00:11:22:33:44:01 ip:192.168.1.21\n");
    EXPECT_TRUE(a.wait_log("        mac:00:11:22:33:44:03, radioId:2"));

    a.ac->send_run("AB12", 5);  // user information, with the samples taken meanwhile
    ASSERT_TRUE(sandbox::wait_until([&] { return a.ac->count("AB12", "user_info") == 1; }));
    for (auto &e : a.ac->events()) {
        if (e.type == "user_info") {
            EXPECT_TRUE(has(e.payload, "00:11:22:33:44:03")) << e.payload;
        }
    }
}

}  // namespace
