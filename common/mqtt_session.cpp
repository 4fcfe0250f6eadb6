#include "mqtt_session.h"

#include <mosquitto.h>

#include <atomic>
#include <mutex>
#include <string>

#include "clock.h"
#include "mqtt_lib.h"

namespace mqtt_session {
namespace {

// Guards `client` and `in_use_flag` against a close on the main thread
// while the network thread or a publisher uses them.
std::mutex mu;
struct mosquitto *client = nullptr;
bool in_use_flag = false;
bool tls_flag = false;  // tls() went through for this client
void (*agent_on_connect)(struct mosquitto *, void *, int) = nullptr;

// The broker's answer to the last connect of the current client: -1 none
// yet, else its result code.
std::atomic<int> connack_rc{-1};

// A TLS connect waits for the broker's answer this long, in loop steps.
constexpr int kHandshakeStepMs = 100;
constexpr int kHandshakeSteps = 100;

// The library's error reports since the last tls or connect step; bounded,
// since a long session's network thread may keep reporting.
constexpr std::size_t kErrorsKept = 512;
std::string errors;
std::mutex errors_mu;

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

void on_connect(struct mosquitto *m, void *obj, int rc) {
    void (*cb)(struct mosquitto *, void *, int);
    {
        std::lock_guard<std::mutex> lock(mu);
        if (m == client) connack_rc = rc;
        cb = agent_on_connect;
    }
    if (cb) cb(m, obj, rc);
}

void on_log(struct mosquitto *, void *, int level, const char *text) {
    if (!(level & MOSQ_LOG_ERR) || !text) return;
    std::lock_guard<std::mutex> lock(errors_mu);
    if (errors.size() >= kErrorsKept) return;
    if (!errors.empty()) errors += "; ";
    if (errors.size() < kErrorsKept) errors.append(text, 0, kErrorsKept - errors.size());
}

void forget_errors() {
    std::lock_guard<std::mutex> lock(errors_mu);
    errors.clear();
}

const char *or_null(const std::string &s) {
    return s.empty() ? nullptr : s.c_str();
}

// Runs the client's loop here until the broker has answered the connect.
int await_connack(struct mosquitto *m) {
    const MqttLib &lib = mqtt_lib();
    for (int step = 0; step < kHandshakeSteps; ++step) {
        int rc = lib.loop(m, kHandshakeStepMs, 1);
        int ack = connack_rc.load();
        if (ack == 0) return MOSQ_ERR_SUCCESS;
        if (ack > 0) return MOSQ_ERR_CONN_REFUSED;
        if (rc != MOSQ_ERR_SUCCESS) return rc;
    }
    return MOSQ_ERR_TIMEOUT;
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
    {
        // No thread of an earlier client runs any more (close above).
        std::lock_guard<std::mutex> lock(mu);
        agent_on_connect = cb.on_connect;
    }
    mosquitto_connect_callback_set(m, on_connect);
    mosquitto_message_callback_set(m, cb.on_message);
    mosquitto_disconnect_callback_set(m, cb.on_disconnect);
    mosquitto_publish_callback_set(m, on_publish);
    forget_published();
    forget_errors();
    std::lock_guard<std::mutex> lock(mu);
    client = m;
    in_use_flag = true;
    tls_flag = false;
    return true;
}

int tls(const TlsSettings &t) {
    struct mosquitto *m;
    {
        std::lock_guard<std::mutex> lock(mu);
        if (!in_use_flag) return MOSQ_ERR_NO_CONN;
        m = client;
    }
    forget_errors();
    mosquitto_log_callback_set(m, on_log);
    const MqttLib &lib = mqtt_lib();
    int rc = lib.tls_set(m, or_null(t.cafile), or_null(t.capath), or_null(t.certfile),
                         or_null(t.keyfile), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) return rc;
    rc = lib.tls_insecure_set(m, false);  // the broker's name is checked
    if (rc != MOSQ_ERR_SUCCESS) return rc;
    std::lock_guard<std::mutex> lock(mu);
    tls_flag = true;
    return MOSQ_ERR_SUCCESS;
}

int connect(const char *host, int port, int keepalive, const char *bind) {
    struct mosquitto *m;
    bool with_tls;
    {
        std::lock_guard<std::mutex> lock(mu);
        if (!in_use_flag) return MOSQ_ERR_NO_CONN;
        m = client;
        with_tls = tls_flag;
    }
    forget_errors();
    connack_rc = -1;
    // Blocking connect without the lock: no network thread runs yet, and
    // only the main thread frees the client.
    int rc = mqtt_lib().connect_bind(m, host, port, keepalive, bind);
    if (rc != MOSQ_ERR_SUCCESS || !with_tls) return rc;
    return await_connack(m);
}

std::string failure_reason(int rc) {
    {
        std::lock_guard<std::mutex> lock(errors_mu);
        if (!errors.empty()) return errors;
    }
    return mosquitto_strerror(rc);
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
