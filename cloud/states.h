// The six states of ostrel and the state loop over them.
#pragma once

struct lua_State;

// Copies the twelve settings from the script, in their fixed order.
void server_init(lua_State *ls);
// With server_tls set, copies the optional TLS files server_cafile,
// server_certfile and server_keyfile ("" when not set); the join state
// reads them right after server_init.
void server_tls_init(lua_State *ls);
// Join: up to 6 join messages 3 s apart; 3 (image), 4 (configure), 5 or 6.
int APEnterJoin();
// Configure: one configure message, up to 62 checks 1 s apart; 5 or 6.
int APEnterConfigure();
// Runs the step of `state` and returns the next state. Any number outside
// 1-6 is handled as 6. The run state (5) does not return.
int ostrel_step(int state);
// One turn of the state loop: a State outside 1-6 becomes 6, its step runs
// and its result is stored in State, then one second's sleep.
void ostrel_loop_once();
// The state loop from State: step, store, sleep one second, for ever.
[[noreturn]] void ostrel_state_loop();

// Clears send_buffer (its string length), has script function `fn` assemble
// a message into it and publishes it under `topic_name`; a failed assemble
// step publishes nothing. `clear` false keeps the buffer as it is.
bool assemble_and_send(const char *fn, const char *topic_name, bool clear = true);
// Zeroes send_buffer up to its string length.
void clear_send_buffer();
