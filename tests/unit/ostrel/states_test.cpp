#include "fake_mqtt_lib.h"
#include "mqtt_session.h"
#include "ostrel_fixture.h"
#include "states.h"

namespace ostrel_test {
namespace {

class StatesTest : public OstrelTest {
  protected:
    void SetUp() override {
        OstrelTest::SetUp();
        FakeMqtt::install();
    }
    void TearDown() override {
        mqtt_session::close(false);
        mqtt_set_lib(nullptr);
        OstrelTest::TearDown();
    }
    std::vector<double> times_on(const std::string &topic) {
        std::vector<double> out;
        for (auto &p : capture.sent)
            if (p.topic == topic) out.push_back(p.at);
        return out;
    }
};

TEST_F(StatesTest, JoinWithoutAnswerSendsSixRequestsThreeSecondsApartThenResets) {
    EXPECT_EQ(APEnterJoin(), STATE_RESET);
    EXPECT_EQ(times_on("t/config"), (std::vector<double>{0, 3, 6, 9, 12, 15}));
    EXPECT_EQ(sent_on("t/config")[0], "join");
    EXPECT_DOUBLE_EQ(clock.elapsed(), 18);

    EXPECT_EQ(ostrel_step(STATE_RESET), STATE_CONNECT);
    EXPECT_EQ(shell.commands(), std::vector<std::string>{"/sbin/iface_led.sh 6 &"});
}

TEST_F(StatesTest, JoinEndsAtTheFirstCheckAfterTheAnswer) {
    clock.at(7, [] { AP_STATE = 1; });
    lua("function IsNeedImage() return 1 end");
    EXPECT_EQ(APEnterJoin(), STATE_IMAGE);
    EXPECT_EQ(times_on("t/config"), (std::vector<double>{0, 3, 6}));
}

TEST_F(StatesTest, AlreadyJoinedSendsNothingAndChoosesImageOrConfigure) {
    struct {
        const char *is_need_image;
        int ap_state;
        int next;
    } cases[] = {{"return 1", 1, STATE_IMAGE},
                 {"return 0", 1, STATE_CONFIGURE},
                 {"error('no')", 1, STATE_CONFIGURE},  // a failed call counts as 0
                 {"return 1.7", 2, STATE_IMAGE}};      // configured before a reset
    for (auto &c : cases) {
        AP_STATE = c.ap_state;
        lua(std::string("function IsNeedImage() ") + c.is_need_image + " end");
        EXPECT_EQ(APEnterJoin(), c.next) << c.is_need_image;
    }
    EXPECT_TRUE(capture.sent.empty());
    EXPECT_DOUBLE_EQ(clock.elapsed(), 0);
}

TEST_F(StatesTest, FailedJoinAssemblePublishesNothing) {
    lua("function AssembleAPJoinMsg() return string.rep('j', 2048) end");
    EXPECT_EQ(APEnterJoin(), STATE_RESET);
    EXPECT_TRUE(capture.sent.empty());
    EXPECT_DOUBLE_EQ(clock.elapsed(), 18);
}

TEST_F(StatesTest, ConfigureChecksSixtyTwoTimesOneSecondApart) {
    struct {
        double answer_at;  // < 0: never
        int next;
        double elapsed;
    } cases[] = {{-1, STATE_RESET, 61}, {61, STATE_RUN, 61}, {61.5, STATE_RESET, 61},
                 {0.5, STATE_RUN, 1}};
    for (auto &c : cases) {
        const double start = clock.elapsed();
        AP_STATE = 1;
        capture.sent.clear();
        if (c.answer_at >= 0) clock.at(start + c.answer_at, [] { AP_STATE = 2; });
        EXPECT_EQ(APEnterConfigure(), c.next) << c.answer_at;
        EXPECT_DOUBLE_EQ(clock.elapsed() - start, c.elapsed) << c.answer_at;
        EXPECT_EQ(sent_on("t/config"), std::vector<std::string>{"configure"});
    }
}

TEST_F(StatesTest, JoinStateWithBindFlagZeroGoesToRunWithoutMessages) {
    lua("bind_flag = 0");
    EXPECT_EQ(ostrel_step(STATE_JOIN), STATE_RUN);
    EXPECT_TRUE(capture.sent.empty());
    EXPECT_EQ(FakeMqtt::ids, std::vector<std::string>{"tavrin_AB12"});
}

TEST_F(StatesTest, JoinStateInApModeOneSkipsTheJoin) {
    ApMode = 1;
    EXPECT_EQ(ostrel_step(STATE_JOIN), STATE_RUN);
    EXPECT_TRUE(capture.sent.empty());
}

TEST_F(StatesTest, JoinStateResetsAfterThreeFailedConnects) {
    lua("server_delay = 4");
    FakeMqtt::connect_rc = MOSQ_ERR_ERRNO;
    EXPECT_EQ(ostrel_step(STATE_JOIN), STATE_RESET);
    EXPECT_EQ(FakeMqtt::connects, 3);
    EXPECT_DOUBLE_EQ(clock.elapsed(), 4 + 2);
    EXPECT_TRUE(capture.sent.empty());
}

// The library refuses a keep-alive below 5 on every attempt, silently.
TEST_F(StatesTest, AKeepAliveBelowTheLibrarysMinimumIsRaisedToIt) {
    AP_STATE = 1;  // joined already: the join state goes on at once
    for (int given : {2, 0, 30}) {
        lua("server_keeplive = " + std::to_string(given));
        testing::internal::CaptureStdout();
        EXPECT_EQ(ostrel_step(STATE_JOIN), STATE_CONFIGURE) << given;
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(FakeMqtt::keepalive, given < 5 ? 5 : given);
        bool told = out.find("server_keeplive " + std::to_string(given) + " is below 5, 5 is used\n") !=
                    std::string::npos;
        EXPECT_EQ(told, given < 5) << out;
    }
}

TEST_F(StatesTest, ClientThatCannotBeMadeFailsTheJoinState) {
    FakeMqtt::fail_create = true;
    EXPECT_EQ(ostrel_step(STATE_JOIN), STATE_RESET);
    EXPECT_EQ(FakeMqtt::connects, 0);
    EXPECT_FALSE(mqtt_session::in_use());
}

TEST_F(StatesTest, LongSerialNumberIsCutToItsBound) {
    lua("SN = string.rep('s', 300)");
    EXPECT_EQ(mqtt_init(), 1);
    ASSERT_EQ(FakeMqtt::ids.size(), 1u);
    EXPECT_EQ(FakeMqtt::ids[0], "tavrin_" + std::string(SN_MAX, 's'));
}

TEST_F(StatesTest, StateOutsideTheTableGoesToResetThenConnect) {
    lua("function APConnetOstrel() return 7 end");
    State = STATE_CONNECT;
    ostrel_loop_once();
    EXPECT_EQ(State, 7);
    ostrel_loop_once();
    EXPECT_EQ(State, STATE_CONNECT);
    EXPECT_EQ(shell.commands(), std::vector<std::string>{"/sbin/iface_led.sh 6 &"});
    EXPECT_DOUBLE_EQ(clock.elapsed(), 2);
}

TEST_F(StatesTest, FailedScriptChoiceStaysInItsState) {
    EXPECT_EQ(ostrel_step(STATE_CONNECT), STATE_CONNECT);  // no APConnetOstrel
    EXPECT_EQ(ostrel_step(STATE_IMAGE), STATE_IMAGE);      // no APEnterImage
    lua("function APEnterImage() return 4 end");
    EXPECT_EQ(ostrel_step(STATE_IMAGE), STATE_CONFIGURE);
}

TEST_F(StatesTest, ARunawayConnectChoiceIsStoppedAndStaysInItsState) {
    luacall::set_limits(L, {1000, 0});
    lua("function APConnetOstrel() while true do end end");
    testing::internal::CaptureStdout();
    EXPECT_EQ(ostrel_step(STATE_CONNECT), STATE_CONNECT);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "error script call APConnetOstrel stopped after 1000 instructions\n");
    lua("function APConnetOstrel() return 2 end");
    EXPECT_EQ(ostrel_step(STATE_CONNECT), 2);
}

TEST_F(StatesTest, ResetTearsDownOnlyAConnectedSession) {
    ASSERT_EQ(mqtt_init(), 1);
    mqtt_connect = 0;
    ostrel_step(STATE_RESET);
    EXPECT_TRUE(mqtt_session::in_use());  // released by the next open
    mqtt_connect = 1;
    ostrel_step(STATE_RESET);
    EXPECT_FALSE(mqtt_session::in_use());
    EXPECT_EQ(mqtt_connect.load(), 0);
}

TEST_F(StatesTest, ServerInitReadsTheTwelveSettingsInOrder) {
    lua(R"(
      local values = {}
      for _, k in ipairs({'server_keeplive', 'server_port', 'server_delay',
                          'server_eventinterval', 'server_interval', 'bind_flag',
                          'server_config', 'server_sub', 'server_event', 'server_logger',
                          'server_ip', 'server_tls'}) do
        values[k] = _G[k]
        _G[k] = nil
      end
      values.server_port = 8883
      values.server_tls = 0
      read = {}
      setmetatable(_G, {__index = function(_, k)
        read[#read + 1] = k
        return values[k]
      end}))");
    server_init(L);
    EXPECT_EQ(lua_strings("read"),
              (std::vector<std::string>{"server_keeplive", "server_port", "server_delay",
                                        "server_eventinterval", "server_interval", "bind_flag",
                                        "server_config", "server_sub", "server_event",
                                        "server_logger", "server_ip", "server_tls"}));
    EXPECT_EQ(server_port, 8883);
    EXPECT_EQ(server_tls, 1);
    EXPECT_EQ(server_logger, "t/logger");
}

TEST_F(StatesTest, StringSettingsOutliveTheScriptValues) {
    lua("server_sub = 'a' .. string.rep('b', 100)");
    server_init(L);
    lua("server_sub = nil server_ip = {} collectgarbage('collect')");
    EXPECT_EQ(server_sub, "a" + std::string(100, 'b'));
    server_init(L);  // a table reads as the empty text
    EXPECT_EQ(server_ip, "");
}

}  // namespace
}  // namespace ostrel_test
