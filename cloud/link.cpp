#include "link.h"

#include <mosquitto.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "bridge.h"
#include "clock.h"
#include "locks.h"
#include "mqtt_session.h"
#include "msg_queue.h"
#include "ostrel.h"

std::atomic<int> mqtt_connect{0};

namespace {

constexpr int kConnectAttempts = 3;
constexpr int kMinKeepalive = 5;  // the library's own minimum

// Where the broker's certificate is looked up when the script names no CA.
constexpr const char *kSystemCaPath = "/etc/ssl/certs";

struct SessionTransport : MqttTransport {
    int publish(const char *topic, const void *payload, int len) override {
        return mqtt_session::publish(topic, payload, len, 1, true, nullptr);
    }
    void disconnect() override { mqtt_session::disconnect(); }
    int reconnect() override { return mqtt_session::reconnect(); }
};
SessionTransport session_transport;
MqttTransport *transport = &session_transport;

const char *topic_of(const char *name) {
    if (!name) return nullptr;
    if (std::strcmp(name, "config") == 0) return server_config.c_str();
    if (std::strcmp(name, "event") == 0) return server_event.c_str();
    if (std::strcmp(name, "logger") == 0) return server_logger.c_str();
    return nullptr;
}

// Queues the payload text, holding the network thread back while the queue
// is full. The wait gives up when the session is ended or the link is down
// (nobody would drain for it), and the message is then dropped.
void queue_payload(const struct mosquitto *m, const void *payload, int len) {
    for (;;) {
        {
            MutexLock lock(mosq_mutex);
            if (mosqlistlen(mosqhead) < MOSQ_QUEUE_MAX) {
                MosqNode *node = mosq_node_copy(payload, static_cast<std::size_t>(len));
                if (node)
                    MosqLinstinsert(mosqhead, node);
                else
                    std::printf("malloc fail, message of %d bytes dropped\n", len);
                return;
            }
        }
        if (!mqtt_session::is_current(m) || mqtt_connect.load() == 0) {
            std::printf("queue full and link gone, message of %d bytes dropped\n", len);
            return;
        }
        plat::sleep(1);
        std::puts("more than 100 messages,wait.");
    }
}

// AP_STATE is never lowered: the run state may have set 2 meanwhile.
void advance_ap_state(int from, int to) {
    AP_STATE.compare_exchange_strong(from, to);
}

}  // namespace

void mqtt_set_transport(MqttTransport *t) {
    transport = t ? t : &session_transport;
}

void compose_client_id(const char *sn, char *out, std::size_t size) {
    std::snprintf(out, size, "tavrin_%.*s", static_cast<int>(SN_MAX), sn ? sn : "");
}

namespace {

// Makes the session a TLS one. A session that cannot be one is refused:
// never connected in plain.
bool start_tls() {
    mqtt_session::TlsSettings tls;
    tls.cafile = server_cafile;
    if (tls.cafile.empty()) tls.capath = kSystemCaPath;
    tls.certfile = server_certfile;
    tls.keyfile = server_keyfile;
    int rc = mqtt_session::tls(tls);
    if (rc == MOSQ_ERR_SUCCESS) return true;
    if (rc == MOSQ_ERR_NOT_SUPPORTED)
        std::puts("tls not supported by this build, session refused");
    else
        std::printf("tls connect failed: cannot use the CA, certificate or key file: %s\n",
                    mqtt_session::failure_reason(rc).c_str());
    return false;
}

// When mqtt_drop_link dropped the link, and no redial has brought it back.
bool dropped = false;
uint64_t dropped_at_us = 0;
}  // namespace

int mqtt_init() {
    dropped = false;
    char sn[SN_MAX + 1] = "";
    callback_luaVar_string(L, "SN", sn, sizeof sn);
    char id[CLIENT_ID_SIZE];
    compose_client_id(sn, id, sizeof id);
    mqtt_connect = 0;
    const mqtt_session::Callbacks callbacks{my_connect_callback, my_message_callback,
                                            my_disconnect_callback};
    // open releases any earlier session first, its network thread included.
    if (!mqtt_session::open(id, callbacks)) {
        std::puts("mqtt client not created");
        return 0;
    }
    if (server_tls && !start_tls()) return 0;
    // The library refuses a keep-alive below its minimum, and every attempt
    // would fail without a word.
    int keepalive = server_keeplive;
    if (keepalive < kMinKeepalive) {
        std::printf("server_keeplive %d is below %d, %d is used\n", keepalive, kMinKeepalive,
                    kMinKeepalive);
        keepalive = kMinKeepalive;
    }
    plat::sleep(static_cast<unsigned>(server_delay > 0 ? server_delay : 0));
    for (int attempt = 1; attempt <= kConnectAttempts; ++attempt) {
        int rc = mqtt_session::connect(server_ip.c_str(), server_port, keepalive, nullptr);
        if (rc == MOSQ_ERR_SUCCESS) {
            mqtt_session::start();
            return 1;
        }
        if (server_tls)
            std::printf("tls connect failed: %s\n", mqtt_session::failure_reason(rc).c_str());
        if (attempt < kConnectAttempts) plat::sleep(1);
    }
    return 0;
}

void mqtt_clean() {
    mqtt_session::unsubscribe(server_sub.c_str());
    mqtt_session::disconnect();
    // Not forced: a cancelled network thread could die holding the script
    // lock or inside the interpreter. Ended first, so a callback waiting on
    // a full queue gives up and lets the thread finish.
    mqtt_session::end();
    mqtt_session::close(false);
}

void mqtt_drop_link() {
    transport->disconnect();
    dropped = true;
    dropped_at_us = plat::monotonic_us();
}

void mqtt_redial_after_drop() {
    if (!dropped || mqtt_connect.load() != 0) return;
    if (plat::monotonic_us() - dropped_at_us < kRedialAfterDropUs) return;
    dropped_at_us = plat::monotonic_us();  // the next try, if this fails, waits as long
    if (transport->reconnect() == 0) dropped = false;
}

int mqtt_send_msg(const char *msg, const char *topic_name, const char *topic, int len) {
    if (!msg) return 1;
    std::printf("ap send : %.*s\n", len, msg);
    const char *to = topic ? topic : topic_of(topic_name);
    if (!to) return 1;
    return transport->publish(to, msg, len);
}

void my_connect_callback(struct mosquitto *m, void *, int) {
    if (!mqtt_session::is_current(m)) return;
    std::puts("connect");
    std::string sub;
    {
        std::lock_guard<std::mutex> lock(settings_mutex);
        sub = server_sub;
    }
    mqtt_session::subscribe(sub.c_str(), 0);
    mqtt_connect = 1;
}

void my_disconnect_callback(struct mosquitto *m, void *, int) {
    if (!mqtt_session::is_current(m)) return;
    std::puts("disconnect");
    mqtt_connect = 0;
}

void my_message_callback(struct mosquitto *m, void *, const struct mosquitto_message *msg) {
    if (!msg || !msg->payload || msg->payloadlen <= 0) return;
    if (!mqtt_session::is_current(m)) return;
    // Dropped before any copy: see mqtt_session::kMaxInboundPayload.
    if (msg->payloadlen > mqtt_session::kMaxInboundPayload) {
        std::printf("message of %d bytes dropped, more than %d\n", msg->payloadlen,
                    mqtt_session::kMaxInboundPayload);
        return;
    }
    mqtt_deliver(m, msg->payload, msg->payloadlen);
}

void mqtt_deliver(const struct mosquitto *m, const void *payload, int len) {
    const char *bytes = static_cast<const char *>(payload);
    switch (AP_STATE.load()) {
        case 0:
            callback_luafunction_insert_string(L, "APParseJoinResponseMessage", bytes,
                                               static_cast<std::size_t>(len));
            advance_ap_state(0, 1);
            break;
        case 1:
            callback_luafunction_insert_string(L, "APParseConfigureResponseMessage", bytes,
                                               static_cast<std::size_t>(len));
            advance_ap_state(1, 2);
            break;
        case 2:
            queue_payload(m, payload, len);
            break;
        default:
            break;
    }
}
