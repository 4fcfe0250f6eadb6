#include "mqtt_queue.h"

#include <cstdlib>
#include <cstring>

#include "debug_log.h"

MosqNode *mosqhead = nullptr;

namespace {

// A zeroed heap copy of `len` bytes (at least one byte is allocated, so an
// empty payload still yields a valid pointer).
unsigned char *copy_bytes(const void *src, uint32_t len) {
    auto *p = static_cast<unsigned char *>(std::calloc(len ? len : 1, 1));
    if (p && len) std::memcpy(p, src, len);
    return p;
}

}  // namespace

int initMosqList(MosqNode **node) {
    auto *n = static_cast<MosqNode *>(std::calloc(1, sizeof(MosqNode)));
    if (!n) {
        FW_LOG("utils", "malloc fail\n");
        return 1;
    }
    *node = n;
    return 0;
}

void MosqLinstinsert(MosqNode *head, MosqNode *node) {
    MosqNode *tail = head;
    while (tail->next) tail = tail->next;
    tail->next = node;
}

int MosqListdelete(MosqNode *head) {
    MosqNode *first = head->next;
    if (!first) return 0;
    head->next = first->next;
    std::free(first->payload);
    std::free(first);
    return 0;
}

int handlMess(MosqNode *head, MosqNode *out) {
    MosqNode *first = head->next;
    if (!first) return 0;
    unsigned char *copy = copy_bytes(first->payload, first->len);
    if (!copy) {
        FW_LOG("utils", "malloc fail\n");
        return 0;
    }
    out->next = nullptr;
    out->len = first->len;
    out->payload = copy;
    MosqListdelete(head);
    return 1;
}

int MosqListClean(MosqNode *head) {
    if (!head) return 0;
    while (head->next) MosqListdelete(head);
    return 0;
}

int mosqlistlen(MosqNode *head) {
    int n = 0;
    for (MosqNode *p = head->next; p; p = p->next) ++n;
    return n;
}

int mosq_queue_copy(MosqNode *head, const void *payload, uint32_t len) {
    auto *node = static_cast<MosqNode *>(std::calloc(1, sizeof(MosqNode)));
    unsigned char *copy = node ? copy_bytes(payload, len) : nullptr;
    if (!copy) {
        std::free(node);
        return 0;
    }
    node->len = len;
    node->payload = copy;
    MosqLinstinsert(head, node);
    return 1;
}
