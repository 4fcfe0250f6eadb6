// A libmosquitto table for unit tests: real clients (the session registers
// callbacks on them) that never touch the network; connect answers as told.
#pragma once

#include <mosquitto.h>

#include <string>
#include <vector>

#include "mqtt_lib.h"

namespace ostrel_test {

struct FakeMqtt {
    static inline std::vector<std::string> ids;
    static inline int connect_rc = MOSQ_ERR_SUCCESS;
    static inline int connects = 0;
    static inline bool fail_create = false;
    static inline struct mosquitto *last = nullptr;  // the last client made

    static struct mosquitto *create(const char *id, bool clean, void *obj) {
        ids.push_back(id);
        if (fail_create) return nullptr;
        last = mosquitto_new(id, clean, obj);
        return last;
    }
    static inline int keepalive = 0;  // of the last connect
    static int connect_bind(struct mosquitto *, const char *, int, int keep, const char *) {
        ++connects;
        keepalive = keep;
        return connect_rc;
    }
    static int ok(struct mosquitto *) { return MOSQ_ERR_SUCCESS; }
    static int stop(struct mosquitto *, bool) { return MOSQ_ERR_SUCCESS; }
    static int sub(struct mosquitto *, int *, const char *, int) { return MOSQ_ERR_SUCCESS; }
    static int unsub(struct mosquitto *, int *, const char *) { return MOSQ_ERR_SUCCESS; }
    static int pub(struct mosquitto *, int *, const char *, int, const void *, int, bool) {
        return MOSQ_ERR_SUCCESS;
    }

    static const MqttLib &table() {
        static const MqttLib t = {mosquitto_lib_init, mosquitto_lib_cleanup, create, connect_bind,
                                  ok,                 stop,                  sub,    unsub,
                                  pub,                ok,                    mosquitto_destroy,
                                  ok,                 mosquitto_tls_set,     mosquitto_tls_insecure_set,
                                  mosquitto_loop};
        return t;
    }
    static void install() {
        ids.clear();
        connect_rc = MOSQ_ERR_SUCCESS;
        connects = 0;
        fail_create = false;
        mqtt_set_lib(&table());
    }
};

}  // namespace ostrel_test
