// The shipped Fenwire in a sandbox root with the sample script.
#include <gtest/gtest.h>

#include <string>

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
    EXPECT_TRUE(has(box.read("var/log/mqttlog.new"),
                    "]\terror cannot open /usr/lib/lua/Fenwire.lua"));
}

TEST(FenwireE2E, WalksDiscoveryAndJoinWithTheSampleScript) {
    FenwireBox box;
    box.env("FENWIRE_SN", "AB12");
    box.env("FENWIRE_AC_PORT", "1");  // nothing listens there
    auto r = box.run({sandbox::bin("Fenwire")}, "", 1);
    EXPECT_EQ(r.status, 128 + 9) << "the agent runs until stopped";
    std::string log = box.log();
    EXPECT_TRUE(has(log, "MQTT(")) << log;
    EXPECT_TRUE(has(log, "-[Fenwire +")) << log;
    EXPECT_TRUE(has(log, "\tap enter discovery\n"));
    EXPECT_TRUE(has(log, "\tSet join timeout = 10s\n"));
    EXPECT_TRUE(has(log, "\tac ip = 127.0.0.1, port = 1\n"));
    EXPECT_TRUE(has(log, "\tap enter reset\n"));
    EXPECT_TRUE(has(box.read("tmp/iface_led.log"), "5\n"));
}

}  // namespace
