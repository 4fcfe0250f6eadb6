// The provisioning states in virtual time: requests published, sleeps taken,
// responses handed over through the slots as the MQTT thread fills them.
#include "states.h"

#include "fenwire_fixture.h"
#include "mqtt_lib.h"

namespace fenwire_test {
namespace {

using States = FenwireTest;

TEST_F(States, DiscoveryReadsTheSettingsAfterTheScriptRan) {
    lua("function APEnterDiscovery() JOIN_TIMES = 4; CONFIG_TIMEOUT = 9; return 2 end");
    AP_STATE = 2;
    EXPECT_EQ(APEnterDiscovery(L), 2);
    EXPECT_EQ(join_times, 4);
    EXPECT_EQ(join_timeout, 5);
    EXPECT_EQ(config_times, 2);
    EXPECT_EQ(config_timeout, 9);
    EXPECT_EQ(AP_STATE, 0);
    EXPECT_EQ(log_count("Set join retry times = 4"), 1);
    EXPECT_EQ(log_count("Set config timeout = 9s"), 1);
}

TEST_F(States, DiscoveryThatFailsRunsAgainAndMissingSettingsReadZero) {
    lua("APEnterDiscovery = nil; JOIN_TIMES = nil; JOIN_TIMEOUT = 'x'");
    EXPECT_EQ(APEnterDiscovery(L), 1);
    EXPECT_EQ(join_times, 0);
    EXPECT_EQ(join_timeout, 0);
    EXPECT_NE(log_text().find("error "), std::string::npos);
}

TEST_F(States, ARunawayDiscoveryIsStoppedAndRunsAgainLikeAFailedOne) {
    luacall::set_limits(L, {1000, 0});
    lua("function APEnterDiscovery() while true do end end");
    EXPECT_EQ(fenwire_step(L, STATE_DISCOVERY), STATE_DISCOVERY);
    EXPECT_EQ(log_count("error script call APEnterDiscovery stopped after 1000 instructions"), 1);
    lua("function APEnterDiscovery() return 2 end");
    EXPECT_EQ(fenwire_step(L, STATE_DISCOVERY), STATE_JOIN);
}

TEST_F(States, DiscoveryDiscardsAStaleResponse) {
    mqtt_deliver("accept", 6);
    ASSERT_NE(join_msg, nullptr);
    APEnterDiscovery(L);
    EXPECT_EQ(join_msg, nullptr);
    EXPECT_EQ(join_msg_len, 0);
}

TEST_F(States, JoinWithoutAnswerMakesEveryAttemptAndResets) {
    APEnterDiscovery(L);  // 3 attempts of 5 polls
    EXPECT_EQ(APEnterJoin(L), STATE_RESET);
    ASSERT_EQ(capture.sent.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(capture.sent[i].payload, "join:0");
        EXPECT_EQ(capture.sent[i].topic, "config/AB12");
        EXPECT_EQ(capture.sent[i].qos, 1);
        EXPECT_TRUE(capture.sent[i].retain);
        EXPECT_DOUBLE_EQ(capture.sent[i].at, 6.0 * i);  // 1 s after sending + 5 polls
    }
    EXPECT_DOUBLE_EQ(clock.elapsed(), 18.0);
    EXPECT_EQ(clock.sleeps(), 18u);
    EXPECT_EQ(log_count("ap wait join response timeout 1"), 1);
    EXPECT_EQ(log_count("ap wait join response timeout 3"), 1);
    EXPECT_EQ(log_count("send join request"), 3);
}

TEST_F(States, JoinResponseDuringTheFirstSleepIsFoundByTheFirstPoll) {
    APEnterDiscovery(L);
    deliver_at(0.5, "accept");
    EXPECT_EQ(APEnterJoin(L), STATE_CONFIGURE);
    EXPECT_DOUBLE_EQ(clock.elapsed(), 1.0);
    EXPECT_EQ(capture.sent.size(), 1u);
    EXPECT_EQ(AP_STATE, 1);
    EXPECT_EQ(join_msg, nullptr);
    EXPECT_EQ(log_count("get join response, goto config"), 1);
    // The configure path reads the heartbeat settings.
    EXPECT_EQ(heart_out, 11);
    EXPECT_EQ(heart_times, 7);
    EXPECT_EQ(log_count("Set heartbeat timeout times = 7"), 1);
    EXPECT_EQ(log_count("Set heartbeat interval = 11s"), 1);
}

TEST_F(States, OnlyTheLaterOfTwoResponsesBetweenPollsIsParsed) {
    APEnterDiscovery(L);
    deliver_at(2.2, "first");
    deliver_at(2.6, "accept");
    EXPECT_EQ(APEnterJoin(L), STATE_CONFIGURE);
    EXPECT_EQ(lua_strings("parsed"), std::vector<std::string>{"accept"});
}

TEST_F(States, RejectedResponseKeepsPollingWithoutResending) {
    APEnterDiscovery(L);
    deliver_at(1.5, "nope");
    deliver_at(3.5, "accept");
    EXPECT_EQ(APEnterJoin(L), STATE_CONFIGURE);
    EXPECT_EQ(capture.sent.size(), 1u);
    EXPECT_EQ(lua_strings("parsed"), (std::vector<std::string>{"nope", "accept"}));
    EXPECT_EQ(log_count("APParseJoinResponseMessage error!"), 1);
    EXPECT_DOUBLE_EQ(clock.elapsed(), 4.0);
}

TEST_F(States, JoinTimesZeroPublishesNothing) {
    lua("JOIN_TIMES = 0");
    APEnterDiscovery(L);
    EXPECT_EQ(APEnterJoin(L), STATE_RESET);
    EXPECT_TRUE(capture.sent.empty());
    EXPECT_EQ(clock.sleeps(), 0u);
}

TEST_F(States, JoinTimeoutZeroSendsAndSleepsButNeverPolls) {
    lua("JOIN_TIMEOUT = 0");
    APEnterDiscovery(L);
    deliver_at(0.5, "accept");
    EXPECT_EQ(APEnterJoin(L), STATE_RESET);
    EXPECT_EQ(capture.sent.size(), 3u);
    EXPECT_DOUBLE_EQ(clock.elapsed(), 3.0);
    EXPECT_TRUE(lua_strings("parsed").empty());
}

TEST_F(States, ImageNeededLeavesTheHeartbeatSettingsAlone) {
    lua("IsNeedImage = 1");
    APEnterDiscovery(L);
    deliver_at(0.5, "accept");
    EXPECT_EQ(APEnterJoin(L), STATE_IMAGE);
    EXPECT_EQ(heart_out, 10);
    EXPECT_EQ(heart_times, 6);
}

TEST_F(States, FatModeJoinGoesToRunWithTheFlagMarker) {
    workMode = 1;
    APEnterDiscovery(L);
    deliver_at(0.5, "accept");
    EXPECT_EQ(APEnterJoin(L), STATE_RUN);
    EXPECT_EQ(AP_STATE, 2);
    EXPECT_EQ(payloads(), std::vector<std::string>{"join:1"});
    EXPECT_EQ(shell.commands(), std::vector<std::string>{"echo flag >/tmp/flag"});
    EXPECT_EQ(heart_out, 11);
}

TEST_F(States, JoinRequestThatFailsToAssembleGoesOutEmpty) {
    lua("function AssembleAPJoinMsg() error('no join') end; JOIN_TIMES = 1");
    APEnterDiscovery(L);
    APEnterJoin(L);
    EXPECT_EQ(payloads(), std::vector<std::string>{""});
}

TEST_F(States, ImagePublishesItsRequestAndTheScriptChoosesNext) {
    EXPECT_EQ(APEnterImage(L), 4);
    EXPECT_EQ(payloads(), std::vector<std::string>{"image-req"});
    EXPECT_EQ(log_count("send image request"), 1);
    lua("APEnterImage = nil");
    EXPECT_EQ(APEnterImage(L), STATE_RESET);
}

TEST_F(States, ConfigureAcceptedGoesToRunWithAStateReportDue) {
    APEnterDiscovery(L);
    AP_STATE = 1;
    deliver_at(5.5, "bad");
    deliver_at(6.5, "config-ok");
    EXPECT_EQ(APEnterConfigure(L), STATE_RUN);
    EXPECT_EQ(payloads(), (std::vector<std::string>{"config-req", "config-req"}));
    EXPECT_EQ(configed, 1);
    EXPECT_EQ(AP_STATE, 2);
    EXPECT_EQ(state_msg, 1);
    EXPECT_EQ(log_count("wait config response timeout (1)"), 1);
    EXPECT_EQ(log_count("APParseConfigureResponseMessage error!"), 1);
    EXPECT_EQ(log_count("get config response"), 1);
    EXPECT_DOUBLE_EQ(clock.elapsed(), 7.0);
}

TEST_F(States, ConfigureWithoutAnswerResets) {
    APEnterDiscovery(L);
    AP_STATE = 1;
    EXPECT_EQ(APEnterConfigure(L), STATE_RESET);
    EXPECT_EQ(capture.sent.size(), 2u);
    EXPECT_DOUBLE_EQ(clock.elapsed(), 10.0);
    EXPECT_EQ(state_msg, 0);
}

TEST_F(States, ResponsesAfterConfigurationIsAcceptedAreNotSlotted) {
    AP_STATE = 1;
    configed = 1;
    mqtt_deliver("late", 4);
    EXPECT_EQ(config_msg, nullptr);
    mqtt_deliver("", 0);
    EXPECT_EQ(config_msg, nullptr);
}

TEST_F(States, ResetLightsTheLedClearsStationsAndRunsDiscovery) {
    auto *station = static_cast<NLnode *>(std::calloc(1, sizeof(NLnode)));
    NLhead->next = station;
    configed = 1;
    EXPECT_EQ(fenwire_step(L, STATE_RESET), STATE_JOIN);
    EXPECT_EQ(shell.commands(), std::vector<std::string>{"/sbin/iface_led.sh 5 &"});
    EXPECT_EQ(NLhead->next, nullptr);
    EXPECT_EQ(configed, 0);
    EXPECT_EQ(log_count("ap enter reset"), 1);
    EXPECT_EQ(log_count("ap enter discovery"), 1);
}

TEST_F(States, RunStateLightsTheLed) {
    EXPECT_EQ(fenwire_step(L, STATE_RUN), STATE_RESET);
    EXPECT_EQ(shell.commands(), std::vector<std::string>{"/sbin/iface_led.sh 6 &"});
}

TEST_F(States, NextStateOutsideTheMachineGoesToReset) {
    for (int bad : {0, 7, -1, 1000}) {
        lua("function APEnterDiscovery() return " + std::to_string(bad) + " end");
        EXPECT_EQ(fenwire_step(L, STATE_DISCOVERY), STATE_RESET) << bad;
        EXPECT_EQ(log_count("invalid next state " + std::to_string(bad) + ", go to reset"), 1);
    }
}

// Virtual times at which the state loop enters `state`, over `steps` steps
// from Discovery.
std::vector<double> entries_of(lua_State *L, plat::VirtualClock &clock, int state, int steps) {
    std::vector<double> at;
    int s = STATE_DISCOVERY;
    for (int i = 0; i < steps; ++i) {
        if (s == state) at.push_back(clock.elapsed());
        s = fenwire_step(L, s);
    }
    return at;
}

std::vector<double> gaps(const std::vector<double> &at) {
    std::vector<double> out;
    for (size_t i = 1; i < at.size(); ++i) out.push_back(at[i] - at[i - 1]);
    return out;
}

const std::vector<double> kGrowingWaits = {1, 2, 4, 8, 16, 32, 60, 60};

TEST_F(States, AnAbsentControllerIsRetriedWithAGrowingWait) {
    lua("AC_PORT = 1");  // nothing listens: the connect fails at once
    auto joins = entries_of(L, clock, STATE_JOIN, 2 * 9);  // Join, Reset, Join, ...
    EXPECT_EQ(gaps(joins), kGrowingWaits);
    EXPECT_EQ(log_count("no join response, next cycle in 60s"), 2);
    EXPECT_EQ(log_count("mqtt connect failed"), 9);
    // An accepted join starts the series again.
    deliver_at(clock.elapsed() + 0.5, "accept");
    APEnterJoin(L);
    double before = clock.elapsed();
    APEnterDiscovery(L);
    EXPECT_DOUBLE_EQ(clock.elapsed() - before, 0.0);  // the cycle took longer than 1 s
    before = clock.elapsed();
    APEnterDiscovery(L);
    EXPECT_DOUBLE_EQ(clock.elapsed() - before, 1.0);
}

// Cycles that come back at once without a response are paced like a failed
// connect: a script without APEnterDiscovery, and JOIN_TIMES 0 against a
// controller that is there.
TEST_F(States, CyclesWithoutAResponseNeverSpin) {
    lua("APEnterDiscovery = nil");
    std::vector<double> ends;  // the wait comes first in each Discovery
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(fenwire_step(L, STATE_DISCOVERY), STATE_DISCOVERY);
        ends.push_back(clock.elapsed());
    }
    EXPECT_EQ(gaps(ends), kGrowingWaits);
    EXPECT_EQ(clock.sleeps(), 8u);
}

TEST_F(States, JoinTimesZeroCyclesArePacedToo) {
    static MqttLib lib = mqtt_real_lib();
    lib.connect_bind = [](struct mosquitto *, const char *, int, int, const char *) { return 0; };
    lib.loop_start = [](struct mosquitto *) { return 0; };
    mqtt_set_lib(&lib);
    lua("JOIN_TIMES = 0");
    auto joins = entries_of(L, clock, STATE_JOIN, 2 * 9);
    mqtt_set_lib(nullptr);
    mqtt_clean();
    EXPECT_EQ(gaps(joins), kGrowingWaits);
    EXPECT_EQ(shell.commands().size(), 8u);  // one LED command per Reset
}

TEST_F(States, LongSerialNumbersAreNeverCut) {
    std::string long_sn(63, 'S');
    std::snprintf(sn, sizeof sn, "%s", long_sn.c_str());
    compose_server_names();
    EXPECT_EQ(std::string(server_sub), "apsub/" + long_sn);
    EXPECT_EQ(std::string(server_pub), "config/" + long_sn);
    EXPECT_EQ(std::string(server_id), "tavrin_" + long_sn);
}

}  // namespace
}  // namespace fenwire_test
