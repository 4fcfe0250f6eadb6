// The strings of a script's global array, for tests that let the script
// record what it was given.
#pragma once

extern "C" {
#include <lua.h>
}

#include <string>
#include <vector>

namespace test_support {

// The strings (numbers in their text form) of the global array `name`, up
// to its first nil; empty when the global is not a table.
inline std::vector<std::string> lua_strings(lua_State *L, const char *name) {
    std::vector<std::string> out;
    lua_getglobal(L, name);
    for (int i = 1; lua_istable(L, -1); ++i) {
        lua_rawgeti(L, -1, i);
        if (lua_isnil(L, -1)) {
            lua_pop(L, 1);
            break;
        }
        size_t n = 0;
        const char *s = lua_tolstring(L, -1, &n);
        out.emplace_back(s ? std::string(s, n) : std::string());
        lua_pop(L, 1);
    }
    lua_pop(L, 1);
    return out;
}

}  // namespace test_support
