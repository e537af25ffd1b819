// Timed-packet lists (outstanding and out-of-order DATA packets) and time conversion.
#pragma once

#include <sys/time.h>

#include "engine/common.h"

// One node of a timed-packet list. The list grows at the head. Two values answer what the sender
// asks of the whole list on every packet without a walk: the list's length, kept in the first
// node (a node that stops being first keeps a stale one), and a time that no node from this one
// to the end was sent before, which stays true for every node as nodes are removed.
struct timeitem_s {
    struct timeval t;         // when the packet was sent; all zero when no time was given
    struct timeitem_s *next;  // nullptr at the end
    header *hdr;              // heap block holding a stored packet, header first; or &stored
    int length;               // in the first node: nodes in the list
    double earliest;          // seconds; no node from here on was sent earlier (a lower bound)
    header stored;            // the header alone, kept in the node (timelist_add_header)
};
typedef struct timeitem_s timeitem;

// Seconds with the microseconds as fraction.
double timeval2double(const struct timeval *t);
// The inverse of timeval2double, to the microsecond.
void double2timeval(double seconds, struct timeval *t);
// The current time on the monotonic clock, which a step of the wall clock cannot move: every
// timer of the peer is read from it. Only the event loop (once per pass, after its wait) and the
// programs' own start-up and summaries read it; every function of the engine that judges time
// is given that pass's time by its caller, so tests pin the only time there is.
void now_timeval(struct timeval *tv);
// now_timeval in seconds.
double now_seconds();

// Nodes given back are kept for the next ones, up to this many for the whole process: a sender
// records a node for every DATA packet, and takes it from here instead of the allocator.
constexpr int TIMELIST_SPARE_MAX = 1024;

// Puts a new node first in *head; copies *tval (zero when null). The node refers to hdr, the
// caller's block, which the list owns from now on (released by timelist_free).
void timelist_add(timeitem **head, const struct timeval *tval, header *hdr);
// The same for a packet of which only its header is kept: copied into the node, no block of its
// own (a sent DATA packet, rebuilt from the chunk when it is sent again).
void timelist_add_header(timeitem **head, const struct timeval *tval, const header *hdr);
// Unlinks to_remove (found by identity) and releases the node only, not its packet.
void timelist_remove(timeitem **head, timeitem *to_remove);
// Unlinks the node that *link points to, link being head or the next field of a node of the
// list, and releases the node only, not its packet; *link then points to the node that followed.
// No walk: for callers that already hold the link.
void timelist_remove_at(timeitem **head, timeitem **link);
// As timelist_remove_at, releasing the node's packet too.
void timelist_release_at(timeitem **head, timeitem **link);
// The number of nodes, without a walk.
int timelist_length(const timeitem *head);
// Seconds; no node of the list was sent before this time, and after timelist_refresh_earliest
// some node was sent at it. 0 for an empty list.
double timelist_earliest(const timeitem *head);
// Makes timelist_earliest exact again after removals: one walk.
void timelist_refresh_earliest(timeitem *head);
// Releases every node and its packet.
void timelist_free(timeitem *head);
// Releases every node, and its packet, whose packet's sequence number is at most last_seq; the
// others stay in their order.
void timelist_release_upto(timeitem **head, int last_seq);
// Under debug category db: "sent = %f  seq = %d (%x)\n" per node.
void timelist_print(const timeitem *head, unsigned int db);
