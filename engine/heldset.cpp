#include "engine/heldset.h"

#include <cassert>

static bool in_chunk(int seq) {
    return seq >= 1 && seq <= PACKETS_PER_CHUNK;
}

static uint64_t bit_of(int seq) {
    return uint64_t{1} << (static_cast<unsigned>(seq) % 64);
}

static int word_of(int seq) {
    return seq / 64;
}

bool heldset_has(const heldset_t *set, int seq) {
    return in_chunk(seq) && (set->bits[word_of(seq)] & bit_of(seq)) != 0;
}

void heldset_add(heldset_t *set, int seq) {
    assert(in_chunk(seq));
    if (heldset_has(set, seq)) return;
    set->bits[word_of(seq)] |= bit_of(seq);
    set->count++;
}

void heldset_remove(heldset_t *set, int seq) {
    assert(in_chunk(seq));
    if (!heldset_has(set, seq)) return;
    set->bits[word_of(seq)] &= ~bit_of(seq);
    set->count--;
}

void heldset_release_upto(heldset_t *set, int last_seq) {
    if (set->count == 0 || last_seq < 1) return;
    int top = last_seq < PACKETS_PER_CHUNK ? last_seq : PACKETS_PER_CHUNK;
    for (int w = 0; w <= word_of(top); w++) {
        // The bits of this word at or below top.
        uint64_t mask = w < word_of(top) ? ~uint64_t{0} : (bit_of(top) - 1) | bit_of(top);
        uint64_t gone = set->bits[w] & mask;
        set->count -= __builtin_popcountll(gone);
        set->bits[w] &= ~gone;
    }
}

void heldset_clear(heldset_t *set) {
    for (uint64_t &w : set->bits) w = 0;
    set->count = 0;
}

int heldset_count(const heldset_t *set) {
    return set->count;
}
