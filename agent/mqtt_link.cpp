#include "mqtt_link.h"

#include <mosquitto.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "bridge.h"
#include "clock.h"
#include "debug_log.h"
#include "fenwire.h"
#include "locks.h"
#include "mqtt_lib.h"
#include "mqtt_queue.h"

#define LOG(...) FW_LOG("utils", __VA_ARGS__)

char server_ip[SERVER_IP_SIZE] = "";
int server_port = 0;
int server_keeplive = 50;
std::atomic<int> mqtt_connect{0};

namespace {

constexpr uint64_t kTeardownLimitUs = 3000000;

// The session's client. Guarded by client_mutex, as is every write of
// mqtt_connect, so that no publish runs on a client a teardown has taken
// away and no callback of an old client touches the current session.
struct mosquitto *mosq = nullptr;
// Clients whose teardown the network thread began; the main thread joins
// their network threads and destroys them.
std::vector<struct mosquitto *> retired;
std::mutex client_mutex;

thread_local bool on_network_thread = false;

// Marks the current thread as the library's network thread for a callback.
struct NetworkThreadScope {
    NetworkThreadScope() { on_network_thread = true; }
    ~NetworkThreadScope() { on_network_thread = false; }
};

// Ends the process if a teardown step does not return within 3 seconds (the
// clock seam measures, so virtual time can trigger it). Made without
// exceptions: if its thread cannot start, the teardown goes on unguarded.
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
    const uint64_t start_;  // taken before the teardown step begins
    std::atomic<bool> done_{false};
    bool started_ = false;
    pthread_t thread_{};
};

struct LibTransport : MqttTransport {
    int publish(const char *topic, const void *payload, int len, int qos, bool retain) override {
        std::lock_guard<std::mutex> lock(client_mutex);
        if (!mosq) return MOSQ_ERR_NO_CONN;
        return mqtt_lib().publish(mosq, nullptr, topic, len, payload, qos, retain);
    }
};
LibTransport lib_transport;
MqttTransport *transport = &lib_transport;

bool is_current(struct mosquitto *m) {
    std::lock_guard<std::mutex> lock(client_mutex);
    return m && m == mosq;
}

// Takes the client away from publishers and callbacks: the client, or
// nullptr when there is none or (with `only_connected`) it is not connected.
struct mosquitto *take_client(bool only_connected, struct mosquitto *expected = nullptr) {
    std::lock_guard<std::mutex> lock(client_mutex);
    if (!mosq || (expected && mosq != expected)) return nullptr;
    if (only_connected && mqtt_connect.load() == 0) return nullptr;
    struct mosquitto *m = mosq;
    mosq = nullptr;
    mqtt_connect = 0;
    return m;
}

// Stops the client's network thread and frees it (main thread only).
void release_client(struct mosquitto *m, bool disconnect_first) {
    TeardownWatchdog dog;
    if (disconnect_first) mqtt_lib().disconnect(m);
    mqtt_lib().loop_stop(m, false);
    mqtt_lib().destroy(m);
    mqtt_lib().lib_cleanup();
}

void finish_retired() {
    std::vector<struct mosquitto *> done;
    {
        std::lock_guard<std::mutex> lock(client_mutex);
        done.swap(retired);
    }
    for (struct mosquitto *m : done) release_client(m, false);
}

// A client left from an earlier cycle, connected or not (a script may lead
// back to Join without a Reset): released quietly before a new one is made.
void release_leftover() {
    if (struct mosquitto *m = take_client(false)) release_client(m, true);
}

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

// Queues the payload, waiting in one-second steps while the queue is full.
void queue_payload(const void *payload, int len) {
    pthread_mutex_lock(&mosq_mutex);
    while (mosqlistlen(mosqhead) >= MOSQ_QUEUE_MAX) {
        pthread_mutex_unlock(&mosq_mutex);
        LOG("More than 100 messages,wait.\n");
        plat::sleep(1);
        pthread_mutex_lock(&mosq_mutex);
    }
    if (!mosq_queue_copy(mosqhead, payload, static_cast<uint32_t>(len)))
        LOG("malloc fail, message of %d bytes dropped\n", len);
    pthread_mutex_unlock(&mosq_mutex);
}

// Creates the client and asks for the connection; false after logging why.
bool connect_client(lua_State *L) {
    const MqttLib &lib = mqtt_lib();
    lib.lib_init();
    struct mosquitto *m = lib.create(server_id, true, nullptr);
    if (!m) {
        LOG("mqtt alloc failed\n");
        lib.lib_cleanup();
        return false;
    }
    mosquitto_connect_callback_set(m, my_connect_callback);
    mosquitto_message_callback_set(m, my_message_callback);
    mosquitto_disconnect_callback_set(m, my_disconnect_callback);
    char bind[BIND_IP_SIZE] = {};
    int bind_len = 0;
    callLuaFunction_GStr(L, "getIp", bind, sizeof bind - 1, &bind_len);
    LOG("mqtt bind ip = %s\n", bind);
    if (lib.connect_bind(m, server_ip, server_port, server_keeplive, bind)) {
        LOG("mqtt bind failed\n");
        lib.destroy(m);  // no network thread runs yet
        lib.lib_cleanup();
        return false;
    }
    std::lock_guard<std::mutex> lock(client_mutex);
    mosq = m;
    return true;
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
    finish_retired();
    release_leftover();
    if (!connect_client(L)) return 0;
    LOG("init mqtt ok\n");
    MosqListClean(mosqhead);
    LOG("clean mosq list ok\n");
    struct mosquitto *m;
    {
        std::lock_guard<std::mutex> lock(client_mutex);
        m = mosq;
    }
    mqtt_lib().loop_start(m);
    LOG("start mqtt ok\n");
    return 1;
}

namespace {

// Ends the connected session of client `expected` (any client when null).
void clean_session(struct mosquitto *expected) {
    if (!on_network_thread) finish_retired();
    struct mosquitto *m = take_client(true, expected);
    if (!m) return;
    LOG("mqtt clean\n");
    LOG("mqtt close connect\n");
    {
        TeardownWatchdog dog;
        mqtt_lib().unsubscribe(m, nullptr, server_sub);
        if (on_network_thread) {
            // This thread runs inside `m`: disconnect so its loop ends, and
            // leave the join and destroy to the main thread.
            mqtt_lib().disconnect(m);
            std::lock_guard<std::mutex> lock(client_mutex);
            retired.push_back(m);
        } else {
            release_client(m, true);
        }
    }
    LOG("mqtt clean ok\n");
}

}  // namespace

void mqtt_clean() { clean_session(nullptr); }

void clean_timeout(int) {
    LOG("clean mqtt failed\n");
    LOG("!!! Restart Mqtt !!!\n");
    _exit(0);
}

int mqtt_send_msg(const unsigned char *payload, int len) {
    if (!payload) return 1;
    return transport->publish(server_pub, payload, len, 1, true);
}

void my_connect_callback(struct mosquitto *m, void *, int) {
    NetworkThreadScope scope;
    if (!is_current(m)) return;  // a client already given up
    LOG("mqtt connect ok\n");
    mqtt_lib().subscribe(m, nullptr, server_sub, 0);
    std::lock_guard<std::mutex> lock(client_mutex);
    if (m == mosq) mqtt_connect = 1;
}

void my_message_callback(struct mosquitto *m, void *, const struct mosquitto_message *msg) {
    NetworkThreadScope scope;
    if (msg && is_current(m)) mqtt_deliver(msg->payload, msg->payloadlen);
}

void my_disconnect_callback(struct mosquitto *m, void *, int) {
    NetworkThreadScope scope;
    if (!is_current(m)) return;
    LOG("mqtt disconnect ok\n");
    clean_session(m);
}

void mqtt_deliver(const void *payload, int len) {
    if (!payload || len <= 0) return;
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
