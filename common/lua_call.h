// Script access made wholly inside one protected call: the lookup of the
// global (through the globals table, so a script's own __index metamethod
// runs and may raise), the arguments, the call and the reading of the
// results. Anything the script or the interpreter raises on the way, a
// "strict" script's unknown-global error included, is a failed call reported
// through the caller's sink, never a panic of the interpreter.
//
// The push and take steps run inside the protected call: they may use any
// Lua API, but must hold no object with a destructor across a Lua call,
// since an error unwinds past them.
//
// On a state made by new_bounded_state (lua_state.h) each of these runs
// under the state's bounds: an instruction count that starts again with
// every call, and the memory limit, whose refusal is a failed call after
// which the garbage is collected.
#pragma once

#include <cstddef>
#include <utility>

struct lua_State;

namespace luacall {

// Receives the error text of a failed call (the interpreter's message, or a
// note when the error value is not a string).
using ErrorSink = void (*)(const char *message);

struct Steps {
    void (*push)(lua_State *L, void *ctx);  // pushes the arguments; may be null
    bool (*take)(lua_State *L, void *ctx);  // reads the results on top; false refuses them
    void *ctx;
};

// Calls the global function `name` with `nargs` arguments and `nresults`
// results. True when the function ran and `take` accepted its results; on
// false nothing of the call is left on the stack.
bool call_global(lua_State *L, const char *name, int nargs, int nresults, const Steps &steps,
                 ErrorSink sink);
// Pushes the global `name` and hands it to `steps.take` (the value on top).
bool read_global(lua_State *L, const char *name, const Steps &steps, ErrorSink sink);
// Sets the global `name` to `steps.push`'s one value.
bool write_global(lua_State *L, const char *name, const Steps &steps, ErrorSink sink);
// Loads the script at `path` and runs its main chunk; a file that cannot be
// read or parsed is reported like a failing call.
bool run_file(lua_State *L, const char *path, ErrorSink sink);

// A value on the stack as the agents read numbers: truncated toward zero to
// a signed 32-bit integer; anything Lua cannot take as a number, and NaN,
// read as 0; values beyond the range saturate.
int to_int(lua_State *L, int index);
// A value on the stack as the agents read strings: its bytes as the
// interpreter holds them (a number in its text form), or null with length 0
// for any other value.
const char *to_bytes(lua_State *L, int index, std::size_t *len);

namespace detail {
template <class Push, class Take>
struct Pair {
    Push &push;
    Take &take;
    static void run_push(lua_State *L, void *c) { static_cast<Pair *>(c)->push(L); }
    static bool run_take(lua_State *L, void *c) { return static_cast<Pair *>(c)->take(L); }
    Steps steps() { return Steps{run_push, run_take, this}; }
};
}  // namespace detail

// The same with callables: push(L), and take(L) -> bool.
template <class Push, class Take>
bool call(lua_State *L, const char *name, int nargs, int nresults, Push &&push, Take &&take,
          ErrorSink sink) {
    detail::Pair<Push, Take> pair{push, take};
    return call_global(L, name, nargs, nresults, pair.steps(), sink);
}

template <class Take>
bool read(lua_State *L, const char *name, Take &&take, ErrorSink sink) {
    auto none = [](lua_State *) {};
    detail::Pair<decltype(none), Take> pair{none, take};
    return read_global(L, name, pair.steps(), sink);
}

template <class Push>
bool write(lua_State *L, const char *name, Push &&push, ErrorSink sink) {
    auto none = [](lua_State *) { return true; };
    detail::Pair<Push, decltype(none)> pair{push, none};
    return write_global(L, name, pair.steps(), sink);
}

}  // namespace luacall
