// A table from 20-byte SHA-1 digests to small non-negative numbers: open addressing with linear
// probing, at most half full, so that a lookup, an insertion and a removal take a few probes
// whatever the number of keys.
#pragma once

#include <cstdint>

#include "engine/common.h"

// One slot of the table.
struct hash_slot_s {
    uint8_t hash[HASH_SIZE];  // the key
    int value;                // >= 0; -1: the slot is empty
};
typedef struct hash_slot_s hash_slot_t;

struct hash_index_s {
    hash_slot_t *slots;  // capacity slots (owned); nullptr until the first insertion
    uint32_t capacity;   // a power of two, or 0
    int count;           // keys held
};
typedef struct hash_index_s hash_index_t;

// The value stored for hash, or -1 when the table holds no such key.
int hashindex_get(const hash_index_t *index, const uint8_t *hash);
// Stores value (>= 0) for hash, replacing the value it had.
void hashindex_put(hash_index_t *index, const uint8_t *hash, int value);
// Removes hash; false when the table did not hold it.
bool hashindex_remove(hash_index_t *index, const uint8_t *hash);
// Releases the slots; the table is empty and usable again.
void hashindex_free(hash_index_t *index);
