// Shared fixture of ostrel's unit tests: a virtual clock, a shell recorder,
// a capture beneath mqtt_send_msg, and the agent's script state loaded with
// a small script that each test extends.
#pragma once

#include <gtest/gtest.h>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "bridge.h"
#include "link.h"
#include "lua_state.h"
#include "lua_strings.h"
#include "msg_queue.h"
#include "ostrel.h"
#include "shell_recorder.h"
#include "station_monitor.h"
#include "vclock.h"

namespace ostrel_test {

struct Publish {
    std::string topic;
    std::string payload;
    double at;  // virtual seconds
};

class CaptureTransport : public MqttTransport {
  public:
    explicit CaptureTransport(plat::VirtualClock &clock) : clock_(clock) {}
    int publish(const char *topic, const void *payload, int len) override {
        std::lock_guard<std::mutex> g(mu);
        sent.push_back({topic, std::string(static_cast<const char *>(payload), len),
                        clock_.elapsed()});
        return 0;
    }
    void disconnect() override { ++disconnects; }
    int reconnect() override {
        redials.push_back(clock_.elapsed());
        return redial_rc;
    }
    std::mutex mu;
    std::vector<Publish> sent;
    int disconnects = 0;
    std::vector<double> redials;  // virtual seconds
    int redial_rc = 0;

  private:
    plat::VirtualClock &clock_;
};

// Settings and functions that meet the script contract; `calls` records the
// arguments some functions were given.
constexpr const char *kBaseScript = R"lua(
SN = "AB12"
server_keeplive = 30
server_port = 1883
server_delay = 0
server_eventinterval = 0
server_interval = 0
bind_flag = 1
server_config = "t/config"
server_sub = "t/sub"
server_event = "t/event"
server_logger = "t/logger"
server_ip = "127.0.0.1"
server_tls = false
ApMode = 0
schedule_queue = 0
calls = {}
local function note(s) calls[#calls + 1] = s end
function AssembleAPJoinMsg() return "join" end
function IsNeedImage() return 0 end
function APConfigAssembleMsg() return "configure" end
function APParseJoinResponseMessage(p) note("join:" .. p) end
function APParseConfigureResponseMessage(p) note("conf:" .. p) end
uptime = 0
function getApUptime() return uptime end
function AssembleOstrelHearbeat() return "hb" .. uptime end
function StainfoReport() return "stainfo" .. uptime end
)lua";

class OstrelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        mqtt_set_transport(&capture);
        if (!send_buffer) send_buffer = static_cast<char *>(std::calloc(SEND_BUFFER_SIZE, 1));
        std::memset(send_buffer, 0, SEND_BUFFER_SIZE);
        if (!mosqhead) initMosqList(&mosqhead);
        if (!NLhead) NLhead = static_cast<NLnode *>(std::calloc(1, sizeof(NLnode)));
        AP_STATE = 0;
        mqtt_connect = 1;
        ApMode = 0;
        State = STATE_CONNECT;
        L = luacall::new_bounded_state();  // as start-up makes it
        lua(kBaseScript);
        read_settings();
    }

    void TearDown() override {
        lua_close(L);
        L = nullptr;
        mqtt_set_transport(nullptr);
        MosqListClean(mosqhead);
        NLlistclear(NLhead);
    }

    // Copies the script's settings as the join state does.
    void read_settings();

    // Runs Lua text in the agent's state.
    void lua(const std::string &chunk) {
        ASSERT_EQ(luaL_dostring(L, chunk.c_str()), 0) << lua_tostring(L, -1);
    }
    std::vector<std::string> lua_strings(const char *name) {
        return test_support::lua_strings(L, name);
    }
    void queue(const std::string &text) {
        MosqLinstinsert(mosqhead, mosq_node_copy(text.data(), text.size()));
    }
    std::vector<std::string> sent_on(const std::string &topic) {
        std::vector<std::string> out;
        for (auto &p : capture.sent)
            if (p.topic == topic) out.push_back(p.payload);
        return out;
    }
    int count_commands(const std::string &cmd) const {
        int n = 0;
        for (auto &c : shell.commands()) n += c == cmd;
        return n;
    }

    plat::VirtualClock clock;
    plat::ShellRecorder shell;
    CaptureTransport capture{clock};
};

}  // namespace ostrel_test

#include "states.h"

inline void ostrel_test::OstrelTest::read_settings() {
    server_init(L);
}
