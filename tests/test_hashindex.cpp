// The hash table under the store and the chunk index, against a std::map doing the same
// insertions, replacements and removals.
#include "engine/hashindex.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

namespace {

// A digest whose first four bytes (the table's slot number) are home, the rest from n, so that
// many keys can be made to share one home and runs wrap past the table's end.
std::string key(uint32_t home, uint32_t n) {
    std::string k(HASH_SIZE, '\0');
    memcpy(k.data(), &home, sizeof home);
    memcpy(k.data() + 8, &n, sizeof n);
    return k;
}

const uint8_t *u8(const std::string &s) {
    return reinterpret_cast<const uint8_t *>(s.data());
}

// Every key of the reference is found with its value, and none of the others.
void expect_same(const hash_index_t &index, const std::map<std::string, int> &ref,
                 const std::vector<std::string> &universe) {
    ASSERT_EQ(static_cast<int>(ref.size()), index.count);
    for (const std::string &k : universe) {
        auto it = ref.find(k);
        ASSERT_EQ(it == ref.end() ? -1 : it->second, hashindex_get(&index, u8(k)));
    }
}

}  // namespace

TEST(HashIndex, RandomInsertionsReplacementsAndRemovalsMatchAMap) {
    std::mt19937 rng(24);
    /* keys crowded onto a few homes near the table's end, and spread ones */
    std::vector<std::string> universe;
    for (uint32_t n = 0; n < 300; n++) universe.push_back(key(60 + n % 6, n));
    for (uint32_t n = 0; n < 300; n++) universe.push_back(key(static_cast<uint32_t>(rng()), n));
    hash_index_t index{};
    std::map<std::string, int> ref;
    for (int step = 0; step < 20000; step++) {
        const std::string &k = universe[rng() % universe.size()];
        if (rng() % 3 == 0) {
            EXPECT_EQ(ref.erase(k) == 1, hashindex_remove(&index, u8(k)));
        } else {
            int value = static_cast<int>(rng() % 1000);
            hashindex_put(&index, u8(k), value);
            ref[k] = value;
        }
        if (step % 997 == 0) expect_same(index, ref, universe);
    }
    expect_same(index, ref, universe);
    /* emptied key by key, then reused */
    for (const auto &[k, v] : ref) EXPECT_TRUE(hashindex_remove(&index, u8(k)));
    ref.clear();
    expect_same(index, ref, universe);
    hashindex_put(&index, u8(universe[0]), 7);
    EXPECT_EQ(7, hashindex_get(&index, u8(universe[0])));
    hashindex_free(&index);
    EXPECT_EQ(-1, hashindex_get(&index, u8(universe[0])));
    EXPECT_FALSE(hashindex_remove(&index, u8(universe[0])));
}

TEST(HashIndex, AKeyRemovedFromTheMiddleOfARunLeavesTheRestFound) {
    /* four keys of one home and one of the next: removing the first must pull the others back,
       the one of the next home included, or a lookup would stop at the hole */
    hash_index_t index{};
    std::vector<std::string> keys = {key(63, 1), key(63, 2), key(0, 3), key(63, 4), key(0, 5)};
    for (size_t i = 0; i < keys.size(); i++) hashindex_put(&index, u8(keys[i]), static_cast<int>(i));
    ASSERT_EQ(64u, index.capacity);
    EXPECT_TRUE(hashindex_remove(&index, u8(keys[0])));
    EXPECT_EQ(-1, hashindex_get(&index, u8(keys[0])));
    for (size_t i = 1; i < keys.size(); i++)
        EXPECT_EQ(static_cast<int>(i), hashindex_get(&index, u8(keys[i])));
    EXPECT_TRUE(hashindex_remove(&index, u8(keys[2])));
    for (size_t i : {1u, 3u, 4u}) EXPECT_EQ(static_cast<int>(i), hashindex_get(&index, u8(keys[i])));
    hashindex_free(&index);
}
