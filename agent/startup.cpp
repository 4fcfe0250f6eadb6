#include "startup.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}
#include <unistd.h>

#include <cstdlib>

#include "bridge.h"
#include "debug_log.h"
#include "fenwire.h"
#include "mqtt_queue.h"
#include "states.h"
#include "station_monitor.h"

#define LOG(...) FW_LOG("Fenwire", __VA_ARGS__)

namespace {

// Loads the script and runs its main chunk; logs the Lua error on failure.
bool load_script(lua_State *L, const char *path) {
    if (luaL_loadfile(L, path) == 0 && lua_pcall(L, 0, 0, 0) == 0) return true;
    const char *msg = lua_tostring(L, -1);
    LOG("error %s\n", msg ? msg : "(error object is not a string)");
    lua_pop(L, 1);
    return false;
}

}  // namespace

lua_State *fenwire_start(const char *script_path) {
    init_debug_info();
    LOG("------ Mqtt Start ------\n");
    LOG("-- Pid = %d\n", static_cast<int>(getpid()));
    lua_State *L = luaL_newstate();
    if (!L) {
        LOG("error %s\n", "cannot create the Lua state");
        return nullptr;
    }
    luaL_openlibs(L);
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
