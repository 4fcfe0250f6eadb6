// The libmosquitto calls of the MQTT link, behind a table that tests can
// partly replace (a connect that fails, a teardown that hangs). Production
// uses the library itself.
#pragma once

#include <mosquitto.h>

struct MqttLib {
    int (*lib_init)();
    int (*lib_cleanup)();
    struct mosquitto *(*create)(const char *id, bool clean_session, void *obj);
    int (*connect_bind)(struct mosquitto *, const char *host, int port, int keepalive,
                        const char *bind_address);
    int (*loop_start)(struct mosquitto *);
    int (*loop_stop)(struct mosquitto *, bool force);
    int (*subscribe)(struct mosquitto *, int *mid, const char *topic, int qos);
    int (*unsubscribe)(struct mosquitto *, int *mid, const char *topic);
    int (*publish)(struct mosquitto *, int *mid, const char *topic, int len, const void *payload,
                   int qos, bool retain);
    int (*disconnect)(struct mosquitto *);
    void (*destroy)(struct mosquitto *);
    int (*reconnect)(struct mosquitto *);
    int (*tls_set)(struct mosquitto *, const char *cafile, const char *capath, const char *certfile,
                   const char *keyfile,
                   int (*pw_callback)(char *buf, int size, int rwflag, void *userdata));
    int (*tls_insecure_set)(struct mosquitto *, bool value);
    int (*loop)(struct mosquitto *, int timeout_ms, int max_packets);
};

// The table in use.
const MqttLib &mqtt_lib();
// The library's own functions.
const MqttLib &mqtt_real_lib();
// Replaces the table (nullptr: the library again). Install before mqtt_init.
void mqtt_set_lib(const MqttLib *lib);
