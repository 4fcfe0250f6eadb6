#include "station_monitor.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "debug_log.h"
#include "station_event.h"
#include "station_probe.h"
#include "wifi_driver.h"

NLnode *NLhead = nullptr;
pthread_mutex_t netlink_mutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<int> STAflag{0};
int staNUM24 = 0;
int staNUM5 = 0;

namespace {

// Asks the driver for the station's figures; false when no table could be
// had (the failure printed or logged).
bool take_sample(const char *ifname, const uint8_t *mac, StationSample *out) {
    switch (read_station_sample(ifname, mac, out)) {
        case SampleRead::kFound:
        case SampleRead::kNotFound:
            return true;
        case SampleRead::kNoMemory:
            FW_LOG("lnetlink", "usrNode malloc error\n");
            return false;
        case SampleRead::kNoTable:
            break;
    }
    return false;
}

UsrNode *new_usr_node() {
    auto *node = static_cast<UsrNode *>(std::calloc(1, sizeof(UsrNode)));
    if (!node) FW_LOG("lnetlink", "usrNode malloc error\n");
    return node;
}

// The ring node that receives the next sample: a new one while the ring has
// room, else the oldest, which becomes the newest. Null if none can be had.
UsrNode *ring_slot(NLnode *rec) {
    UsrNode *oldest = rec->usrlist;
    if (!oldest) {
        UsrNode *node = new_usr_node();
        if (!node) return nullptr;
        node->next = node;
        rec->usrlist = node;
        rec->usrcnt = 1;
        return node;
    }
    if (rec->usrcnt >= USR_RING_MAX) {
        rec->usrlist = oldest->next;
        return oldest;
    }
    UsrNode *newest = oldest;
    while (newest->next != oldest) newest = newest->next;
    UsrNode *node = new_usr_node();
    if (!node) return nullptr;
    node->next = oldest;
    newest->next = node;
    rec->usrcnt++;
    return node;
}

}  // namespace

bool same_station(const NLnode &a, const NLnode &b) {
    return std::memcmp(a.mac, b.mac, sizeof a.mac) == 0 &&
           std::strncmp(a.staip, b.staip, sizeof a.staip) == 0 && a.radioid == b.radioid &&
           a.wlanid == b.wlanid;
}

void free_usr_ring(NLnode *rec) {
    UsrNode *oldest = rec->usrlist;
    if (oldest) {
        UsrNode *p = oldest->next;
        while (p != oldest) {
            UsrNode *next = p->next;
            std::free(p);
            p = next;
        }
        std::free(oldest);
    }
    rec->usrlist = nullptr;
    rec->usrcnt = 0;
}

void UsrListInsert(const uint8_t *mac, NLnode *rec) {
    const char *ifname = station_ifname(rec->radioid, rec->wlanid);
    if (!ifname) return;  // no interface exists for this radio and WLAN
    StationSample sample;
    if (!take_sample(ifname, mac, &sample)) return;
    UsrNode *node = ring_slot(rec);
    if (node) static_cast<StationSample &>(*node) = sample;
}

NLnode *isNLlistSendStaInfo(NLnode *head) {
    for (NLnode *p = head->next; p; p = p->next)
        if (p->type != 0) return p;
    return nullptr;
}

void get_OnlineStaNum(NLnode *head) {
    staNUM24 = 0;
    staNUM5 = 0;
    FW_LOG("lnetlink", "ONLINE STA:\n");
    for (NLnode *p = head->next; p; p = p->next) {
        if (p->type != 0 && p->type != 1) continue;
        if (p->radioid == 1) staNUM24++;
        if (p->radioid == 2) staNUM5++;
        const uint8_t *m = p->mac;
        FW_LOG("lnetlink", "        mac:%02x:%02x:%02x:%02x:%02x:%02x, radioId:%d\n", m[0], m[1],
               m[2], m[3], m[4], m[5], p->radioid);
    }
}

int NLlistdelete(NLnode *head, NLnode *rec) {
    for (NLnode *prev = head; prev->next; prev = prev->next) {
        NLnode *p = prev->next;
        if (p->type != 2 || !same_station(*p, *rec)) continue;
        prev->next = p->next;
        free_usr_ring(p);
        std::free(p);
        break;
    }
    return 0;
}

int NLlistclear(NLnode *head) {
    if (!head) return 0;
    NLnode *p = head->next;
    while (p) {
        NLnode *next = p->next;
        free_usr_ring(p);
        std::free(p);
        p = next;
    }
    head->next = nullptr;
    return 0;
}

void NLlistUpdate(NLnode *head) {
    for (NLnode *p = head->next; p; p = p->next)
        if (p->type == 0) UsrListInsert(p->mac, p);
}
