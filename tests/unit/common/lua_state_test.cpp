// The bounded state under the script-call core: instructions counted per
// call (coroutines and caught errors included), memory refused beyond the
// limit and recovered after, the limits read from the script's settings.
#include "lua_state.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

extern "C" {
#include <lauxlib.h>
#include <lualib.h>
}

#include "lua_call.h"

namespace {

std::vector<std::string> errors;
void collect_error(const char *message) {
    errors.emplace_back(message);
}

constexpr luacall::ScriptLimits kSmall{1000, 256 * 1024};

class BoundedState : public ::testing::Test {
  protected:
    void SetUp() override {
        errors.clear();
        L = luacall::new_bounded_state(kSmall);
        ASSERT_NE(L, nullptr);
        lua(R"(
            function spin(n) for i = 1, n do end return n end
            function forever() while true do end end
            hoard = {}
            function grab() while true do hoard[#hoard + 1] = string.rep('x', 512) .. #hoard end end
            function churn() local t = {} while true do t[#t + 1] = {} end end
        )");
    }
    void TearDown() override { lua_close(L); }

    void lua(const char *chunk) {
        ASSERT_EQ(luaL_dostring(L, chunk), 0) << lua_tostring(L, -1);
    }
    // Calls `name` with a number argument; its number result, or -1 when it failed.
    int call(const char *name, int arg = 0) {
        int out = -1;
        bool ok = luacall::call(
            L, name, 1, 1, [arg](lua_State *S) { lua_pushinteger(S, arg); },
            [&out](lua_State *S) {
                out = luacall::to_int(S, -1);
                return true;
            },
            collect_error);
        EXPECT_EQ(lua_gettop(L), 0);
        EXPECT_EQ(lua_gethook(L), nullptr) << "the hook outlived the call";
        return ok ? out : -1;
    }
    lua_State *L = nullptr;
};

TEST_F(BoundedState, ALoopIsStoppedAtTheBoundAndTheNextCallWorks) {
    EXPECT_EQ(call("forever"), -1);
    EXPECT_EQ(errors, std::vector<std::string>{"script call forever stopped after 1000 instructions"});
    EXPECT_EQ(call("spin", 10), 10);
}

TEST_F(BoundedState, TheCountStartsAgainWithEveryCall) {
    for (int i = 0; i < 20; ++i) EXPECT_EQ(call("spin", 900), 900);  // 18000 in all
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(call("spin", 1100), -1);
    EXPECT_EQ(call("spin", 900), 900);
}

// Ways a script could keep running after the stop, or spread its work out.
TEST_F(BoundedState, CaughtStopsAndCoroutinesAreStoppedToo) {
    lua(R"(
        function catches() while true do pcall(forever) end end
        function nested() while true do pcall(catches) end end
        function in_coroutine() coroutine.resume(coroutine.create(forever)) while true do end end
        function many_coroutines()
          while true do coroutine.wrap(function() spin(500) end)() end
        end
    )");
    for (const char *name : {"catches", "nested", "in_coroutine", "many_coroutines"}) {
        errors.clear();
        EXPECT_EQ(call(name), -1) << name;
        ASSERT_EQ(errors.size(), 1u) << name;
        EXPECT_NE(errors[0].find("stopped after 1000 instructions"), std::string::npos)
            << name << ": " << errors[0];
        EXPECT_EQ(call("spin", 900), 900) << name;
    }
}

TEST_F(BoundedState, ReadsOfGlobalsAreBoundedToo) {
    lua("setmetatable(_G, {__index = function() while true do end end})");
    EXPECT_FALSE(luacall::read(L, "ABSENT", [](lua_State *) { return true; }, collect_error));
    EXPECT_EQ(errors, std::vector<std::string>{"script call ABSENT stopped after 1000 instructions"});
}

TEST_F(BoundedState, RefusedMemoryFailsTheCallAndIsCollected) {
    luacall::set_limits(L, {1000000, 256 * 1024});
    const std::size_t before = luacall::memory_in_use(L);
    EXPECT_EQ(call("churn"), -1);
    EXPECT_EQ(errors, std::vector<std::string>{"not enough memory"});
    EXPECT_LT(luacall::memory_in_use(L), before + 16 * 1024) << "the garbage was left";
    lua("function big() return #string.rep('y', 64 * 1024) end");
    EXPECT_EQ(call("big"), 64 * 1024);
}

TEST_F(BoundedState, MemoryTheScriptKeepsFailsLaterCallsUntilTheLimitAllowsIt) {
    luacall::set_limits(L, {1000000, 256 * 1024});
    lua("function big() return #string.rep('y', 64 * 1024) end");
    EXPECT_EQ(call("grab"), -1);
    EXPECT_LE(luacall::memory_in_use(L), 256u * 1024);
    EXPECT_EQ(call("big"), -1);
    EXPECT_EQ(errors, (std::vector<std::string>{"not enough memory", "not enough memory"}));
    luacall::set_limits(L, {1000000, 1024 * 1024});
    EXPECT_EQ(call("big"), 64 * 1024);
}

// A script that catches "not enough memory" and raises its own error still
// has its garbage collected.
TEST_F(BoundedState, ACaughtRefusalIsCollectedToo) {
    luacall::set_limits(L, {1000000, 256 * 1024});
    lua("function rethrow() local ok = pcall(churn) error('gave up', 0) end "
        "function big() return #string.rep('y', 64 * 1024) end");
    EXPECT_EQ(call("rethrow"), -1);
    EXPECT_EQ(errors, std::vector<std::string>{"gave up"});
    EXPECT_EQ(call("big"), 64 * 1024);
}

TEST_F(BoundedState, AMainChunkThatRunsAwayFailsItsLoad) {
    const std::string path = "/tmp/lua_state_test-" + std::to_string(getpid()) + ".lua";
    luacall::set_limits(L, {100000, 256 * 1024});
    for (const char *chunk : {"local t = {} while true do t[#t + 1] = {} end", "while true do end"}) {
        std::ofstream(path) << chunk;
        EXPECT_FALSE(luacall::run_file(L, path.c_str(), collect_error)) << chunk;
        EXPECT_EQ(call("spin", 10), 10);
    }
    unlink(path.c_str());
    EXPECT_EQ(errors, (std::vector<std::string>{
                          "not enough memory", "script " + path + " stopped after 100000 instructions"}));
}

TEST_F(BoundedState, TheScriptSettingsSetTheLimits) {
    const struct {
        const char *settings;
        std::uint64_t instructions;
        std::size_t memory;
    } cases[] = {
        {"", luacall::kDefaultMaxInstructions, luacall::kDefaultMaxMemory},
        {"SCRIPT_MAX_INSTRUCTIONS = 0 SCRIPT_MAX_MEMORY_KB = 0", luacall::kDefaultMaxInstructions,
         luacall::kDefaultMaxMemory},
        {"SCRIPT_MAX_INSTRUCTIONS = -5 SCRIPT_MAX_MEMORY_KB = 'lots'",
         luacall::kDefaultMaxInstructions, luacall::kDefaultMaxMemory},
        {"SCRIPT_MAX_INSTRUCTIONS = 2000.7 SCRIPT_MAX_MEMORY_KB = 512", 2000, 512 * 1024},
        {"SCRIPT_MAX_INSTRUCTIONS = 3e9 SCRIPT_MAX_MEMORY_KB = '64'", 2147483647, 64 * 1024},
    };
    for (const auto &c : cases) {
        lua("SCRIPT_MAX_INSTRUCTIONS = nil SCRIPT_MAX_MEMORY_KB = nil");
        lua(c.settings);
        luacall::read_script_limits(L);
        EXPECT_EQ(luacall::limits_of(L).max_instructions, c.instructions) << c.settings;
        EXPECT_EQ(luacall::limits_of(L).max_memory, c.memory) << c.settings;
    }
    // A strict script without the settings keeps the defaults, silently.
    lua("SCRIPT_MAX_INSTRUCTIONS = nil SCRIPT_MAX_MEMORY_KB = nil "
        "setmetatable(_G, {__index = function(_, k) error('undeclared ' .. k) end})");
    luacall::set_limits(L, kSmall);
    luacall::read_script_limits(L);
    EXPECT_EQ(luacall::limits_of(L).max_instructions, luacall::kDefaultMaxInstructions);
    EXPECT_TRUE(errors.empty());
}

TEST_F(BoundedState, TheNewLimitsHoldFromTheNextCall) {
    lua("SCRIPT_MAX_INSTRUCTIONS = 5000");
    luacall::read_script_limits(L);
    EXPECT_EQ(call("spin", 4500), 4500);
    EXPECT_EQ(call("spin", 5500), -1);
    EXPECT_EQ(errors, std::vector<std::string>{"script call spin stopped after 5000 instructions"});
}

TEST_F(BoundedState, AnIdleReleaseCollectsTheGarbageAndEndsDespiteARaisingFinalizer) {
    lua("junk = {} for i = 1, 1000 do junk[i] = string.rep('y', 100) .. i end junk = nil");
    const size_t before = luacall::memory_in_use(L);
    luacall::release_idle_memory(L);
    EXPECT_LT(luacall::memory_in_use(L) + 64 * 1024, before);
    // A finalizer that raises: the release ends all the same, leaves the
    // stack as it was, and calls go on.
    lua("local p = newproxy(true) getmetatable(p).__gc = function() error('bad') end");
    for (int i = 0; i < 3; ++i) {
        luacall::release_idle_memory(L);
        EXPECT_EQ(lua_gettop(L), 0);
        EXPECT_EQ(lua_gethook(L), nullptr);
    }
    EXPECT_EQ(call("spin", 10), 10);
}

TEST(UnboundedState, TheCoreStillCallsWithoutBounds) {
    lua_State *L = luaL_newstate();
    luaL_openlibs(L);
    ASSERT_EQ(luaL_dostring(L, "function spin(n) for i = 1, n do end return n end"), 0);
    EXPECT_FALSE(luacall::is_bounded(L));
    int out = 0;
    EXPECT_TRUE(luacall::call(
        L, "spin", 1, 1, [](lua_State *S) { lua_pushinteger(S, 100000); },
        [&out](lua_State *S) {
            out = luacall::to_int(S, -1);
            return true;
        },
        collect_error));
    EXPECT_EQ(out, 100000);
    lua_close(L);
}

// The libraries are always opened; a limit below what they take refuses
// every call until it is raised.
TEST(NewBoundedState, ALimitBelowTheLibrariesRefusesCallsUntilRaised) {
    lua_State *L = luacall::new_bounded_state({1000, 1024});
    ASSERT_NE(L, nullptr);
    EXPECT_GT(luacall::memory_in_use(L), 1024u);
    errors.clear();
    auto type_of_string = [L] {
        return luacall::call(
            L, "type", 1, 1, [](lua_State *S) { lua_pushstring(S, "text"); },
            [](lua_State *S) { return lua_isstring(S, -1) != 0; }, collect_error);
    };
    EXPECT_FALSE(type_of_string());
    EXPECT_EQ(errors, std::vector<std::string>{"not enough memory"});
    luacall::set_limits(L, {1000, 0});
    EXPECT_TRUE(type_of_string());
    lua_close(L);
}

}  // namespace
