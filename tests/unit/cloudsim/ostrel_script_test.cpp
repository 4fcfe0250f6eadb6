// The sample script examples/lua/ostrel.lua meets the contract of ostrel's
// script: each global and function has the shape the agent reads, and the
// messages are the JSON that cloudsim speaks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>

#include "lua_script.h"

namespace script_test {
namespace {

using nlohmann::json;

class OstrelScript : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (std::filesystem::temp_directory_path() / "ostrel-lua-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        std::ofstream(dir_ + "/uptime") << "1234.56 4321.00\n";
        env("OSTREL_SN", "AB12");
        env("OSTREL_UPTIME_FILE", dir_ + "/uptime");
        env("OSTREL_FIRMWARE", dir_ + "/firmware.img");
        load();
    }
    void TearDown() override {
        for (const auto &name : env_) unsetenv(name.c_str());
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    void env(const std::string &name, const std::string &value) {
        setenv(name.c_str(), value.c_str(), 1);
        env_.push_back(name);
    }
    // A fresh interpreter with the script, as the agent starts it.
    void load() {
        lua = std::make_unique<LuaScript>(APM_OSTREL_SCRIPT);
        ASSERT_EQ(lua->error(), "");
    }

    // A function with no arguments and one string result, as JSON.
    json message(const char *fn) {
        LuaCall c = lua->call(fn, {}, 1);
        EXPECT_EQ(c.error, "") << fn;
        return c.error.empty() ? parse(c.results[0]) : json();
    }
    // A request handler: the reply as JSON; its topic must be the reply topic.
    json reply(const char *fn, const std::string &request, int nresults = 2) {
        LuaCall c = lua->call(fn, {request}, nresults);
        EXPECT_EQ(c.error, "") << fn;
        if (!c.error.empty()) return json();
        EXPECT_EQ(c.results[1].text, "ostrel/AB12/reply") << fn;
        if (nresults == 3) last_flag_ = c.results[2];
        return parse(c.results[0]);
    }
    int number(const char *fn, const std::vector<LuaArg> &args = {}) {
        LuaCall c = lua->call(fn, args, 1);
        EXPECT_EQ(c.error, "") << fn;
        EXPECT_TRUE(c.error.empty() && c.results[0].type == LUA_TNUMBER) << fn;
        return c.error.empty() ? static_cast<int>(c.results[0].number) : -1;
    }
    void parse_only(const char *fn, const std::string &msg) {
        EXPECT_EQ(lua->call(fn, {msg}, 0).error, "") << fn;
    }
    static json parse(const LuaResult &r) {
        EXPECT_EQ(r.type, LUA_TSTRING);
        json j = json::parse(r.text, nullptr, false);
        EXPECT_TRUE(j.is_object()) << r.text;
        return j;
    }
    // A join event of a station, with every value distinct so that a swap shows.
    json station(int type, const std::string &mac, const std::string &hostname = "phone") {
        LuaCall c = lua->call("handleNetlinkInfo",
                              {type, mac, hostname, "extra-text", 2, "192.168.1.20", 1001, 1002,
                               1003, 1004, -57, 1005, "cloud-ap", 130, 3},
                              1);
        EXPECT_EQ(c.error, "");
        return c.error.empty() ? parse(c.results[0]) : json();
    }

    std::string dir_;
    std::vector<std::string> env_;
    std::unique_ptr<LuaScript> lua;
    LuaResult last_flag_;
};

TEST_F(OstrelScript, SettingsAreGlobalsOfTheShapesTheAgentReads) {
    struct {
        const char *name;
        double value;
    } numbers[] = {{"server_keeplive", 60}, {"server_port", 1883},
                   {"server_delay", 0},     {"server_eventinterval", 60},
                   {"server_interval", 30}, {"bind_flag", 1},
                   {"ApMode", 0},           {"schedule_queue", 0}};
    for (const auto &n : numbers) {
        LuaResult r = lua->global(n.name);
        EXPECT_EQ(r.type, LUA_TNUMBER) << n.name;
        EXPECT_EQ(r.number, n.value) << n.name;
    }
    struct {
        const char *name;
        const char *value;
    } texts[] = {{"SN", "AB12"},
                 {"server_ip", "127.0.0.1"},
                 {"server_sub", "ostrel/AB12/down"},
                 {"server_config", "ostrel/AB12/config"},
                 {"server_event", "ostrel/AB12/event"},
                 {"server_logger", "ostrel/AB12/logger"}};
    for (const auto &t : texts) {
        LuaResult r = lua->global(t.name);
        EXPECT_EQ(r.type, LUA_TSTRING) << t.name;
        EXPECT_EQ(r.text, t.value) << t.name;
    }
    EXPECT_EQ(lua->global("server_tls").type, LUA_TBOOLEAN);
    EXPECT_FALSE(lua->truth("server_tls"));
}

TEST_F(OstrelScript, TheEnvironmentSetsTheSettings) {
    env("OSTREL_SERVER_PORT", "18830");
    env("OSTREL_SERVER_IP", "10.1.2.3");
    env("OSTREL_BIND_FLAG", "0");
    env("OSTREL_APMODE", "1");
    env("OSTREL_SERVER_INTERVAL", "5");
    env("OSTREL_SERVER_EVENTINTERVAL", "0");
    env("OSTREL_SERVER_DELAY", "2");
    env("OSTREL_SERVER_TLS", "1");
    env("OSTREL_SERVER_LOGGER", "hb/AB12");
    env("OSTREL_SERVER_KEEPLIVE", "not a number");  // keeps its default
    load();
    EXPECT_EQ(lua->global("server_port").number, 18830);
    EXPECT_EQ(lua->global("server_ip").text, "10.1.2.3");
    EXPECT_EQ(lua->global("bind_flag").number, 0);
    EXPECT_EQ(lua->global("ApMode").number, 1);
    EXPECT_EQ(lua->global("server_interval").number, 5);
    EXPECT_EQ(lua->global("server_eventinterval").number, 0);
    EXPECT_EQ(lua->global("server_delay").number, 2);
    EXPECT_TRUE(lua->truth("server_tls"));
    EXPECT_EQ(lua->global("server_logger").text, "hb/AB12");
    EXPECT_EQ(lua->global("server_keeplive").number, 60);
}

TEST_F(OstrelScript, ProvisioningMessagesAndResponses) {
    EXPECT_EQ(number("APConnetOstrel"), 2);
    EXPECT_EQ(number("APEnterImage"), 4);
    json join = message("AssembleAPJoinMsg");
    EXPECT_EQ(join["type"], "join");
    EXPECT_EQ(join["sn"], "AB12");
    EXPECT_EQ(join["reboot"], 0);
    lua->set_number("isReboot", 1);  // the agent's reboot flag argument
    EXPECT_EQ(message("AssembleAPJoinMsg")["reboot"], 1);
    EXPECT_EQ(number("IsNeedImage"), 0);

    parse_only("APParseJoinResponseMessage", R"({"type":"join_resp","sn":"AB12","result":0})");
    json config = message("APConfigAssembleMsg");
    EXPECT_EQ(config["type"], "config");
    EXPECT_EQ(config["sn"], "AB12");
    parse_only(
        "APParseConfigureResponseMessage",
        R"({"type":"config_resp","sn":"AB12","result":0,"config":{"ssid":"x","channel":11}})");
    json upload = reply("setUpload_callback", R"({"type":5,"id":3,"what":"config"})");
    EXPECT_EQ(upload["data"], json({{"ssid", "x"}, {"channel", 11}}));
    json status = reply("setGet_callback", R"({"type":3,"id":4,"keys":["joined","configured"]})");
    EXPECT_EQ(status["values"], json({{"joined", true}, {"configured", true}}));
}

TEST_F(OstrelScript, TheJoinResponseDecidesTheImageStep) {
    struct {
        std::string response;
        int need_image;
    } cases[] = {
        {R"({"type":"join_resp","sn":"AB12","result":0,"image":1})", 1},
        {R"({"type":"join_resp","sn":"AB12","result":0,"image":true})", 1},
        {R"({"type":"join_resp","result":0,"image":1})", 1},
        {R"({"type":"join_resp","sn":"AB12","result":0,"image":0})", 0},
        {R"({"type":"join_resp","sn":"OTHER","result":0,"image":1})", 0},
        {R"({"type":"config_resp","sn":"AB12","image":1})", 0},
        {"not json", 0},
        {"", 0},
        {std::string("{\"type\":\"join_resp\",\0\"image\":1}", 31), 0},
    };
    for (const auto &c : cases) {
        load();
        parse_only("APParseJoinResponseMessage", c.response);
        EXPECT_EQ(number("IsNeedImage"), c.need_image) << c.response;
    }
}

TEST_F(OstrelScript, RunMessageTypesComeFromTheTypeNumberAndNeverRaise) {
    std::string deep(100000, '[');
    struct {
        std::string text;
        int type;
    } cases[] = {
        {R"({"type":1,"sn":"AB12","id":1})", 1},
        {R"({"type":2,"id":1})", 2},
        {R"({"type":3})", 3},
        {R"({"type":4,"upgrade":true})", 4},
        {R"({"type":5})", 5},
        {R"({"type":6,"command":"uptime"})", 6},
        {R"({"type":0})", 0},
        {R"({"type":7})", 0},
        {R"({"type":-1})", 0},
        {R"({"type":1.5})", 0},
        {R"({"type":"1"})", 0},
        {R"({"type":1e400})", 0},
        {R"({"type":3,"sn":"OTHER"})", 0},
        {R"({"type":"join_resp","result":0})", 0},
        {"[3]", 0},
        {"null", 0},
        {"3", 0},
        {"", 0},
        {"{\"type\":", 0},
        {deep, 0},
        {std::string("\xff\xfe{}", 4), 0},
        {R"({"type":NaN})", 0},
    };
    for (const auto &c : cases) {
        LuaCall call = lua->call("APRunMessageType", {c.text}, 1);
        ASSERT_EQ(call.error, "") << c.text.substr(0, 40);
        EXPECT_EQ(call.results[0].type, LUA_TNUMBER) << c.text.substr(0, 40);
        EXPECT_EQ(call.results[0].number, c.type) << c.text.substr(0, 40);
    }
}

TEST_F(OstrelScript, EveryRequestIsAnsweredOnTheReplyTopicWithItsId) {
    struct {
        const char *fn;
        const char *request;
        const char *reply_type;
    } cases[] = {
        {"APPareseRunTypeOne", R"({"type":1,"sn":"AB12","id":11})", "ack"},
        {"APPareseRunTypeOne", R"({"type":4,"sn":"AB12","id":12})", "ack"},
        {"setGet_callback", R"({"type":3,"sn":"AB12","id":13})", "get_resp"},
        {"setUpload_callback", R"({"type":5,"sn":"AB12","id":14})", "upload_resp"},
        {"setCommand_callback", R"({"type":6,"sn":"AB12","id":15,"command":"version"})",
         "command_resp"},
    };
    int id = 11;
    for (const auto &c : cases) {
        json r = reply(c.fn, c.request);
        EXPECT_EQ(r["type"], c.reply_type) << c.fn;
        EXPECT_EQ(r["sn"], "AB12") << c.fn;
        EXPECT_EQ(r["id"], id++) << c.fn;
    }
    EXPECT_EQ(reply("APPareseRunTypeOne", R"({"type":4,"id":12})")["request"], 4);
    json download = reply("setDownload_callback", R"({"type":4,"id":16})", 3);
    EXPECT_EQ(download["type"], "download_resp");
    EXPECT_EQ(download["id"], 16);
    // A request that is not what it claims still gets a reply, without an id.
    for (const char *fn :
         {"APPareseRunTypeOne", "setGet_callback", "setUpload_callback", "setCommand_callback"}) {
        json r = reply(fn, "garbage");
        EXPECT_FALSE(r.contains("id")) << fn;
        EXPECT_EQ(r["sn"], "AB12") << fn;
    }
    EXPECT_EQ(reply("setGet_callback", R"({"type":3,"id":1e400})").count("id"), 0u);
}

TEST_F(OstrelScript, GetAnswersTheNamedKeysAndNamesTheUnknownOnes) {
    json some =
        reply("setGet_callback", R"({"type":3,"id":1,"keys":["uptime","version","nope",7]})");
    EXPECT_EQ(some["values"], json({{"uptime", 1234}, {"version", "V2.0"}}));
    EXPECT_EQ(some["unknown"], json({"nope", "7"}));
    json none = reply("setGet_callback", R"({"type":3,"id":1,"keys":["nope"]})");
    EXPECT_TRUE(none["values"].is_object() && none["values"].empty()) << none;
    json all = reply("setGet_callback", R"({"type":3,"id":1})");
    EXPECT_EQ(all["values"]["sn"], "AB12");
    EXPECT_EQ(all["values"]["model"], "QM4471R");
    EXPECT_FALSE(all.contains("unknown"));
}

TEST_F(OstrelScript, DownloadAsksForTheFlashOnlyWhenTheRequestSaysUpgrade) {
    struct {
        const char *request;
        int flag;
    } cases[] = {
        {R"({"type":4,"id":1,"upgrade":true})", 1},
        {R"({"type":4,"id":1,"upgrade":1})", 1},
        {R"({"type":4,"id":1,"upgrade":false})", 0},
        {R"({"type":4,"id":1,"upgrade":"yes"})", 0},
        {R"({"type":4,"id":1})", 0},
        {"garbage", 0},
    };
    for (const auto &c : cases) {
        json r = reply("setDownload_callback", c.request, 3);
        EXPECT_EQ(last_flag_.type, LUA_TNUMBER) << c.request;
        EXPECT_EQ(last_flag_.number, c.flag) << c.request;
        EXPECT_EQ(r["upgrade"], c.flag == 1) << c.request;
        EXPECT_EQ(r["image"], false) << c.request;
    }
    std::ofstream(dir_ + "/firmware.img") << "image";
    EXPECT_EQ(reply("setDownload_callback", R"({"type":4,"id":2,"upgrade":true})", 3)["image"],
              true);
}

TEST_F(OstrelScript, CommandsAreAnsweredWithoutTheShell) {
    struct {
        const char *request;
        int code;
        const char *output;
    } cases[] = {
        {R"({"type":6,"id":1,"command":"echo hello cloud"})", 0, "hello cloud"},
        {R"({"type":6,"id":1,"command":"echo"})", 0, ""},
        {R"({"type":6,"id":1,"command":"uptime"})", 0, "1234"},
        {R"({"type":6,"id":1,"command":"version"})", 0, "V2.0"},
        {R"({"type":6,"id":1,"command":"reboot; rm -rf /"})", 1, "unknown command"},
        {R"({"type":6,"id":1,"command":7})", 1, "unknown command"},
        {R"({"type":6,"id":1})", 1, "unknown command"},
    };
    for (const auto &c : cases) {
        json r = reply("setCommand_callback", c.request);
        EXPECT_EQ(r["code"], c.code) << c.request;
        EXPECT_EQ(r["output"], c.output) << c.request;
    }
}

TEST_F(OstrelScript, ARunRequestWithAScheduleFillsTheScheduleQueue) {
    parse_only("APParseRunResponseMessage", R"({"type":1,"id":5})");
    EXPECT_EQ(lua->global("schedule_queue").number, 0) << "no schedule asked for";

    parse_only("APParseRunResponseMessage",
               R"({"type":1,"id":6,"schedule":{"times":2,"topics":
                   ["ostrel/AB12/schedule","","bad;topic",3,"ostrel/AB12/logger"]}})");
    EXPECT_EQ(lua->global("schedule_queue").number, 1);
    for (int seq = 1; seq <= 2; ++seq) {
        LuaCall c = lua->call("SCHEDULE_ON_MESSAGE", {}, 2);
        ASSERT_EQ(c.error, "");
        json msg = parse(c.results[0]);
        EXPECT_EQ(msg["type"], "schedule");
        EXPECT_EQ(msg["id"], 6);
        EXPECT_EQ(msg["seq"], seq);
        EXPECT_EQ(c.results[1].text, "ostrel/AB12/schedule;ostrel/AB12/logger");
        EXPECT_EQ(lua->global("schedule_queue").number, seq == 2 ? 0 : 1) << seq;
    }
    LuaCall none = lua->call("SCHEDULE_ON_MESSAGE", {}, 2);
    EXPECT_EQ(none.error, "");
    EXPECT_EQ(none.results[0].type, LUA_TNIL) << "nothing left to send";

    parse_only("APParseRunResponseMessage", R"({"type":1,"id":7,"schedule":{}})");
    LuaCall c = lua->call("SCHEDULE_ON_MESSAGE", {}, 2);
    EXPECT_EQ(c.results[1].text, "ostrel/AB12/schedule") << "the default topic";
    EXPECT_EQ(lua->global("schedule_queue").number, 0) << "one message by default";
}

TEST_F(OstrelScript, StationEventsCarryTheFifteenValuesAndKeepTheOnlineList) {
    json join = station(1, "00:1a:2b:3c:4d:5e");
    json expected = {{"type", "station"},
                     {"sn", "AB12"},
                     {"event", "join"},
                     {"mac", "00:1a:2b:3c:4d:5e"},
                     {"hostname", "phone"},
                     {"extra", "extra-text"},
                     {"radio", 2},
                     {"ip", "192.168.1.20"},
                     {"txbytes", 1001},
                     {"rxbytes", 1002},
                     {"txrate", 1003},
                     {"rxrate", 1004},
                     {"rssi", -57},
                     {"uptime", 1005},
                     {"ssid", "cloud-ap"},
                     {"phyrate", 130},
                     {"wlan", 3}};
    EXPECT_EQ(join, expected);
    station(1, "00:1a:2b:3c:4d:01", "laptop");
    EXPECT_EQ(message("AssembleOstrelHearbeat"),
              json({{"type", "heartbeat"}, {"sn", "AB12"}, {"uptime", 1234}, {"stations", 2}}));
    json report = message("StainfoReport");
    EXPECT_EQ(report["type"], "stainfo");
    ASSERT_EQ(report["stations"].size(), 2u);
    EXPECT_EQ(report["stations"][0]["hostname"], "laptop") << "in MAC order";

    EXPECT_EQ(station(2, "00:1a:2b:3c:4d:5e")["event"], "leave");
    EXPECT_EQ(station(9, "00:1a:2b:3c:4d:77")["event"], "9");
    EXPECT_EQ(message("AssembleOstrelHearbeat")["stations"], 1);
    station(2, "00:1a:2b:3c:4d:01");
    json empty = message("StainfoReport");
    EXPECT_TRUE(empty["stations"].is_array() && empty["stations"].empty()) << empty;
    json uploaded = reply("setUpload_callback", R"({"type":5,"id":1,"what":"stations"})");
    EXPECT_TRUE(uploaded["data"].is_array() && uploaded["data"].empty()) << uploaded;
}

TEST_F(OstrelScript, AStationReportOfAFullListFitsTheBuffer) {
    std::string host(33, 'h');
    for (int i = 0; i < 128; ++i) {
        char mac[18];
        std::snprintf(mac, sizeof mac, "00:00:00:00:00:%02x", i);
        station(1, mac, host);
    }
    LuaCall c = lua->call("StainfoReport", {}, 1);
    ASSERT_EQ(c.error, "");
    EXPECT_LT(c.results[0].text.size(), 2048u);
    json report = parse(c.results[0]);
    EXPECT_EQ(report["more"], true);
    EXPECT_GT(report["stations"].size(), 0u);
    EXPECT_EQ(report["stations"][0]["mac"], "00:00:00:00:00:00");
}

TEST_F(OstrelScript, UptimeIsTheWholeSecondsOfTheUptimeFile) {
    EXPECT_EQ(number("getApUptime"), 1234);
    std::ofstream(dir_ + "/uptime") << "77.99 1.00\n";
    EXPECT_EQ(number("getApUptime"), 77);
    std::filesystem::remove(dir_ + "/uptime");
    EXPECT_GE(number("getApUptime"), 0) << "without the file: seconds since the script started";
}

}  // namespace
}  // namespace script_test
