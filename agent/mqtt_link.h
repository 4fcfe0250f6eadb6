// Fenwire's one MQTT session to the controller's broker: topics and client
// identifier from the serial number, the hand-off of inbound payloads to the
// main thread by AP_STATE, publishing of outbound messages.
#pragma once

#include <atomic>
#include <cstddef>

struct lua_State;

constexpr std::size_t SERVER_IP_SIZE = 32;
constexpr std::size_t BIND_IP_SIZE = 20;

extern char server_ip[SERVER_IP_SIZE];
extern int server_port;
extern int server_keeplive;
// 1 while the session is connected; the run state loops only while it is 1.
extern std::atomic<int> mqtt_connect;

// Reads AC_ADDR and AC_PORT from the script.
void getMQTTInfo(lua_State *L);
// Starts a session (bind address from the script's getIp): 1, or 0 on failure.
int mqtt_init(lua_State *L);
// Ends the session, if one is connected.
void mqtt_clean();
// Publishes `len` bytes on server_pub (QoS 1, retained): 1 when `payload` is
// null (nothing sent), else the transport's result (0 = accepted).
int mqtt_send_msg(const unsigned char *payload, int len);

// Hands one received payload to the main thread as the MQTT thread does:
// join slot, configure slot or inbound queue, chosen by AP_STATE.
void mqtt_deliver(const void *payload, int len);

// Beneath mqtt_send_msg: where publishes go. Tests install a capture.
struct MqttTransport {
    virtual ~MqttTransport() = default;
    virtual int publish(const char *topic, const void *payload, int len, int qos,
                        bool retain) = 0;
};
// nullptr: the library session again. Install before the agent's threads run.
void mqtt_set_transport(MqttTransport *transport);
