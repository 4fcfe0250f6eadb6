#include "bridge.h"

#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "debug_log.h"
#include "lua_call.h"

namespace {

constexpr int USR_INFO_SAMPLES = 10;

// A string result as Lua holds it; `data` is null when the result is neither
// a string nor a number.
struct StrResult {
    const char *data;
    size_t len;
};

int result_int(lua_State *L, int index) {
    return luacall::to_int(L, index);
}

StrResult result_str(lua_State *L, int index) {
    StrResult s{nullptr, 0};
    s.data = luacall::to_bytes(L, index, &s.len);
    return s;
}

// The script sees 32-bit values as the target's signed Lua integers, so an
// unsigned field above INT32_MAX arrives negative on every build host.
lua_Integer as_int32(uint32_t value) {
    if (value <= INT32_MAX) return static_cast<lua_Integer>(value);
    return static_cast<lua_Integer>(static_cast<int64_t>(value) - INT64_C(0x100000000));
}

void push_u32(lua_State *L, uint32_t value) {
    lua_pushinteger(L, as_int32(value));
}

// Record texts may fill their field without a terminator.
template <size_t N>
void push_text(lua_State *L, const char (&field)[N]) {
    lua_pushlstring(L, field, strnlen(field, N));
}

// A failed script call, logged as the log's readers know it.
void log_error(const char *message) {
    FW_LOG("utils", "error %s\n", message);
}

// Lengths reach the caller as int, so a result must also stay below INT_MAX.
bool fits(const char *name, size_t len, size_t size) {
    if (len <= size && len <= static_cast<size_t>(INT_MAX)) return true;
    FW_LOG("utils", "error %s result of %lu bytes does not fit %lu\n", name,
           static_cast<unsigned long>(len), static_cast<unsigned long>(size));
    return false;
}

void copy_out(StrResult s, char *buffer, int *length) {
    if (s.len > 0) memcpy(buffer, s.data, s.len);
    *length = static_cast<int>(s.len);
}

// Calls `name` with the values `push` pushes (nargs of them) and hands its
// nresults results to `take`; 1 when both went through, else 0.
template <class Push, class Take>
int call(lua_State *L, const char *name, int nargs, int nresults, Push &&push, Take &&take) {
    return luacall::call(L, name, nargs, nresults, push, take, log_error) ? 1 : 0;
}

auto no_args() {
    return [](lua_State *) {};
}
auto no_results() {
    return [](lua_State *) { return true; };
}
auto one_string(const char *bytes, size_t count) {
    return [bytes, count](lua_State *L) { lua_pushlstring(L, bytes, count); };
}

// Takes one number result into *out.
auto int_result(int *out) {
    return [out](lua_State *L) {
        *out = result_int(L, -1);
        return true;
    };
}

// Takes two number results; the second lies on top.
auto two_int_results(int *first, int *second) {
    return [first, second](lua_State *L) {
        *second = result_int(L, -1);
        *first = result_int(L, -2);
        return true;
    };
}

// Takes one string result into buffer, if it fits.
auto str_result(const char *name, char *buffer, size_t size, int *length) {
    return [=](lua_State *L) {
        StrResult s = result_str(L, -1);
        if (!fits(name, s.len, size)) return false;
        copy_out(s, buffer, length);
        return true;
    };
}

// Pushes type, radioid, MAC text, staip, ssid, hostname: 6 values.
void push_station(lua_State *L, uint32_t type, const NLnode *station) {
    char mac[18];
    const uint8_t *m = station->mac;
    snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    push_u32(L, type);
    lua_pushinteger(L, station->radioid);
    lua_pushstring(L, mac);
    push_text(L, station->staip);
    push_text(L, station->ssid);
    push_text(L, station->hostname);
}

// rssi - 95 in 8-bit two's complement; a positive signal is reported as -9.
int signal_of(uint8_t rssi) {
    int value = (rssi - 95) & 0xFF;
    if (value > 127) value -= 256;
    return value > 0 ? -9 : value;
}

// Pushes the nine sample values of the ring starting at `head`.
void push_samples(lua_State *L, const UsrNode *head) {
    static const UsrNode none{};
    char rx[USR_INFO_LIST_SIZE];
    char tx[USR_INFO_LIST_SIZE];
    cpyUsrInfo(head, &UsrNode::rxrate, rx, sizeof rx);
    cpyUsrInfo(head, &UsrNode::txrate, tx, sizeof tx);
    const UsrNode &oldest = head ? *head : none;
    push_u32(L, oldest.uptime);
    lua_pushstring(L, rx);
    lua_pushstring(L, tx);
    push_u32(L, static_cast<uint32_t>(oldest.rxbytes));
    push_u32(L, static_cast<uint32_t>(oldest.txbytes));
    lua_pushinteger(L, signal_of(oldest.rssi));
    lua_pushinteger(L, oldest.phyrate);
    push_u32(L, oldest.aux32 / 1000);
    push_u32(L, oldest.aux16);
}

// Appends `len` bytes of `text` while the buffer has room before its
// terminator.
void append_cut(char *buffer, size_t size, size_t *used, const char *text, size_t len) {
    size_t room = size - 1 - *used;
    size_t n = len < room ? len : room;
    memcpy(buffer + *used, text, n);
    *used += n;
    buffer[*used] = '\0';
}

}  // namespace

void callLuaIntVal(lua_State *L, const char *name, int *out) {
    *out = 0;
    luacall::read(L, name, int_result(out), log_error);
}

void callLuaStrVal(lua_State *L, const char *name, char *buffer, size_t size) {
    if (size == 0) return;
    memset(buffer, 0, size);
    luacall::read(
        L, name,
        [=](lua_State *S) {
            StrResult s = result_str(S, -1);
            if (s.len > 0) memcpy(buffer, s.data, s.len < size - 1 ? s.len : size - 1);
            return true;
        },
        log_error);
}

int callLuaFunction_No(lua_State *L, const char *name) {
    return call(L, name, 0, 0, no_args(), no_results());
}

int callLuaFunction_GInt(lua_State *L, const char *name, int *out) {
    return call(L, name, 0, 1, no_args(), int_result(out));
}

int callLuaFunction_G2Int(lua_State *L, const char *name, int *first, int *second) {
    return call(L, name, 0, 2, no_args(), two_int_results(first, second));
}

int callLuaFunction_GStr(lua_State *L, const char *name, char *buffer, size_t size, int *length) {
    return call(L, name, 0, 1, no_args(), str_result(name, buffer, size, length));
}

int callLuaFunction_Str(lua_State *L, const char *name, const char *bytes, size_t count, int *out) {
    return call(L, name, 1, 1, one_string(bytes, count), int_result(out));
}

int callLuaFunction_Str2Int(lua_State *L, const char *name, const char *bytes, size_t count,
                            int *first, int *second) {
    return call(L, name, 1, 2, one_string(bytes, count), two_int_results(first, second));
}

int callLuaFunction_StrIntStr(lua_State *L, const char *name, const char *bytes, size_t count,
                              int *number, char *buffer, size_t size, int *length) {
    return call(L, name, 1, 2, one_string(bytes, count), [=](lua_State *S) {
        StrResult s = result_str(S, -1);
        if (!fits(name, s.len, size)) return false;
        copy_out(s, buffer, length);
        *number = result_int(S, -2);
        return true;
    });
}

int callLuaFunction_IntGStr(lua_State *L, const char *name, int value, char *buffer, size_t size,
                            int *length) {
    return call(
        L, name, 1, 1, [value](lua_State *S) { lua_pushinteger(S, value); },
        str_result(name, buffer, size, length));
}

int callLuaFunction_StrStr(lua_State *L, const char *name, const char *bytes, size_t count,
                           char *buffer, size_t size) {
    return call(L, name, 1, 1, one_string(bytes, count), [=](lua_State *S) {
        StrResult s = result_str(S, -1);
        if (!fits(name, s.len + 1, size)) return false;  // room for the terminator
        if (s.len > 0) memcpy(buffer, s.data, s.len);
        buffer[s.len] = '\0';
        return true;
    });
}

int callLuaFunction_2Int(lua_State *L, const char *name, int a, int b) {
    return call(
        L, name, 2, 0,
        [a, b](lua_State *S) {
            lua_pushinteger(S, a);
            lua_pushinteger(S, b);
        },
        no_results());
}

int callLuaFunction_StaInfo(lua_State *L, const char *name, const NLnode *station) {
    return call(
        L, name, 6, 0, [station](lua_State *S) { push_station(S, station->type, station); },
        no_results());
}

int callLuaFunction_UsrInfo(lua_State *L, const char *name, const NLnode *station) {
    return call(
        L, name, 15, 0,
        [station](lua_State *S) {
            push_station(S, 0, station);
            push_samples(S, station->usrlist);
        },
        no_results());
}

void cpyUsrInfo(const UsrNode *head, uint32_t UsrNode::*field, char *buffer, size_t size) {
    if (size == 0) return;
    buffer[0] = '\0';
    size_t used = 0;
    const UsrNode *node = head;
    for (int i = 0; node != nullptr && i < USR_INFO_SAMPLES; ++i) {
        char value[16];
        int n = snprintf(value, sizeof value, "%s%" PRIu32, i > 0 ? "," : "", node->*field);
        append_cut(buffer, size, &used, value, static_cast<size_t>(n));
        // The newest sample's next is the head again: stay on the newest.
        if (node->next != nullptr && node->next != head) node = node->next;
    }
}
