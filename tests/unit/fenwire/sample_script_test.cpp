// The sample script meets the script contract: called through the bridge as
// the agent calls it, it speaks the JSON protocol acsim answers.
#include <cstring>

#include "bridge.h"
#include "fenwire_fixture.h"

namespace fenwire_test {
namespace {

class SampleScript : public FenwireTest {
protected:
    void SetUp() override {
        FenwireTest::SetUp();
        setenv("FENWIRE_SN", "AB12", 1);
        setenv("FENWIRE_JOIN_TIMEOUT", "7", 1);
        lua_close(L);
        // A thousandth of the default bound: every call of the sample stays
        // far below it (the largest, a full state report, takes ~1800).
        L = luacall::new_bounded_state({luacall::kDefaultMaxInstructions / 1000, 0});
        ASSERT_EQ(luaL_dofile(L, APM_SAMPLE_SCRIPT), 0) << lua_tostring(L, -1);
    }
    void TearDown() override {
        unsetenv("FENWIRE_SN");
        unsetenv("FENWIRE_JOIN_TIMEOUT");
        FenwireTest::TearDown();
    }
    std::string gstr(const char *fn) {
        char buf[SEND_BUFFER_SIZE];
        int len = -1;
        EXPECT_EQ(callLuaFunction_GStr(L, fn, buf, sizeof buf, &len), 1) << fn;
        return std::string(buf, len > 0 ? len : 0);
    }
    std::string state(int fat) {
        char buf[SEND_BUFFER_SIZE];
        int len = -1;
        EXPECT_EQ(callLuaFunction_IntGStr(L, "AssembleStateMsg", fat, buf, sizeof buf, &len), 1);
        return std::string(buf, len > 0 ? len : 0);
    }
    int parse(const char *fn, const std::string &msg) {
        int r = -1;
        EXPECT_EQ(callLuaFunction_Str(L, fn, msg.data(), msg.size(), &r), 1);
        return r;
    }
    static bool has(const std::string &text, const std::string &part) {
        return text.find(part) != std::string::npos;
    }
};

TEST_F(SampleScript, SettingsComeFromTheEnvironmentOrDefaults) {
    char buf[64];
    callLuaStrVal(L, "SN", buf, sizeof buf);
    EXPECT_STREQ(buf, "AB12");
    int v = 0;
    callLuaIntVal(L, "JOIN_TIMEOUT", &v);
    EXPECT_EQ(v, 7);
    callLuaIntVal(L, "HEARTBEAT_TIMES", &v);
    EXPECT_EQ(v, 6);
    callLuaIntVal(L, "AC_PORT", &v);
    EXPECT_EQ(v, 1883);
}

TEST_F(SampleScript, ProvisioningMessages) {
    int next = 0;
    callLuaFunction_GInt(L, "APEnterDiscovery", &next);
    EXPECT_EQ(next, 2);
    char buf[256];
    int len = 0;
    ASSERT_EQ(callLuaFunction_IntGStr(L, "AssembleAPJoinMsg", 0, buf, sizeof buf, &len), 1);
    std::string join(buf, len);
    EXPECT_TRUE(has(join, "\"type\":\"join\"") && has(join, "\"sn\":\"AB12\"")) << join;
    EXPECT_EQ(parse("APParseJoinResponseMessage", R"({"type":"join_resp","sn":"AB12","result":0})"), 1);
    EXPECT_EQ(parse("APParseJoinResponseMessage", R"({"type":"join_resp","sn":"AB12","result":3})"), 0);
    EXPECT_EQ(parse("APParseJoinResponseMessage", R"({"type":"join_resp","sn":"OTHER","result":0})"), 0);
    EXPECT_EQ(parse("APParseJoinResponseMessage", "not json"), 0);
    EXPECT_TRUE(has(gstr("APConfigAssembleMsg"), "\"type\":\"config\""));
    EXPECT_EQ(parse("APParseConfigureResponseMessage",
                    R"({"type":"config_resp","sn":"AB12","result":0,"config":{"ssid":"x"}})"),
              1);
    EXPECT_TRUE(has(gstr("AssembleConfigBackup"), "\"ssid\":\"x\""));
}

TEST_F(SampleScript, RunMessagesAreClassifiedAndAnswered) {
    char reply[256];
    int type = -1, len = 0;
    std::string hb = R"({"type":"heartbeat_resp","sn":"AB12"})";
    callLuaFunction_StrIntStr(L, "getRunMessType", hb.data(), hb.size(), &type, reply, sizeof reply, &len);
    EXPECT_EQ(type, 2);
    std::string run = R"({"type":"run","sn":"AB12","id":9,"reset":3})";
    callLuaFunction_StrIntStr(L, "getRunMessType", run.data(), run.size(), &type, reply, sizeof reply, &len);
    EXPECT_EQ(type, 1);
    EXPECT_TRUE(has(std::string(reply, len), "\"type\":\"ack\""));
    int recode = -1, reset = -1;
    callLuaFunction_Str2Int(L, "APParseRunResponseMessage", run.data(), run.size(), &recode, &reset);
    EXPECT_EQ(recode, 1);
    EXPECT_EQ(reset, 3);
    std::string junk = "garbage";
    callLuaFunction_StrIntStr(L, "getRunMessType", junk.data(), junk.size(), &type, reply, sizeof reply, &len);
    EXPECT_EQ(type, 0);
}

TEST_F(SampleScript, StateReportCarriesTheBatchOnce) {
    NLnode sta{};
    sta.type = 1;
    sta.radioid = 2;
    uint8_t mac[6] = {0xaa, 0xbb, 0xcc, 0, 1, 2};
    std::memcpy(sta.mac, mac, 6);
    std::snprintf(sta.staip, sizeof sta.staip, "10.0.0.5");
    std::snprintf(sta.hostname, sizeof sta.hostname, "phone");
    callLuaFunction_StaInfo(L, "getStaInfo", &sta);
    callLuaFunction_2Int(L, "getOnlineStaNum", 0, 1);
    std::string report = state(0);
    EXPECT_TRUE(has(report, "\"event\":\"online\"")) << report;
    EXPECT_TRUE(has(report, "\"mac\":\"aa:bb:cc:00:01:02\""));
    EXPECT_TRUE(has(report, "\"radio2\":1"));
    EXPECT_TRUE(has(state(0), "\"events\":[]"));
    EXPECT_TRUE(has(gstr("FatAssembleStateMsg"), "\"fat\":1"));
}

TEST_F(SampleScript, ReportsOfAFullStationListFitTheBufferAndLoseNothing) {
    NLnode sta{};
    sta.type = 1;
    sta.radioid = 1;
    std::memset(sta.ssid, 's', sizeof sta.ssid - 1);
    std::memset(sta.hostname, 'h', sizeof sta.hostname - 1);
    std::snprintf(sta.staip, sizeof sta.staip, "192.168.100.200");
    for (int i = 0; i < 128; ++i) {
        sta.mac[5] = static_cast<uint8_t>(i);
        callLuaFunction_StaInfo(L, "getStaInfo", &sta);
    }
    lua_getglobal(L, "MESSAGE_BUDGET");
    const size_t budget = static_cast<size_t>(lua_tointeger(L, -1));
    lua_pop(L, 1);
    ASSERT_GT(budget, 0u);
    ASSERT_LE(budget, SEND_BUFFER_SIZE);
    std::string all;
    int reports = 0;
    for (std::string r = state(0); has(r, "\"mac\""); r = state(0)) {
        EXPECT_LE(r.size(), budget);  // "more":true included
        EXPECT_EQ(r.back(), '}');
        all += r;
        ++reports;
        ASSERT_LT(reports, 10);
    }
    EXPECT_GT(reports, 1);
    for (int i = 0; i < 128; ++i) {
        char mine[32];
        std::snprintf(mine, sizeof mine, "\"00:00:00:00:00:%02x\"", i);
        EXPECT_TRUE(has(all, mine)) << i;
    }
    // User information for the whole list fits too (what does not is left out).
    UsrNode u{};
    u.next = &u;
    sta.usrlist = &u;
    sta.type = 0;
    for (int i = 0; i < 128; ++i) callLuaFunction_UsrInfo(L, "getUserInfo", &sta);
    std::string users = gstr("AssembleUserInfo");
    EXPECT_LE(users.size(), budget);
    EXPECT_TRUE(has(users, "\"more\":true"));
}

TEST_F(SampleScript, NonFiniteOrFractionalNumbersAreNotActions) {
    for (const char *run : {R"({"type":"run","sn":"AB12","id":1,"reset":1e400})",
                            R"({"type":"run","sn":"AB12","id":1,"reset":NaN})",
                            R"({"type":"run","sn":"AB12","id":1,"reset":0.5})",
                            R"({"type":"run","sn":"AB12","id":1})"}) {
        std::string msg = run;
        int recode = -1, reset = -1;
        EXPECT_EQ(callLuaFunction_Str2Int(L, "APParseRunResponseMessage", msg.data(), msg.size(),
                                          &recode, &reset),
                  1);
        EXPECT_EQ(recode, 0) << run;
    }
}

TEST_F(SampleScript, UpdateWithoutAnImageIsDeclined) {
    std::string upd = R"({"type":"run","sn":"AB12","id":1,"reset":4})";
    int status = -1, code = -1;
    lua("FIRMWARE = '" + dir_ + "/absent.img'");
    callLuaFunction_Str2Int(L, "parseupdateSWconfig", upd.data(), upd.size(), &status, &code);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(code, 1);
    char buf[128];
    int len = 0;
    callLuaFunction_IntGStr(L, "AssembleupdateOK", code, buf, sizeof buf, &len);
    EXPECT_TRUE(has(std::string(buf, len), "\"type\":\"update_ack\""));
}

}  // namespace
}  // namespace fenwire_test
