// The station list: one record per wireless station, each with a ring of its
// most recent traffic samples. Every record and ring in the list is guarded
// by netlink_mutex.
#pragma once

#include <cstdint>

#include "station_event.h"

// One traffic sample in a station's ring. The samples of one station form a
// circular list, oldest to newest; the newest sample's `next` is the oldest
// again. At most 10 per station.
struct UsrNode : StationSample {
    UsrNode *next;
};

// One wireless station; the list starts with a head record that describes
// no station. Records are zeroed when created, so the text fields are
// terminated unless a writer fills them completely.
struct NLnode {
    uint32_t type;  // 1 joined, not reported; 0 online, reported; 2 left, not reported
    char staip[23];
    int32_t radioid;  // 1 = 2.4 GHz radio, 2 = 5 GHz radio
    uint8_t wlanid;   // 0-3
    char ssid[33];
    uint8_t mac[6];
    char extra[129];
    char hostname[40];
    uint8_t usrcnt;    // samples in the ring, 0-10
    UsrNode *usrlist;  // oldest sample, or none
    NLnode *next;
};
