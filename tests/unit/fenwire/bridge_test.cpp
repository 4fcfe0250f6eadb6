#include "bridge.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "debug_log.h"
#include "lua_state.h"
#include "shell_recorder.h"

namespace {

// Collects the arguments of a call as "type:value|..." in the global `seen`,
// and the raw first argument in `first`.
const char *const COLLECT_SCRIPT = R"(
function collect(...)
  local t = {}
  for i = 1, select('#', ...) do
    local v = select(i, ...)
    t[#t + 1] = type(v) .. ':' .. tostring(v)
  end
  seen = table.concat(t, '|')
  first = ...
end
)";

class BridgeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir_template[] = "/tmp/bridge_test.XXXXXX";
        ASSERT_NE(mkdtemp(dir_template), nullptr);
        dir_ = dir_template;
        std::ofstream(dir_ + "/enable") << "1";
        DebugLogPaths paths;
        paths.control = dir_ + "/enable";
        paths.dir = dir_;
        paths.current = dir_ + "/log.new";
        paths.previous = dir_ + "/log.old";
        debug_log_set_paths(paths);
        init_debug_info();

        L = luacall::new_bounded_state();
        run(COLLECT_SCRIPT);
        // A value of the caller's below every call: a member that pops too
        // much or too little moves or loses it.
        lua_pushstring(L, "caller's value");
    }

    void TearDown() override {
        EXPECT_EQ(lua_gettop(L), 1);
        EXPECT_STREQ(lua_tostring(L, 1), "caller's value");
        lua_close(L);
        unlink((dir_ + "/enable").c_str());
        unlink((dir_ + "/log.new").c_str());
        rmdir(dir_.c_str());
        debug_log_set_paths(DebugLogPaths{});
    }

    void run(const std::string &script) {
        if (luaL_loadstring(L, script.c_str()) != 0 || lua_pcall(L, 0, 0, 0) != 0) {
            ADD_FAILURE() << lua_tostring(L, -1);
            lua_pop(L, 1);
        }
    }

    std::string global_bytes(const char *name) {
        lua_getglobal(L, name);
        size_t len = 0;
        const char *s = lua_tolstring(L, -1, &len);
        std::string value = s ? std::string(s, len) : "<not a string>";
        lua_pop(L, 1);
        return value;
    }

    std::string log_text() {
        std::ifstream in(dir_ + "/log.new");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Runs one member and checks that it leaves the stack where it found it.
    int balanced(const std::function<int()> &call) {
        int top = lua_gettop(L);
        int result = call();
        EXPECT_EQ(lua_gettop(L), top);
        return result;
    }

    plat::ShellRecorder shell_;
    std::string dir_;
    lua_State *L = nullptr;
};

TEST_F(BridgeTest, NumberResultsTruncateTowardZeroAndSaturate) {
    run("function num() return value end");
    const struct {
        const char *value;
        int expected;
    } cases[] = {
        {"2.9", 2},
        {"-2.9", -2},
        {"-0.5", 0},
        {"nil", 0},
        {"'7'", 7},  // Lua's own coercion of a numeric string
        {"'seven'", 0},
        {"true", 0},
        {"{}", 0},
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        {"2147483648.5", INT_MAX},
        {"-1e300", INT_MIN},
        {"1/0", INT_MAX},
        {"0/0", 0},
    };
    for (const auto &c : cases) {
        run(std::string("value = ") + c.value);
        int out = 12345;
        EXPECT_EQ(balanced([&] { return callLuaFunction_GInt(L, "num", &out); }), 1);
        EXPECT_EQ(out, c.expected) << c.value;
    }
}

TEST_F(BridgeTest, MissingResultsReadAsZeroAndExtraResultsAreDropped) {
    run(R"(
        function none() end
        function one() return 5 end
        function three() return 1, 2, 3 end
        function only_number() return 9 end
    )");
    int out = 77;
    EXPECT_EQ(balanced([&] { return callLuaFunction_GInt(L, "none", &out); }), 1);
    EXPECT_EQ(out, 0);

    int first = 77, second = 77;
    EXPECT_EQ(balanced([&] { return callLuaFunction_Str2Int(L, "one", "x", 1, &first, &second); }),
              1);
    EXPECT_EQ(first, 5);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(balanced([&] { return callLuaFunction_G2Int(L, "three", &first, &second); }), 1);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 2);

    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    int number = 77, length = 77;
    EXPECT_EQ(balanced([&] {
                  return callLuaFunction_StrIntStr(L, "only_number", "x", 1, &number, buffer,
                                                   sizeof buffer, &length);
              }),
              1);
    EXPECT_EQ(number, 9);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(buffer[0], '#');  // nothing copied, no terminator added
    EXPECT_EQ(balanced([&] { return callLuaFunction_No(L, "three"); }), 1);
}

TEST_F(BridgeTest, StringResultsCopyEveryByteWithoutTerminator) {
    run("function str() return value end");
    const struct {
        const char *value;
        std::string expected;
    } cases[] = {
        {"'a\\0b\\0'", std::string("a\0b\0", 4)},
        {"12", "12"},
        {"''", ""},
        {"nil", ""},
        {"{}", ""},
        {"true", ""},
    };
    for (const auto &c : cases) {
        run(std::string("value = ") + c.value);
        char buffer[16];
        std::memset(buffer, '#', sizeof buffer);
        int length = 77;
        EXPECT_EQ(balanced([&] {
                      return callLuaFunction_GStr(L, "str", buffer, sizeof buffer, &length);
                  }),
                  1);
        ASSERT_EQ(length, static_cast<int>(c.expected.size())) << c.value;
        EXPECT_EQ(std::string(buffer, length), c.expected);
        EXPECT_EQ(buffer[length], '#');
    }
}

TEST_F(BridgeTest, PayloadsWithZeroBytesReachTheScriptWholeAndComeBack) {
    run("function echo(s) got = s return #s, s end");
    const std::string payload("\0a\0b\0", 5);

    int out = 0;
    EXPECT_EQ(balanced([&] {
                  return callLuaFunction_Str(L, "echo", payload.data(), payload.size(), &out);
              }),
              1);
    EXPECT_EQ(out, 5);
    EXPECT_EQ(global_bytes("got"), payload);

    int first = 0, second = 0;
    EXPECT_EQ(balanced([&] {
                  return callLuaFunction_Str2Int(L, "echo", payload.data(), payload.size(), &first,
                                                 &second);
              }),
              1);
    EXPECT_EQ(first, 5);
    EXPECT_EQ(second, 0);  // a string that is no number

    char buffer[8];
    int number = 0, length = 0;
    EXPECT_EQ(balanced([&] {
                  return callLuaFunction_StrIntStr(L, "echo", payload.data(), payload.size(),
                                                   &number, buffer, sizeof buffer, &length);
              }),
              1);
    EXPECT_EQ(number, 5);
    EXPECT_EQ(std::string(buffer, length), payload);

    run("function echo_str(s) return s end");
    char text[8];
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(balanced([&] {
                  return callLuaFunction_StrStr(L, "echo_str", payload.data(), payload.size(), text,
                                                sizeof text);
              }),
              1);
    EXPECT_EQ(std::string(text, payload.size() + 1), payload + std::string(1, '\0'));
}

TEST_F(BridgeTest, IntegerArgumentsArriveInOrder) {
    int length = 0;
    char buffer[8];
    run("function int_str(v) collect(v) return 'ok' end");
    EXPECT_EQ(balanced([&] {
                  return callLuaFunction_IntGStr(L, "int_str", -7, buffer, sizeof buffer, &length);
              }),
              1);
    EXPECT_EQ(global_bytes("seen"), "number:-7");
    EXPECT_EQ(std::string(buffer, length), "ok");

    EXPECT_EQ(balanced([&] { return callLuaFunction_2Int(L, "collect", 3, INT_MIN); }), 1);
    EXPECT_EQ(global_bytes("seen"), "number:3|number:-2147483648");
}

// Every member, with outputs preset to markers; all must come back untouched.
struct Outputs {
    int a = 111, b = 222, length = 333;
    char buffer[32];
    char tail[8];  // catches writes past `buffer`
    Outputs() {
        std::memset(buffer, '#', sizeof buffer);
        std::memset(tail, '#', sizeof tail);
    }
    bool untouched() const {
        for (char c : buffer)
            if (c != '#') return false;
        for (char c : tail)
            if (c != '#') return false;
        return a == 111 && b == 222 && length == 333;
    }
};

std::vector<std::function<int(lua_State *, const char *, Outputs &)>> all_members() {
    static NLnode station{};
    return {
        [](lua_State *L, const char *n, Outputs &) { return callLuaFunction_No(L, n); },
        [](lua_State *L, const char *n, Outputs &o) { return callLuaFunction_GInt(L, n, &o.a); },
        [](lua_State *L, const char *n, Outputs &o) {
            return callLuaFunction_G2Int(L, n, &o.a, &o.b);
        },
        [](lua_State *L, const char *n, Outputs &o) {
            return callLuaFunction_GStr(L, n, o.buffer, sizeof o.buffer, &o.length);
        },
        [](lua_State *L, const char *n, Outputs &o) {
            return callLuaFunction_Str(L, n, "p", 1, &o.a);
        },
        [](lua_State *L, const char *n, Outputs &o) {
            return callLuaFunction_Str2Int(L, n, "p", 1, &o.a, &o.b);
        },
        [](lua_State *L, const char *n, Outputs &o) {
            return callLuaFunction_StrIntStr(L, n, "p", 1, &o.a, o.buffer, sizeof o.buffer,
                                             &o.length);
        },
        [](lua_State *L, const char *n, Outputs &o) {
            return callLuaFunction_IntGStr(L, n, 1, o.buffer, sizeof o.buffer, &o.length);
        },
        [](lua_State *L, const char *n, Outputs &o) {
            return callLuaFunction_StrStr(L, n, "p", 1, o.buffer, sizeof o.buffer);
        },
        [](lua_State *L, const char *n, Outputs &) { return callLuaFunction_2Int(L, n, 1, 2); },
        [](lua_State *L, const char *n, Outputs &) {
            return callLuaFunction_StaInfo(L, n, &station);
        },
        [](lua_State *L, const char *n, Outputs &) {
            return callLuaFunction_UsrInfo(L, n, &station);
        },
    };
}

TEST_F(BridgeTest, AFailingCallLogsTheErrorAndLeavesOutputsUntouched) {
    run(R"(
        function fails() error('boom') end
        function fails_with_table() error({}) end
        not_a_function = 5
    )");
    const struct {
        const char *name;
        const char *logged;
    } cases[] = {
        {"fails", "error [string \"...\"]:2: boom\n"},
        {"fails_with_table", "error (error object is not a string)\n"},
        {"missing", "error attempt to call a nil value\n"},
        {"not_a_function", "error attempt to call a number value\n"},
    };
    for (const auto &c : cases) {
        for (const auto &member : all_members()) {
            Outputs out;
            EXPECT_EQ(balanced([&] { return member(L, c.name, out); }), 0) << c.name;
            EXPECT_TRUE(out.untouched()) << c.name;
        }
        std::string log = log_text();
        EXPECT_NE(log.find(std::string("[utils +")), std::string::npos);
        size_t count = 0;
        for (size_t at = log.find(c.logged); at != std::string::npos;
             at = log.find(c.logged, at + 1))
            ++count;
        EXPECT_EQ(count, all_members().size()) << c.logged << "\n" << log;
    }
}

// A call that loops or allocates without end fails like any other call, and
// the same member works again at once.
TEST_F(BridgeTest, ARunawayCallFailsLikeAnyOtherAndTheNextCallWorks) {
    luacall::set_limits(L, {100000, 256 * 1024});
    run(R"(
        function loops(...) while true do end end
        function hoards(...) local t = {} while true do t[#t + 1] = {} end end
        function fine(...) return 7, 'ok' end
    )");
    const struct {
        const char *name;
        const char *logged;
    } runaways[] = {
        {"loops", "error script call loops stopped after 100000 instructions\n"},
        {"hoards", "error not enough memory\n"},
    };
    const struct {
        const char *kind;
        std::function<int(const char *, Outputs &)> call;
    } members[] = {
        {"number result", [this](const char *n, Outputs &o) { return callLuaFunction_GInt(L, n, &o.a); }},
        {"string result",
         [this](const char *n, Outputs &o) {
             return callLuaFunction_GStr(L, n, o.buffer, sizeof o.buffer, &o.length);
         }},
        {"arguments",
         [this](const char *n, Outputs &o) {
             return callLuaFunction_StrIntStr(L, n, "p", 1, &o.a, o.buffer, sizeof o.buffer,
                                              &o.length);
         }},
    };
    for (const auto &r : runaways) {
        for (const auto &m : members) {
            Outputs out;
            EXPECT_EQ(balanced([&] { return m.call(r.name, out); }), 0) << r.name << ", " << m.kind;
            EXPECT_TRUE(out.untouched()) << r.name << ", " << m.kind;
            EXPECT_EQ(balanced([&] { return m.call("fine", out); }), 1) << r.name << ", " << m.kind;
        }
        const std::string log = log_text();
        size_t count = 0;
        for (size_t at = log.find(std::string("]\t") + r.logged); at != std::string::npos;
             at = log.find(std::string("]\t") + r.logged, at + 1))
            ++count;
        EXPECT_EQ(count, 3u) << log;
    }
    EXPECT_EQ(log_text().find("[Fenwire"), std::string::npos) << "logged as unit utils";
}

// The common "strict" idiom: reading an unknown global raises. Every lookup
// must be a failed call, never an unprotected error that ends the process;
// the script's own __index still supplies what it knows.
TEST_F(BridgeTest, AStrictScriptMakesUnknownGlobalsFailedCallsAndItsIndexStillWorks) {
    run(R"(
        function known() return 7 end
        setmetatable(_G, {__index = function(_, name)
            if name == 'provided' then return function() return 42 end end
            if name == 'PROVIDED_NUMBER' then return 9 end
            error('unknown global ' .. name, 2)
        end})
    )");
    for (const auto &member : all_members()) {
        Outputs out;
        EXPECT_EQ(balanced([&] { return member(L, "absent", out); }), 0);
        EXPECT_TRUE(out.untouched());
    }
    EXPECT_NE(log_text().find("error unknown global absent\n"), std::string::npos) << log_text();

    int value = 5;
    balanced([&] { callLuaIntVal(L, "ABSENT_NUMBER", &value); return 0; });
    EXPECT_EQ(value, 0);
    char text[8] = "xxxxxxx";
    balanced([&] { callLuaStrVal(L, "ABSENT_TEXT", text, sizeof text); return 0; });
    EXPECT_STREQ(text, "");
    EXPECT_NE(log_text().find("error unknown global ABSENT_TEXT\n"), std::string::npos);

    balanced([&] { return callLuaFunction_GInt(L, "known", &value); });
    EXPECT_EQ(value, 7);
    EXPECT_EQ(balanced([&] { return callLuaFunction_GInt(L, "provided", &value); }), 1);
    EXPECT_EQ(value, 42);
    balanced([&] { callLuaIntVal(L, "PROVIDED_NUMBER", &value); return 0; });
    EXPECT_EQ(value, 9);
}

TEST_F(BridgeTest, AResultLongerThanTheBufferIsRejectedWhole) {
    run("function big() return string.rep('x', size), 4 end\n"
        "function big_reply() return 4, string.rep('x', size) end");

    std::vector<char> send_buffer(8192 + 8, '#');
    int length = 333;
    run("size = 8193");
    EXPECT_EQ(
        balanced([&] { return callLuaFunction_GStr(L, "big", send_buffer.data(), 8192, &length); }),
        0);
    EXPECT_EQ(length, 333);
    EXPECT_EQ(std::count(send_buffer.begin(), send_buffer.end(), '#'), 8192 + 8);
    EXPECT_NE(log_text().find("error big result of 8193 bytes does not fit 8192\n"),
              std::string::npos);

    int number = 333;
    EXPECT_EQ(balanced([&] {
                  return callLuaFunction_StrIntStr(L, "big_reply", "p", 1, &number,
                                                   send_buffer.data(), 8192, &length);
              }),
              0);
    EXPECT_EQ(number, 333);
    EXPECT_EQ(length, 333);
    EXPECT_EQ(std::count(send_buffer.begin(), send_buffer.end(), '#'), 8192 + 8);

    run("size = 8192");
    EXPECT_EQ(
        balanced([&] { return callLuaFunction_GStr(L, "big", send_buffer.data(), 8192, &length); }),
        1);
    EXPECT_EQ(length, 8192);
    EXPECT_EQ(std::count(send_buffer.begin(), send_buffer.end(), '#'), 8);

    // The bind address: at most 20 bytes.
    char bind[20 + 4];
    std::memset(bind, '#', sizeof bind);
    run("size = 21");
    EXPECT_EQ(balanced([&] { return callLuaFunction_GStr(L, "big", bind, 20, &length); }), 0);
    EXPECT_EQ(std::string(bind, sizeof bind), std::string(sizeof bind, '#'));
    EXPECT_EQ(balanced([&] { return callLuaFunction_IntGStr(L, "big", 0, bind, 20, &length); }), 0);
    EXPECT_EQ(std::string(bind, sizeof bind), std::string(sizeof bind, '#'));
    run("size = 20");
    EXPECT_EQ(balanced([&] { return callLuaFunction_GStr(L, "big", bind, 20, &length); }), 1);
    EXPECT_EQ(std::string(bind, sizeof bind), std::string(20, 'x') + "####");

    // With no length to hand back, the text needs room for its terminator.
    run("size = 20");
    std::memset(bind, '#', sizeof bind);
    EXPECT_EQ(balanced([&] { return callLuaFunction_StrStr(L, "big", "p", 1, bind, 20); }), 0);
    EXPECT_EQ(std::string(bind, sizeof bind), std::string(sizeof bind, '#'));
}

TEST_F(BridgeTest, IntValReadsNumbersAndTreatsTheRestAsZero) {
    run("JOIN_TIMES = 3.9 NEG = -2.9 NUMERIC_TEXT = '17' TEXT = 'three' TABLE = {}");
    const struct {
        const char *name;
        int expected;
    } cases[] = {
        {"JOIN_TIMES", 3}, {"NEG", -2},  {"NUMERIC_TEXT", 17},
        {"TEXT", 0},       {"TABLE", 0}, {"ABSENT", 0},
    };
    for (const auto &c : cases) {
        int out = 12345;
        balanced([&] {
            callLuaIntVal(L, c.name, &out);
            return 0;
        });
        EXPECT_EQ(out, c.expected) << c.name;
    }
}

TEST_F(BridgeTest, StrValZeroFillsAndKeepsAtMostSizeMinusOneCharacters) {
    run("SN = string.rep('s', 100) AC_ADDR = '10.0.0.1' AC_PORT = 1883 TABLE = {}");
    const struct {
        const char *name;
        std::string expected;
    } cases[] = {
        {"SN", std::string(63, 's')},
        {"AC_ADDR", "10.0.0.1"},
        {"AC_PORT", "1883"},
        {"TABLE", ""},
        {"ABSENT", ""},
    };
    for (const auto &c : cases) {
        char buffer[64 + 4];
        std::memset(buffer, 'Z', sizeof buffer);
        balanced([&] {
            callLuaStrVal(L, c.name, buffer, 64);
            return 0;
        });
        EXPECT_EQ(std::string(buffer), c.expected) << c.name;
        EXPECT_EQ(std::string(buffer, 64), c.expected + std::string(64 - c.expected.size(), '\0'));
        EXPECT_EQ(std::string(buffer + 64, 4), "ZZZZ");
    }
}

NLnode make_station() {
    NLnode station{};
    station.type = 1;
    station.radioid = 2;
    station.wlanid = 3;
    const uint8_t mac[6] = {0x00, 0x1a, 0xff, 0x0a, 0xbc, 0xde};
    std::memcpy(station.mac, mac, sizeof mac);
    std::strcpy(station.staip, "192.168.1.20");
    std::strcpy(station.ssid, "guest net");
    std::strcpy(station.hostname, "laptop");
    std::strcpy(station.extra, "never pushed");
    return station;
}

TEST_F(BridgeTest, StaInfoPushesTheSixStationValuesInOrder) {
    NLnode station = make_station();
    EXPECT_EQ(balanced([&] { return callLuaFunction_StaInfo(L, "collect", &station); }), 1);
    EXPECT_EQ(global_bytes("seen"),
              "number:1|number:2|string:00:1a:ff:0a:bc:de|string:192.168.1.20|"
              "string:guest net|string:laptop");
}

TEST_F(BridgeTest, StaInfoBoundsFullTextFieldsByTheirSize) {
    NLnode station = make_station();
    std::memset(station.staip, '1', sizeof station.staip);
    std::memset(station.ssid, 's', sizeof station.ssid);
    std::memset(station.hostname, 'h', sizeof station.hostname);
    station.usrcnt = 'X';  // just after hostname: must not be read into it
    EXPECT_EQ(balanced([&] { return callLuaFunction_StaInfo(L, "collect", &station); }), 1);
    EXPECT_EQ(global_bytes("seen"),
              "number:1|number:2|string:00:1a:ff:0a:bc:de|string:" + std::string(23, '1') +
                  "|string:" + std::string(33, 's') + "|string:" + std::string(40, 'h'));
}

// A ring of `count` samples, oldest first, as the station monitor keeps it.
std::vector<UsrNode> make_ring(size_t count) {
    std::vector<UsrNode> ring(count);
    for (size_t i = 0; i < count; ++i) ring[i].next = &ring[(i + 1) % count];
    return ring;
}

TEST_F(BridgeTest, UsrInfoPushesStationThenSampleValuesInOrder) {
    std::vector<UsrNode> ring = make_ring(3);
    const uint32_t rx[3] = {11, 22, 33};
    const uint32_t tx[3] = {4294967295u, 0, 7};
    for (int i = 0; i < 3; ++i) {
        ring[i].rxrate = rx[i];
        ring[i].txrate = tx[i];
        ring[i].uptime = 1000 + i;
    }
    UsrNode &oldest = ring[0];
    oldest.rxbytes = 0x100000005ull;
    oldest.txbytes = 0x2FFFFFFFFull;
    oldest.rssi = 40;
    oldest.phyrate = 54;
    oldest.aux32 = 4294967295u;
    oldest.aux16 = 65535;
    NLnode station = make_station();
    station.usrlist = &ring[0];
    station.usrcnt = 3;

    EXPECT_EQ(balanced([&] { return callLuaFunction_UsrInfo(L, "collect", &station); }), 1);
    EXPECT_EQ(global_bytes("seen"),
              "number:0|number:2|string:00:1a:ff:0a:bc:de|string:192.168.1.20|"
              "string:guest net|string:laptop|"
              "number:1000|"
              "string:11,22,33,33,33,33,33,33,33,33|"
              "string:4294967295,0,7,7,7,7,7,7,7,7|"
              "number:5|"
              "number:-1|"  // low 32 bits as the script's signed integer
              "number:-55|"
              "number:54|"
              "number:4294967|"
              "number:65535");
}

TEST_F(BridgeTest, UsrInfoWithoutSamplesGivesZerosAndEmptyLists) {
    NLnode station = make_station();
    EXPECT_EQ(balanced([&] { return callLuaFunction_UsrInfo(L, "collect", &station); }), 1);
    EXPECT_EQ(global_bytes("seen"),
              "number:0|number:2|string:00:1a:ff:0a:bc:de|string:192.168.1.20|"
              "string:guest net|string:laptop|number:0|string:|string:|number:0|number:0|"
              "number:-95|number:0|number:0|number:0");
}

TEST_F(BridgeTest, SignalIsRssiMinus95In8BitsWithPositivesAsMinus9) {
    run("function signal(...) sig = select(12, ...) end");
    const struct {
        uint8_t rssi;
        int signal;
    } cases[] = {{40, -55}, {100, -9}, {95, 0},     {96, -9},
                 {0, -95},  {222, -9}, {223, -128}, {255, -96}};
    std::vector<UsrNode> ring = make_ring(1);
    NLnode station = make_station();
    station.usrlist = &ring[0];
    for (const auto &c : cases) {
        ring[0].rssi = c.rssi;
        EXPECT_EQ(balanced([&] { return callLuaFunction_UsrInfo(L, "signal", &station); }), 1);
        int sig = 0;
        callLuaIntVal(L, "sig", &sig);
        EXPECT_EQ(sig, c.signal) << int(c.rssi);
    }
}

TEST(CpyUsrInfo, WalksTenStepsStayingOnTheNewest) {
    const struct {
        size_t samples;
        const char *expected;
    } cases[] = {
        {0, ""},
        {1, "1,1,1,1,1,1,1,1,1,1"},
        {3, "1,2,3,3,3,3,3,3,3,3"},
        {10, "1,2,3,4,5,6,7,8,9,10"},
    };
    for (const auto &c : cases) {
        std::vector<UsrNode> ring = make_ring(c.samples);
        for (size_t i = 0; i < c.samples; ++i) ring[i].rxrate = static_cast<uint32_t>(i + 1);
        char text[USR_INFO_LIST_SIZE];
        std::memset(text, '#', sizeof text);
        cpyUsrInfo(ring.empty() ? nullptr : &ring[0], &UsrNode::rxrate, text, sizeof text);
        EXPECT_STREQ(text, c.expected);
    }
}

TEST(CpyUsrInfo, StartsAtTheGivenHeadOfARotatedRing) {
    // After reuse of the oldest node the head is no longer the first allocated.
    std::vector<UsrNode> ring = make_ring(4);
    for (size_t i = 0; i < 4; ++i) ring[i].txrate = static_cast<uint32_t>(i);
    char text[USR_INFO_LIST_SIZE];
    cpyUsrInfo(&ring[2], &UsrNode::txrate, text, sizeof text);
    EXPECT_STREQ(text, "2,3,0,1,1,1,1,1,1,1");
}

TEST(CpyUsrInfo, CutsAtTheBufferAndAlwaysTerminates) {
    std::vector<UsrNode> ring = make_ring(10);
    for (auto &node : ring) node.rxrate = 4294967295u;
    const std::string full =
        "4294967295,4294967295,4294967295,4294967295,4294967295,"
        "4294967295,4294967295,4294967295,4294967295,4294967295";
    char text[USR_INFO_LIST_SIZE];
    cpyUsrInfo(&ring[0], &UsrNode::rxrate, text, sizeof text);
    EXPECT_EQ(std::string(text), full);  // the longest list fits 256 bytes

    for (size_t size : {1u, 2u, 11u, 12u, 16u}) {
        char small[20];
        std::memset(small, '#', sizeof small);
        cpyUsrInfo(&ring[0], &UsrNode::rxrate, small, size);
        EXPECT_EQ(std::string(small), full.substr(0, size - 1)) << size;
        EXPECT_EQ(small[size], '#') << size;
    }
}

}  // namespace
