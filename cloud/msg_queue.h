// The inbound queue: texts received by the network thread, oldest first,
// waiting for the run loop. None of these functions locks; callers hold
// mosq_mutex around every change, count or walk of the queue.
#pragma once

#include <pthread.h>

#include <cstddef>

constexpr int MOSQ_QUEUE_MAX = 100;  // queued messages at most

// One queued message: the agent's own zero-terminated copy of the payload
// text (the payload up to its first zero byte).
struct MosqNode {
    char *payload;
    MosqNode *next;
};

extern MosqNode *mosqhead;  // head node (no message), created at start-up
extern pthread_mutex_t mosq_mutex;

// Allocates the empty head node into *head: 0, or 1 ("malloc fail").
int initMosqList(MosqNode **head);
// Appends `node` after the last node.
void MosqLinstinsert(MosqNode *head, MosqNode *node);
// Deletes the message at `index` (1 = oldest): 0, or 1 when refused
// ("index must > 1" for index < 1, "list only %d Node\n" beyond the end).
int MosqListdelete(MosqNode *head, int index);
// 1 when a message is queued, else 0.
int ismosqlistnil(const MosqNode *head);
int mosqlistlen(const MosqNode *head);

// A node holding the text of `len` payload bytes up to the first zero byte;
// null when it cannot be allocated.
MosqNode *mosq_node_copy(const void *payload, std::size_t len);
// Frees every message after the head.
void MosqListClean(MosqNode *head);
