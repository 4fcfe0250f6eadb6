#include "states.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "bridge.h"
#include "clock.h"
#include "link.h"
#include "ostrel.h"
#include "run_loop.h"
#include "shell.h"

namespace {

constexpr int kJoinChecks = 7;
constexpr unsigned kJoinPauseSeconds = 3;
constexpr int kConfigureChecks = 62;

// Reads a string setting into an owned copy; a failed read keeps the old.
void read_string_setting(lua_State *ls, const char *name, std::string *setting) {
    std::string value;
    if (!callback_luaVar_string(ls, name, &value)) return;
    std::lock_guard<std::mutex> lock(settings_mutex);
    setting->swap(value);
}

// States 1 and 3 leave the choice to the script; a failed call stays.
int scripted_state(const char *fn, int state) {
    int next = state;
    callback_luafunction_number(L, fn, 1, &next);
    return next;
}

int enter_join_state() {
    server_init(L);
    server_tls_init(L);
    if (!mqtt_init()) return STATE_RESET;
    if (ApMode == 1) return STATE_RUN;
    return APEnterJoin();
}

int enter_configure() {
    std::puts("enter configure");
    return APEnterConfigure();
}

int enter_run() {
    std::puts("enter run");
    AP_STATE = 2;
    plat::shell_run("/sbin/iface_led.sh 5 &");
    APEnterRun();
}

int enter_reset() {
    plat::shell_run("/sbin/iface_led.sh 6 &");
    if (mqtt_connect.load() == 1) {
        mqtt_connect = 0;
        mqtt_clean();
    }
    return STATE_CONNECT;
}

}  // namespace

void clear_send_buffer() {
    std::memset(send_buffer, 0, strnlen(send_buffer, SEND_BUFFER_SIZE));
}

bool assemble_and_send(const char *fn, const char *topic_name, bool clear) {
    if (clear) clear_send_buffer();
    int len = 0;
    if (!callback_luafunction_string(L, fn, 1, send_buffer, SEND_BUFFER_SIZE, &len)) return false;
    mqtt_send_msg(send_buffer, topic_name, nullptr, len);
    return true;
}

void server_init(lua_State *ls) {
    callback_luaVar_number(ls, "server_keeplive", &server_keeplive);
    callback_luaVar_number(ls, "server_port", &server_port);
    callback_luaVar_number(ls, "server_delay", &server_delay);
    callback_luaVar_number(ls, "server_eventinterval", &server_eventinterval);
    callback_luaVar_number(ls, "server_interval", &server_interval);
    callback_luaVar_number(ls, "bind_flag", &bind_flag);
    read_string_setting(ls, "server_config", &server_config);
    read_string_setting(ls, "server_sub", &server_sub);
    read_string_setting(ls, "server_event", &server_event);
    read_string_setting(ls, "server_logger", &server_logger);
    read_string_setting(ls, "server_ip", &server_ip);
    callback_luaVar_boolean(ls, "server_tls", &server_tls);
}

void server_tls_init(lua_State *ls) {
    // A plain session leaves the script alone: a script need not define these.
    if (!server_tls) return;
    read_string_setting(ls, "server_cafile", &server_cafile);
    read_string_setting(ls, "server_certfile", &server_certfile);
    read_string_setting(ls, "server_keyfile", &server_keyfile);
}

int APEnterJoin() {
    if (bind_flag == 0) return STATE_RUN;
    clear_send_buffer();
    int len = 0;
    bool assembled =
        callback_luafunction_string(L, "AssembleAPJoinMsg", 1, send_buffer, SEND_BUFFER_SIZE, &len);
    // AP_STATE is never lowered: 2 (configured before a reset) counts as joined.
    for (int check = 1; check <= kJoinChecks; ++check) {
        if (AP_STATE.load() >= 1) break;
        if (check == kJoinChecks) break;
        if (assembled) mqtt_send_msg(send_buffer, "config", nullptr, len);
        plat::sleep(kJoinPauseSeconds);
    }
    int need_image = 0;
    callback_luafunction_number(L, "IsNeedImage", 1, &need_image);
    if (AP_STATE.load() < 1) return STATE_RESET;
    return need_image == 1 ? STATE_IMAGE : STATE_CONFIGURE;
}

int APEnterConfigure() {
    assemble_and_send("APConfigAssembleMsg", "config");
    for (int check = 1; check <= kConfigureChecks; ++check) {
        if (AP_STATE.load() >= 2) return STATE_RUN;
        if (check < kConfigureChecks) plat::sleep(1);
    }
    return STATE_RESET;
}

int ostrel_step(int state) {
    switch (state) {
        case STATE_CONNECT:
            return scripted_state("APConnetOstrel", state);
        case STATE_JOIN:
            return enter_join_state();
        case STATE_IMAGE:
            return scripted_state("APEnterImage", state);
        case STATE_CONFIGURE:
            return enter_configure();
        case STATE_RUN:
            return enter_run();
        default:
            return enter_reset();
    }
}

void ostrel_loop_once() {
    if (State < STATE_CONNECT || State > STATE_RESET) State = STATE_RESET;
    State = ostrel_step(State);
    plat::sleep(1);
}

void ostrel_state_loop() {
    for (;;) ostrel_loop_once();
}
