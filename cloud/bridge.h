// ostrel's side of the Lua script: read or write a script global, or call a
// script function by name with a fixed shape of arguments and results; some
// members publish the script's result through the MQTT link.
//
// Every member returns 1 when the script part went through and 0 when it
// failed ("error %s\n" on standard output: a missing function, a runtime
// error, a strict script's unknown global, a result too big for its
// buffer). On 0 the outputs keep their values and nothing is published. The
// Lua stack is always left as it was.
//
// Threads: the main thread and, during join and configure, the network
// thread use the script. Every member holds lua_mutex while it is in the
// script and releases it before it publishes; the rest of the agent does not
// touch the state directly (except start-up, before any thread runs).
//
// Numbers are truncated toward zero to a 32-bit int (NaN 0, out of range
// saturates); a value that is not a number reads as 0. Strings are copied
// out of the interpreter before the lock is released, so no pointer into a
// script value outlives the call.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>

#include "station_monitor.h"

struct lua_State;

extern std::recursive_mutex lua_mutex;

int Set_luaVar_number(lua_State *ls, const char *name, int value);
int callback_luaVar_number(lua_State *ls, const char *name, int *out);
// A number in its text form; any other non-string gives the empty text.
int callback_luaVar_string(lua_State *ls, const char *name, std::string *out);
// Copies at most size - 1 bytes of the global's text into `out` (always
// terminated); the rest of the text is cut.
int callback_luaVar_string(lua_State *ls, const char *name, char *out, std::size_t size);
// 0 for nil and false, 1 for anything else.
int callback_luaVar_boolean(lua_State *ls, const char *name, unsigned char *out);

// n results, the top one read.
int callback_luafunction_number(lua_State *ls, const char *name, int n, int *out);
// The top result's bytes into `dest` (of `size` bytes) as strncpy copies
// them: up to the first zero byte, the rest of its length zero-filled. A
// result of `size` bytes or more is refused, so the buffer keeps a
// terminator. *length gets the result's length.
int callback_luafunction_string(lua_State *ls, const char *name, int n, char *dest,
                                std::size_t size, int *length);
// One string argument, one number result; 0 when the call fails.
int callback_luafunctionStrNum(lua_State *ls, const char *name, const char *in, std::size_t len);
// One string argument, no result.
int callback_luafunction_insert_string(lua_State *ls, const char *name, const char *in,
                                       std::size_t len);
// Results (message, topic): the message is published on the topic.
int callback_luafuncStr_sendmsg(lua_State *ls, const char *name, const char *in, std::size_t len);
// Results (message, topic list): published once on each ';'-separated topic.
int callback_luafuncStr_sendsched(lua_State *ls, const char *name);
// Results (message, topic, flag): published on the topic; a flag of 1 runs
// the firmware upgrade and ends the process (ostrel_exit).
int callback_luafuncStr_sendownload(lua_State *ls, const char *name, const char *in,
                                    std::size_t len);
// The 15 values of the station record in; the message result is published
// under the topic name "event".
int callback_luafunction_insert_clientinfo(lua_State *ls, const char *name, const NLnode *rec);
// A diagnostic hook; does nothing.
void stackDump(lua_State *ls);

// The command that flashes /tmp/firmware.img.
extern const char *const kUpgradeCommand;
// Ends the process after an upgrade: flushes standard output, then _exit.
// Tests replace it to catch the exit; a replacement may return.
extern void (*ostrel_exit)(int status);
