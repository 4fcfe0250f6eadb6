// Script results handed back through ostrel's bridge: a small script whose
// functions return the values the input chooses (strings around the send
// buffer's 2048 bytes, numbers of every kind for the upgrade flag, topic
// lists full of separators, nil and other non-strings, raised errors), with
// publishes caught beneath the link, the shell recorded and the process exit
// replaced. send_buffer sits at the end of a page followed by an
// inaccessible one, with a canary before it.
//
// Input: operations, each a byte that picks the member (low 3 bits, mod 7)
// and whether the function raises (bit 3; the error value follows), then
// the three result values, then what the member takes besides: the argument
// string (a length byte and the bytes), the topic name and the clearing of
// assemble_and_send (a byte), a station record (the record's bytes).
//
// A value is a kind byte (mod 10): nil, a boolean, a table, a short string
// (length byte, bytes), a long string (2044 + next byte mod 8 bytes: a
// pattern of a length byte and bytes, repeated), a double (8 raw bytes), a
// number from a table of edge values, a topic list (a length byte, then
// bytes that each give ';' or a letter), a numeric string, a function.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "bridge.h"
#include "fuzz_support.h"
#include "link.h"
#include "ostrel.h"
#include "shell_recorder.h"
#include "states.h"
#include "station_monitor.h"

namespace {

using fuzz::Reader;

constexpr char kScript[] =
    "local function fail() if FAIL then error(FAILV, 0) end end\n"
    "function one() fail() return V1 end\n"
    "function two(s) ARG = s fail() return V1, V2 end\n"
    "function sched() fail() return V1, V2 end\n"
    "function three(s) ARG = s fail() return V1, V2, V3 end\n"
    "function info(...) ARGS = {n = select('#', ...), ...} fail() return V1 end\n";

constexpr const char *kConfigTopic = "cfg/ap";
constexpr const char *kEventTopic = "evt/ap";
constexpr const char *kLoggerTopic = "log/ap";

struct Published {
    std::string topic, payload;
};

struct Capture : MqttTransport {
    std::vector<Published> sent;
    int publish(const char *topic, const void *payload, int len) override {
        FUZZ_CHECK(topic && len >= 0);
        FUZZ_CHECK(payload || len == 0);
        sent.push_back({topic, std::string(static_cast<const char *>(payload), len)});
        return 0;
    }
    void disconnect() override { FUZZ_CHECK(!"no disconnect from the bridge"); }
    int reconnect() override {
        FUZZ_CHECK(!"no reconnect from the bridge");
        return 1;
    }
};

Capture *capture = nullptr;
plat::ShellRecorder *shell = nullptr;
int exit_status = -1;
std::size_t published_at_exit = 0;
void fake_exit(int status) {
    FUZZ_CHECK(exit_status == -1);  // only once
    exit_status = status;
    published_at_exit = capture->sent.size();
}

char *canary = nullptr;  // the bytes before send_buffer on its page
std::size_t canary_size = 0;
constexpr unsigned char kCanary = 0xCC;

// A value as the script returns it.
struct Value {
    int type = LUA_TNIL;
    std::string bytes;  // string
    double number = 0;
    bool flag = false;
};

const double kEdgeNumbers[] = {
    std::numeric_limits<double>::quiet_NaN(),
    -std::numeric_limits<double>::quiet_NaN(),
    std::numeric_limits<double>::infinity(),
    -std::numeric_limits<double>::infinity(),
    1e300,
    -1e300,
    1,
    1.5,
    1.9999999999999998,
    2,
    0.9999999999999999,
    0,
    -0.0,
    -0.5,
    -1,
    2147483647.0,
    2147483648.0,
    -2147483648.0,
    -2147483649.0,
    4294967297.0,
    std::numeric_limits<double>::denorm_min(),
    1e-300,
};
const char *const kNumericTexts[] = {"1", "1.5", " 1 ", "0x1", "1e0", "-1", "nan", "2", "01", "1x"};

Value read_value(Reader &in) {
    Value v;
    std::uint8_t kind = in.byte();
    switch (kind % 10) {
        case 0:
            break;
        case 1:
            v.type = LUA_TBOOLEAN;
            v.flag = kind & 0x10;
            break;
        case 2:
            v.type = LUA_TTABLE;
            break;
        case 3:
            v.type = LUA_TSTRING;
            v.bytes = in.text(in.byte());
            break;
        case 4: {
            v.type = LUA_TSTRING;
            std::size_t len = 2044 + in.byte() % 8;
            std::string pattern = in.text(in.byte());
            if (pattern.empty()) pattern = "a";
            for (std::size_t i = 0; i < len; ++i) v.bytes += pattern[i % pattern.size()];
            break;
        }
        case 5: {
            v.type = LUA_TNUMBER;
            unsigned char raw[sizeof(double)] = {0};
            std::vector<std::uint8_t> b = in.bytes(sizeof raw);
            if (!b.empty()) std::memcpy(raw, b.data(), b.size());
            std::memcpy(&v.number, raw, sizeof raw);
            break;
        }
        case 6:
            v.type = LUA_TNUMBER;
            v.number = kEdgeNumbers[in.byte() % (sizeof kEdgeNumbers / sizeof kEdgeNumbers[0])];
            break;
        case 7: {
            v.type = LUA_TSTRING;
            for (std::uint8_t b : in.bytes(in.byte()))
                v.bytes += b % 3 == 0 ? ';' : static_cast<char>('a' + b % 26);
            break;
        }
        case 8:
            v.type = LUA_TSTRING;
            v.bytes = kNumericTexts[in.byte() % (sizeof kNumericTexts / sizeof kNumericTexts[0])];
            break;
        default:
            v.type = LUA_TFUNCTION;
            break;
    }
    return v;
}

void push(const Value &v) {
    switch (v.type) {
        case LUA_TBOOLEAN:
            lua_pushboolean(L, v.flag);
            break;
        case LUA_TTABLE:
            lua_newtable(L);
            break;
        case LUA_TSTRING:
            lua_pushlstring(L, v.bytes.data(), v.bytes.size());
            break;
        case LUA_TNUMBER:
            lua_pushnumber(L, v.number);
            break;
        case LUA_TFUNCTION:
            lua_getglobal(L, "print");
            break;
        default:
            lua_pushnil(L);
            break;
    }
}

void set_global(const char *name, const Value &v) {
    push(v);
    lua_setglobal(L, name);
}

// A result as the bridge reads a string: a string's bytes, a number's text,
// else none.
struct Text {
    bool none = true;
    std::string bytes;
};

Text text_of(const Value &v) {
    Text t;
    if (v.type == LUA_TSTRING) {
        t.none = false;
        t.bytes = v.bytes;
    } else if (v.type == LUA_TNUMBER) {
        lua_pushnumber(L, v.number);
        std::size_t n = 0;
        const char *s = lua_tolstring(L, -1, &n);
        t.none = false;
        t.bytes.assign(s, n);
        lua_pop(L, 1);
    }
    return t;
}

// Whether the flag starts the upgrade: a number, or a text Lua reads as one,
// that truncates toward zero to 1.
bool upgrades(const Value &v) {
    double n;
    if (v.type == LUA_TNUMBER) {
        n = v.number;
    } else if (v.type == LUA_TSTRING) {
        lua_pushlstring(L, v.bytes.data(), v.bytes.size());
        bool numeric = lua_isnumber(L, -1);
        n = lua_tonumber(L, -1);
        lua_pop(L, 1);
        if (!numeric) return false;
    } else {
        return false;
    }
    return n >= 1.0 && n < 2.0;
}

std::string c_text(const std::string &s) {
    return s.substr(0, s.find('\0'));
}

// The topics of a list as strtok finds them in its text.
std::vector<std::string> topics_of(const std::string &list) {
    std::vector<std::string> out;
    std::string copy = c_text(list);
    for (char *tok = std::strtok(copy.data(), ";"); tok; tok = std::strtok(nullptr, ";"))
        out.push_back(tok);
    return out;
}

struct Op {
    int member;
    bool fail;
    Value v[3];
    std::string arg;
};

// What a (message, topic) reply publishes.
std::vector<Published> reply(const Text &msg, const Text &topic) {
    if (msg.none || topic.none) return {};
    return {{c_text(topic.bytes), msg.bytes}};
}

void check_arg(const Op &op) {
    lua_getglobal(L, "ARG");
    std::size_t n = 0;
    const char *s = lua_tolstring(L, -1, &n);
    FUZZ_CHECK(s && std::string(s, n) == op.arg);
    lua_pop(L, 1);
}

void check_sent(const std::vector<Published> &want) {
    FUZZ_CHECK(capture->sent.size() == want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        FUZZ_CHECK(capture->sent[i].topic == want[i].topic);
        FUZZ_CHECK(capture->sent[i].payload == want[i].payload);
    }
}

// The buffer after a string result `t` was taken into it, as strncpy copies:
// the text up to its first zero byte, zeros to its length, the rest kept.
std::string buffer_after(std::string buffer, const Text &t) {
    std::string text = c_text(t.bytes);
    for (std::size_t i = 0; i < t.bytes.size(); ++i) buffer[i] = i < text.size() ? text[i] : '\0';
    return buffer;
}

std::string buffer_now() {
    return std::string(send_buffer, SEND_BUFFER_SIZE);
}

void run_string(const Op &op) {
    std::string before = buffer_now();
    int len = -7;
    int ok = callback_luafunction_string(L, "one", 1, send_buffer, SEND_BUFFER_SIZE, &len);
    Text t = text_of(op.v[0]);
    if (op.fail || t.bytes.size() >= SEND_BUFFER_SIZE) {
        FUZZ_CHECK(ok == 0 && len == -7);
        FUZZ_CHECK(buffer_now() == before);
        return;
    }
    FUZZ_CHECK(ok == 1);
    FUZZ_CHECK(len == static_cast<int>(t.bytes.size()));
    FUZZ_CHECK(buffer_now() == buffer_after(before, t));
}

void run_assemble(const Op &op, Reader &in) {
    static const char *const kNames[] = {"config", "event", "logger", "nothing"};
    static const char *const kTopics[] = {kConfigTopic, kEventTopic, kLoggerTopic, nullptr};
    std::uint8_t how = in.byte();
    int which = how % 4;
    bool clear = how & 4;
    std::string before = buffer_now();
    if (clear) {
        std::size_t n = strnlen(before.data(), before.size());
        std::fill(before.begin(), before.begin() + n, '\0');
    }
    bool ok = assemble_and_send("one", kNames[which], clear);
    Text t = text_of(op.v[0]);
    if (op.fail || t.bytes.size() >= SEND_BUFFER_SIZE) {
        FUZZ_CHECK(!ok);
        FUZZ_CHECK(buffer_now() == before);
        check_sent({});
        return;
    }
    FUZZ_CHECK(ok);
    std::string after = buffer_after(before, t);
    FUZZ_CHECK(buffer_now() == after);
    if (kTopics[which])
        check_sent({{kTopics[which], after.substr(0, t.bytes.size())}});
    else
        check_sent({});
}

void run_sendmsg(const Op &op) {
    int ok = callback_luafuncStr_sendmsg(L, "two", op.arg.data(), op.arg.size());
    check_arg(op);
    if (op.fail) {
        FUZZ_CHECK(ok == 0);
        check_sent({});
        return;
    }
    FUZZ_CHECK(ok == 1);
    check_sent(reply(text_of(op.v[0]), text_of(op.v[1])));
}

// A list holding a zero byte: what strtok would see of it ends there, yet
// the bridge splits the whole length and publishes each piece's text up to
// its zero byte, an empty topic included. Which reading is meant is open;
// until it is settled only what both share is checked: every publish is
// the whole message, on the text of a piece, pieces in list order.
void run_sendsched(const Op &op) {
    int ok = callback_luafuncStr_sendsched(L, "sched");
    if (op.fail) {
        FUZZ_CHECK(ok == 0);
        check_sent({});
        return;
    }
    FUZZ_CHECK(ok == 1);
    Text msg = text_of(op.v[0]), list = text_of(op.v[1]);
    std::vector<Published> want;
    if (!msg.none && !list.none)
        for (const std::string &topic : topics_of(list.bytes)) want.push_back({topic, msg.bytes});
    check_sent(want);
    // The split leaves the script's own list as it was.
    lua_getglobal(L, "V2");
    if (op.v[1].type == LUA_TSTRING) {
        std::size_t n = 0;
        const char *s = lua_tolstring(L, -1, &n);
        FUZZ_CHECK(std::string(s, n) == op.v[1].bytes);
    }
    lua_pop(L, 1);
}

void run_sendownload(const Op &op) {
    int ok = callback_luafuncStr_sendownload(L, "three", op.arg.data(), op.arg.size());
    check_arg(op);
    std::vector<std::string> cmds = shell->commands();
    if (op.fail) {
        FUZZ_CHECK(ok == 0);
        check_sent({});
        FUZZ_CHECK(cmds.empty() && exit_status == -1);
        return;
    }
    FUZZ_CHECK(ok == 1);
    std::vector<Published> want = reply(text_of(op.v[0]), text_of(op.v[1]));
    check_sent(want);
    if (upgrades(op.v[2])) {
        // The reply goes out first, then the flash, then the end.
        FUZZ_CHECK(cmds.size() == 1 && cmds[0] == kUpgradeCommand);
        FUZZ_CHECK(exit_status == 1);
        FUZZ_CHECK(published_at_exit == want.size());
    } else {
        FUZZ_CHECK(cmds.empty() && exit_status == -1);
    }
}

template <std::size_t N>
std::string field_text(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

void run_clientinfo(const Op &op, Reader &in) {
    NLnode rec;
    std::memset(&rec, 0, sizeof rec);
    std::vector<std::uint8_t> raw = in.bytes(offsetof(NLnode, next));
    if (!raw.empty()) std::memcpy(&rec, raw.data(), raw.size());
    rec.next = nullptr;
    lua_pushnil(L);
    lua_setglobal(L, "ARGS");

    int ok = callback_luafunction_insert_clientinfo(L, "info", &rec);

    // The 15 values, in their order and kinds.
    lua_getglobal(L, "ARGS");
    FUZZ_CHECK(lua_istable(L, -1));
    lua_getfield(L, -1, "n");
    FUZZ_CHECK(lua_tonumber(L, -1) == 15);
    lua_pop(L, 1);
    const double numbers[] = {
        static_cast<double>(static_cast<std::int32_t>(rec.type)),
        static_cast<double>(rec.radioid),
        static_cast<double>(static_cast<std::int32_t>(static_cast<std::uint32_t>(rec.txbytes))),
        static_cast<double>(static_cast<std::int32_t>(static_cast<std::uint32_t>(rec.rxbytes))),
        static_cast<double>(static_cast<std::int32_t>(rec.txrate)),
        static_cast<double>(static_cast<std::int32_t>(rec.rxrate)),
        static_cast<double>(rec.rssi),
        static_cast<double>(static_cast<std::int32_t>(rec.uptime)),
        static_cast<double>(rec.phyrate),
        static_cast<double>(rec.wlanid),
    };
    const int number_at[] = {1, 5, 7, 8, 9, 10, 11, 12, 14, 15};
    const std::string texts[] = {field_text(rec.mac), field_text(rec.hostname),
                                 field_text(rec.extra), field_text(rec.staip),
                                 field_text(rec.ssid)};
    const int text_at[] = {2, 3, 4, 6, 13};
    for (int i = 0; i < 10; ++i) {
        lua_rawgeti(L, -1, number_at[i]);
        FUZZ_CHECK(lua_type(L, -1) == LUA_TNUMBER && lua_tonumber(L, -1) == numbers[i]);
        lua_pop(L, 1);
    }
    for (int i = 0; i < 5; ++i) {
        lua_rawgeti(L, -1, text_at[i]);
        std::size_t n = 0;
        const char *s = lua_type(L, -1) == LUA_TSTRING ? lua_tolstring(L, -1, &n) : nullptr;
        FUZZ_CHECK(s && std::string(s, n) == texts[i]);
        lua_pop(L, 1);
    }
    lua_pop(L, 1);

    if (op.fail) {
        FUZZ_CHECK(ok == 0);
        check_sent({});
        return;
    }
    FUZZ_CHECK(ok == 1);
    Text msg = text_of(op.v[0]);
    if (msg.none)
        check_sent({});
    else
        check_sent({{kEventTopic, msg.bytes}});
}

// A function the script lacks: every member refuses, nothing goes out.
void run_missing(Reader &in) {
    NLnode rec{};
    int len = -7;
    int ok = 1;
    switch (in.byte() % 5) {
        case 0:
            ok = callback_luafunction_string(L, "absent", 1, send_buffer, SEND_BUFFER_SIZE, &len);
            FUZZ_CHECK(len == -7);
            break;
        case 1:
            ok = callback_luafuncStr_sendmsg(L, "absent", "x", 1);
            break;
        case 2:
            ok = callback_luafuncStr_sendsched(L, "absent");
            break;
        case 3:
            ok = callback_luafuncStr_sendownload(L, "absent", "x", 1);
            break;
        default:
            ok = callback_luafunction_insert_clientinfo(L, "absent", &rec);
            break;
    }
    FUZZ_CHECK(ok == 0);
    check_sent({});
    FUZZ_CHECK(shell->commands().empty() && exit_status == -1);
}

void check_guards() {
    for (std::size_t i = 0; i < canary_size; ++i)
        FUZZ_CHECK(static_cast<unsigned char>(canary[i]) == kCanary);
    FUZZ_CHECK(send_buffer[SEND_BUFFER_SIZE - 1] == '\0');  // always terminated
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // send_buffer ends where an inaccessible page begins.
    std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    FUZZ_CHECK(page >= SEND_BUFFER_SIZE);
    void *area = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    FUZZ_CHECK(area != MAP_FAILED);
    char *base = static_cast<char *>(area);
    FUZZ_CHECK(mprotect(base + page, page, PROT_NONE) == 0);
    canary = base;
    canary_size = page - SEND_BUFFER_SIZE;
    std::memset(canary, kCanary, canary_size);
    send_buffer = base + page - SEND_BUFFER_SIZE;
    std::memset(send_buffer, 0, SEND_BUFFER_SIZE);

    L = luaL_newstate();
    luaL_openlibs(L);
    if (luaL_dostring(L, kScript) != 0) std::abort();
    server_config = kConfigTopic;
    server_event = kEventTopic;
    server_logger = kLoggerTopic;
    capture = new Capture;  // these live as long as the process
    mqtt_set_transport(capture);
    shell = new plat::ShellRecorder;
    ostrel_exit = fake_exit;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Reader in{data, size};
    std::memset(send_buffer, 0, SEND_BUFFER_SIZE);  // as start-up allocates it
    lua_pushinteger(L, 4242);  // something of the caller's on the stack
    const int top = lua_gettop(L);
    while (!in.empty()) {
        Op op;
        std::uint8_t pick = in.byte();
        op.member = (pick & 7) % 7;
        op.fail = pick & 8;
        Value error_value = op.fail ? read_value(in) : Value{};
        for (Value &v : op.v) v = read_value(in);
        if (op.member == 2 || op.member == 4) op.arg = in.text(in.byte());
        lua_pushboolean(L, op.fail);
        lua_setglobal(L, "FAIL");
        set_global("FAILV", error_value);
        set_global("V1", op.v[0]);
        set_global("V2", op.v[1]);
        set_global("V3", op.v[2]);
        lua_pushnil(L);
        lua_setglobal(L, "ARG");

        capture->sent.clear();
        shell->clear();
        exit_status = -1;
        switch (op.member) {
            case 0:
                run_string(op);
                break;
            case 1:
                run_assemble(op, in);
                break;
            case 2:
                run_sendmsg(op);
                break;
            case 3:
                run_sendsched(op);
                break;
            case 4:
                run_sendownload(op);
                break;
            case 5:
                run_clientinfo(op, in);
                break;
            default:
                run_missing(in);
                break;
        }
        FUZZ_CHECK(lua_gettop(L) == top);
        FUZZ_CHECK(lua_tointeger(L, -1) == 4242);
        check_guards();
    }
    lua_settop(L, 0);
    lua_gc(L, LUA_GCCOLLECT, 0);
    return 0;
}
