// The station monitor: the station list headed by NLhead and the thread that
// keeps it from the wireless driver's join and leave events.
#pragma once

#include <pthread.h>

#include <atomic>

#include "station_list.h"

extern NLnode *NLhead;
// Guards the station list, every record and ring in it, and STAflag.
extern pthread_mutex_t netlink_mutex;
// 1 = the list may have changed since the run state last looked.
extern std::atomic<int> STAflag;

// Creates the station list and starts the monitor thread.
void netlink_loop_start();
// Frees every station record and its samples; the head stays. The caller
// holds netlink_mutex.
void NLlistclear(NLnode *head);
