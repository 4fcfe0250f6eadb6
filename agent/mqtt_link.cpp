#include "mqtt_link.h"

#include <mosquitto.h>
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bridge.h"
#include "clock.h"
#include "debug_log.h"
#include "fenwire.h"
#include "locks.h"
#include "mqtt_queue.h"
#include "mqtt_session.h"

#define LOG(...) FW_LOG("utils", __VA_ARGS__)

char server_ip[SERVER_IP_SIZE] = "";
int server_port = 0;
int server_keeplive = 50;
std::atomic<int> mqtt_connect{0};

namespace {

constexpr uint64_t kTeardownLimitUs = 3000000;

// Ends the process if the guarded teardown does not finish within 3
// seconds (measured on the agent's clock, so virtual time can trigger it).
// Made without exceptions: if its thread cannot start, the teardown goes on
// unguarded.
class TeardownWatchdog {
  public:
    TeardownWatchdog() : start_(plat::monotonic_us()) {
        started_ = pthread_create(&thread_, nullptr, watch, this) == 0;
        if (!started_) LOG("teardown watchdog not started\n");
    }
    ~TeardownWatchdog() {
        done_ = true;
        if (started_) pthread_join(thread_, nullptr);
    }
    TeardownWatchdog(const TeardownWatchdog &) = delete;
    TeardownWatchdog &operator=(const TeardownWatchdog &) = delete;

  private:
    static void *watch(void *arg) {
        auto *self = static_cast<TeardownWatchdog *>(arg);
        while (!self->done_) {
            if (plat::monotonic_us() - self->start_ >= kTeardownLimitUs) clean_timeout(SIGALRM);
            usleep(10000);
        }
        return nullptr;
    }
    const uint64_t start_;  // taken before the teardown begins
    std::atomic<bool> done_{false};
    bool started_ = false;
    pthread_t thread_{};
};

struct LibTransport : MqttTransport {
    int publish(const char *topic, const void *payload, int len, int qos, bool retain,
                int *mid) override {
        return mqtt_session::publish(topic, payload, len, qos, retain, mid);
    }
    bool wait_published(int mid, uint64_t limit_us) override {
        return mqtt_session::wait_published(mid, limit_us);
    }
};
LibTransport lib_transport;
MqttTransport *transport = &lib_transport;

const mqtt_session::Callbacks kCallbacks = {my_connect_callback, my_message_callback,
                                            my_disconnect_callback};

// Replaces a response slot's copy with a copy of the payload; on a failed
// allocation the slot is left empty and the message is lost.
void fill_slot(unsigned char *&slot, int &slot_len, const void *payload, int len) {
    std::free(slot);
    slot = nullptr;
    slot_len = 0;
    auto *copy = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(len)));
    if (!copy) {
        LOG("malloc fail, message of %d bytes dropped\n", len);
        return;
    }
    std::memcpy(copy, payload, static_cast<size_t>(len));
    slot = copy;
    slot_len = len;
}

// Whether a message may go on waiting for room in the full queue: only
// while the run state that drains it can still come to it.
bool run_state_may_drain() {
    return mqtt_session::in_use() && mqtt_connect.load() == 1 && AP_STATE.load() == 2;
}

// Queues the payload, waiting in one-second steps while the queue is full;
// drops it once nothing will drain the queue any more.
void queue_payload(const void *payload, int len) {
    MutexLock lock(mosq_mutex);
    while (mosqlistlen(mosqhead) >= MOSQ_QUEUE_MAX) {
        MutexUnlock unlocked(mosq_mutex);
        if (!run_state_may_drain()) {
            LOG("queue full and not drained, message of %d bytes dropped\n", len);
            return;
        }
        LOG("More than 100 messages,wait.\n");
        plat::sleep(1);
    }
    if (!mosq_queue_copy(mosqhead, payload, static_cast<uint32_t>(len)))
        LOG("malloc fail, message of %d bytes dropped\n", len);
}

// Makes the client and asks for the connection; false after logging why.
bool connect_client(lua_State *L) {
    if (!mqtt_session::open(server_id, kCallbacks)) {
        LOG("mqtt alloc failed\n");
        return false;
    }
    char bind[BIND_IP_SIZE] = {};
    int bind_len = 0;
    callLuaFunction_GStr(L, "getIp", bind, sizeof bind - 1, &bind_len);
    LOG("mqtt bind ip = %s\n", bind);
    if (mqtt_session::connect(server_ip, server_port, server_keeplive, bind)) {
        LOG("mqtt bind failed\n");
        mqtt_session::close(false);  // no network thread runs yet
        return false;
    }
    return true;
}

// Stops the network thread of a session that is ended or never connected,
// and frees its client, quietly.
void release_quietly() {
    TeardownWatchdog dog;
    mqtt_session::close(false);
}

}  // namespace

void mqtt_set_transport(MqttTransport *t) {
    transport = t ? t : &lib_transport;
}

void getMQTTInfo(lua_State *L) {
    LOG("get ac addr\n");
    callLuaStrVal(L, "AC_ADDR", server_ip, sizeof server_ip);
    callLuaIntVal(L, "AC_PORT", &server_port);
    LOG("ac ip = %s, port = %d\n", server_ip, server_port);
}

int mqtt_init(lua_State *L) {
    // A session left from an earlier cycle (a script may lead back to Join
    // without a Reset, or the network thread ended it) goes first.
    release_quietly();
    mqtt_connect = 0;
    if (!connect_client(L)) return 0;
    LOG("init mqtt ok\n");
    MosqListClean(mosqhead);
    LOG("clean mosq list ok\n");
    mqtt_session::start();
    LOG("start mqtt ok\n");
    return 1;
}

void mqtt_clean() {
    // Only a connected session in use is torn down with the log's lines;
    // one the network thread ended is finished here.
    if (!mqtt_session::in_use()) {
        release_quietly();
        return;
    }
    if (mqtt_connect.exchange(0) == 0) return;  // still connecting, or torn down already
    LOG("mqtt clean\n");
    LOG("mqtt close connect\n");
    {
        TeardownWatchdog dog;
        mqtt_session::unsubscribe(server_sub);
        mqtt_session::close(false);
    }
    LOG("mqtt clean ok\n");
}

void clean_timeout(int) {
    LOG("clean mqtt failed\n");
    LOG("!!! Restart Mqtt !!!\n");
    std::fflush(nullptr);  // the station thread's diagnostics go to stdout
    _exit(0);
}

int mqtt_send_msg(const unsigned char *payload, int len) {
    if (!payload) return 1;
    return transport->publish(server_pub, payload, len, 1, true, nullptr);
}

bool mqtt_send_msg_confirmed(const unsigned char *payload, int len, uint64_t limit_us) {
    if (!payload) return false;
    int mid = 0;
    if (transport->publish(server_pub, payload, len, 1, true, &mid) != 0) return false;
    return transport->wait_published(mid, limit_us);
}

void my_connect_callback(struct mosquitto *m, void *, int) {
    if (!mqtt_session::is_current(m)) return;  // a client being given up
    LOG("mqtt connect ok\n");
    mqtt_session::subscribe(server_sub, 0);
    mqtt_connect = 1;
}

void my_message_callback(struct mosquitto *m, void *, const struct mosquitto_message *msg) {
    if (msg && mqtt_session::is_current(m)) mqtt_deliver(msg->payload, msg->payloadlen);
}

// The broker went (or the session was asked to end): the network thread
// ends the session and disconnects so that its loop stops; the main thread
// stops the thread and frees the client at its next mqtt_clean or mqtt_init.
void my_disconnect_callback(struct mosquitto *m, void *, int) {
    if (!mqtt_session::is_current(m)) return;
    LOG("mqtt disconnect ok\n");
    if (mqtt_connect.exchange(0) == 0) return;
    LOG("mqtt clean\n");
    LOG("mqtt close connect\n");
    {
        TeardownWatchdog dog;
        mqtt_session::unsubscribe(server_sub);
        mqtt_session::disconnect();
        mqtt_session::end();
    }
    LOG("mqtt clean ok\n");
}

void mqtt_deliver(const void *payload, int len) {
    if (!payload || len <= 0) return;
    if (len > mqtt_session::kMaxInboundPayload) {
        LOG("message of %d bytes dropped, more than %d\n", len, mqtt_session::kMaxInboundPayload);
        return;
    }
    switch (AP_STATE.load()) {
        case 2:
            queue_payload(payload, len);
            break;
        case 0: {
            MutexLock lock(mosq_mutex);
            fill_slot(join_msg, join_msg_len, payload, len);
            break;
        }
        case 1:
            if (configed.load() == 1) break;
            {
                MutexLock lock(mosq_mutex);
                fill_slot(config_msg, config_msg_len, payload, len);
            }
            break;
        default:
            break;
    }
}
