#include "run_state.h"

#include "fenwire.h"

int APEnterRun(lua_State *) { return STATE_RESET; }
