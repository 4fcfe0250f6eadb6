#include "startup.h"

extern "C" {
#include <lua.h>
}
#include <unistd.h>

#include <cstdlib>

#include "bridge.h"
#include "debug_log.h"
#include "fenwire.h"
#include "lua_call.h"
#include "lua_state.h"
#include "mqtt_queue.h"
#include "states.h"
#include "station_monitor.h"

#define LOG(...) FW_LOG("Fenwire", __VA_ARGS__)

namespace {

void log_load_error(const char *message) {
    LOG("error %s\n", message);
}

// Loads the script and runs its main chunk (under the default bounds); logs
// the Lua error on failure. The script's own bounds apply from then on.
bool load_script(lua_State *L, const char *path) {
    if (!luacall::run_file(L, path, log_load_error)) return false;
    luacall::read_script_limits(L);
    return true;
}

}  // namespace

lua_State *fenwire_start(const char *script_path) {
    init_debug_info();
    LOG("------ Mqtt Start ------\n");
    LOG("-- Pid = %d\n", static_cast<int>(getpid()));
    lua_State *L = luacall::new_bounded_state();
    if (!L) {
        LOG("error %s\n", "cannot create the Lua state");
        return nullptr;
    }
    if (!load_script(L, script_path)) {
        lua_close(L);
        return nullptr;
    }
    if (!send_buffer) send_buffer = static_cast<unsigned char *>(std::calloc(SEND_BUFFER_SIZE, 1));
    if (!send_buffer) {
        LOG("no memory for malloc\n");
        lua_close(L);
        return nullptr;
    }
    if (!mosqhead) initMosqList(&mosqhead);
    callLuaStrVal(L, "SN", sn, sizeof sn);
    compose_server_names();
    if (pthread_mutex_init(&mosq_mutex, nullptr) != 0) {
        LOG("init metux error\n");
        lua_close(L);
        return nullptr;
    }
    netlink_loop_start();
    FatFitMode();
    LOG("ap work mode = FIT & FAT\n");
    return L;
}

void fenwire_loop(lua_State *L) {
    int state = STATE_DISCOVERY;
    for (;;) state = fenwire_step(L, state);
}

int fenwire_main() {
    lua_State *L = fenwire_start();
    if (!L) return -1;
    fenwire_loop(L);
    return 0;
}
