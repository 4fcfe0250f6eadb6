#include "run_state.h"

#include <cstdlib>
#include <cstring>

#include "bridge.h"
#include "clock.h"
#include "debug_log.h"
#include "fenwire.h"
#include "locks.h"
#include "lua_state.h"
#include "mqtt_link.h"
#include "mqtt_queue.h"
#include "run_reports.h"
#include "station_monitor.h"

#define LOG(...) FW_LOG("Fenwire", __VA_ARGS__)

namespace {

// The values of one stay in the run state, all 0 at entry.
struct RunState {
    int reset = 0;       // last action code from APParseRunResponseMessage
    int user_info = 0;   // 1 = send a user-information report this tick
    int reply_wait = 0;  // ticks spent waiting for the heartbeat's answer
    int missed = 0;      // unanswered heartbeats since the last sign of life
    int last_logged_miss = 0;
    int since_heartbeat = 0;  // ticks since the last heartbeat, report or sign of life
};

// A heartbeat answer or a handled run message.
void sign_of_life(RunState &st) {
    st.reply_wait = 0;
    st.missed = 0;
    st.last_logged_miss = 0;
    st.since_heartbeat = 0;
}

// Publishes what a script call assembled into send_buffer; a call that
// failed publishes nothing (the buffer holds no message).
bool publish_assembled(bool assembled, int len, const char *what) {
    if (!assembled) {
        LOG("%s not assembled, nothing sent\n", what);
        return false;
    }
    mqtt_send_msg(send_buffer, len);
    return true;
}

char *send_text() {
    return reinterpret_cast<char *>(send_buffer);
}

// Zeroes send_buffer, assembles a state report with `arg` and publishes it.
bool send_state_report(lua_State *L, int arg) {
    std::memset(send_buffer, 0, SEND_BUFFER_SIZE);
    int len = 0;
    bool ok =
        callLuaFunction_IntGStr(L, "AssembleStateMsg", arg, send_text(), SEND_BUFFER_SIZE, &len);
    return publish_assembled(ok, len, "state report");
}

bool send_from(lua_State *L, const char *function) {
    std::memset(send_buffer, 0, SEND_BUFFER_SIZE);
    int len = 0;
    bool ok = callLuaFunction_GStr(L, function, send_text(), SEND_BUFFER_SIZE, &len);
    return publish_assembled(ok, len, function);
}

void run_action(lua_State *L, RunState &st, const MosqNode &msg) {
    switch (st.reset) {
        case 0:
        case 3:
            if (send_state_report(L, 0)) LOG("send state info\n");
            break;
        case 1:
            state_msg = 1;
            break;
        case 4:
            UpdateSw(L, msg.payload, static_cast<int>(msg.len));
            break;
        case 5:
            st.user_info = 1;
            break;
        default:
            break;
    }
    if ((st.reset == 0 || st.reset == 1) && send_from(L, "AssembleConfigBackup"))
        LOG("send config backup\n");
}

// A message of type 1: the reply goes out at once, then the action.
void handle_run_message(lua_State *L, RunState &st, const MosqNode &msg, int reply_len) {
    mqtt_send_msg(send_buffer, reply_len);
    LOG("send ok response\n");
    int recode = 0;
    // A parse that fails counts as not accepted (recode stays 0).
    callLuaFunction_Str2Int(L, "APParseRunResponseMessage", reinterpret_cast<char *>(msg.payload),
                            msg.len, &recode, &st.reset);
    LOG("Receive Message(%d): recode=%d, reset=%d\n", static_cast<int>(msg.len), recode, st.reset);
    if (recode != 1) {
        LOG("APParseRunResponseMessage error!\n");
        return;
    }
    run_action(L, st, msg);
    sign_of_life(st);
}

// Step A: at most one inbound message, under mosq_mutex.
void step_inbound(lua_State *L, RunState &st, MosqNode *holder) {
    MutexLock lock(mosq_mutex);
    if (!handlMess(mosqhead, holder)) return;
    std::memset(send_buffer, 0, SEND_BUFFER_SIZE);
    int type = 0, reply_len = 0;  // a classification that fails is no action
    callLuaFunction_StrIntStr(L, "getRunMessType", reinterpret_cast<char *>(holder->payload),
                              holder->len, &type, send_text(), SEND_BUFFER_SIZE, &reply_len);
    if (type == 2) {
        debug_com_en = 1;
        LOG("Receive heartbeat\n");
        debug_com_en = 0;
        sign_of_life(st);
    } else if (type == 1) {
        handle_run_message(L, st, *holder, reply_len);
    }
    std::free(holder->payload);
    holder->payload = nullptr;
    holder->len = 0;
}

void log_station(const char *what, const NLnode *s) {
    const uint8_t *m = s->mac;
    LOG("sta %s mac:%02x:%02x:%02x:%02x:%02x:%02x,ip:%s, radioid:%d\n", what, m[0], m[1], m[2],
        m[3], m[4], m[5], s->staip, s->radioid);
}

// The batch of station events since the last look, then one state report.
void report_stations(lua_State *L) {
    while (NLnode *s = isNLlistSendStaInfo(NLhead)) {
        callLuaFunction_StaInfo(L, "getStaInfo", s);
        if (s->type == 2) {
            log_station("offline", s);
            NLlistdelete(NLhead, s);
        } else {
            if (s->type == 1) log_station("online", s);
            s->type = 0;
        }
    }
    get_OnlineStaNum(NLhead);
    callLuaFunction_2Int(L, "getOnlineStaNum", staNUM24, staNUM5);
    if (workMode == 0)
        send_state_report(L, 0);
    else
        send_from(L, "FatAssembleStateMsg");
}

// Step B: stations, samples and the user-information report, under
// netlink_mutex.
void step_stations(lua_State *L, RunState &st) {
    MutexLock lock(netlink_mutex);
    if (STAflag == 1) {
        STAflag = 0;
        report_stations(L);
    }
    NLlistUpdate(NLhead);
    if (st.user_info == 1) {
        std::memset(send_buffer, 0, SEND_BUFFER_SIZE);
        sendUserInfo(L, send_buffer, NLhead);
        st.user_info = 0;
    }
}

// The heartbeat branch of step C: false when too many went unanswered.
bool heartbeat(lua_State *L, RunState &st) {
    if (st.reply_wait != 0) {
        if (st.reply_wait > heart_out / 4) {
            ++st.missed;
            st.reply_wait = 0;
        } else {
            ++st.reply_wait;
        }
    }
    if (st.missed > 0 && st.missed != st.last_logged_miss) {
        LOG("Heartbeat miss %d\n", st.missed);
        st.last_logged_miss = st.missed;
    }
    if (st.missed >= heart_times) {
        LOG("Heartbeat timeout\n");
        return false;
    }
    if (++st.since_heartbeat > heart_out) {
        send_from(L, "AssembleHearbeat");
        st.reply_wait = 1;
        st.since_heartbeat = 0;
    }
    return true;
}

// Step C, without a lock: a due state report, the FAT marker report, or
// the heartbeat. False ends the run state.
bool step_reports(lua_State *L, RunState &st) {
    if (state_msg == 1 && wifiReady() == 1) {
        state_msg = 0;
        if (send_state_report(L, 0)) LOG("send state msg\n");
        st.since_heartbeat = 0;
        return true;
    }
    if (apWebConfig() == 1) {
        if (send_state_report(L, 1)) LOG("send fat state msg\n");
        st.since_heartbeat = 0;
        return true;
    }
    return heartbeat(L, st);
}

}  // namespace

// Ticks between two releases of the script's garbage and the heap's free
// pages.
constexpr unsigned kHeapReleaseTicks = 5;

int APEnterRun(lua_State *L) {
    LOG("ap enter run\n");
    MosqNode *holder = nullptr;
    if (initMosqList(&holder)) return STATE_RESET;
    RunState st;
    for (unsigned tick = 1; mqtt_connect.load() != 0; ++tick) {
        step_inbound(L, st, holder);
        step_stations(L, st);
        if (!step_reports(L, st)) break;
        if (tick % kHeapReleaseTicks == 0) luacall::release_idle_memory(L);
        plat::sleep(1);
    }
    std::free(holder->payload);
    std::free(holder);
    return STATE_RESET;
}
