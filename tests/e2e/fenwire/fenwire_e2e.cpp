// The shipped Fenwire in a sandbox root with the sample script.
#include <gtest/gtest.h>

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
    EXPECT_TRUE(has(log, "\tmqtt connect failed, retry in 1s\n"));
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

}  // namespace
