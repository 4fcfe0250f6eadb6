#include "run_state.h"

#include "clock.h"
#include "fenwire.h"
#include "mqtt_link.h"

int APEnterRun(lua_State *) {
    while (mqtt_connect.load() == 1) plat::sleep(1);
    return STATE_RESET;
}
