#include "mqtt_link.h"

#include <cstdlib>
#include <cstring>

#include "bridge.h"
#include "clock.h"
#include "debug_log.h"
#include "fenwire.h"
#include "locks.h"
#include "mqtt_queue.h"

char server_ip[SERVER_IP_SIZE] = "";
int server_port = 0;
int server_keeplive = 50;
std::atomic<int> mqtt_connect{0};

namespace {

constexpr int kNoConnection = 4;  // the library's "no connection" result

// Until a session exists there is nowhere to publish.
struct NoSession : MqttTransport {
    int publish(const char *, const void *, int, int, bool) override { return kNoConnection; }
};
NoSession no_session;
MqttTransport *transport = &no_session;

// Replaces a response slot's copy with a copy of the payload; on a failed
// allocation the slot is left empty and the message is lost.
void fill_slot(unsigned char *&slot, int &slot_len, const void *payload, int len) {
    std::free(slot);
    slot = nullptr;
    slot_len = 0;
    auto *copy = static_cast<unsigned char *>(std::calloc(static_cast<size_t>(len), 1));
    if (!copy) {
        FW_LOG("utils", "malloc fail\n");
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
        FW_LOG("utils", "More than 100 messages,wait.\n");
        plat::sleep(1);
        pthread_mutex_lock(&mosq_mutex);
    }
    if (!mosq_queue_copy(mosqhead, payload, static_cast<uint32_t>(len)))
        FW_LOG("utils", "malloc fail, message of %d bytes dropped\n", len);
    pthread_mutex_unlock(&mosq_mutex);
}

}  // namespace

void mqtt_set_transport(MqttTransport *t) { transport = t ? t : &no_session; }

void getMQTTInfo(lua_State *L) {
    FW_LOG("utils", "get ac addr\n");
    callLuaStrVal(L, "AC_ADDR", server_ip, sizeof server_ip);
    callLuaIntVal(L, "AC_PORT", &server_port);
    FW_LOG("utils", "ac ip = %s, port = %d\n", server_ip, server_port);
}

int mqtt_init(lua_State *) { return 0; }

void mqtt_clean() {}

int mqtt_send_msg(const unsigned char *payload, int len) {
    if (!payload) return 1;
    return transport->publish(server_pub, payload, len, 1, true);
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
