// ostrel's inbound message path over any payloads, in the run state
// (AP_STATE 2): the 64 KiB bound of the message callback, the text copy up
// to the first zero byte, the queue's bound of 100, and deletions at any
// index. The queue is checked against a model after every operation. A
// full queue must drop the message at once, since nobody drains here: the
// clock's sleep fails the input.
//
// Input: operations, a byte each whose value mod 5 picks:
//   0 mqtt_deliver from a client that is no session's (the link flag from
//     the next byte's low bit), 1 the message callback of the session's own
//     client (link down); both then take a payload: a size byte (high bit
//     set: 65528 + its low 4 bits; else a 16-bit little-endian length mod
//     4096 follows), a byte count and that many bytes, repeated to the
//     length (all 'x' when none).
//   2 the message callback with a bad message: no payload, or a length of 0
//     or below (next byte).
//   3 a flood: a count byte, then the last payload that many times.
//   4 a deletion at an index: a mode byte, then one signed byte (even mode)
//     or a signed 32-bit little-endian index (odd mode).
#include <mosquitto.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "clock.h"
#include "fuzz_support.h"
#include "link.h"
#include "mqtt_lib.h"
#include "mqtt_session.h"
#include "msg_queue.h"
#include "ostrel.h"

namespace {

using fuzz::Reader;

// A session whose client never touches the network.
struct mosquitto *session_client = nullptr;
struct mosquitto *create(const char *id, bool clean, void *obj) {
    session_client = mosquitto_new(id, clean, obj);
    return session_client;
}
int fine_connect(struct mosquitto *, const char *, int, int, const char *) {
    return MOSQ_ERR_SUCCESS;
}
int fine_start(struct mosquitto *) {
    return MOSQ_ERR_SUCCESS;
}

// The library's table with everything that could reach a network replaced.
const MqttLib &quiet_lib() {
    static MqttLib lib = [] {
        MqttLib t = mqtt_real_lib();
        t.create = create;
        t.connect_bind = fine_connect;
        t.loop_start = fine_start;
        return t;
    }();
    return lib;
}

// Any wait for the queue to drain is a hang here.
unsigned no_sleep(unsigned) {
    std::fprintf(stderr, "the message path waited on a queue nobody drains\n");
    std::abort();
}
void no_usleep(unsigned long) {
    std::fprintf(stderr, "the message path paused\n");
    std::abort();
}
time_t fixed_now() {
    return 1000;
}
uint64_t fixed_monotonic() {
    return 1000000;
}
const plat::ClockOps kNoWaitClock = {no_sleep, no_usleep, fixed_now, fixed_monotonic};

// Around the bound, or short: few allocation sizes keep the sanitizer's
// caches, and so the memory of a long run, small.
constexpr std::size_t kBoundLength = mqtt_session::kMaxInboundPayload;

std::deque<std::string> model;  // the texts the queue should hold, oldest first
// A client that was never any session's.
struct mosquitto *const kStranger = reinterpret_cast<struct mosquitto *>(&model);

void check_queue() {
    std::size_t i = 0;
    for (const MosqNode *p = mosqhead->next; p; p = p->next, ++i) {
        FUZZ_CHECK(i < static_cast<std::size_t>(MOSQ_QUEUE_MAX));
        FUZZ_CHECK(i < model.size());
        FUZZ_CHECK(p->payload);
        FUZZ_CHECK(std::strlen(p->payload) == model[i].size());
        FUZZ_CHECK(std::memcmp(p->payload, model[i].data(), model[i].size()) == 0);
    }
    FUZZ_CHECK(i == model.size());
    FUZZ_CHECK(mosqlistlen(mosqhead) == static_cast<int>(model.size()));
    FUZZ_CHECK(ismosqlistnil(mosqhead) == (model.empty() ? 0 : 1));
}

std::vector<std::uint8_t> read_payload(Reader &in) {
    std::uint8_t size = in.byte();
    std::size_t len = size & 0x80 ? kBoundLength - 8 + (size & 15) : in.bytes_le(2) % 4096;
    std::vector<std::uint8_t> pattern = in.bytes(in.byte());
    if (pattern.empty()) pattern.push_back('x');
    std::vector<std::uint8_t> payload(len);  // exact size
    for (std::size_t i = 0; i < len; ++i) payload[i] = pattern[i % pattern.size()];
    return payload;
}

// What the queue should take of `payload` when delivered with the bound
// checked (callback) or not (mqtt_deliver, whose callers checked it).
void expect_queued(const std::vector<std::uint8_t> &payload, bool bounded) {
    if (payload.empty()) return;  // nothing to deliver
    if (bounded && payload.size() > static_cast<std::size_t>(mqtt_session::kMaxInboundPayload))
        return;
    if (model.size() >= static_cast<std::size_t>(MOSQ_QUEUE_MAX)) return;  // dropped at once
    const void *zero = std::memchr(payload.data(), 0, payload.size());
    std::size_t text = zero ? static_cast<const std::uint8_t *>(zero) - payload.data()
                            : payload.size();
    model.emplace_back(reinterpret_cast<const char *>(payload.data()), text);
}

void deliver(const std::vector<std::uint8_t> &payload, bool own_client, int link) {
    if (payload.empty()) return;
    if (own_client) {
        mqtt_connect = 0;  // with the link up a full queue rightly waits
        mosquitto_message msg{};
        msg.payload = const_cast<std::uint8_t *>(payload.data());
        msg.payloadlen = static_cast<int>(payload.size());
        my_message_callback(session_client, nullptr, &msg);
    } else {
        mqtt_connect = link;
        mqtt_deliver(kStranger, payload.data(), static_cast<int>(payload.size()));
    }
    expect_queued(payload, own_client);
}

void bad_message(std::uint8_t mode) {
    mosquitto_message msg{};
    char byte = 'b';
    if (mode & 1) {
        msg.payload = nullptr;
        msg.payloadlen = 1 + (mode >> 1);
    } else {
        msg.payload = &byte;
        msg.payloadlen = -static_cast<int>(mode >> 1);  // 0 or below
    }
    mqtt_connect = 0;
    my_message_callback(session_client, nullptr, &msg);
}

void delete_at(int index) {
    int result = MosqListdelete(mosqhead, index);
    if (index < 1 || static_cast<std::size_t>(index) > model.size()) {
        FUZZ_CHECK(result == 1);
        return;
    }
    FUZZ_CHECK(result == 0);
    model.erase(model.begin() + (index - 1));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    plat::set_clock(&kNoWaitClock);
    mqtt_set_lib(&quiet_lib());
    const mqtt_session::Callbacks callbacks{my_connect_callback, my_message_callback,
                                            my_disconnect_callback};
    FUZZ_CHECK(mqtt_session::open("tavrin_fuzz", callbacks));
    FUZZ_CHECK(session_client && mqtt_session::is_current(session_client));
    FUZZ_CHECK(!mqtt_session::is_current(kStranger) && !mqtt_session::is_current(nullptr));
    FUZZ_CHECK(initMosqList(&mosqhead) == 0);
    AP_STATE = 2;  // the run state: every message is queued, none reaches the script
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Reader in{data, size};
    std::vector<std::uint8_t> last;
    bool last_own = false;
    int last_link = 0;
    while (!in.empty()) {
        std::uint8_t op = in.byte() % 5;
        if (op <= 1) {
            last_own = op == 1;
            last_link = last_own ? 0 : in.byte() & 1;
            last = read_payload(in);
            deliver(last, last_own, last_link);
        } else if (op == 2) {
            bad_message(in.byte());
        } else if (op == 3) {
            for (int n = in.byte(); n > 0; --n) deliver(last, last_own, last_link);
        } else {
            std::uint8_t mode = in.byte();
            int index = mode & 1 ? static_cast<std::int32_t>(in.bytes_le(4))
                                 : static_cast<std::int8_t>(in.byte());
            delete_at(index);
        }
        check_queue();
        FUZZ_CHECK(AP_STATE.load() == 2);
    }
    MosqListClean(mosqhead);
    model.clear();
    FUZZ_CHECK(!ismosqlistnil(mosqhead));
    return 0;
}
