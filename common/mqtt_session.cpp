#include "mqtt_session.h"

#include <mosquitto.h>

#include <atomic>
#include <mutex>

#include "clock.h"
#include "mqtt_lib.h"

namespace mqtt_session {
namespace {

// Guards `client` and `in_use_flag` against a close on the main thread
// while the network thread or a publisher uses them.
std::mutex mu;
struct mosquitto *client = nullptr;
bool in_use_flag = false;

// The ids of the last messages the library reported sent, newest last.
constexpr int kPublishedKept = 16;
int published[kPublishedKept];
int published_count = 0;  // how many of `published` are filled
std::mutex published_mu;

void on_publish(struct mosquitto *m, void *, int mid) {
    if (!is_current(m)) return;
    std::lock_guard<std::mutex> lock(published_mu);
    published[published_count % kPublishedKept] = mid;
    ++published_count;
}

bool was_published(int mid) {
    std::lock_guard<std::mutex> lock(published_mu);
    int n = published_count < kPublishedKept ? published_count : kPublishedKept;
    for (int i = 0; i < n; ++i)
        if (published[i] == mid) return true;
    return false;
}

void forget_published() {
    std::lock_guard<std::mutex> lock(published_mu);
    published_count = 0;
}

}  // namespace

bool open(const char *id, const Callbacks &cb) {
    close(false);
    const MqttLib &lib = mqtt_lib();
    lib.lib_init();
    struct mosquitto *m = lib.create(id, true, nullptr);
    if (!m) {
        lib.lib_cleanup();
        return false;
    }
    mosquitto_connect_callback_set(m, cb.on_connect);
    mosquitto_message_callback_set(m, cb.on_message);
    mosquitto_disconnect_callback_set(m, cb.on_disconnect);
    mosquitto_publish_callback_set(m, on_publish);
    forget_published();
    std::lock_guard<std::mutex> lock(mu);
    client = m;
    in_use_flag = true;
    return true;
}

int connect(const char *host, int port, int keepalive, const char *bind) {
    struct mosquitto *m;
    {
        std::lock_guard<std::mutex> lock(mu);
        if (!in_use_flag) return MOSQ_ERR_NO_CONN;
        m = client;
    }
    // Blocking connect without the lock: no network thread runs yet, and
    // only the main thread frees the client.
    return mqtt_lib().connect_bind(m, host, port, keepalive, bind);
}

int start() {
    std::lock_guard<std::mutex> lock(mu);
    if (!in_use_flag) return MOSQ_ERR_NO_CONN;
    return mqtt_lib().loop_start(client);
}

bool is_current(const struct mosquitto *m) {
    std::lock_guard<std::mutex> lock(mu);
    return in_use_flag && m && m == client;
}

bool in_use() {
    std::lock_guard<std::mutex> lock(mu);
    return in_use_flag;
}

int publish(const char *topic, const void *payload, int len, int qos, bool retain, int *mid) {
    std::lock_guard<std::mutex> lock(mu);
    if (!in_use_flag) return MOSQ_ERR_NO_CONN;
    return mqtt_lib().publish(client, mid, topic, len, payload, qos, retain);
}

bool wait_published(int mid, uint64_t limit_us) {
    const uint64_t start_us = plat::monotonic_us();
    for (;;) {
        if (was_published(mid)) return true;
        if (!in_use() || plat::monotonic_us() - start_us >= limit_us) return false;
        plat::usleep(10000);
    }
}

int subscribe(const char *topic, int qos) {
    std::lock_guard<std::mutex> lock(mu);
    if (!in_use_flag) return MOSQ_ERR_NO_CONN;
    return mqtt_lib().subscribe(client, nullptr, topic, qos);
}

int unsubscribe(const char *topic) {
    std::lock_guard<std::mutex> lock(mu);
    if (!in_use_flag) return MOSQ_ERR_NO_CONN;
    return mqtt_lib().unsubscribe(client, nullptr, topic);
}

int disconnect() {
    std::lock_guard<std::mutex> lock(mu);
    if (!client) return MOSQ_ERR_NO_CONN;
    return mqtt_lib().disconnect(client);
}

int reconnect() {
    struct mosquitto *m;
    {
        std::lock_guard<std::mutex> lock(mu);
        if (!in_use_flag) return MOSQ_ERR_NO_CONN;
        m = client;
    }
    // Only the main thread frees the client, so it stays valid unlocked.
    const MqttLib &lib = mqtt_lib();
    lib.loop_stop(m, false);
    int rc = lib.reconnect(m);
    if (rc == MOSQ_ERR_SUCCESS) lib.loop_start(m);
    return rc;
}

void end() {
    std::lock_guard<std::mutex> lock(mu);
    in_use_flag = false;
}

void close(bool force) {
    struct mosquitto *m;
    {
        std::lock_guard<std::mutex> lock(mu);
        m = client;
        in_use_flag = false;
        client = nullptr;
    }
    if (!m) return;
    // The network thread may still run a callback of this client; the ones
    // above see it ended. Its thread is joined before the client is freed.
    const MqttLib &lib = mqtt_lib();
    lib.disconnect(m);
    lib.loop_stop(m, force);
    lib.destroy(m);
    lib.lib_cleanup();
}

}  // namespace mqtt_session
