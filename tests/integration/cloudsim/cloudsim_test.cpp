// cloudsim against a real broker, with a plain MQTT client as the AP and,
// in the last test, the sample script examples/lua/ostrel.lua making and
// reading the AP's side of every message.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "broker.h"
#include "cloudsim.h"
#include "lua_script.h"
#include "mqtt_probe.h"

namespace {

using sim::json;

const std::string kDown = "ostrel/AB12/down";

// A broker, cloudsim on it, and an AP that hears what the cloud sends it.
struct CloudFixture : ::testing::Test {
    void SetUp() override {
        settings.port = broker.port();
        cloud = std::make_unique<sim::CloudSim>(settings);
        cloud->start();
        ASSERT_TRUE(sandbox::wait_until([&] { return cloud->ready(); }));
        ap = std::make_unique<sandbox::MqttProbe>(broker.port(), "tavrin_AB12");
        ap->subscribe(kDown);
    }
    // The n-th message (from 1) the AP heard, as JSON; waits for it.
    json heard(size_t n) {
        if (!ap->wait_heard(n)) return json();
        auto all = ap->heard();
        EXPECT_EQ(all[n - 1].topic, kDown);
        EXPECT_FALSE(all[n - 1].retain);
        return json::parse(all[n - 1].payload, nullptr, false);
    }
    // The same, as the bytes the AP got.
    std::string heard_text(size_t n) { return ap->wait_heard(n) ? ap->heard()[n - 1].payload : ""; }
    bool heard_from_ap(const std::string &kind, size_t n) {
        return sandbox::wait_until([&] { return cloud->count("AB12", kind) >= n; });
    }

    sandbox::Broker broker;
    sim::CloudSettings settings;
    std::unique_ptr<sim::CloudSim> cloud;
    std::unique_ptr<sandbox::MqttProbe> ap;
};

TEST_F(CloudFixture, JoinAndConfigureRequestsAreAnsweredOnTheApsSubTopic) {
    ap->publish("ostrel/AB12/config", R"({"type":"join","sn":"AB12"})");
    EXPECT_EQ(heard(1), json({{"type", "join_resp"}, {"sn", "AB12"}, {"result", 0}, {"image", 0}}));
    ap->publish("ostrel/AB12/config", R"({"type":"config","sn":"AB12"})");
    json config = heard(2);
    EXPECT_EQ(config["type"], "config_resp");
    EXPECT_EQ(config["result"], 0);
    EXPECT_TRUE(config["config"].is_object());
    EXPECT_EQ(cloud->count("AB12", "join"), 1u);
    EXPECT_EQ(cloud->count("AB12", "join_resp", false), 1u);

    cloud->set_join_result(3);
    cloud->set_need_image(true);
    ap->publish("ostrel/AB12/config", R"({"type":"join","sn":"AB12"})");
    json again = heard(3);
    EXPECT_EQ(again["result"], 3);
    EXPECT_EQ(again["image"], 1);

    // Unanswered while off: the next thing heard answers the request after it.
    cloud->set_answer(false);
    ap->publish("ostrel/AB12/config", R"({"type":"join","sn":"AB12"})");
    ASSERT_TRUE(heard_from_ap("join", 3));
    cloud->set_answer(true);
    ap->publish("ostrel/AB12/config", R"({"type":"config","sn":"AB12"})");
    EXPECT_EQ(heard(4)["type"], "config_resp");
    EXPECT_EQ(cloud->count("AB12", "join_resp", false), 2u);
}

TEST_F(CloudFixture, CommandLinesSendRequestsWithTheirTypeAndAFreshId) {
    struct {
        const char *line;
        int type;
        json fields;  // further fields the request must hold
        const char *kind;
    } cases[] = {
        {"type1 AB12", 1, json::object(), "run"},
        {"schedule AB12", 1, {{"schedule", json::object()}}, "run"},
        {"schedule AB12 3 a/b;;c/d;",
         1,
         {{"schedule", {{"times", 3}, {"topics", {"a/b", "c/d"}}}}},
         "run"},
        {"disconnect AB12", 2, json::object(), "disconnect"},
        {"get AB12", 3, json::object(), "get"},
        {"get AB12 uptime version", 3, {{"keys", {"uptime", "version"}}}, "get"},
        {"download AB12", 4, {{"upgrade", false}}, "download"},
        {"download AB12 upgrade", 4, {{"upgrade", true}}, "download"},
        {"upload AB12", 5, {{"what", "status"}}, "upload"},
        {"upload AB12 stations", 5, {{"what", "stations"}}, "upload"},
        {"command AB12   echo two  words", 6, {{"command", "echo two  words"}}, "command"},
        {"request AB12 7", 7, json::object(), "request"},
        {"request AB12 -1", -1, json::object(), "request"},
    };
    size_t n = 0;
    for (const auto &c : cases) {
        ASSERT_TRUE(cloud->command(c.line)) << c.line;
        json msg = heard(++n);
        json expected = {{"type", c.type}, {"sn", "AB12"}, {"id", n}};
        expected.update(c.fields);
        EXPECT_EQ(msg, expected) << c.line;
        EXPECT_EQ(cloud->events().back().kind, c.kind) << c.line;
    }
    for (const char *bad :
         {"", "get", "type1", "download AB12 now", "request AB12", "request AB12 x",
          "request AB12 1x", "command AB12", "schedule AB12 x", "answer maybe", "reboot AB12"})
        EXPECT_FALSE(cloud->command(bad)) << bad;
    ASSERT_TRUE(cloud->command("type1 AB12"));
    EXPECT_EQ(heard(++n)["id"], n) << "the bad lines sent nothing";
    EXPECT_EQ(ap->heard().size(), n);
}

TEST_F(CloudFixture, WhatTheApSendsIsRecordedByKindAndTopic) {
    ap->publish("ostrel/AB12/logger",
                R"({"type":"heartbeat","sn":"AB12","uptime":5,"stations":2})");
    ap->publish(
        "ostrel/AB12/event",
        R"({"type":"station","sn":"AB12","event":"join","mac":"00:1a:2b:3c:4d:5e",)"
        R"("ip":"192.168.1.20","hostname":"phone","ssid":"cloud-ap","radio":1,"wlan":0,"rssi":-50})");
    ap->publish("ostrel/AB12/reply",
                R"({"type":"command_resp","sn":"AB12","id":4,"code":0,"output":"hi"})");
    ap->publish("ostrel/AB12/schedule",
                R"({"type":"schedule","sn":"AB12","id":2,"seq":1,"times":3})");
    ap->publish("ostrel/AB12/event", "not json");
    ap->publish("ostrel/AB12/down", R"({"type":"heartbeat"})");   // the cloud's own topic
    ap->publish("ostrel/AB12/x/y", R"({"type":"heartbeat"})");    // not an AP topic
    ap->publish("other/AB12/logger", R"({"type":"heartbeat"})");  // nor this
    ap->publish("ostrel/CD34/logger", R"({"type":"heartbeat","uptime":1})");
    ASSERT_TRUE(sandbox::wait_until([&] { return cloud->count("CD34", "heartbeat") == 1; }));

    auto events = cloud->events();
    ASSERT_EQ(events.size(), 6u);
    struct {
        const char *topic, *kind, *line;
    } expected[] = {
        {"ostrel/AB12/logger", "heartbeat", "CLOUD <- AB12 heartbeat: uptime 5, stations 2"},
        {"ostrel/AB12/event", "station",
         "CLOUD <- AB12 station: join 00:1a:2b:3c:4d:5e 192.168.1.20 phone cloud-ap, radio 1 "
         "wlan 0, rssi -50"},
        {"ostrel/AB12/reply", "command_resp", "CLOUD <- AB12 command_resp: id 4, code 0: hi"},
        {"ostrel/AB12/schedule", "schedule", "CLOUD <- AB12 schedule: id 2, 1 of 3"},
        {"ostrel/AB12/event", "", "CLOUD <- AB12 (not JSON, 8 bytes)"},
        {"ostrel/CD34/logger", "heartbeat", "CLOUD <- CD34 heartbeat: uptime 1, stations 0"},
    };
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_TRUE(events[i].from_ap) << i;
        EXPECT_EQ(events[i].topic, expected[i].topic) << i;
        EXPECT_EQ(events[i].kind, expected[i].kind) << i;
        EXPECT_EQ(sim::describe(events[i]), expected[i].line) << i;
    }
    // None of these asks for an answer; the AP may hear its own message on
    // its topic, nothing else.
    for (const auto &h : ap->heard()) EXPECT_EQ(h.payload, R"({"type":"heartbeat"})");
}

TEST_F(CloudFixture, AnOldRetainedJoinIsNotAnswered) {
    // The agent publishes with retain: a cloud that comes later must not
    // answer the stale request, or the AP takes the answer for a later one.
    ap->publish("ostrel/EF56/config", R"({"type":"join","sn":"EF56"})", 1, true);
    ap->publish("ostrel/EF56/logger", R"({"type":"heartbeat"})");  // a marker after it
    ASSERT_TRUE(sandbox::wait_until([&] { return cloud->count("EF56", "heartbeat") == 1; }));
    sim::CloudSim late(settings);
    late.start();
    ASSERT_TRUE(sandbox::wait_until([&] { return late.ready(); }));
    ap->publish("ostrel/EF56/logger", R"({"type":"heartbeat"})");
    ASSERT_TRUE(sandbox::wait_until([&] { return late.count("EF56", "heartbeat") == 1; }));
    EXPECT_EQ(late.count("EF56", "join"), 0u);
    EXPECT_EQ(late.count("EF56", "join_resp", false), 0u);
}

// The AP's half of the protocol, done by the sample script as ostrel would
// call it, over the probe.
struct ScriptAp {
    explicit ScriptAp(sandbox::MqttProbe &probe) : ap(probe) {
        setenv("OSTREL_SN", "AB12", 1);
        lua = std::make_unique<script_test::LuaScript>(APM_OSTREL_SCRIPT);
        unsetenv("OSTREL_SN");
    }
    std::string global(const char *name) { return lua->global(name).text; }
    // Sends what a script function made, on `topic`.
    void send(const char *fn, const std::string &topic,
              const std::vector<script_test::LuaArg> &args = {}) {
        auto c = lua->call(fn, args, 1);
        ASSERT_EQ(c.error, "") << fn;
        ap.publish(topic, c.results[0].text, 1, true);
    }
    // Handles one inbound request as ostrel's run loop does; returns its type.
    int handle(const std::string &text) {
        int type = static_cast<int>(lua->call("APRunMessageType", {text}, 1).results[0].number);
        if (type == 1 || type == 4) reply("APPareseRunTypeOne", text, 2);
        if (type == 1) lua->call("APParseRunResponseMessage", {text}, 0);
        if (type == 3) reply("setGet_callback", text, 2);
        if (type == 4) flag = static_cast<int>(reply("setDownload_callback", text, 3)[2].number);
        if (type == 5) reply("setUpload_callback", text, 2);
        if (type == 6) reply("setCommand_callback", text, 2);
        return type;
    }
    std::vector<script_test::LuaResult> reply(const char *fn, const std::string &text, int n) {
        auto c = lua->call(fn, {text}, n);
        EXPECT_EQ(c.error, "") << fn;
        if (c.error.empty()) ap.publish(c.results[1].text, c.results[0].text, 1, true);
        return c.results;
    }
    sandbox::MqttProbe &ap;
    std::unique_ptr<script_test::LuaScript> lua;
    int flag = -1;
};

TEST_F(CloudFixture, TheSampleScriptAndCloudsimSpeakTheSameProtocol) {
    ScriptAp script(*ap);
    cloud->set_need_image(true);
    script.send("AssembleAPJoinMsg", script.global("server_config"));
    script.lua->call("APParseJoinResponseMessage", {heard_text(1)}, 0);
    EXPECT_EQ(script.lua->call("IsNeedImage", {}, 1).results[0].number, 1);
    script.send("APConfigAssembleMsg", script.global("server_config"));
    script.lua->call("APParseConfigureResponseMessage", {heard_text(2)}, 0);
    EXPECT_EQ(cloud->count("AB12", "join"), 1u);
    EXPECT_EQ(cloud->count("AB12", "config"), 1u);

    struct {
        const char *line;
        int type;
        const char *reply_kind;
    } requests[] = {
        {"type1 AB12", 1, "ack"},
        {"get AB12 uptime", 3, "get_resp"},
        {"upload AB12 config", 5, "upload_resp"},
        {"command AB12 echo hi", 6, "command_resp"},
        {"download AB12 upgrade", 4, "download_resp"},
        {"disconnect AB12", 2, nullptr},
        {"schedule AB12 2", 1, "ack"},
    };
    size_t n = 2;
    for (const auto &r : requests) {
        ASSERT_TRUE(cloud->command(r.line));
        EXPECT_EQ(script.handle(heard_text(++n)), r.type) << r.line;
        if (r.reply_kind) {
            EXPECT_TRUE(heard_from_ap(r.reply_kind, 1)) << r.line;
        }
    }
    EXPECT_EQ(script.flag, 1) << "download with upgrade asks for the flash";
    EXPECT_TRUE(heard_from_ap("ack", 3)) << "run and download requests are acknowledged";
    auto replies = cloud->events();
    for (const auto &e : replies) {
        if (!e.from_ap || e.kind == "join" || e.kind == "config") continue;
        EXPECT_EQ(e.topic, "ostrel/AB12/reply") << e.kind;
        EXPECT_NE(sim::describe(e).find("id "), std::string::npos) << sim::describe(e);
    }

    // The schedule asked for two messages, on the default topic.
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(script.lua->global("schedule_queue").number, 1);
        auto c = script.lua->call("SCHEDULE_ON_MESSAGE", {}, 2);
        ap->publish(c.results[1].text, c.results[0].text, 1, true);
    }
    EXPECT_EQ(script.lua->global("schedule_queue").number, 0);
    EXPECT_TRUE(heard_from_ap("schedule", 2));

    script.send("handleNetlinkInfo", script.global("server_event"),
                {1, "00:1a:2b:3c:4d:5e", "phone", "", 1, "192.168.1.20", 1, 2, 3, 4, -50, 9,
                 "cloud-ap", 54, 0});
    script.send("StainfoReport", script.global("server_event"));
    script.send("AssembleOstrelHearbeat", script.global("server_logger"));
    ASSERT_TRUE(heard_from_ap("heartbeat", 1));
    EXPECT_EQ(cloud->count("AB12", "station"), 1u);
    EXPECT_EQ(cloud->count("AB12", "stainfo"), 1u);
    json heartbeat = json::parse(cloud->events().back().payload);
    EXPECT_EQ(heartbeat["stations"], 1) << heartbeat;
}

}  // namespace
