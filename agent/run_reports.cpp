#include "run_reports.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bridge.h"
#include "debug_log.h"
#include "fenwire.h"
#include "locks.h"
#include "mqtt_link.h"
#include "shell.h"
#include "station_list.h"

#define LOG(...) FW_LOG("utils", __VA_ARGS__)

namespace {

constexpr const char *kWifiCount =
    "ps | grep restart_wifi | grep -v grep | awk '{print $1}' | wc -l";
constexpr const char *kUpdateCommand =
    "sleep 1; killall -9 dropbear uhttpd; sleep 1; /sbin/sysupgrade -n -F /tmp/firmware.img "
    ">/dev/null 2>&1";

// How long an update waits for its acknowledgement to be sent.
constexpr uint64_t kUpdateAckWaitUs = 2000000;

std::string flag_path = "/tmp/flag";

// The update ends the process at once: the log is closed after every line,
// and the MQTT thread must not run on into static destructors.
[[noreturn]] void end_process(int status) {
    std::fflush(nullptr);
    _exit(status);
}
void (*exit_process)(int) = end_process;

}  // namespace

void run_reports_set_flag_path(const std::string &path) {
    flag_path = path;
}
void run_reports_set_exit(void (*exit_fn)(int)) {
    exit_process = exit_fn ? exit_fn : end_process;
}

int wifiReady() {
    int status = 0;
    std::string out = plat::shell_read(kWifiCount, 4, &status);
    if (status == -1) return 0;
    return std::atoi(out.c_str()) == 0 ? 1 : 0;
}

int apWebConfig() {
    FILE *f = std::fopen(flag_path.c_str(), "r");
    if (!f) return 0;
    std::fclose(f);
    plat::shell_run(("rm " + flag_path).c_str());
    return 1;
}

void sendUserInfo(lua_State *L, unsigned char *buffer, NLnode *head) {
    int passed = 0;
    for (NLnode *p = head ? head->next : nullptr; p; p = p->next) {
        if (p->type != 0 || !p->usrlist) continue;
        callLuaFunction_UsrInfo(L, "getUserInfo", p);
        ++passed;
    }
    if (!passed) return;
    int len = 0;
    if (callLuaFunction_GStr(L, "AssembleUserInfo", reinterpret_cast<char *>(buffer),
                             SEND_BUFFER_SIZE, &len))
        mqtt_send_msg(buffer, len);
    else
        LOG("user info not assembled, nothing sent\n");
}

void UpdateSw(lua_State *L, const unsigned char *payload, int len) {
    int status = 0, code = 0;
    callLuaFunction_Str2Int(L, "parseupdateSWconfig", reinterpret_cast<const char *>(payload),
                            static_cast<size_t>(len), &status, &code);
    std::memset(send_buffer, 0, SEND_BUFFER_SIZE);
    int ack_len = 0;
    bool assembled = callLuaFunction_IntGStr(L, "AssembleupdateOK", code,
                                             reinterpret_cast<char *>(send_buffer),
                                             SEND_BUFFER_SIZE, &ack_len);
    if (!assembled) {
        LOG("update acknowledgement not assembled, nothing sent\n");
    } else if (status != 1) {
        mqtt_send_msg(send_buffer, ack_len);
    } else {
        // The update ends the process: the acknowledgement must be on its
        // way first. The network thread may be waiting for the queue's lock
        // to deliver a message, so it is let go meanwhile.
        MutexUnlock unlocked(mosq_mutex);
        if (!mqtt_send_msg_confirmed(send_buffer, ack_len, kUpdateAckWaitUs))
            LOG("update acknowledgement not confirmed sent\n");
    }
    if (status != 1) return;
    LOG("do update............\n");
    plat::shell_run(kUpdateCommand);
    exit_process(1);
}
