#include "station_monitor.h"

#include <cstdlib>

NLnode *NLhead = nullptr;
pthread_mutex_t netlink_mutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<int> STAflag{0};
int staNUM24 = 0;
int staNUM5 = 0;

namespace {

void free_ring(UsrNode *oldest) {
    if (!oldest) return;
    UsrNode *p = oldest->next;
    while (p != oldest) {
        UsrNode *next = p->next;
        std::free(p);
        p = next;
    }
    std::free(oldest);
}

}  // namespace

int netlink_loop_start() {
    if (!NLhead) NLhead = static_cast<NLnode *>(std::calloc(1, sizeof(NLnode)));
    return 1;
}

void UsrListInsert(const uint8_t *, NLnode *) {}
NLnode *isNLlistSendStaInfo(NLnode *) { return nullptr; }
void get_OnlineStaNum(NLnode *) {}
int NLlistdelete(NLnode *, NLnode *) { return 0; }
void NLlistUpdate(NLnode *) {}

int NLlistclear(NLnode *head) {
    if (!head) return 0;
    NLnode *p = head->next;
    while (p) {
        NLnode *next = p->next;
        free_ring(p->usrlist);
        std::free(p);
        p = next;
    }
    head->next = nullptr;
    return 0;
}
