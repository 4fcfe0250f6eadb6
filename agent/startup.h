// Start-up of Fenwire and its state loop.
#pragma once

struct lua_State;

constexpr const char *FENWIRE_SCRIPT = "/usr/lib/lua/Fenwire.lua";

// Brings up the log, the script, the buffers, the names and the station
// monitor. Returns the script's Lua state, or nullptr after logging why
// start-up failed.
lua_State *fenwire_start(const char *script_path = FENWIRE_SCRIPT);

// Runs the state loop from Discovery, for ever.
void fenwire_loop(lua_State *L);

// The program: -1 when start-up fails; otherwise it never returns.
int fenwire_main();
