// The station monitor: the station list headed by NLhead, kept by a detached
// thread from the wireless driver's join and leave events (netlink protocol
// 22), with a ring of traffic samples per station taken from the driver's
// station table. Also keeps /tmp/sta_mac_ip for other firmware programs.
//
// Locking: every user of the list, its records and rings, STAflag and the
// station counts holds netlink_mutex; none of these functions locks.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "station_list.h"

constexpr int NL_LIST_MAX = 128;  // station records at most
constexpr int USR_RING_MAX = 10;  // samples per station at most

extern NLnode *NLhead;
extern pthread_mutex_t netlink_mutex;
// 1 = the list may have changed since the run state last looked.
extern std::atomic<int> STAflag;
// Online stations on radio 1 (2.4 GHz) and radio 2 (5 GHz), set by
// get_OnlineStaNum.
extern int staNUM24;
extern int staNUM5;

// Creates the list head and starts the station thread: 0 when it started.
int netlink_loop_start();
// Creates the zeroed head record in NLhead (an existing head is emptied and
// kept, so a second start-up does not leak the first list).
void initNLlist();
// The station thread: registers with the driver, then applies every event
// it receives until the socket fails.
void *_nl_thread_main(void *);
// Applies one received netlink message of `len` bytes to the list and the
// station file; takes netlink_mutex itself.
void nl_handle_message(const uint8_t *msg, size_t len);
// Where the station file lives (nullptr: "/tmp/sta_mac_ip"); the sed
// commands name the same path. Set before the station thread starts.
void station_file_set_path(const char *path);

// Takes one sample of the station with this MAC on rec's interface into
// rec's ring (an all-zero sample when the driver does not list it).
void UsrListInsert(const uint8_t *mac, NLnode *rec);
// The first record with a change still to report (type not 0), or null.
NLnode *isNLlistSendStaInfo(NLnode *head);
// Recounts staNUM24 and staNUM5 over records of type 0 or 1, logging each.
void get_OnlineStaNum(NLnode *head);
// Removes the first record that is the same station as `rec` and has type 2.
int NLlistdelete(NLnode *head, NLnode *rec);
// Frees every record after the head, with its ring.
int NLlistclear(NLnode *head);
// One sample for every record of type 0.
void NLlistUpdate(NLnode *head);

// Two records describe the same station: equal MAC, IP text, radio and WLAN.
bool same_station(const NLnode &a, const NLnode &b);
// Frees a record's samples and leaves its ring empty.
void free_usr_ring(NLnode *rec);
