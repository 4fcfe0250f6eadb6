// The agents' one Lua state, bounded so that a script function that loops or
// allocates without end fails its call instead of hanging or starving the
// agent:
//
// - every call made through the script-call core (lua_call.h), and the run
//   of the script's main chunk, may execute at most `max_instructions` Lua
//   instructions; the count starts again with each call, and a call that
//   passes it fails with "script call NAME stopped after N instructions";
// - the interpreter may hold at most `max_memory` bytes; an allocation
//   beyond that is refused, so the script gets Lua's "not enough memory"
//   error, and the core collects the garbage of the failed call so that the
//   next one starts with room.
//
// The limits live with the state (its allocator's data) and go with its last
// block when it is closed. Per-call counting lives on the stack of the call
// (see BoundedCall), so it is guarded by whatever guards the state itself:
// ostrel's lua_mutex, Fenwire's single main thread.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
#include <lua.h>
}

namespace luacall {

// Far above what a call of the sample scripts needs (a few thousand
// instructions, a few hundred KiB in use), far below a hang.
constexpr std::uint64_t kDefaultMaxInstructions = 50000000;
constexpr std::size_t kDefaultMaxMemory = 16u * 1024 * 1024;

struct ScriptLimits {
    std::uint64_t max_instructions = kDefaultMaxInstructions;  // per call; 0 = the default
    std::size_t max_memory = kDefaultMaxMemory;  // bytes in use; 0 = the default
};

// A new state with the standard libraries open, under `limits`; null when
// the interpreter cannot be set up (no memory).
lua_State *new_bounded_state(const ScriptLimits &limits = ScriptLimits{});

// Whether `L` was made by new_bounded_state. The functions below do nothing
// (or give zeros) for any other state.
bool is_bounded(lua_State *L);
// Takes effect from the next call; a memory limit below what is in use
// refuses every growth until garbage brings the use down.
void set_limits(lua_State *L, const ScriptLimits &limits);
ScriptLimits limits_of(lua_State *L);
std::size_t memory_in_use(lua_State *L);

// Between two calls of the core: one whole collection in protected mode
// (a finalizer of the script that raises ends it; Lua runs finalizers with
// hooks off, here as in any collection, so no count bounds them),
// then the heap's wholly free pages go back to the system. The agents call
// it every few seconds of their run state, so the garbage of a report of a
// full station list does not stay in their footprint.
void release_idle_memory(lua_State *L);

// Reads the script's settings SCRIPT_MAX_INSTRUCTIONS (instructions per call)
// and SCRIPT_MAX_MEMORY_KB (KiB in use) and applies them; absent, 0, negative
// or not a number keeps the default. Meant once, after the script is loaded.
void read_script_limits(lua_State *L);

// One bounded run of script code (a call of the core, or a main chunk): from
// construction to destruction the count hook charges the instructions that
// run to this object, in the state's main thread and in every coroutine the
// script starts. Made only by the thread that may use `L`, around one
// protected call; nested objects count apart and restore the outer one.
class BoundedCall {
  public:
    // `what` and `name` make the message: "<what> <name> stopped after ...".
    BoundedCall(lua_State *L, const char *what, const char *name);
    ~BoundedCall();
    BoundedCall(const BoundedCall &) = delete;
    BoundedCall &operator=(const BoundedCall &) = delete;

    // After the protected call: when an allocation was refused during it,
    // collects the garbage it left (with the limit lifted, in protected mode).
    void recover();

    // The count hook, installed for the duration of the object.
    static void hook(lua_State *T, lua_Debug *ar);

  private:
    void charge(lua_State *T);

    lua_State *L_;
    struct Budget *budget_;  // null for a state that is not bounded
    const char *what_;
    const char *name_;
    std::uint64_t max_ = 0;
    std::uint64_t count_ = 0;
    unsigned long refusals_at_start_ = 0;
    BoundedCall *outer_ = nullptr;
    lua_Hook saved_hook_ = nullptr;
    int saved_mask_ = 0;
    int saved_count_ = 0;
};

}  // namespace luacall
