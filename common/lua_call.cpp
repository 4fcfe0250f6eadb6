#include "lua_call.h"

#include <climits>
#include <cmath>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

#include "lua_state.h"

namespace luacall {
namespace {

enum class Kind { kCall, kRead, kWrite, kFile };

struct Job {
    Kind kind;
    const char *name;
    int nargs;
    int nresults;
    const Steps *steps;  // null for kFile
    bool taken;
};

// Runs as the protected call's function, with the job as its one argument.
int run_job(lua_State *L) {
    Job *job = static_cast<Job *>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    if (job->kind == Kind::kFile) {
        if (luaL_loadfile(L, job->name) != 0) lua_error(L);
        lua_call(L, 0, 0);
        job->taken = true;
        return 0;
    }
    const Steps &s = *job->steps;
    luaL_checkstack(L, job->nargs + job->nresults + 2, "script call");
    if (job->kind == Kind::kWrite) {
        s.push(L, s.ctx);
        lua_setglobal(L, job->name);
        job->taken = true;
        return 0;
    }
    lua_getglobal(L, job->name);
    if (job->kind == Kind::kCall) {
        if (s.push) s.push(L, s.ctx);
        lua_call(L, job->nargs, job->nresults);
    }
    job->taken = s.take ? s.take(L, s.ctx) : true;
    return 0;
}

bool run(lua_State *L, Job &job, ErrorSink sink) {
    const int top = lua_gettop(L);
    if (!lua_checkstack(L, 2)) {
        sink("stack overflow");
        return false;
    }
    BoundedCall bound(L, job.kind == Kind::kFile ? "script" : "script call", job.name);
    if (lua_cpcall(L, run_job, &job) != 0) {
        const char *text = lua_tostring(L, -1);
        sink(text ? text : "(error object is not a string)");
        lua_settop(L, top);
        bound.recover();
        return false;
    }
    return job.taken;
}

}  // namespace

int to_int(lua_State *L, int index) {
    lua_Number n = lua_tonumber(L, index);
    if (std::isnan(n)) return 0;
    if (n >= 2147483647.0) return INT_MAX;
    if (n <= -2147483648.0) return INT_MIN;
    return static_cast<int>(n);
}

const char *to_bytes(lua_State *L, int index, std::size_t *len) {
    *len = 0;
    int type = lua_type(L, index);
    if (type != LUA_TSTRING && type != LUA_TNUMBER) return nullptr;
    return lua_tolstring(L, index, len);
}

bool call_global(lua_State *L, const char *name, int nargs, int nresults, const Steps &steps,
                 ErrorSink sink) {
    Job job{Kind::kCall, name, nargs, nresults, &steps, false};
    return run(L, job, sink);
}

bool read_global(lua_State *L, const char *name, const Steps &steps, ErrorSink sink) {
    Job job{Kind::kRead, name, 0, 1, &steps, false};
    return run(L, job, sink);
}

bool write_global(lua_State *L, const char *name, const Steps &steps, ErrorSink sink) {
    Job job{Kind::kWrite, name, 1, 0, &steps, false};
    return run(L, job, sink);
}

bool run_file(lua_State *L, const char *path, ErrorSink sink) {
    Job job{Kind::kFile, path, 0, 0, nullptr, false};
    return run(L, job, sink);
}

}  // namespace luacall
