// The agent's side of the Lua script: readers of script globals and a family
// of calls, each calling one global function of the script by name with a
// fixed shape of arguments and results.
//
// Every calling member returns 1 when the script function ran and 0 when it
// raised an error (logged as "error %s\n", unit "utils") or when a string
// result does not fit the caller's buffer (also logged). On 0 the caller's
// outputs are untouched. On every path the Lua stack is left as it was.
//
// Numbers: a result is converted to a signed 32-bit integer by truncation
// toward zero; anything Lua cannot take as a number (nil, a missing result,
// a table, a non-numeric string) reads as 0; NaN reads as 0 and values out of
// range saturate at INT32_MIN / INT32_MAX.
//
// Strings: a result (or a number, in its text form) is copied byte for byte,
// zero bytes included, into `buffer` of `size` bytes, and its byte count into
// `length`; no terminator is added. Any other result copies nothing and gives
// length 0. A result longer than `size` bytes is not copied at all.
//
// Only the thread that owns `L` may call these; the bridge takes no lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "station_list.h"

struct lua_State;

// Size of a text list built by cpyUsrInfo (at most 255 characters).
constexpr size_t USR_INFO_LIST_SIZE = 256;

// `out` = the global `name` as an integer; 0 if absent or not a number.
void callLuaIntVal(lua_State *L, const char *name, int *out);
// Zero-fills `buffer` (of `size` bytes), then copies at most size - 1 bytes of
// the global's text (a number in its text form). A global that is neither a
// string nor a number reads as the empty text.
void callLuaStrVal(lua_State *L, const char *name, char *buffer, size_t size);

int callLuaFunction_No(lua_State *L, const char *name);
int callLuaFunction_GInt(lua_State *L, const char *name, int *out);
int callLuaFunction_G2Int(lua_State *L, const char *name, int *first, int *second);
int callLuaFunction_GStr(lua_State *L, const char *name, char *buffer, size_t size, int *length);
int callLuaFunction_Str(lua_State *L, const char *name, const char *bytes, size_t count, int *out);
int callLuaFunction_Str2Int(lua_State *L, const char *name, const char *bytes, size_t count,
                            int *first, int *second);
// First result a number, second a string.
int callLuaFunction_StrIntStr(lua_State *L, const char *name, const char *bytes, size_t count,
                              int *number, char *buffer, size_t size, int *length);
int callLuaFunction_IntGStr(lua_State *L, const char *name, int value, char *buffer, size_t size,
                            int *length);
// One string in, one string out without its length: the result is copied
// with a terminating zero, so it must fit in size - 1 bytes.
int callLuaFunction_StrStr(lua_State *L, const char *name, const char *bytes, size_t count,
                           char *buffer, size_t size);
int callLuaFunction_2Int(lua_State *L, const char *name, int a, int b);

// Pushes type, radioid, the MAC as "xx:xx:xx:xx:xx:xx", staip, ssid, hostname.
int callLuaFunction_StaInfo(lua_State *L, const char *name, const NLnode *station);
// Pushes the six station values (with type 0), then from the ring: uptime of
// the oldest sample, the rxrate and txrate lists, the low 32 bits of rxbytes
// and txbytes, the signal, phyrate, aux32 / 1000 and aux16 of the oldest
// sample. A station without samples gives zeros and empty lists.
int callLuaFunction_UsrInfo(lua_State *L, const char *name, const NLnode *station);

// Writes `field` of ten samples of the ring starting at `head` as unsigned
// decimals separated by commas, oldest first, repeating the newest when the
// ring holds fewer than ten. The text is cut to size - 1 characters and always
// terminated (`size` > 0). An empty ring gives the empty text.
void cpyUsrInfo(const UsrNode *head, uint32_t UsrNode::*field, char *buffer, size_t size);
