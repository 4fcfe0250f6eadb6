// ostrel's MQTT session to the cloud broker: broker and topics from the
// settings, client identifier "tavrin_" + the script's SN, the join and
// configure responses handed to the script on the network thread, later
// messages queued for the run loop (msg_queue.h).
//
// Threads: mqtt_init, mqtt_clean and mqtt_send_msg run on the main thread;
// the callbacks on the library's network thread (a TLS session's first
// connect callback on the main thread, inside mqtt_init, see
// mqtt_session::connect). Callbacks of a client that is no longer the
// session in use are ignored (mqtt_session::is_current).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct mosquitto;
struct mosquitto_message;

// The longest SN that goes into the client identifier; a longer one is cut.
constexpr std::size_t SN_MAX = 128;

// 1 from the connect callback until the disconnect callback or a reset.
extern std::atomic<int> mqtt_connect;

// Opens a session and connects (up to 3 attempts, one second apart, after
// server_delay seconds): 1 when connected and the network thread runs, 0
// when the client could not be made or every attempt failed. With
// server_tls the session is a TLS one that verifies the broker (CA from
// server_cafile, else the system's folder; a client certificate from
// server_certfile and server_keyfile): each failed attempt prints "tls
// connect failed: <reason>", and a session that cannot speak TLS is refused
// (0) before any attempt, never connected in plain.
int mqtt_init();
// Ends the session: unsubscribe, disconnect, stop the network thread, free.
void mqtt_clean();
// Publishes `len` bytes of `msg` (QoS 1, retained) on `topic`, or when that
// is null on the topic of `topic_name` ("config", "event", "logger"). 1
// when msg is null or no topic is known (nothing sent), else the library's
// result.
int mqtt_send_msg(const char *msg, const char *topic_name, const char *topic, int len);
// Asks the library to drop the connection (inbound message type 2).
void mqtt_drop_link();
// After a drop asked for by mqtt_drop_link the library does not reconnect
// by itself: once `kRedialAfterDropUs` have passed since the drop, connects
// the session again (main thread). Does nothing otherwise.
void mqtt_redial_after_drop();
constexpr uint64_t kRedialAfterDropUs = 5000000;

// The client identifier for `sn`: "tavrin_" and at most SN_MAX characters.
void compose_client_id(const char *sn, char *out, std::size_t size);
constexpr std::size_t CLIENT_ID_SIZE = 7 + SN_MAX + 1;

void my_connect_callback(struct mosquitto *m, void *obj, int rc);
void my_disconnect_callback(struct mosquitto *m, void *obj, int rc);
void my_message_callback(struct mosquitto *m, void *obj, const struct mosquitto_message *msg);
// What the message callback does with the payload of a current client:
// join response, configure response or queued, by AP_STATE.
void mqtt_deliver(const struct mosquitto *m, const void *payload, int len);

// Beneath mqtt_send_msg and mqtt_drop_link: tests install a capture.
struct MqttTransport {
    virtual ~MqttTransport() = default;
    virtual int publish(const char *topic, const void *payload, int len) = 0;
    virtual void disconnect() = 0;
    // Connects the session again after a disconnect: 0 on success.
    virtual int reconnect() = 0;
};
// nullptr: the session again. Install before the agent's threads run.
void mqtt_set_transport(MqttTransport *transport);
