#include "engine/chunklist.h"

#include <gtest/gtest.h>

#include <cstring>

#include "config/debug.h"
#include "engine_fixture.h"

using ef::hash_of;
using ef::list_of;
using ef::u8;

static std::vector<int> ids(const chunkitem *l) {
    std::vector<int> v;
    for (; l; l = l->next) v.push_back(l->id);
    return v;
}

TEST(ChunkList, FindinKeepsNeedleOrderAndRepeatsWithHaystackIds) {
    std::string a = hash_of(1), b = hash_of(2), c = hash_of(3);
    chunkitem *haystack = list_of({a, b});  // a id 0, b id 1
    chunkitem *needles = list_of({b, a, b, c});
    chunkitem *found = chunklist_findin(haystack, needles);
    EXPECT_EQ(ids(found), (std::vector<int>{1, 0, 1}));
    EXPECT_EQ(0, memcmp(found->hash, b.data(), HASH_SIZE));
    EXPECT_EQ(0, memcmp(found->next->hash, a.data(), HASH_SIZE));

    /* no common hash */
    chunkitem *none = list_of({c});
    EXPECT_EQ(nullptr, chunklist_findin(haystack, none));

    /* a hash twice in the haystack is matched at its first place */
    chunkitem *dup_hay = list_of({a, a});
    chunkitem *one = list_of({a});
    chunkitem *first = chunklist_findin(dup_hay, one);
    EXPECT_EQ(ids(first), (std::vector<int>{0}));
    for (chunkitem *l : {haystack, needles, found, none, dup_hay, one, first}) chunklist_free(l);
}

TEST(ChunkList, RemoveTakesOnlyTheFirstEqualHash) {
    std::string a = hash_of(1), b = hash_of(2);
    chunkitem *l = list_of({b, a, a});  // ids 0 1 2
    EXPECT_EQ(1, chunklist_remove(&l, u8(a)));
    EXPECT_EQ(ids(l), (std::vector<int>{0, 2}));
    EXPECT_EQ(1, chunklist_remove(&l, u8(b)));  // the head
    EXPECT_EQ(ids(l), (std::vector<int>{2}));
    EXPECT_EQ(0, chunklist_remove(&l, u8(b)));
    EXPECT_EQ(1, chunklist_remove(&l, u8(a)));
    EXPECT_EQ(nullptr, l);
    EXPECT_EQ(0, chunklist_remove(&l, u8(a)));  // empty list
    EXPECT_EQ(0, chunklist_remove(nullptr, u8(a)));
}

TEST(ChunkList, AddConcatLengthAndFind) {
    std::string a = hash_of(1), b = hash_of(2);
    chunkitem *l = nullptr;
    EXPECT_EQ(0, chunklist_length(l));
    chunklist_add(&l, u8(a), 7);
    chunklist_add(&l, u8(b), 8);
    EXPECT_EQ(ids(l), (std::vector<int>{8, 7}));

    /* concat onto an empty list makes the second list the whole list */
    chunkitem *empty = nullptr;
    chunklist_concat(&empty, l);
    EXPECT_EQ(empty, l);
    chunklist_concat(&l, list_of({a}));
    EXPECT_EQ(ids(l), (std::vector<int>{8, 7, 0}));
    EXPECT_EQ(3, chunklist_length(l));
    EXPECT_EQ(7, chunklist_find_hash(l, u8(a))->id);
    EXPECT_EQ(nullptr, chunklist_find_hash(l, u8(hash_of(9))));
    chunklist_free(l);
}

TEST(ChunkList, PrintIsGatedByItsCategory) {
    chunkitem *l = list_of({hash_of(1)});
    unsigned saved = debug;
    debug = 0;
    testing::internal::CaptureStderr();
    chunklist_print(l, DEBUG_WHOHAS);
    chunklist_print_single(l, DEBUG_WHOHAS);
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    debug = DEBUG_WHOHAS;
    testing::internal::CaptureStderr();
    chunklist_print_single(l, DEBUG_WHOHAS);
    EXPECT_EQ("id = 0, hash = 1f202122232425262728292a2b2c2d2e2f303132 \n",
              testing::internal::GetCapturedStderr());
    debug = saved;
    chunklist_free(l);
}
