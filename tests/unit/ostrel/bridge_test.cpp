#include <atomic>
#include <climits>
#include <functional>
#include <thread>

#include "ostrel_fixture.h"

namespace ostrel_test {
namespace {

class BridgeTest : public OstrelTest {
  protected:
    void SetUp() override {
        OstrelTest::SetUp();
        exit_status = -1;
        ostrel_exit = [](int status) { exit_status = status; };
    }
    void TearDown() override {
        ostrel_exit = saved_exit;
        OstrelTest::TearDown();
    }
    static inline int exit_status = -1;
    void (*saved_exit)(int) = ostrel_exit;
};

struct FlagCase {
    const char *flag;  // Lua expression
    bool upgrades;
    const char *name;
};

void PrintTo(const FlagCase &c, std::ostream *os) {
    *os << c.flag;
}

class DownloadFlag : public BridgeTest, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(DownloadFlag, UpgradesOnlyWhenTheFlagTruncatesToOne) {
    lua(std::string("function setDownload_callback(m) return 'r:' .. m, 't/reply', ") +
        GetParam().flag + " end");
    EXPECT_EQ(callback_luafuncStr_sendownload(L, "setDownload_callback", "dl", 2), 1);
    ASSERT_EQ(capture.sent.size(), 1u);
    EXPECT_EQ(capture.sent[0].topic, "t/reply");
    EXPECT_EQ(capture.sent[0].payload, "r:dl");
    if (GetParam().upgrades) {
        EXPECT_EQ(shell.commands(), std::vector<std::string>{kUpgradeCommand});
        EXPECT_EQ(exit_status, 1);
    } else {
        EXPECT_TRUE(shell.commands().empty());
        EXPECT_EQ(exit_status, -1);
    }
}

INSTANTIATE_TEST_SUITE_P(Flags, DownloadFlag,
                         ::testing::Values(FlagCase{"1", true, "One"},
                                           FlagCase{"1.5", true, "OneAndAHalf"},
                                           FlagCase{"0", false, "Zero"},
                                           FlagCase{"2", false, "Two"},
                                           FlagCase{"'x'", false, "Text"},
                                           FlagCase{"nil", false, "Nil"}),
                         [](const auto &c) { return std::string(c.param.name); });

TEST_F(BridgeTest, UpgradeCommandIsTheFlashOfTheWaitingImage) {
    EXPECT_STREQ(kUpgradeCommand,
                 "sleep 1; killall -9 dropbear uhttpd; sleep 1; /sbin/sysupgrade -F "
                 "/tmp/firmware.img >/dev/null 2>&1");
}

TEST_F(BridgeTest, ScheduleListSkipsEmptyTopicsAndKeepsOrder) {
    lua("function SCHEDULE_ON_MESSAGE() return 'm\\0x', ';a;;b;c;' end");
    EXPECT_EQ(callback_luafuncStr_sendsched(L, "SCHEDULE_ON_MESSAGE"), 1);
    ASSERT_EQ(capture.sent.size(), 3u);
    const char *topics[] = {"a", "b", "c"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(capture.sent[i].topic, topics[i]);
        EXPECT_EQ(capture.sent[i].payload, std::string("m\0x", 3));  // the full length
    }
    // The list is text: a zero byte ends it.
    capture.sent.clear();
    lua("function SCHEDULE_ON_MESSAGE() return 'm', 'a\\0b;c' end");
    EXPECT_EQ(callback_luafuncStr_sendsched(L, "SCHEDULE_ON_MESSAGE"), 1);
    ASSERT_EQ(capture.sent.size(), 1u);
    EXPECT_EQ(capture.sent[0].topic, "a");
}

TEST_F(BridgeTest, RaisingFunctionPrintsItsErrorAndLeavesTheStack) {
    lua("function APPareseRunTypeOne(m) error('bad ' .. m, 0) end");
    lua_pushinteger(L, 42);
    const int top = lua_gettop(L);
    testing::internal::CaptureStdout();
    EXPECT_EQ(callback_luafuncStr_sendmsg(L, "APPareseRunTypeOne", "msg", 3), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error bad msg\n");
    EXPECT_EQ(lua_gettop(L), top);
    EXPECT_EQ(lua_tointeger(L, -1), 42);
    lua_pop(L, 1);
    EXPECT_TRUE(capture.sent.empty());
}

// A call that loops or allocates without end fails like any other call:
// outputs kept, nothing published; the same operation works again at once.
TEST_F(BridgeTest, ARunawayCallFailsLikeAnyOtherAndTheNextCallWorks) {
    luacall::set_limits(L, {100000, 256 * 1024});
    lua(R"(
        function loops(...) while true do end end
        function hoards(...) local t = {} while true do t[#t + 1] = {} end end
        function fine(...) return 'ok', 't/reply' end
    )");
    const struct {
        const char *name;
        const char *printed;
    } runaways[] = {
        {"loops", "error script call loops stopped after 100000 instructions\n"},
        {"hoards", "error not enough memory\n"},
    };
    int number = 5, length = 7;
    const struct {
        const char *kind;
        std::function<int(const char *)> call;
    } members[] = {
        {"number result", [&](const char *n) { return callback_luafunction_number(L, n, 1, &number); }},
        {"string result",
         [&](const char *n) {
             return callback_luafunction_string(L, n, 1, send_buffer, SEND_BUFFER_SIZE, &length);
         }},
        {"argument, published result",
         [&](const char *n) { return callback_luafuncStr_sendmsg(L, n, "m", 1); }},
    };
    for (const auto &r : runaways) {
        for (const auto &m : members) {
            number = 5;
            length = 7;
            std::memset(send_buffer, 0, SEND_BUFFER_SIZE);
            capture.sent.clear();
            testing::internal::CaptureStdout();
            EXPECT_EQ(m.call(r.name), 0) << r.name << ", " << m.kind;
            EXPECT_EQ(testing::internal::GetCapturedStdout(), r.printed) << m.kind;
            EXPECT_EQ(number, 5);
            EXPECT_EQ(length, 7);
            EXPECT_EQ(send_buffer[0], '\0');
            EXPECT_TRUE(capture.sent.empty());
            EXPECT_EQ(m.call("fine"), 1) << r.name << ", " << m.kind;
        }
    }
    EXPECT_EQ(lua_gettop(L), 0);
}

// ostrel's network thread calls the script too: each call, under lua_mutex,
// is counted on its own.
TEST_F(BridgeTest, CallsFromTwoThreadsAreCountedApart) {
    luacall::set_limits(L, {1000, 0});
    lua("function spin(m) for i = 1, 900 do end end function loops(m) while true do end end");
    std::atomic<int> spun{0};
    int stopped = 0;
    testing::internal::CaptureStdout();
    std::thread network([&spun, this] {
        for (int i = 0; i < 200; ++i)
            spun += callback_luafunction_insert_string(L, "spin", "m", 1);
    });
    for (int i = 0; i < 200; ++i)
        stopped += callback_luafunction_insert_string(L, "loops", "m", 1) == 0;
    network.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(spun.load(), 200);
    EXPECT_EQ(stopped, 200);
}

TEST_F(BridgeTest, StrictScriptMakesAMissingFunctionAFailedCall) {
    lua("setmetatable(_G, {__index = function(_, k) error('undeclared ' .. k, 0) end})");
    int out = 7;
    testing::internal::CaptureStdout();
    EXPECT_EQ(callback_luafunction_number(L, "Nope", 1, &out), 0);
    EXPECT_EQ(callback_luaVar_number(L, "nope", &out), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "error undeclared Nope\nerror undeclared nope\n");
    EXPECT_EQ(out, 7);
    EXPECT_EQ(lua_gettop(L), 0);
}

TEST_F(BridgeTest, BooleanIsFalseOnlyForNilAndFalse) {
    struct {
        const char *value;
        unsigned char expected;
    } cases[] = {{"0", 1}, {"''", 1}, {"true", 1}, {"false", 0}, {"nil", 0}};
    for (auto &c : cases) {
        lua(std::string("flag = ") + c.value);
        unsigned char out = 9;
        EXPECT_EQ(callback_luaVar_boolean(L, "flag", &out), 1);
        EXPECT_EQ(out, c.expected) << c.value;
    }
}

TEST_F(BridgeTest, NumbersTruncateTowardZeroAndNonNumbersReadZero) {
    struct {
        const char *value;
        int expected;
    } cases[] = {{"1.9", 1},        {"-1.9", -1}, {"'12'", 12},     {"'x'", 0},
                 {"{}", 0},         {"0/0", 0},   {"1e12", INT_MAX}, {"-1e12", INT_MIN}};
    for (auto &c : cases) {
        lua(std::string("function f() return ") + c.value + " end");
        int out = 5;
        EXPECT_EQ(callback_luafunction_number(L, "f", 1, &out), 1);
        EXPECT_EQ(out, c.expected) << c.value;
    }
}

TEST_F(BridgeTest, StringResultIsCopiedAsStrncpyDoes) {
    lua("function f() return 'ab\\0cd' end");
    std::memset(send_buffer, 'z', 8);
    int len = 0;
    EXPECT_EQ(callback_luafunction_string(L, "f", 1, send_buffer, SEND_BUFFER_SIZE, &len), 1);
    EXPECT_EQ(len, 5);
    EXPECT_EQ(std::string(send_buffer, 6), std::string("ab\0\0\0z", 6));
}

TEST_F(BridgeTest, ResultThatFillsTheBufferIsRefused) {
    int len = 0;
    lua("function fits() return string.rep('a', 2047) end");
    EXPECT_EQ(callback_luafunction_string(L, "fits", 1, send_buffer, SEND_BUFFER_SIZE, &len), 1);
    EXPECT_EQ(len, 2047);
    EXPECT_EQ(send_buffer[2047], '\0');

    std::memset(send_buffer, 0, SEND_BUFFER_SIZE);
    lua("function big() return string.rep('b', 2048) end");
    testing::internal::CaptureStdout();
    EXPECT_EQ(callback_luafunction_string(L, "big", 1, send_buffer, SEND_BUFFER_SIZE, &len), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("error big", 0), 0u);
    EXPECT_EQ(len, 2047);
    EXPECT_EQ(send_buffer[0], '\0');
}

TEST_F(BridgeTest, ClientInfoPushesTheFifteenValuesInOrder) {
    lua(R"(function handleNetlinkInfo(...)
             local t = {...}
             for i = 1, select('#', ...) do t[i] = tostring(t[i]) end
             return table.concat(t, '|')
           end)");
    NLnode r{};
    r.type = 2;
    std::strcpy(r.mac, "00:1a:2b:3c:4d:5e");
    std::strcpy(r.hostname, "phone");
    std::strcpy(r.extra, "x");
    r.radioid = 2;
    std::strcpy(r.staip, "192.168.1.20");
    r.txbytes = 0x100000005ull;
    r.rxbytes = 7;
    r.txrate = 300;
    r.rxrate = 150;
    r.rssi = -40;
    r.uptime = 99;
    std::strcpy(r.ssid, "guest");
    r.phyrate = 200;
    r.wlanid = 3;
    EXPECT_EQ(callback_luafunction_insert_clientinfo(L, "handleNetlinkInfo", &r), 1);
    ASSERT_EQ(capture.sent.size(), 1u);
    EXPECT_EQ(capture.sent[0].topic, "t/event");
    EXPECT_EQ(capture.sent[0].payload,
              "2|00:1a:2b:3c:4d:5e|phone|x|2|192.168.1.20|5|7|300|150|-40|99|guest|200|3");
}

TEST_F(BridgeTest, ReplyWithoutMessageOrTopicPublishesNothing) {
    lua("function a(m) return nil, 't' end function b(m) return 'x', nil end");
    EXPECT_EQ(callback_luafuncStr_sendmsg(L, "a", "m", 1), 1);
    EXPECT_EQ(callback_luafuncStr_sendmsg(L, "b", "m", 1), 1);
    EXPECT_TRUE(capture.sent.empty());
}

TEST_F(BridgeTest, StringArgumentIsBinarySafe) {
    lua("function APRunMessageType(m) return #m end");
    EXPECT_EQ(callback_luafunctionStrNum(L, "APRunMessageType", "a\0b", 3), 3);
    EXPECT_EQ(callback_luafunctionStrNum(L, "Missing", "a", 1), 0);
}

TEST_F(BridgeTest, IsRebootIsWrittenAsAnInteger) {
    EXPECT_EQ(Set_luaVar_number(L, "isReboot", 0), 1);
    lua("assert(isReboot == 0)");
    std::string s = "keep";
    EXPECT_EQ(callback_luaVar_string(L, "isReboot", &s), 1);
    EXPECT_EQ(s, "0");
}

}  // namespace
}  // namespace ostrel_test
