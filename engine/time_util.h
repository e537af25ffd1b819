// Timed-packet lists (outstanding and out-of-order DATA packets) and time conversion.
#pragma once

#include <sys/time.h>

#include "engine/common.h"

// One node of a timed-packet list. The list grows at the head.
struct timeitem_s {
    struct timeval t;         // when the packet was sent; all zero when no time was given
    struct timeitem_s *next;  // nullptr at the end
    header *hdr;              // heap block holding a whole stored packet, header first
};
typedef struct timeitem_s timeitem;

// Seconds with the microseconds as fraction.
double timeval2double(const struct timeval *t);
// The current time on the monotonic clock, which a step of the wall clock cannot move: every
// timer of the peer is read from it.
void now_timeval(struct timeval *tv);
// now_timeval in seconds.
double now_seconds();

// Puts a new node first in *head; copies *tval (zero when null). The node refers to hdr, the
// caller's block, which the list owns from now on (released by timelist_free).
void timelist_add(timeitem **head, const struct timeval *tval, header *hdr);
// Unlinks to_remove (found by identity) and releases the node only, not its packet.
void timelist_remove(timeitem **head, timeitem *to_remove);
int timelist_length(const timeitem *head);
// Releases every node and its packet.
void timelist_free(timeitem *head);
// Releases every node, and its packet, whose packet's sequence number is at most last_seq; the
// others stay in their order.
void timelist_release_upto(timeitem **head, int last_seq);
// Under debug category db: "sent = %f  seq = %d (%x)\n" per node.
void timelist_print(const timeitem *head, unsigned int db);
