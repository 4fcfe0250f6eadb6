#include "lua_state.h"

#include <cstdio>
#include <cstdlib>

extern "C" {
#include <lauxlib.h>
#include <lualib.h>
}

#include "heap_policy.h"
#include "lua_call.h"

namespace luacall {

// The allocator's data: what the interpreter holds and what it may hold.
struct Budget {
    std::size_t in_use = 0;
    ScriptLimits limits;
    bool lifted = false;         // while the core collects after a refusal
    unsigned long refusals = 0;  // allocations refused so far
    BoundedCall *call = nullptr;  // the innermost call in progress
    bool *released = nullptr;    // set when the budget goes with the state
};

namespace {

// Instructions between two runs of the count hook: small enough that the
// bound is met exactly and a stop comes soon, large enough to cost nothing.
constexpr int kHookStep = 1000;

ScriptLimits with_defaults(ScriptLimits limits) {
    if (limits.max_instructions == 0) limits.max_instructions = kDefaultMaxInstructions;
    if (limits.max_memory == 0) limits.max_memory = kDefaultMaxMemory;
    return limits;
}

// Growth is refused beyond the limit; shrinking and freeing never fail, as
// Lua requires. The state's first block is freed last (by lua_close), so
// when nothing is left in use the budget goes too.
void *bounded_alloc(void *ud, void *ptr, std::size_t osize, std::size_t nsize) {
    Budget *b = static_cast<Budget *>(ud);
    const std::size_t old = ptr ? osize : 0;
    if (nsize == 0) {
        if (!ptr) return nullptr;
        std::free(ptr);
        b->in_use -= old;
        if (b->in_use == 0) {
            if (b->released) *b->released = true;
            delete b;
        }
        return nullptr;
    }
    if (nsize > old && !b->lifted) {
        const std::size_t max = b->limits.max_memory;
        if (b->in_use > max || nsize - old > max - b->in_use) {
            ++b->refusals;
            return nullptr;
        }
    }
    void *p = std::realloc(ptr, nsize);
    if (!p) return nullptr;
    b->in_use = b->in_use - old + nsize;
    return p;
}

Budget *budget_of(lua_State *L) {
    void *ud = nullptr;
    if (lua_getallocf(L, &ud) != bounded_alloc) return nullptr;
    return static_cast<Budget *>(ud);
}

constexpr int kGcPause = 100;  // percent of the heap after the last cycle

int panic(lua_State *L) {
    const char *text = lua_tostring(L, -1);
    std::fprintf(stderr, "PANIC: unprotected error in call to Lua API (%s)\n",
                 text ? text : "(error object is not a string)");
    return 0;
}

int open_libs(lua_State *L) {
    luaL_openlibs(L);
    return 0;
}

int collect(lua_State *L) {
    lua_gc(L, LUA_GCCOLLECT, 0);
    return 0;
}

void ignore(const char *) {}

// A setting as a positive count, or 0 (the default).
std::uint64_t positive_setting(lua_State *L, const char *name) {
    int value = 0;
    read(
        L, name,
        [&value](lua_State *S) {
            value = to_int(S, -1);
            return true;
        },
        ignore);  // an absent setting in a strict script is the default too
    return value > 0 ? static_cast<std::uint64_t>(value) : 0;
}

}  // namespace

// The limit holds from the first call on: set-up is never refused (the io
// library, cut short, would leave stdout to be closed by the collector).
lua_State *new_bounded_state(const ScriptLimits &limits) {
    bool released = false;
    Budget *b = new Budget;
    b->limits = with_defaults(limits);
    b->released = &released;
    b->lifted = true;
    lua_State *L = lua_newstate(bounded_alloc, b);
    if (!L) {
        if (!released) delete b;
        return nullptr;
    }
    b->released = nullptr;
    lua_atpanic(L, panic);
    // A new collection cycle as soon as one ends (Lua's default waits until
    // the heap has doubled): the reports of a full station list leave their
    // garbage for a moment, not for a doubling of the heap. It costs no CPU
    // that shows at the agents' pace.
    lua_gc(L, LUA_GCSETPAUSE, kGcPause);
    const bool opened = lua_cpcall(L, open_libs, nullptr) == 0;
    b->lifted = false;
    if (!opened) {
        lua_close(L);
        return nullptr;
    }
    return L;
}

bool is_bounded(lua_State *L) {
    return budget_of(L) != nullptr;
}

void set_limits(lua_State *L, const ScriptLimits &limits) {
    if (Budget *b = budget_of(L)) b->limits = with_defaults(limits);
}

ScriptLimits limits_of(lua_State *L) {
    Budget *b = budget_of(L);
    return b ? b->limits : ScriptLimits{0, 0};
}

std::size_t memory_in_use(lua_State *L) {
    Budget *b = budget_of(L);
    return b ? b->in_use : 0;
}

void read_script_limits(lua_State *L) {
    if (!is_bounded(L)) return;
    ScriptLimits limits;
    limits.max_instructions = positive_setting(L, "SCRIPT_MAX_INSTRUCTIONS");
    const std::uint64_t kib = positive_setting(L, "SCRIPT_MAX_MEMORY_KB");
    const std::uint64_t most = static_cast<std::size_t>(-1) / 1024;  // a 32-bit size_t
    limits.max_memory = static_cast<std::size_t>(kib < most ? kib : most) * 1024;
    set_limits(L, limits);
}

BoundedCall::BoundedCall(lua_State *L, const char *what, const char *name)
    : L_(L), budget_(budget_of(L)), what_(what), name_(name ? name : "?") {
    if (!budget_) return;
    max_ = budget_->limits.max_instructions;
    refusals_at_start_ = budget_->refusals;
    outer_ = budget_->call;
    budget_->call = this;
    saved_hook_ = lua_gethook(L);
    saved_mask_ = lua_gethookmask(L);
    saved_count_ = lua_gethookcount(L);
    lua_sethook(L, hook, LUA_MASKCOUNT, max_ < kHookStep ? static_cast<int>(max_) : kHookStep);
}

BoundedCall::~BoundedCall() {
    if (!budget_) return;
    lua_sethook(L_, saved_hook_, saved_mask_, saved_count_);
    budget_->call = outer_;
}

void release_idle_memory(lua_State *L) {
    const int top = lua_gettop(L);
    lua_cpcall(L, collect, nullptr);  // a failing finalizer leaves its error here
    lua_settop(L, top);
    release_free_heap();
}

void BoundedCall::recover() {
    if (!budget_ || budget_->refusals == refusals_at_start_) return;
    const int top = lua_gettop(L_);
    // The hook may be in its stopping mode, in which a finalizer could not
    // run; the destructor puts back what was there before the call.
    lua_sethook(L_, nullptr, 0, 0);
    budget_->lifted = true;
    lua_cpcall(L_, collect, nullptr);  // a failing finalizer leaves its error here
    budget_->lifted = false;
    lua_settop(L_, top);
}

void BoundedCall::hook(lua_State *T, lua_Debug *) {
    Budget *b = budget_of(T);
    // A coroutine the script kept from an earlier call may run its hook
    // outside of any call (a test poking the state): nothing to charge.
    if (b && b->call) b->call->charge(T);
}

// T is the thread that ran the instructions: the state's main thread or one
// of the script's coroutines, each with its own hook count.
void BoundedCall::charge(lua_State *T) {
    count_ += static_cast<std::uint64_t>(lua_gethookcount(T));
    if (count_ >= max_) {
        // From now on every instruction raises, so a script that catches the
        // error (pcall, a coroutine) is stopped at its next instruction.
        lua_sethook(T, hook, LUA_MASKCOUNT, 1);
        char text[160];
        std::snprintf(text, sizeof text, "%s %s stopped after %llu instructions", what_, name_,
                      static_cast<unsigned long long>(max_));
        lua_pushstring(T, text);
        lua_error(T);
    }
    const std::uint64_t left = max_ - count_;
    const int next = left < kHookStep ? static_cast<int>(left) : kHookStep;
    if (next != lua_gethookcount(T)) lua_sethook(T, hook, LUA_MASKCOUNT, next);
}

}  // namespace luacall
