// The provisioning state machine of Fenwire: each step returns the next
// state number (FenwireState).
#pragma once

struct lua_State;

// The work mode hook: always FIT (0).
int FatFitMode();

// Starts a provisioning cycle: at most one a second, and after cycles that
// got no join accepted a wait that doubles up to 60 s.
int APEnterDiscovery(lua_State *L);
// Forgets the cycles so far (tests).
void states_reset_pacing();
int APEnterJoin(lua_State *L);
int APEnterImage(lua_State *L);
int APEnterConfigure(lua_State *L);
// LED, station list, MQTT teardown, then discovery at once.
int APEnterReset(lua_State *L);

// One pass of the state loop: what entering `state` does. A next state
// outside 1-6 (only the script can give one) is logged and becomes Reset.
int fenwire_step(lua_State *L, int state);
