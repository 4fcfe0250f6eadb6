// The station-event monitor: a detached thread turns every join and leave
// event of the wireless driver (netlink protocol 22) into one event record,
// with the driver's current figures for the station, queued for the run loop
// in arrival order. It also keeps /tmp/sta_mac_ip for other programs.
//
// Locking: every user of the list and its records holds netlink_mutex; none
// of the list functions locks. nl_handle_message locks by itself.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

constexpr int NL_LIST_MAX = 128;  // queued events at most

// One station event. Texts are always terminated within their fields.
struct NLnode {
    uint32_t type;  // 1 joined, 2 left (head: 0)
    int8_t rssi;
    char staip[23];
    int32_t radioid;
    uint8_t wlanid;
    uint8_t phyrate;  // Mbit/s
    uint32_t uptime;
    uint32_t rxrate;
    uint32_t txrate;
    char ssid[33];
    char mac[20];  // "xx:xx:xx:xx:xx:xx"
    char extra[129];
    char hostname[34];  // at most 33 characters
    uint64_t rxbytes;
    uint64_t txbytes;
    NLnode *next;
};

extern NLnode *NLhead;
extern pthread_mutex_t netlink_mutex;

// Creates the head record and starts the station thread: 0 when started.
int nl_loop_start();
void *_nl_thread_main(void *);

// 1 when a record follows the head, else 0.
int isNLlistnil(const NLnode *head);
// Deletes the record at `index` (1 = oldest): 0, or 1 when refused with the
// inbound queue's texts.
int NLlistdelete(NLnode *head, int index);
// Frees every record after the head.
void NLlistclear(NLnode *head);

// Stores the driver's figures for the station `mac` (6 bytes) on the
// interface of rec's radio and WLAN into rec; zeros stay when there is no
// such interface, no table or no entry.
void fillStaInfo(const uint8_t *mac, NLnode *rec);
// Appends the station's line to the station file.
void save_mac_ip(const uint8_t *mac, const char *ip);
// Removes every line holding the MAC from the station file (ip not used).
void del_mac_ip(const uint8_t *mac, const char *ip);

// Applies one received message of `len` bytes: queues its record and keeps
// the station file.
void nl_handle_message(const uint8_t *msg, std::size_t len);
// Receives the next message (len > 0) into the zeroed `buf`; a failed or
// empty receive is retried after a 100 ms pause, so a broken socket does
// not spin a core.
std::size_t nl_receive_message(int fd, uint8_t *buf, std::size_t size);
// Where the station file lives (nullptr: "/tmp/sta_mac_ip"); set before the
// station thread starts.
void station_file_set_path(const char *path);
