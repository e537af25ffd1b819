// Chunk buffers: the CHUNK_SIZE blocks a connection holds while it sends or receives a chunk.
// A few idle ones are kept for the next connection instead of going back to the allocator, which
// hands blocks this large out as fresh pages to be faulted in and zeroed each time (glibc once a
// block this size has been freed, the sanitizers always). An idle block is poisoned under
// AddressSanitizer, so a use after it was given back is still reported.
#pragma once

#include <cstdint>

#include "engine/common.h"

constexpr int CHUNKBUF_KEPT = 8;  // idle blocks kept: at most 4 MiB

// A CHUNK_SIZE block of unspecified bytes that the caller owns; it is given back with
// chunkbuf_give (or released with free, as a block from malloc).
uint8_t *chunkbuf_take();
// Takes back a block from chunkbuf_take or malloc(CHUNK_SIZE); nullptr is nothing.
void chunkbuf_give(uint8_t *block);
