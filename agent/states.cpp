#include "states.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "bridge.h"
#include "clock.h"
#include "debug_log.h"
#include "fenwire.h"
#include "locks.h"
#include "mqtt_link.h"
#include "run_state.h"
#include "shell.h"
#include "station_monitor.h"

#define LOG(...) FW_LOG("Fenwire", __VA_ARGS__)

namespace {

// Pacing of the provisioning cycle (Discovery, Join, ..., Reset): a cycle
// starts at most once a second, and after a cycle in which no join was
// accepted the wait doubles, up to 60 s; an accepted join starts the series
// again at 1 s. So a controller that is away, a script that fails or a
// JOIN_TIMES of 0 cannot make the loop spin, connect or light LEDs in a
// tight loop.
constexpr unsigned kMaxCycleWait = 60;
struct CyclePacing {
    bool started = false;
    uint64_t start_us = 0;  // when the current cycle started
    unsigned backoff = 1;   // wait after the next unanswered cycle, seconds
    bool answered = false;  // a join was accepted in the current cycle
};
CyclePacing pacing;

// Called as a cycle starts: waits what is left of the cycle's period.
void pace_cycle() {
    if (pacing.started) {
        unsigned period = 1;
        if (pacing.answered) {
            pacing.backoff = 1;
        } else {
            period = pacing.backoff;
            pacing.backoff = std::min(pacing.backoff * 2, kMaxCycleWait);
        }
        uint64_t spent = plat::monotonic_us() - pacing.start_us;
        uint64_t due = static_cast<uint64_t>(period) * 1000000;
        if (spent < due) {
            if (!pacing.answered) LOG("no join response, next cycle in %us\n", period);
            plat::usleep(static_cast<unsigned long>(due - spent));
        }
    }
    pacing.started = true;
    pacing.answered = false;
    pacing.start_us = plat::monotonic_us();
}

// Clears send_buffer and has the script assemble one message into it;
// returns its length (0 when the call failed).
int assemble_request(lua_State *L, const char *function) {
    std::memset(send_buffer, 0, SEND_BUFFER_SIZE);
    int len = 0;
    callLuaFunction_GStr(L, function, reinterpret_cast<char *>(send_buffer), SEND_BUFFER_SIZE,
                         &len);
    return len;
}

// Hands a pending response in `slot` to the script parser and frees it; the
// caller holds mosq_mutex. Returns 1 when the script accepted it, 0 when it
// did not, -1 when nothing was pending.
int take_response(lua_State *L, const char *parser, unsigned char *&slot, int &slot_len) {
    if (!slot) return -1;
    int accepted = 0;
    callLuaFunction_Str(L, parser, reinterpret_cast<const char *>(slot), slot_len, &accepted);
    std::free(slot);
    slot = nullptr;
    slot_len = 0;
    return accepted == 1 ? 1 : 0;
}

// One poll of the join slot: true when a response was accepted.
bool poll_join(lua_State *L) {
    MutexLock lock(mosq_mutex);
    int r = take_response(L, "APParseJoinResponseMessage", join_msg, join_msg_len);
    if (r == 1) {
        AP_STATE = workMode.load() ? 2 : 1;
        pacing.answered = true;
        return true;
    }
    if (r == 0) LOG("APParseJoinResponseMessage error!\n");
    return false;
}

bool poll_config(lua_State *L) {
    MutexLock lock(mosq_mutex);
    int r = take_response(L, "APParseConfigureResponseMessage", config_msg, config_msg_len);
    if (r == 1) {
        configed = 1;
        AP_STATE = 2;
        return true;
    }
    if (r == 0) LOG("APParseConfigureResponseMessage error!\n");
    return false;
}

// Polls once a second, up to `polls` times; true when accepted.
bool wait_response(lua_State *L, int polls, bool (*poll)(lua_State *)) {
    for (int i = 0; i < polls; ++i) {
        if (poll(L)) return true;
        plat::sleep(1);
    }
    return false;
}

void read_heartbeat_settings(lua_State *L) {
    callLuaIntVal(L, "HEARTBEAT_TIMEOUT", &heart_out);
    callLuaIntVal(L, "HEARTBEAT_TIMES", &heart_times);
    LOG("Set heartbeat timeout times = %d\n", heart_times);
    LOG("Set heartbeat interval = %ds\n", heart_out);
}

// The join attempts: each publishes the request and polls for an answer.
void join_attempts(lua_State *L, int len) {
    for (int attempt = 1; attempt <= join_times; ++attempt) {
        mqtt_send_msg(send_buffer, len);
        LOG("send join request\n");
        LOG("waiting join response\n");
        plat::sleep(1);
        wait_response(L, join_timeout, poll_join);
        if (AP_STATE == 1) {
            LOG("get join response, goto config\n");
            return;
        }
        if (AP_STATE == 2) {
            LOG("get join response, goto run\n");
            return;
        }
        LOG("ap wait join response timeout %d\n", attempt);
    }
}

int join_outcome(lua_State *L) {
    if (AP_STATE == 1) {
        int need_image = 0;
        callLuaIntVal(L, "IsNeedImage", &need_image);
        if (need_image == 1) return STATE_IMAGE;
        read_heartbeat_settings(L);
        return STATE_CONFIGURE;
    }
    if (AP_STATE == 2 && workMode == 1) {
        plat::shell_run("echo flag >/tmp/flag");
        read_heartbeat_settings(L);
        return STATE_RUN;
    }
    return STATE_RESET;
}

int enter_join_state(lua_State *L) {
    callLuaFunction_No(L, "clean_config");
    getMQTTInfo(L);
    if (!mqtt_init(L)) {
        LOG("mqtt connect failed\n");
        return STATE_RESET;
    }
    return APEnterJoin(L);
}

int enter_run_state(lua_State *L) {
    plat::shell_run("/sbin/iface_led.sh 6 &");
    return APEnterRun(L);
}

}  // namespace

int FatFitMode() {
    return 0;
}

void states_reset_pacing() {
    pacing = CyclePacing{};
}

int APEnterDiscovery(lua_State *L) {
    pace_cycle();
    LOG("ap enter discovery\n");
    int next = STATE_DISCOVERY;
    callLuaFunction_GInt(L, "APEnterDiscovery", &next);
    callLuaIntVal(L, "JOIN_TIMES", &join_times);
    callLuaIntVal(L, "JOIN_TIMEOUT", &join_timeout);
    callLuaIntVal(L, "CONFIG_TIMES", &config_times);
    callLuaIntVal(L, "CONFIG_TIMEOUT", &config_timeout);
    AP_STATE = 0;
    LOG("Get discovery response\n");
    LOG("Set join retry times = %d\n", join_times);
    LOG("Set join timeout = %ds\n", join_timeout);
    LOG("Set config retry times = %d\n", config_times);
    LOG("Set config timeout = %ds\n", config_timeout);
    {
        MutexLock lock(mosq_mutex);
        discard_response_slots();
    }
    return next;
}

int APEnterJoin(lua_State *L) {
    LOG("ap enter join\n");
    callLuaFunction_No(L, "getIp");
    std::memset(send_buffer, 0, SEND_BUFFER_SIZE);
    int len = 0;
    callLuaFunction_IntGStr(L, "AssembleAPJoinMsg", workMode, reinterpret_cast<char *>(send_buffer),
                            SEND_BUFFER_SIZE, &len);
    join_attempts(L, len);
    return join_outcome(L);
}

int APEnterImage(lua_State *L) {
    LOG("ap enter image\n");
    int len = assemble_request(L, "APImageAssembleMsg");
    mqtt_send_msg(send_buffer, len);
    LOG("send image request\n");
    int next = STATE_RESET;
    callLuaFunction_GInt(L, "APEnterImage", &next);
    return next;
}

int APEnterConfigure(lua_State *L) {
    LOG("ap enter config\n");
    int len = assemble_request(L, "APConfigAssembleMsg");
    for (int attempt = 1; attempt <= config_times; ++attempt) {
        mqtt_send_msg(send_buffer, len);
        LOG("send config request\n");
        LOG("waiting config response\n");
        plat::sleep(1);
        wait_response(L, config_timeout, poll_config);
        if (AP_STATE == 2) {
            state_msg = 1;
            LOG("get config response\n");
            return STATE_RUN;
        }
        LOG("wait config response timeout (%d)\n", attempt);
    }
    return STATE_RESET;
}

int APEnterReset(lua_State *L) {
    LOG("ap enter reset\n");
    plat::shell_run("/sbin/iface_led.sh 5 &");
    {
        MutexLock lock(netlink_mutex);
        NLlistclear(NLhead);
    }
    mqtt_clean();
    configed = 0;
    return APEnterDiscovery(L);
}

int fenwire_step(lua_State *L, int state) {
    int next;
    switch (state) {
        case STATE_DISCOVERY:
            next = APEnterDiscovery(L);
            break;
        case STATE_JOIN:
            next = enter_join_state(L);
            break;
        case STATE_IMAGE:
            next = APEnterImage(L);
            break;
        case STATE_CONFIGURE:
            next = APEnterConfigure(L);
            break;
        case STATE_RUN:
            next = enter_run_state(L);
            break;
        default:
            next = APEnterReset(L);
            break;
    }
    if (next < STATE_DISCOVERY || next > STATE_RESET) {
        LOG("invalid next state %d, go to reset\n", next);
        next = STATE_RESET;
    }
    return next;
}
