// Process-wide state of ostrel shared by its units: the state numbers, the
// provisioning progress, the outbound buffer, the script state and the
// settings that server_init copies from the script.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>

struct lua_State;

enum OstrelState {
    STATE_CONNECT = 1,
    STATE_JOIN = 2,
    STATE_IMAGE = 3,
    STATE_CONFIGURE = 4,
    STATE_RUN = 5,
    STATE_RESET = 6,
};

constexpr std::size_t SEND_BUFFER_SIZE = 2048;

// Main thread only.
extern int State;
extern int ApMode;
extern int isReboot;
extern char *send_buffer;  // SEND_BUFFER_SIZE bytes, always zero-terminated

// 0 nothing accepted, 1 joined, 2 configured or running; written by the
// network thread and the run state, never lowered.
extern std::atomic<int> AP_STATE;

// The one script state. Every use goes through the bridge (bridge.h), which
// keeps the main and the network thread out of it at the same time.
extern lua_State *L;

// Settings, read by server_init on every entry to the join state. Numbers
// and the string settings are written by the main thread only; the network
// thread reads server_sub (on connect) under settings_mutex, since a session
// left from an earlier cycle may still reconnect while server_init runs.
extern int server_keeplive;
extern int server_port;
extern int server_delay;
extern int server_eventinterval;
extern int server_interval;
extern int bind_flag;
extern std::string server_config;
extern std::string server_sub;
extern std::string server_event;
extern std::string server_logger;
extern std::string server_ip;
extern unsigned char server_tls;
// TLS files, optional ("" = not given): the CA that the broker's
// certificate must chain to (else the system's CA folder), and a client
// certificate with its key for brokers that ask for one.
extern std::string server_cafile;
extern std::string server_certfile;
extern std::string server_keyfile;
extern std::mutex settings_mutex;
