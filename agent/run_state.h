// The run state: entered after configuration, left for Reset.
#pragma once

struct lua_State;

// Runs until the link is lost or the controller stops answering; returns 6.
int APEnterRun(lua_State *L);
