#include "startup.h"

#include <pthread.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>

extern "C" {
#include <lua.h>
}

#include "bridge.h"
#include "lua_call.h"
#include "lua_state.h"
#include "msg_queue.h"
#include "ostrel.h"
#include "states.h"
#include "station_monitor.h"

namespace {

void raise_core_limit() {
    struct rlimit unlimited = {RLIM_INFINITY, RLIM_INFINITY};
    setrlimit(RLIMIT_CORE, &unlimited);
}

void print_load_error(const char *message) {
    std::printf("error %s\n", message);
}

// Runs the script's main chunk under the default bounds; the script's own
// bounds apply from then on. Called holding lua_mutex.
bool load_script(lua_State *ls, const char *path) {
    if (!luacall::run_file(ls, path, print_load_error)) return false;
    luacall::read_script_limits(ls);
    return true;
}

}  // namespace

int ostrel_start(int argc, char **argv, const char *script_path) {
    raise_core_limit();
    if (!send_buffer) send_buffer = static_cast<char *>(std::calloc(SEND_BUFFER_SIZE, 1));
    if (!send_buffer) {
        std::puts("malloc fail");
        return -1;
    }
    L = luacall::new_bounded_state();
    if (!L) {
        std::puts("malloc fail");
        return -1;
    }
    if (!mosqhead && initMosqList(&mosqhead) != 0) return -1;
    {
        // No other thread runs yet; the lock is taken for the bridge's rule.
        std::lock_guard<std::recursive_mutex> lock(lua_mutex);
        if (!load_script(L, script_path)) return -1;
    }
    if (pthread_mutex_init(&mosq_mutex, nullptr) != 0) {
        std::puts("init metux error");
        return -1;
    }
    nl_loop_start();
    if (argc > 1) {
        isReboot = std::atoi(argv[1]);
        std::printf("isreboot = %d\n", isReboot);
        Set_luaVar_number(L, "isReboot", isReboot);
    }
    callback_luaVar_number(L, "ApMode", &ApMode);
    return 0;
}

int ostrel_main(int argc, char **argv) {
    // No log file: every line must reach a pipe as it is printed.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (ostrel_start(argc, argv) != 0) return -1;
    ostrel_state_loop();
}
