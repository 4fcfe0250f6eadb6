// Process-wide state of Fenwire shared by its units: the provisioning
// globals, the outbound buffer and the names composed from the serial number.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>

// State numbers returned by every state step.
enum FenwireState {
    STATE_DISCOVERY = 1,
    STATE_JOIN = 2,
    STATE_IMAGE = 3,
    STATE_CONFIGURE = 4,
    STATE_RUN = 5,
    STATE_RESET = 6,
};

constexpr std::size_t SEND_BUFFER_SIZE = 8192;
constexpr std::size_t SN_SIZE = 64;  // 63 characters and the terminator
// Prefix field plus the longest serial number, so no name is ever cut.
constexpr std::size_t TOPIC_PREFIX_SIZE = 10;
constexpr std::size_t MOSQ_ID_SIZE = 32;
constexpr std::size_t SERVER_TOPIC_SIZE = TOPIC_PREFIX_SIZE + SN_SIZE;
constexpr std::size_t SERVER_ID_SIZE = MOSQ_ID_SIZE + SN_SIZE;

extern unsigned char *send_buffer;  // SEND_BUFFER_SIZE bytes; main thread only
extern char sn[SN_SIZE];
extern char topicsub[TOPIC_PREFIX_SIZE];
extern char topicpub[TOPIC_PREFIX_SIZE];
extern char MOSQ_ID[MOSQ_ID_SIZE];
extern char server_sub[SERVER_TOPIC_SIZE];
extern char server_pub[SERVER_TOPIC_SIZE];
extern char server_id[SERVER_ID_SIZE];

// Read by the MQTT network thread: 0 joining, 1 configuring, 2 running.
extern std::atomic<int> AP_STATE;
extern std::atomic<int> workMode;  // 0 FIT, 1 FAT
extern std::atomic<int> configed;
extern std::atomic<int> state_msg;

// Retry settings, read from the script (main thread only).
extern int join_times;
extern int join_timeout;
extern int config_times;
extern int config_timeout;
extern int heart_out;
extern int heart_times;

// Response slots, filled by the MQTT thread; guarded by mosq_mutex.
extern unsigned char *join_msg;
extern int join_msg_len;
extern unsigned char *config_msg;
extern int config_msg_len;
extern pthread_mutex_t mosq_mutex;

// Composes server_sub, server_pub and server_id from the prefixes and sn.
void compose_server_names();
// Frees both response slots; the caller holds mosq_mutex.
void discard_response_slots();
