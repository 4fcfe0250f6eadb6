// The Lua bridge's conversions of script results: the input, as a string or
// as the double of its first 8 bytes, is what the script's functions return.
// Input: a byte for the caller's buffer size, a byte for the kind, the value.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "bridge.h"
#include "fuzz_support.h"

namespace {

lua_State *L = nullptr;

constexpr char kScript[] =
    "function give() return fuzz_value end\n"
    "function give2() return fuzz_value, fuzz_value end\n"
    "function echo(s) return s end\n"
    "function num_str(s) return fuzz_value, s end\n";

void set_value(const std::uint8_t *data, std::size_t size, bool as_number) {
    if (as_number) {
        unsigned char raw[sizeof(double)] = {0};
        std::memcpy(raw, data, size < sizeof raw ? size : sizeof raw);
        double d;
        std::memcpy(&d, raw, sizeof d);
        lua_pushnumber(L, d);
    } else {
        lua_pushlstring(L, reinterpret_cast<const char *>(data), size);
    }
    lua_setglobal(L, "fuzz_value");
}

void call_all(const std::string &value, std::size_t cap, bool as_number) {
    std::vector<char> buffer(cap ? cap : 1);  // exact size
    int length = -1, a = 0, b = 0;
    if (callLuaFunction_GStr(L, "give", buffer.data(), cap, &length) == 1) {
        FUZZ_CHECK(length >= 0 && static_cast<std::size_t>(length) <= cap);
        if (!as_number) FUZZ_CHECK(std::memcmp(buffer.data(), value.data(), length) == 0);
    } else {
        FUZZ_CHECK(as_number || value.size() > cap);
    }
    callLuaFunction_GInt(L, "give", &a);
    callLuaFunction_G2Int(L, "give2", &a, &b);
    callLuaFunction_IntGStr(L, "give", a, buffer.data(), cap, &length);
    callLuaFunction_Str(L, "echo", value.data(), value.size(), &a);
    callLuaFunction_Str2Int(L, "give2", value.data(), value.size(), &a, &b);
    callLuaFunction_StrIntStr(L, "num_str", value.data(), value.size(), &a, buffer.data(), cap,
                              &length);
    if (cap) {
        if (callLuaFunction_StrStr(L, "echo", value.data(), value.size(), buffer.data(), cap) == 1)
            FUZZ_CHECK(std::memchr(buffer.data(), '\0', cap));
        callLuaStrVal(L, "fuzz_value", buffer.data(), cap);
        FUZZ_CHECK(std::memchr(buffer.data(), '\0', cap));
    }
    callLuaIntVal(L, "fuzz_value", &a);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    L = luaL_newstate();
    luaL_openlibs(L);
    if (luaL_dostring(L, kScript) != 0) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    std::size_t cap = data[0];
    bool as_number = data[1] & 1;
    set_value(data + 2, size - 2, as_number);
    int top = lua_gettop(L);
    call_all(std::string(reinterpret_cast<const char *>(data + 2), size - 2), cap, as_number);
    FUZZ_CHECK(lua_gettop(L) == top);
    return 0;
}
