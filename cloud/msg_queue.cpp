#include "msg_queue.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

MosqNode *mosqhead = nullptr;
pthread_mutex_t mosq_mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

void free_node(MosqNode *node) {
    std::free(node->payload);
    std::free(node);
}

}  // namespace

int initMosqList(MosqNode **head) {
    auto *node = static_cast<MosqNode *>(std::calloc(1, sizeof(MosqNode)));
    if (!node) {
        std::puts("malloc fail");
        return 1;
    }
    *head = node;
    return 0;
}

void MosqLinstinsert(MosqNode *head, MosqNode *node) {
    MosqNode *tail = head;
    while (tail->next) tail = tail->next;
    tail->next = node;
}

int MosqListdelete(MosqNode *head, int index) {
    if (index < 1) {
        std::puts("index must > 1");
        return 1;
    }
    int count = mosqlistlen(head);
    if (index > count) {
        std::printf("list only %d Node\n", count);
        return 1;
    }
    MosqNode *prev = head;
    for (int i = 1; i < index; ++i) prev = prev->next;
    MosqNode *gone = prev->next;
    prev->next = gone->next;
    free_node(gone);
    return 0;
}

int ismosqlistnil(const MosqNode *head) {
    return head && head->next ? 1 : 0;
}

int mosqlistlen(const MosqNode *head) {
    int n = 0;
    for (const MosqNode *p = head ? head->next : nullptr; p; p = p->next) ++n;
    return n;
}

MosqNode *mosq_node_copy(const void *payload, std::size_t len) {
    auto *node = static_cast<MosqNode *>(std::calloc(1, sizeof(MosqNode)));
    if (!node) return nullptr;
    node->payload = static_cast<char *>(std::calloc(len + 1, 1));
    if (!node->payload) {
        std::free(node);
        return nullptr;
    }
    const void *zero = std::memchr(payload, 0, len);
    std::size_t text = zero ? static_cast<std::size_t>(static_cast<const char *>(zero) -
                                                       static_cast<const char *>(payload))
                            : len;
    std::memcpy(node->payload, payload, text);
    return node;
}

void MosqListClean(MosqNode *head) {
    if (!head) return;
    MosqNode *p = head->next;
    while (p) {
        MosqNode *next = p->next;
        free_node(p);
        p = next;
    }
    head->next = nullptr;
}
