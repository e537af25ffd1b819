// The chunk buffers kept for reuse: a block given back is the next one taken, only a few are
// kept, and under AddressSanitizer an idle block cannot be touched.
#include "engine/chunkbuf.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>

TEST(ChunkBuffers, AGivenBlockIsTakenAgainAndOnlyAFewAreKept) {
    uint8_t *a = chunkbuf_take();
    memset(a, 0x5A, CHUNK_SIZE);  // the whole block is usable
    chunkbuf_give(a);
    // A block that went back to the allocator would be handed out here, not by the take.
    void *meanwhile = malloc(CHUNK_SIZE);
    EXPECT_EQ(a, chunkbuf_take());
    free(meanwhile);
    /* more given back than are kept: the surplus goes back to the allocator, and as many as
       are kept come out again */
    std::set<uint8_t *> given;
    for (int i = 0; i < CHUNKBUF_KEPT + 3; i++) given.insert(chunkbuf_take());
    for (uint8_t *b : given) chunkbuf_give(b);
    std::set<uint8_t *> again;
    for (int i = 0; i < CHUNKBUF_KEPT; i++) again.insert(chunkbuf_take());
    for (uint8_t *b : again) EXPECT_TRUE(given.count(b));
    for (uint8_t *b : again) chunkbuf_give(b);
    chunkbuf_give(a);
    chunkbuf_give(nullptr);
}

#if defined(__SANITIZE_ADDRESS__)
TEST(ChunkBuffers, AnIdleBlockIsPoisoned) {
    uint8_t *a = chunkbuf_take();
    chunkbuf_give(a);
    EXPECT_DEATH(a[CHUNK_SIZE / 2] = 1, "use-after-poison");
    EXPECT_EQ(a, chunkbuf_take());
    a[CHUNK_SIZE / 2] = 1;  // taken again: usable
    chunkbuf_give(a);
}
#endif
