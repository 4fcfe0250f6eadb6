#include "clock.h"
#include "ostrel_fixture.h"
#include "run_loop.h"

namespace ostrel_test {
namespace {

// Virtual seconds since the clock started, for the script's uptime.
int vtime(lua_State *ls) {
    lua_pushinteger(ls, static_cast<lua_Integer>(plat::monotonic_us() / 1000000));
    return 1;
}

class RunLoopTest : public OstrelTest {
  protected:
    void SetUp() override {
        OstrelTest::SetUp();
        lua_register(L, "vtime", vtime);
        lua("function getApUptime() return vtime() end "
            "function AssembleOstrelHearbeat() return 'hb' .. vtime() end "
            "function StainfoReport() return 'info' .. vtime() end");
    }
    void set(const std::string &settings) {
        lua(settings);
        read_settings();
    }
    // Passes until `seconds` of virtual time have gone by.
    void run_for(double seconds) {
        const double end = clock.elapsed() + seconds;
        while (clock.elapsed() < end - 1e-9) run_pass(rl);
    }
    RunLoop rl;
};

TEST_F(RunLoopTest, HeartbeatAtEntryThenEveryIntervalOfUptime) {
    set("server_interval = 3");
    run_enter(rl);
    run_for(10);
    EXPECT_EQ(sent_on("t/logger"), (std::vector<std::string>{"hb0", "hb3", "hb6", "hb9"}));
}

TEST_F(RunLoopTest, IntervalZeroSendsOnlyTheEntryHeartbeat) {
    testing::internal::CaptureStdout();
    run_enter(rl);
    run_for(10);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(sent_on("t/logger"), std::vector<std::string>{"hb0"});
    EXPECT_EQ(out.rfind("bind_flag=1\nserver_interval=0\nserver_eventinterval=0\n"
                        "heartbeat_now=0\nserver_logger=t/logger\n",
                        0),
              0u);
}

TEST_F(RunLoopTest, BindFlagZeroKeepsOnlyTheHeartbeatOfTheMessageDrain) {
    set("bind_flag = 0 server_interval = 3 server_eventinterval = 1 "
        "function APRunMessageType(m) return 0 end");
    NLhead->next = static_cast<NLnode *>(std::calloc(1, sizeof(NLnode)));
    run_enter(rl);
    run_for(5);
    EXPECT_TRUE(capture.sent.empty());
    EXPECT_TRUE(isNLlistnil(NLhead));  // stations wait for bind_flag 1
    queue("m");
    testing::internal::CaptureStdout();
    run_pass(rl);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("msgtype = 0\nsend hbparams heatbeat msg\n"), std::string::npos) << out;
    EXPECT_EQ(sent_on("t/logger"), std::vector<std::string>{"hb5"});
}

TEST_F(RunLoopTest, StationInfoReportFollowsItsOwnIntervalOfUptime) {
    set("server_eventinterval = 2");
    run_enter(rl);
    run_for(5);
    EXPECT_EQ(sent_on("t/event"), (std::vector<std::string>{"info2", "info4"}));

    capture.sent.clear();
    ApMode = 1;
    run_for(5);
    EXPECT_TRUE(sent_on("t/event").empty());
}

TEST_F(RunLoopTest, FailedUptimeReadKeepsThePreviousUptime) {
    // Entry reads 0, the heartbeat check of pass 1 reads 10, the report check
    // fails: the report compares the kept 10 with its last send at 0.
    set("server_interval = 100 server_eventinterval = 5 n = 0 "
        "function getApUptime() n = n + 1 "
        "  if n == 1 then return 0 elseif n == 2 then return 10 end error('gone') end");
    run_enter(rl);
    run_pass(rl);
    EXPECT_EQ(rl.uptime, 10);
    EXPECT_EQ(sent_on("t/event").size(), 1u);
}

TEST_F(RunLoopTest, FailedHeartbeatAssemblePublishesNothing) {
    set("server_interval = 1 function AssembleOstrelHearbeat() return string.rep('h', 4096) end");
    std::strcpy(send_buffer, "old message");
    run_enter(rl);
    run_for(3);
    EXPECT_TRUE(capture.sent.empty());
}

TEST_F(RunLoopTest, ScheduleCallComesOnEveryNinthPassWithTheQueueSet) {
    set("schedule_queue = 1 pass = 0 passes = {} "
        "function SCHEDULE_ON_MESSAGE() passes[#passes + 1] = tostring(pass) return 'm', 'q' end");
    run_enter(rl);
    for (int pass = 1; pass <= 30; ++pass) {
        lua("pass = " + std::to_string(pass));
        if (pass == 10) lua("schedule_queue = 0");  // passes 10-12 leave the counter alone
        if (pass == 13) lua("schedule_queue = 1");
        run_pass(rl);
    }
    EXPECT_EQ(lua_strings("passes"), (std::vector<std::string>{"9", "21", "30"}));
    EXPECT_EQ(sent_on("q").size(), 3u);
}

TEST_F(RunLoopTest, ScheduleOnPassesNineEighteenTwentySeven) {
    set("schedule_queue = 1 pass = 0 passes = {} "
        "function SCHEDULE_ON_MESSAGE() passes[#passes + 1] = tostring(pass) return 'm', 'q' end");
    run_enter(rl);
    for (int pass = 1; pass <= 27; ++pass) {
        lua("pass = " + std::to_string(pass));
        run_pass(rl);
    }
    EXPECT_EQ(lua_strings("passes"), (std::vector<std::string>{"9", "18", "27"}));
}

TEST_F(RunLoopTest, MessagesAreDispatchedByTypeAndDeleted) {
    lua(R"(
      function APRunMessageType(m) return tonumber(m:sub(1, 1)) end
      local function reply(name) return function(m) calls[#calls + 1] = name .. ':' .. m
        return name, 't/reply' end end
      APPareseRunTypeOne = reply('one')
      setGet_callback = reply('get')
      setUpload_callback = reply('up')
      setCommand_callback = reply('cmd')
      function APParseRunResponseMessage(m) calls[#calls + 1] = 'resp:' .. m end
      function setDownload_callback(m) calls[#calls + 1] = 'dl:' .. m return 'dl', 't/reply', 0 end)");
    for (const char *m : {"1a", "2b", "3c", "4d", "5e", "6f", "7g", "0h"}) queue(m);
    testing::internal::CaptureStdout();
    run_pass(rl);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(lua_strings("calls"),
              (std::vector<std::string>{"one:1a", "resp:1a", "get:3c", "one:4d", "dl:4d", "up:5e",
                                        "cmd:6f"}));
    EXPECT_EQ(sent_on("t/reply"),
              (std::vector<std::string>{"one", "get", "one", "dl", "up", "cmd"}));
    EXPECT_EQ(capture.disconnects, 1);
    EXPECT_NE(out.find("msgtype = 7\n"), std::string::npos);
    EXPECT_EQ(mosqlistlen(mosqhead), 0);
}

TEST_F(RunLoopTest, QueuedTextEndsAtItsFirstZeroByte) {
    lua("function APRunMessageType(m) seen = m return 0 end");
    MosqLinstinsert(mosqhead, mosq_node_copy("ab\0cd", 5));
    run_pass(rl);
    lua("assert(seen == 'ab', seen)");
}

TEST_F(RunLoopTest, StationEventsAreReportedOneEveryHundredMilliseconds) {
    lua("function handleNetlinkInfo(t, mac) return 'sta ' .. mac end");
    NLnode *tail = NLhead;
    for (const char *mac : {"m1", "m2", "m3"}) {
        tail->next = static_cast<NLnode *>(std::calloc(1, sizeof(NLnode)));
        tail = tail->next;
        std::strcpy(tail->mac, mac);
    }
    run_pass(rl);
    ASSERT_EQ(sent_on("t/event"), (std::vector<std::string>{"sta m1", "sta m2", "sta m3"}));
    EXPECT_NEAR(capture.sent[1].at - capture.sent[0].at, 0.1, 1e-9);
    EXPECT_FALSE(isNLlistnil(NLhead));
}

// A runaway type call drops its message, a runaway event call its event; the
// pass goes on with the next of each.
TEST_F(RunLoopTest, ARunawayCallDropsOnlyItsMessageOrEvent) {
    luacall::set_limits(L, {1000, 0});
    lua(R"(
      function APRunMessageType(m) if m == 'spin' then while true do end end return 3 end
      function setGet_callback(m) return 'got ' .. m, 't/reply' end
      function handleNetlinkInfo(t, mac)
        if mac == 'm1' then while true do end end
        return 'sta ' .. mac
      end)");
    queue("spin");
    queue("next");
    NLnode *tail = NLhead;
    for (const char *mac : {"m1", "m2"}) {
        tail->next = static_cast<NLnode *>(std::calloc(1, sizeof(NLnode)));
        tail = tail->next;
        std::strcpy(tail->mac, mac);
    }
    testing::internal::CaptureStdout();
    run_pass(rl);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(sent_on("t/event"), std::vector<std::string>{"sta m2"});
    EXPECT_EQ(sent_on("t/reply"), std::vector<std::string>{"got next"});
    EXPECT_NE(out.find("error script call handleNetlinkInfo stopped after 1000 instructions\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("error script call APRunMessageType stopped after 1000 instructions\n"
                       "msgtype = 0\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(mosqlistlen(mosqhead), 0);
}

// The library does not come back by itself after a disconnect it was asked
// for: the agent redials 5 s after the drop, and again 5 s after each try
// that fails.
TEST_F(RunLoopTest, ADisconnectRequestIsRedialedAfterFiveSeconds) {
    mqtt_connect = 1;
    run_handle_message(2, "bye");
    mqtt_connect = 0;  // what the disconnect callback does
    capture.redial_rc = 1;
    double dropped = clock.elapsed();
    run_for(11);
    ASSERT_EQ(capture.redials.size(), 2u);
    EXPECT_NEAR(capture.redials[0] - dropped, 5.0, 1.0);
    EXPECT_NEAR(capture.redials[1] - capture.redials[0], 5.0, 1.0);
    capture.redial_rc = 0;
    run_for(6);
    ASSERT_EQ(capture.redials.size(), 3u);
    run_for(10);
    EXPECT_EQ(capture.redials.size(), 3u) << "redialed once it worked";
}

TEST_F(RunLoopTest, RecoveryCommandRunsAtMostOnceASecondWhileTheLinkIsDown) {
    mqtt_connect = 0;
    run_for(3);
    EXPECT_EQ(count_commands("disconnect.sh 5 &"), 3);
    mqtt_connect = 1;
    run_for(2);
    EXPECT_EQ(count_commands("disconnect.sh 5 &"), 3);
}

}  // namespace
}  // namespace ostrel_test
