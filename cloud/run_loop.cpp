#include "run_loop.h"

#include <cstdio>
#include <cstring>

#include "bridge.h"
#include "clock.h"
#include "link.h"
#include "locks.h"
#include "lua_state.h"
#include "msg_queue.h"
#include "ostrel.h"
#include "shell.h"
#include "states.h"
#include "station_monitor.h"

namespace {

constexpr unsigned long kPassUs = 100000;
constexpr unsigned long kStationPauseUs = 100000;
constexpr uint64_t kRecoveryGapUs = 1000000;
constexpr int kSchedulePasses = 8;  // the call comes on the pass after these
// Passes between two releases of the script's garbage and the heap's free
// pages (five seconds).
constexpr unsigned kHeapReleasePasses = 50;

void read_uptime(RunLoop &rl) {
    callback_luafunction_number(L, "getApUptime", 1, &rl.uptime);
}

// Whether `interval` has passed since `last`, without overflowing.
bool due(int now, int last, int interval) {
    return static_cast<int64_t>(now) - last >= interval;
}

void schedule_step(RunLoop &rl) {
    int queued = 0;
    callback_luaVar_number(L, "schedule_queue", &queued);
    if (queued != 1) return;
    if (rl.schedule_count < kSchedulePasses) {
        ++rl.schedule_count;
        return;
    }
    rl.schedule_count = 0;
    callback_luafuncStr_sendsched(L, "SCHEDULE_ON_MESSAGE");
}

void heartbeat_if_due(RunLoop &rl, bool announce) {
    read_uptime(rl);
    if (!due(rl.uptime, rl.last_heartbeat, server_interval)) return;
    if (announce) std::puts("send hbparams heatbeat msg");
    rl.last_heartbeat = rl.uptime;
    assemble_and_send("AssembleOstrelHearbeat", "logger");
}

void report_if_due(RunLoop &rl) {
    read_uptime(rl);
    if (!due(rl.uptime, rl.last_report, server_eventinterval)) return;
    rl.last_report = rl.uptime;
    assemble_and_send("StainfoReport", "event");
}

// The records wait under netlink_mutex, the pauses included, so a burst of
// events queues behind the drain.
void drain_stations() {
    if (!NLhead) return;
    MutexLock lock(netlink_mutex);
    while (isNLlistnil(NLhead)) {
        callback_luafunction_insert_clientinfo(L, "handleNetlinkInfo", NLhead->next);
        NLlistdelete(NLhead, 1);
        plat::usleep(kStationPauseUs);
    }
}

// The first queued text, or null. The node stays queued while it is handled:
// only this thread deletes, so the text stays valid without the lock.
const char *first_message() {
    MutexLock lock(mosq_mutex);
    return ismosqlistnil(mosqhead) ? mosqhead->next->payload : nullptr;
}

void drain_messages(RunLoop &rl) {
    while (const char *text = first_message()) {
        int type = callback_luafunctionStrNum(L, "APRunMessageType", text, std::strlen(text));
        std::printf("msgtype = %d\n", type);
        if (server_interval != 0) heartbeat_if_due(rl, true);
        run_handle_message(type, text);
        MutexLock lock(mosq_mutex);
        MosqListdelete(mosqhead, 1);
    }
}

// While the link is down the recovery command runs at most once a second.
void recover_link(RunLoop &rl) {
    if (mqtt_connect.load() != 0) return;
    uint64_t now = plat::monotonic_us();
    if (rl.recovery_started && now - rl.last_recovery_us < kRecoveryGapUs) return;
    rl.recovery_started = true;
    rl.last_recovery_us = now;
    plat::shell_run("disconnect.sh 5 &");
    mqtt_redial_after_drop();
}

}  // namespace

void run_handle_message(int type, const char *text) {
    std::size_t len = std::strlen(text);
    switch (type) {
        case 1:
            callback_luafuncStr_sendmsg(L, "APPareseRunTypeOne", text, len);
            callback_luafunction_insert_string(L, "APParseRunResponseMessage", text, len);
            break;
        case 2:
            mqtt_drop_link();
            break;
        case 3:
            callback_luafuncStr_sendmsg(L, "setGet_callback", text, len);
            break;
        case 4:
            callback_luafuncStr_sendmsg(L, "APPareseRunTypeOne", text, len);
            callback_luafuncStr_sendownload(L, "setDownload_callback", text, len);
            break;
        case 5:
            callback_luafuncStr_sendmsg(L, "setUpload_callback", text, len);
            break;
        case 6:
            callback_luafuncStr_sendmsg(L, "setCommand_callback", text, len);
            break;
        default:
            break;
    }
}

void run_enter(RunLoop &rl) {
    read_uptime(rl);
    rl.last_heartbeat = rl.uptime;
    rl.last_report = rl.uptime;
    std::printf("bind_flag=%d\n", bind_flag);
    std::printf("server_interval=%d\n", server_interval);
    std::printf("server_eventinterval=%d\n", server_eventinterval);
    std::printf("heartbeat_now=%d\n", rl.uptime);
    std::printf("server_logger=%s\n", server_logger.c_str());
    if (bind_flag == 1) assemble_and_send("AssembleOstrelHearbeat", "logger", false);
    rl.schedule_count = 0;
}

void run_pass(RunLoop &rl) {
    schedule_step(rl);
    if (bind_flag == 1) {
        if (server_interval != 0) heartbeat_if_due(rl, false);
        if (server_eventinterval != 0 && ApMode == 0) report_if_due(rl);
        drain_stations();
    }
    drain_messages(rl);
    recover_link(rl);
    if (++rl.passes % kHeapReleasePasses == 0) luacall::release_idle_memory(L);
    plat::usleep(kPassUs);
}

void APEnterRun() {
    RunLoop rl;
    run_enter(rl);
    for (;;) run_pass(rl);
}
