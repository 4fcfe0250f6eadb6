#include "mqtt_lib.h"

namespace {

void destroy_client(struct mosquitto *m) {
    mosquitto_destroy(m);
}

const MqttLib real_lib = {
    mosquitto_lib_init,   mosquitto_lib_cleanup, mosquitto_new,       mosquitto_connect_bind,
    mosquitto_loop_start, mosquitto_loop_stop,   mosquitto_subscribe, mosquitto_unsubscribe,
    mosquitto_publish,    mosquitto_disconnect,  destroy_client,       mosquitto_reconnect,
    mosquitto_tls_set,    mosquitto_tls_insecure_set, mosquitto_loop,
};
const MqttLib *current = &real_lib;

}  // namespace

const MqttLib &mqtt_real_lib() {
    return real_lib;
}
void mqtt_set_lib(const MqttLib *lib) {
    current = lib ? lib : &real_lib;
}
const MqttLib &mqtt_lib() {
    return *current;
}
