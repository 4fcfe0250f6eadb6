// A sample agent script loaded into Lua 5.1 the way an agent loads it, and
// called the way the agent's bridge calls it: globals by name, functions
// with string (binary-safe) and number arguments, a fixed result count.
#pragma once

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <string>
#include <vector>

namespace script_test {

struct LuaArg {
    LuaArg(double n) : number(n) {}
    LuaArg(int n) : number(n) {}
    LuaArg(const char *s) : is_text(true), text(s) {}
    LuaArg(std::string s) : is_text(true), text(std::move(s)) {}
    bool is_text = false;
    double number = 0;
    std::string text;
};

struct LuaResult {
    int type = LUA_TNIL;
    double number = 0;  // when type is LUA_TNUMBER
    std::string text;   // when type is LUA_TSTRING
};

struct LuaCall {
    std::string error;  // the error of a failed call, "" on success
    std::vector<LuaResult> results;
};

class LuaScript {
  public:
    // Loads and runs the script; `error()` tells what failed.
    explicit LuaScript(const std::string &path) : L(luaL_newstate()) {
        luaL_openlibs(L);
        if (luaL_dofile(L, path.c_str()) != 0) {
            load_error_ = lua_tostring(L, -1) ? lua_tostring(L, -1) : "?";
            lua_pop(L, 1);
        }
    }
    ~LuaScript() { lua_close(L); }
    LuaScript(const LuaScript &) = delete;
    LuaScript &operator=(const LuaScript &) = delete;

    const std::string &error() const { return load_error_; }

    LuaCall call(const char *fn, const std::vector<LuaArg> &args, int nresults) {
        LuaCall out;
        int top = lua_gettop(L);
        lua_getfield(L, LUA_GLOBALSINDEX, fn);
        for (const auto &a : args) {
            if (a.is_text)
                lua_pushlstring(L, a.text.data(), a.text.size());
            else
                lua_pushnumber(L, a.number);
        }
        if (lua_pcall(L, static_cast<int>(args.size()), nresults, 0) != 0) {
            out.error = lua_tostring(L, -1) ? lua_tostring(L, -1) : "?";
        } else {
            for (int i = 1; i <= nresults; ++i) out.results.push_back(value(top + i));
        }
        lua_settop(L, top);
        return out;
    }

    // The global `name` as the bridge reads it.
    LuaResult global(const char *name) {
        lua_getfield(L, LUA_GLOBALSINDEX, name);
        LuaResult r = value(-1);
        lua_pop(L, 1);
        return r;
    }
    bool truth(const char *name) {
        lua_getfield(L, LUA_GLOBALSINDEX, name);
        bool on = lua_toboolean(L, -1) != 0;
        lua_pop(L, 1);
        return on;
    }
    void set_number(const char *name, double v) {
        lua_pushnumber(L, v);
        lua_setfield(L, LUA_GLOBALSINDEX, name);
    }

  private:
    LuaResult value(int index) {
        LuaResult r;
        r.type = lua_type(L, index);
        if (r.type == LUA_TNUMBER) r.number = lua_tonumber(L, index);
        if (r.type == LUA_TSTRING) {
            size_t len = 0;
            const char *s = lua_tolstring(L, index, &len);
            r.text.assign(s, len);
        }
        return r;
    }

    lua_State *L;
    std::string load_error_;
};

}  // namespace script_test
