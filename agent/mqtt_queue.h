// The inbound message queue: a singly linked list headed by a node that
// carries no message, oldest message first, at most MOSQ_QUEUE_MAX messages.
// None of these operations locks; callers hold mosq_mutex.
#pragma once

#include <cstdint>

constexpr int MOSQ_QUEUE_MAX = 100;

struct MosqNode {
    unsigned char *payload;  // own heap copy, not terminated; owned by the node
    uint32_t len;
    MosqNode *next;
};

extern MosqNode *mosqhead;

// Allocates an empty node into *node: 0, or 1 when out of memory.
int initMosqList(MosqNode **node);
void MosqLinstinsert(MosqNode *head, MosqNode *node);
// Unlinks and frees the oldest message; the queue must not be empty.
int MosqListdelete(MosqNode *head);
// Moves the oldest message into `out` (a fresh copy the caller frees) and
// removes it from the queue: 1, or 0 when the queue is empty or the copy
// cannot be made (then the message stays queued and `out` is untouched).
int handlMess(MosqNode *head, MosqNode *out);
int MosqListClean(MosqNode *head);
int mosqlistlen(MosqNode *head);

// Appends a copy of `len` bytes as a new message: 1, or 0 when the copy
// cannot be allocated (nothing is queued).
int mosq_queue_copy(MosqNode *head, const void *payload, uint32_t len);
