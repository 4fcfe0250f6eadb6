// One MQTT client session at a time: the libmosquitto client, its network
// thread and what may be done with them from which thread.
//
// Phases, and who moves the session between them:
//
//   none --open (main)--> in use --end (any thread)--> ended --close (main)--> none
//
// - open: makes the client (releasing any earlier one first) and registers
//   the agent's callbacks; the session is "in use".
// - tls (optional, before connect): the session speaks TLS and verifies
//   the broker; its connects then return only once the broker has answered
//   over a checked link (see connect).
// - connect, start: ask for the connection and start the network thread.
// - end: marks the session no longer in use. From then on its callbacks are
//   to be ignored (is_current is false), publishes are refused, and waits on
//   its behalf (a full queue, an acknowledgement) give up. The network thread
//   ends the session this way when the broker goes; it cannot join itself.
// - close: ends the session if it is not ended yet, stops its network thread
//   and frees the client. Main thread only; open calls it first.
//
// Only the main thread opens and closes, so at most one client exists and no
// callback of a freed client can run.
#pragma once

#include <cstdint>
#include <string>

struct mosquitto;
struct mosquitto_message;

namespace mqtt_session {

// The largest inbound payload either agent takes; a larger one is dropped
// before anything is copied, so a hostile peer cannot fill the AP's memory
// with the broker's own limit (256 MB) times the queue's length.
constexpr int kMaxInboundPayload = 64 * 1024;

// The callbacks in the library's own signatures (network thread).
struct Callbacks {
    void (*on_connect)(struct mosquitto *, void *, int rc);
    void (*on_message)(struct mosquitto *, void *, const struct mosquitto_message *);
    void (*on_disconnect)(struct mosquitto *, void *, int rc);
};

// Makes a client with identifier `id` (clean session, no user data) and
// registers the callbacks. False when the client cannot be made (nothing is
// left allocated).
bool open(const char *id, const Callbacks &callbacks);
// What a TLS session trusts and shows. Empty strings are not given to the
// library. The broker's certificate is checked against `cafile` or the
// certificates in `capath`, and its name against the host connected to; a
// client certificate and key (both or neither) are shown when the broker
// asks for one.
struct TlsSettings {
    std::string cafile;
    std::string capath;
    std::string certfile;
    std::string keyfile;
};

// Makes the session in use a TLS one (between open and connect): the
// library's result. MOSQ_ERR_NOT_SUPPORTED from a library built without
// TLS, MOSQ_ERR_INVAL for files it cannot open. On failure the client is
// left as it was, so it must not be connected: it would speak plain MQTT.
int tls(const TlsSettings &settings);

// Asks for the connection (`bind` may be null): the library's result.
// Plain sessions return as soon as the request is sent. The library does a
// TLS handshake inside its loop, so a broker that fails the checks would
// only show later, on the network thread, which then retries on its own;
// a TLS session therefore runs the loop on the calling thread until the
// broker has answered the connect (the connect callback runs there too),
// for at most about 10 s. A failed handshake or check gives MOSQ_ERR_TLS,
// a refusal MOSQ_ERR_CONN_REFUSED, no answer MOSQ_ERR_TIMEOUT.
int connect(const char *host, int port, int keepalive, const char *bind);
// The reason of the last failed tls or connect step, for a log line: the
// error reports the library gave meanwhile (OpenSSL's among them), else the
// text of `rc`.
std::string failure_reason(int rc);
// Starts the network thread: the library's result.
int start();

// True while `m` is the client of a session in use.
bool is_current(const struct mosquitto *m);
// True while a session is in use.
bool in_use();

// Publishes on the session in use; *mid (if given) gets the message id.
// MOSQ_ERR_NO_CONN when no session is in use.
int publish(const char *topic, const void *payload, int len, int qos, bool retain, int *mid);
// Waits until the library reports message `mid` sent (for QoS 1: its
// acknowledgement received), at most `limit_us` on the agent's clock. False
// when the time ran out or the session was ended meanwhile.
bool wait_published(int mid, uint64_t limit_us);
int subscribe(const char *topic, int qos);
int unsubscribe(const char *topic);
// Asks the library to end the connection (no reconnect follows).
int disconnect();
// Main thread: connects the session in use again after a disconnect it was
// asked for (after which the library does not reconnect by itself and its
// network thread ends): waits for that thread, reconnects, starts it anew.
// The library's result of the reconnect.
int reconnect();

// Ends the session (see above); does nothing when none is in use.
void end();
// Ends, stops the network thread (forced or not) and frees the client.
void close(bool force);

}  // namespace mqtt_session
