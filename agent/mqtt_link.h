// Fenwire's one MQTT session to the controller's broker: topics and client
// identifier from the serial number, the hand-off of inbound payloads to the
// main thread by AP_STATE, publishing of outbound messages, and teardown.
//
// The session itself (client, network thread, who frees what) is
// common/mqtt_session.h. Threads: mqtt_init, mqtt_clean and mqtt_send_msg run
// on the main thread, the callbacks on the library's network thread. When
// the broker goes, the disconnect callback ends the session; the main
// thread's next mqtt_clean or mqtt_init stops its thread and frees it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct lua_State;
struct mosquitto;
struct mosquitto_message;

constexpr std::size_t SERVER_IP_SIZE = 32;
constexpr std::size_t BIND_IP_SIZE = 20;

extern char server_ip[SERVER_IP_SIZE];
extern int server_port;
extern int server_keeplive;
// 1 from the connect callback until teardown starts; the run state loops
// only while it is 1.
extern std::atomic<int> mqtt_connect;

// Reads AC_ADDR and AC_PORT from the script.
void getMQTTInfo(lua_State *L);
// Starts a session (bind address from the script's getIp): 1 when the
// connect request is made and the network thread runs, 0 on failure.
int mqtt_init(lua_State *L);
// Ends the connected session (3 seconds at most, else the process restarts)
// and finishes a session the network thread ended.
void mqtt_clean();
// Publishes `len` bytes on server_pub (QoS 1, retained): 1 when `payload` is
// null (nothing sent), else the transport's result (0 = accepted).
int mqtt_send_msg(const unsigned char *payload, int len);
// The same, then waits (at most `limit_us`) until the library reports the
// message sent: true when it did.
bool mqtt_send_msg_confirmed(const unsigned char *payload, int len, uint64_t limit_us);

// What ends the process when a teardown hangs: two log lines, exit status 0.
[[noreturn]] void clean_timeout(int signo);

// Library callbacks (network thread).
void my_connect_callback(struct mosquitto *m, void *obj, int rc);
void my_message_callback(struct mosquitto *m, void *obj, const struct mosquitto_message *msg);
void my_disconnect_callback(struct mosquitto *m, void *obj, int rc);

// Hands one received payload to the main thread as the message callback
// does: join slot, configure slot or inbound queue, chosen by AP_STATE. A
// payload above mqtt_session::kMaxInboundPayload is dropped uncopied; a
// payload that finds the queue full waits while the run state can still
// drain it, and is dropped once it cannot (session ended, link down, or
// AP_STATE no longer 2).
void mqtt_deliver(const void *payload, int len);

// Beneath mqtt_send_msg: where publishes go. Tests install a capture.
struct MqttTransport {
    virtual ~MqttTransport() = default;
    // *mid (when given) gets the message id.
    virtual int publish(const char *topic, const void *payload, int len, int qos, bool retain,
                        int *mid) = 0;
    // True once message `mid` is reported sent, false after `limit_us`.
    virtual bool wait_published(int mid, uint64_t limit_us) = 0;
};
// nullptr: the library session again. Install before the agent's threads run.
void mqtt_set_transport(MqttTransport *transport);
