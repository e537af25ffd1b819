#include "engine/chunkbuf.h"

#include <cassert>
#include <cstdlib>

#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

// The idle blocks; the process owns them until they are taken.
static uint8_t *idle[CHUNKBUF_KEPT];
static int idle_count = 0;

uint8_t *chunkbuf_take() {
    if (idle_count > 0) {
        uint8_t *block = idle[--idle_count];
        ASAN_UNPOISON_MEMORY_REGION(block, CHUNK_SIZE);
        return block;
    }
    auto *block = static_cast<uint8_t *>(malloc(CHUNK_SIZE));
    assert(block && "chunk buffer");
    return block;
}

void chunkbuf_give(uint8_t *block) {
    if (!block) return;
    if (idle_count == CHUNKBUF_KEPT) {
        free(block);
        return;
    }
    ASAN_POISON_MEMORY_REGION(block, CHUNK_SIZE);
    idle[idle_count++] = block;
}
