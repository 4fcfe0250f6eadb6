#include "bridge.h"

#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

#include "link.h"
#include "lua_call.h"
#include "shell.h"

std::recursive_mutex lua_mutex;

const char *const kUpgradeCommand =
    "sleep 1; killall -9 dropbear uhttpd; sleep 1; /sbin/sysupgrade -F /tmp/firmware.img "
    ">/dev/null 2>&1";

namespace {

void exit_process(int status) {
    std::fflush(stdout);
    _exit(status);
}

}  // namespace

void (*ostrel_exit)(int status) = exit_process;

namespace {

void print_error(const char *message) {
    std::printf("error %s\n", message);
}

int result_int(lua_State *ls, int index) {
    return luacall::to_int(ls, index);
}

// A string result copied out of the interpreter; `none` when the value is
// neither a string nor a number.
struct Text {
    std::string bytes;
    bool none = true;
};

void take_text(lua_State *ls, int index, Text *out) {
    std::size_t len = 0;
    const char *data = luacall::to_bytes(ls, index, &len);
    out->none = data == nullptr;
    out->bytes.assign(data ? data : "", len);
}

// Runs one script call under lua_mutex; 1 when it went through.
template <class Push, class Take>
int call(lua_State *ls, const char *name, int nargs, int nresults, Push &&push, Take &&take) {
    std::lock_guard<std::recursive_mutex> lock(lua_mutex);
    return luacall::call(ls, name, nargs, nresults, push, take, print_error) ? 1 : 0;
}

auto no_args() {
    return [](lua_State *) {};
}
auto one_string(const char *in, std::size_t len) {
    return [in, len](lua_State *ls) { lua_pushlstring(ls, in, len); };
}

// Takes (message, topic) from the two results on top.
auto message_and_topic(Text *msg, Text *topic) {
    return [msg, topic](lua_State *ls) {
        take_text(ls, -2, msg);
        take_text(ls, -1, topic);
        return true;
    };
}

void publish_on(const Text &msg, const char *topic) {
    mqtt_send_msg(msg.none ? nullptr : msg.bytes.data(), nullptr, topic,
                  static_cast<int>(msg.bytes.size()));
}

void publish_reply(const Text &msg, const Text &topic) {
    if (topic.none) return;  // no topic publishes nothing
    publish_on(msg, topic.bytes.c_str());
}

// The topics of a ';'-separated list as strtok finds them.
std::vector<std::string> split_topics(const std::string &list) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < list.size()) {
        std::size_t end = list.find(';', pos);
        if (end == std::string::npos) end = list.size();
        if (end > pos) out.push_back(list.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

// Fits a message length into the int the link takes.
bool fits_int(const char *name, std::size_t len) {
    if (len <= static_cast<std::size_t>(INT_MAX)) return true;
    std::printf("error %s result of %lu bytes is too long\n", name, static_cast<unsigned long>(len));
    return false;
}

lua_Integer as_int32(uint32_t value) {
    return static_cast<lua_Integer>(static_cast<int32_t>(value));
}

template <std::size_t N>
void push_text(lua_State *ls, const char (&field)[N]) {
    lua_pushlstring(ls, field, strnlen(field, N));
}

void push_clientinfo(lua_State *ls, const NLnode &r) {
    lua_pushinteger(ls, as_int32(r.type));
    push_text(ls, r.mac);
    push_text(ls, r.hostname);
    push_text(ls, r.extra);
    lua_pushinteger(ls, r.radioid);
    push_text(ls, r.staip);
    lua_pushinteger(ls, as_int32(static_cast<uint32_t>(r.txbytes)));
    lua_pushinteger(ls, as_int32(static_cast<uint32_t>(r.rxbytes)));
    lua_pushinteger(ls, as_int32(r.txrate));
    lua_pushinteger(ls, as_int32(r.rxrate));
    lua_pushinteger(ls, r.rssi);
    lua_pushinteger(ls, as_int32(r.uptime));
    push_text(ls, r.ssid);
    lua_pushinteger(ls, r.phyrate);
    lua_pushinteger(ls, r.wlanid);
}

}  // namespace

int Set_luaVar_number(lua_State *ls, const char *name, int value) {
    std::lock_guard<std::recursive_mutex> lock(lua_mutex);
    return luacall::write(
               ls, name, [value](lua_State *s) { lua_pushinteger(s, value); }, print_error)
               ? 1
               : 0;
}

namespace {

// Reads the global `name` under the script lock, handing it to `take`: 1
// when the read went through.
template <class Take>
int read_global(lua_State *ls, const char *name, Take &&take) {
    std::lock_guard<std::recursive_mutex> lock(lua_mutex);
    return luacall::read(ls, name, take, print_error) ? 1 : 0;
}

}  // namespace

int callback_luaVar_number(lua_State *ls, const char *name, int *out) {
    return read_global(ls, name, [out](lua_State *s) {
        *out = result_int(s, -1);
        return true;
    });
}

int callback_luaVar_string(lua_State *ls, const char *name, std::string *out) {
    Text text;
    int ok = read_global(ls, name, [&text](lua_State *s) {
        take_text(s, -1, &text);
        return true;
    });
    if (ok) out->swap(text.bytes);
    return ok;
}

int callback_luaVar_string(lua_State *ls, const char *name, char *out, std::size_t size) {
    if (size == 0) return 0;
    std::string text;
    if (!callback_luaVar_string(ls, name, &text)) return 0;
    std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return 1;
}

int callback_luaVar_boolean(lua_State *ls, const char *name, unsigned char *out) {
    return read_global(ls, name, [out](lua_State *s) {
        *out = lua_toboolean(s, -1) ? 1 : 0;
        return true;
    });
}

int callback_luafunction_number(lua_State *ls, const char *name, int n, int *out) {
    return call(ls, name, 0, n, no_args(), [out](lua_State *s) {
        *out = result_int(s, -1);
        return true;
    });
}

int callback_luafunction_string(lua_State *ls, const char *name, int n, char *dest,
                                std::size_t size, int *length) {
    return call(ls, name, 0, n, no_args(), [=](lua_State *s) {
        // No object with a destructor here: lua_tolstring may raise.
        std::size_t got = 0;
        const char *data = nullptr;
        int type = lua_type(s, -1);
        if (type == LUA_TSTRING || type == LUA_TNUMBER) data = lua_tolstring(s, -1, &got);
        if (got >= size) {
            std::printf("error %s result of %lu bytes does not fit %lu\n", name,
                        static_cast<unsigned long>(got), static_cast<unsigned long>(size));
            return false;
        }
        if (data) std::strncpy(dest, data, got);
        *length = static_cast<int>(got);
        return true;
    });
}

int callback_luafunctionStrNum(lua_State *ls, const char *name, const char *in, std::size_t len) {
    int result = 0;
    call(ls, name, 1, 1, one_string(in, len), [&result](lua_State *s) {
        result = result_int(s, -1);
        return true;
    });
    return result;
}

int callback_luafunction_insert_string(lua_State *ls, const char *name, const char *in,
                                       std::size_t len) {
    return call(ls, name, 1, 0, one_string(in, len), [](lua_State *) { return true; });
}

int callback_luafuncStr_sendmsg(lua_State *ls, const char *name, const char *in, std::size_t len) {
    Text msg, topic;
    if (!call(ls, name, 1, 2, one_string(in, len), message_and_topic(&msg, &topic))) return 0;
    if (!fits_int(name, msg.bytes.size())) return 0;
    publish_reply(msg, topic);
    return 1;
}

int callback_luafuncStr_sendsched(lua_State *ls, const char *name) {
    Text msg, topics;
    if (!call(ls, name, 0, 2, no_args(), message_and_topic(&msg, &topics))) return 0;
    stackDump(ls);
    if (!fits_int(name, msg.bytes.size())) return 0;
    if (topics.none) return 1;
    // The list is text: a zero byte ends it, as it would end strtok's copy.
    const std::string list(topics.bytes.c_str());
    for (const std::string &topic : split_topics(list)) publish_on(msg, topic.c_str());
    return 1;
}

int callback_luafuncStr_sendownload(lua_State *ls, const char *name, const char *in,
                                    std::size_t len) {
    Text msg, topic;
    int flag = 0;
    if (!call(ls, name, 1, 3, one_string(in, len), [&](lua_State *s) {
            take_text(s, -3, &msg);
            take_text(s, -2, &topic);
            flag = result_int(s, -1);
            return true;
        }))
        return 0;
    stackDump(ls);
    if (!fits_int(name, msg.bytes.size())) return 0;
    publish_reply(msg, topic);
    if (flag == 1) {
        plat::shell_run(kUpgradeCommand);
        ostrel_exit(1);
    }
    return 1;
}

int callback_luafunction_insert_clientinfo(lua_State *ls, const char *name, const NLnode *rec) {
    Text msg;
    if (!call(
            ls, name, 15, 1, [rec](lua_State *s) { push_clientinfo(s, *rec); },
            [&msg](lua_State *s) {
                take_text(s, -1, &msg);
                return true;
            }))
        return 0;
    if (!fits_int(name, msg.bytes.size())) return 0;
    mqtt_send_msg(msg.none ? nullptr : msg.bytes.data(), "event", nullptr,
                  static_cast<int>(msg.bytes.size()));
    return 1;
}

void stackDump(lua_State *) {}
