// The DATA packets a receiving connection holds, one bit per sequence number of a chunk. A packet
// ahead of a gap lies at its place in the connection's chunk buffer and is marked here until the
// gap closes; a packet that came again after it was taken is marked only (its bytes are not
// kept), until the next in-order arrival releases it. Bounded: one chunk's packets, no
// allocation.
#pragma once

#include <cstdint>

#include "engine/common.h"

constexpr int HELDSET_WORDS = (PACKETS_PER_CHUNK + 1 + 63) / 64;  // bits 0..375; 0 is unused
static_assert(HELDSET_WORDS * 64 > PACKETS_PER_CHUNK);

struct heldset_s {
    uint64_t bits[HELDSET_WORDS];  // bit seq set: packet seq is held
    int count;                     // bits set
};
typedef struct heldset_s heldset_t;

// True when packet seq (any int) is held.
bool heldset_has(const heldset_t *set, int seq);
// Marks packet seq (1..PACKETS_PER_CHUNK) held.
void heldset_add(heldset_t *set, int seq);
// Unmarks packet seq (1..PACKETS_PER_CHUNK).
void heldset_remove(heldset_t *set, int seq);
// Unmarks every packet numbered at most last_seq.
void heldset_release_upto(heldset_t *set, int last_seq);
// Unmarks every packet.
void heldset_clear(heldset_t *set);
// The packets held.
int heldset_count(const heldset_t *set);
