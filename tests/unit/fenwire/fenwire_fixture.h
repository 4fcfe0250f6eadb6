// Shared fixture of Fenwire's unit tests: a virtual clock, a shell recorder,
// a capture of publishes beneath mqtt_send_msg, the log in a temp folder and
// a Lua state loaded with a small script that each test can extend.
#pragma once

#include <gtest/gtest.h>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "debug_log.h"
#include "lua_strings.h"
#include "fenwire.h"
#include "lua_state.h"
#include "mqtt_link.h"
#include "mqtt_queue.h"
#include "shell_recorder.h"
#include "states.h"
#include "station_monitor.h"
#include "temp_log.h"
#include "vclock.h"
#include "wifi_driver.h"

namespace fenwire_test {

// A driver that never sends an event: a station thread that start-up begins
// blocks in its first receive for the rest of the test process.
inline int quiet_pipe[2] = {-1, -1};
inline int quiet_open(uint32_t) {
    if (quiet_pipe[0] < 0 && pipe(quiet_pipe) != 0) return -1;
    return quiet_pipe[0];
}
inline ssize_t quiet_send(int, const void *, size_t len) {
    return static_cast<ssize_t>(len);
}
inline ssize_t quiet_recv(int fd, void *buf, size_t size) {
    return read(fd, buf, size);
}
inline void quiet_close(int) {}
inline long quiet_table(const char *, uint8_t *, size_t) {
    return 0;
}
inline const WifiDriverOps quiet_wifi = {quiet_open, quiet_send, quiet_recv, quiet_close,
                                         quiet_table};

struct Publish {
    std::string topic;
    std::string payload;
    int qos;
    bool retain;
    double at;  // virtual seconds
    bool mosq_held;     // mosq_mutex held while publishing
    bool netlink_held;  // netlink_mutex held while publishing
};

// Whether `m` is held (by this thread, in a single-threaded test).
inline bool held(pthread_mutex_t &m) {
    if (pthread_mutex_trylock(&m) != 0) return true;
    pthread_mutex_unlock(&m);
    return false;
}

class CaptureTransport : public MqttTransport {
  public:
    explicit CaptureTransport(plat::VirtualClock &clock) : clock_(clock) {}
    int publish(const char *topic, const void *payload, int len, int qos, bool retain,
                int *mid) override {
        sent.push_back({topic, std::string(static_cast<const char *>(payload), len), qos, retain,
                        clock_.elapsed(), held(mosq_mutex), held(netlink_mutex)});
        if (mid) *mid = static_cast<int>(sent.size());
        return 0;
    }
    // Records the wait as "wait <mid>" in `waits`, with whether mosq_mutex
    // was held; the message counts as sent unless `unsent` is set.
    bool wait_published(int mid, uint64_t limit_us) override {
        waits.push_back({mid, held(mosq_mutex), limit_us});
        if (unsent) clock_.advance(limit_us);
        return !unsent;
    }
    struct Wait {
        int mid;
        bool mosq_held;
        uint64_t limit_us;
    };
    std::vector<Publish> sent;
    std::vector<Wait> waits;
    bool unsent = false;

  private:
    plat::VirtualClock &clock_;
};

// Settings and functions that meet the script contract for the provisioning
// states; `parsed` collects every payload the parsers were given.
constexpr const char *kBaseScript = R"lua(
SN = "AB12"
AC_ADDR = "127.0.0.1"
AC_PORT = 1883
JOIN_TIMES = 3
JOIN_TIMEOUT = 5
CONFIG_TIMES = 2
CONFIG_TIMEOUT = 4
IsNeedImage = 0
HEARTBEAT_TIMEOUT = 11
HEARTBEAT_TIMES = 7
parsed = {}
function APEnterDiscovery() return 2 end
function clean_config() end
function getIp() return "127.0.0.1" end
function AssembleAPJoinMsg(mode) return "join:" .. mode end
function APParseJoinResponseMessage(p)
  parsed[#parsed + 1] = p
  if p == "accept" then return 1 end
  return 0
end
function APImageAssembleMsg() return "image-req" end
function APEnterImage() return 4 end
function APConfigAssembleMsg() return "config-req" end
function APParseConfigureResponseMessage(p)
  parsed[#parsed + 1] = p
  if p == "config-ok" then return 1 end
  return 0
end
)lua";

class FenwireTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = temp_log_.dir();
        log_path_ = temp_log_.path();
        init_debug_info();
        shell.clear();  // the log's own mkdir

        mqtt_set_transport(&capture);
        if (!send_buffer)
            send_buffer = static_cast<unsigned char *>(std::calloc(SEND_BUFFER_SIZE, 1));
        if (!mosqhead) initMosqList(&mosqhead);
        static bool mutex_ready = false;
        if (!mutex_ready) mutex_ready = pthread_mutex_init(&mosq_mutex, nullptr) == 0;
        wifi_set_driver(&quiet_wifi);  // a station thread started by a test waits quietly
        initNLlist();
        reset_globals();
        states_reset_pacing();

        L = luacall::new_bounded_state();  // as start-up makes it
        lua(kBaseScript);
    }

    void TearDown() override {
        lua_close(L);
        mqtt_set_transport(nullptr);
        wifi_set_driver(nullptr);
        MosqListClean(mosqhead);
        NLlistclear(NLhead);
        discard_response_slots();
    }

    static void reset_globals() {
        AP_STATE = 0;
        workMode = 0;
        configed = 0;
        state_msg = 0;
        join_times = 3;
        join_timeout = 90;
        config_times = 3;
        config_timeout = 90;
        heart_out = 10;
        heart_times = 6;
        discard_response_slots();
        std::snprintf(sn, sizeof sn, "AB12");
        compose_server_names();
    }

    // Runs Lua text in the test's state (to change the script).
    void lua(const std::string &chunk) {
        ASSERT_EQ(luaL_dostring(L, chunk.c_str()), 0) << lua_tostring(L, -1);
    }

    // The strings of the script's global array `name`.
    std::vector<std::string> lua_strings(const char *name) {
        return test_support::lua_strings(L, name);
    }

    // A message arriving from the broker at virtual time `t`.
    void deliver_at(double t, const std::string &payload) {
        clock.at(t, [payload] { mqtt_deliver(payload.data(), static_cast<int>(payload.size())); });
    }

    std::string log_text() const {
        std::ifstream f(log_path_);
        std::ostringstream s;
        s << f.rdbuf();
        return s.str();
    }
    // Number of log lines whose message is exactly `msg` (without "\n").
    int log_count(const std::string &msg) const {
        std::istringstream in(log_text());
        int n = 0;
        for (std::string line; std::getline(in, line);) {
            auto tab = line.find('\t');
            if (tab != std::string::npos && line.substr(tab + 1) == msg) ++n;
        }
        return n;
    }
    std::vector<std::string> payloads() const {
        std::vector<std::string> out;
        for (auto &p : capture.sent) out.push_back(p.payload);
        return out;
    }

    TempLog temp_log_;
    plat::VirtualClock clock;
    plat::ShellRecorder shell;
    CaptureTransport capture{clock};
    lua_State *L = nullptr;
    std::string dir_, log_path_;
};

}  // namespace fenwire_test
