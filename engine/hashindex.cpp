#include "engine/hashindex.h"

#include <cassert>
#include <cstdlib>
#include <cstring>

constexpr uint32_t FIRST_CAPACITY = 64;  // slots of a table's first allocation

// The keys are SHA-1 digests, evenly spread: their first four bytes are a good enough slot
// number. A peer can pick the digests it asks about, but a lookup ends at the first empty slot,
// and only this peer's own chunks are ever inserted, so a chosen digest finds no longer a run of
// full slots than a random one would.
static uint32_t home_slot(const hash_index_t *index, const uint8_t *hash) {
    uint32_t h;
    memcpy(&h, hash, sizeof h);
    return h & (index->capacity - 1);
}

static uint32_t next_slot(const hash_index_t *index, uint32_t at) {
    return (at + 1) & (index->capacity - 1);
}

// The slot holding hash, or the empty slot where it would go.
static uint32_t find_slot(const hash_index_t *index, const uint8_t *hash) {
    uint32_t at = home_slot(index, hash);
    while (index->slots[at].value >= 0 && memcmp(index->slots[at].hash, hash, HASH_SIZE) != 0)
        at = next_slot(index, at);
    return at;
}

int hashindex_get(const hash_index_t *index, const uint8_t *hash) {
    if (index->count == 0) return -1;
    return index->slots[find_slot(index, hash)].value;
}

static hash_slot_t *empty_slots(uint32_t capacity) {
    auto *slots = static_cast<hash_slot_t *>(malloc(capacity * sizeof(hash_slot_t)));
    assert(slots && "hash slots");
    for (uint32_t i = 0; i < capacity; i++) slots[i].value = -1;
    return slots;
}

// Doubles the table (or makes the first one) and puts every key back.
static void grow(hash_index_t *index) {
    hash_slot_t *old = index->slots;
    uint32_t old_capacity = index->capacity;
    index->capacity = old_capacity ? 2 * old_capacity : FIRST_CAPACITY;
    assert(index->capacity > old_capacity && "hash index size");
    index->slots = empty_slots(index->capacity);
    for (uint32_t i = 0; i < old_capacity; i++) {
        if (old[i].value >= 0) index->slots[find_slot(index, old[i].hash)] = old[i];
    }
    free(old);
}

void hashindex_put(hash_index_t *index, const uint8_t *hash, int value) {
    assert(value >= 0 && "hash index value");
    // At most half full: runs of full slots stay a few slots long.
    if (2 * (static_cast<uint32_t>(index->count) + 1) > index->capacity) grow(index);
    hash_slot_t *slot = &index->slots[find_slot(index, hash)];
    if (slot->value < 0) {
        memcpy(slot->hash, hash, HASH_SIZE);
        index->count++;
    }
    slot->value = value;
}

// Whether a key whose home is `home`, found at `at`, may move to the hole at `hole`: the hole
// lies on its probe path, between its home and where it is now.
static bool may_fill(uint32_t home, uint32_t hole, uint32_t at, uint32_t mask) {
    return ((at - home) & mask) >= ((at - hole) & mask);
}

bool hashindex_remove(hash_index_t *index, const uint8_t *hash) {
    if (index->count == 0) return false;
    uint32_t hole = find_slot(index, hash);
    if (index->slots[hole].value < 0) return false;
    // No tombstones: the keys after the hole that would no longer be found move back into it.
    uint32_t mask = index->capacity - 1;
    for (uint32_t at = next_slot(index, hole); index->slots[at].value >= 0;
         at = next_slot(index, at)) {
        if (!may_fill(home_slot(index, index->slots[at].hash), hole, at, mask)) continue;
        index->slots[hole] = index->slots[at];
        hole = at;
    }
    index->slots[hole].value = -1;
    index->count--;
    return true;
}

void hashindex_free(hash_index_t *index) {
    free(index->slots);
    index->slots = nullptr;
    index->capacity = 0;
    index->count = 0;
}
