// SHA-1 (FIPS 180-1): a context that absorbs bytes in any pieces, a fully unrolled block function,
// and stack wiping after every call that compressed a block.
#include "support/sha.h"

#include <bit>
#include <cassert>
#include <cstring>
#include <string.h>  // explicit_bzero

// 0x80 then zeros: the first pad byte carries the single 1 bit that ends the message.
static const uint8_t padding[64] = {0x80};

constexpr uint32_t kBlockBytes = 64;
// Three nested 128-byte frames: deeper than the block function's schedule and working storage.
constexpr int kBurnBytes = 368;

// FIPS 180-1 initial chaining values and round constants.
constexpr uint32_t kInitH0 = 0x67452301u;
constexpr uint32_t kInitH1 = 0xEFCDAB89u;
constexpr uint32_t kInitH2 = 0x98BADCFEu;
constexpr uint32_t kInitH3 = 0x10325476u;
constexpr uint32_t kInitH4 = 0xC3D2E1F0u;
constexpr uint32_t kK1 = 0x5A827999u;  // rounds 0-19
constexpr uint32_t kK2 = 0x6ED9EBA1u;  // rounds 20-39
constexpr uint32_t kK3 = 0x8F1BBCDCu;  // rounds 40-59
constexpr uint32_t kK4 = 0xCA62C1D6u;  // rounds 60-79

// The message length goes into the last block most significant byte first.
static uint64_t _byteswap64(uint64_t x) {
    x = ((x & 0x00FF00FF00FF00FFull) << 8) | ((x >> 8) & 0x00FF00FF00FF00FFull);
    x = ((x & 0x0000FFFF0000FFFFull) << 16) | ((x >> 16) & 0x0000FFFF0000FFFFull);
    return (x << 32) | (x >> 32);
}

// Message words are big-endian whatever the host; the compiler turns this into one swapped load.
static inline uint32_t load_be32(const uint8_t *p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

// ---- block function ------------------------------------------------------------------------

// Round functions: choose, parity, majority, in forms with few operations. The two terms of the
// majority never share a bit, so it can be added instead of or-ed and merge into the round's sum.
#define SHA1_F1(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define SHA1_F2(b, c, d) ((b) ^ (c) ^ (d))
#define SHA1_F3(b, c, d) (((b) & (c)) + ((d) & ((b) ^ (c))))

// One round. The five working variables are never shifted along; the next round passes them in
// rotated order instead, so a round only adds into e and turns b by 30 bits.
#define SHA1_ROUND(F, K, a, b, c, d, e, t)                          \
    do {                                                            \
        (e) += std::rotl((a), 5) + F((b), (c), (d)) + (K) + W[(t)]; \
        (b) = std::rotl((b), 30);                                   \
    } while (0)

// Compresses one 64-byte block into sc->hash. Kept out of line so that its schedule lies at the
// same depth as the frames burnStack wipes afterwards.
[[gnu::noinline]] static void SHA1Guts(SHA1Context *sc, const uint8_t *block) {
    uint32_t W[80];
    // Both loops are unrolled completely so that the words can stay in registers. Left rolled,
    // GCC -O2 vectorises the expansion into 8-byte loads that overlap words stored one
    // iteration earlier, which defeats store forwarding and made hashing about three times slower.
#pragma GCC unroll 16
    for (int t = 0; t < 16; t++) W[t] = load_be32(block + 4 * t);
#pragma GCC unroll 64
    for (int t = 16; t < 80; t++) W[t] = std::rotl(W[t - 3] ^ W[t - 8] ^ W[t - 14] ^ W[t - 16], 1);

    uint32_t a = sc->hash[0];
    uint32_t b = sc->hash[1];
    uint32_t c = sc->hash[2];
    uint32_t d = sc->hash[3];
    uint32_t e = sc->hash[4];

    SHA1_ROUND(SHA1_F1, kK1, a, b, c, d, e, 0);
    SHA1_ROUND(SHA1_F1, kK1, e, a, b, c, d, 1);
    SHA1_ROUND(SHA1_F1, kK1, d, e, a, b, c, 2);
    SHA1_ROUND(SHA1_F1, kK1, c, d, e, a, b, 3);
    SHA1_ROUND(SHA1_F1, kK1, b, c, d, e, a, 4);
    SHA1_ROUND(SHA1_F1, kK1, a, b, c, d, e, 5);
    SHA1_ROUND(SHA1_F1, kK1, e, a, b, c, d, 6);
    SHA1_ROUND(SHA1_F1, kK1, d, e, a, b, c, 7);
    SHA1_ROUND(SHA1_F1, kK1, c, d, e, a, b, 8);
    SHA1_ROUND(SHA1_F1, kK1, b, c, d, e, a, 9);
    SHA1_ROUND(SHA1_F1, kK1, a, b, c, d, e, 10);
    SHA1_ROUND(SHA1_F1, kK1, e, a, b, c, d, 11);
    SHA1_ROUND(SHA1_F1, kK1, d, e, a, b, c, 12);
    SHA1_ROUND(SHA1_F1, kK1, c, d, e, a, b, 13);
    SHA1_ROUND(SHA1_F1, kK1, b, c, d, e, a, 14);
    SHA1_ROUND(SHA1_F1, kK1, a, b, c, d, e, 15);
    SHA1_ROUND(SHA1_F1, kK1, e, a, b, c, d, 16);
    SHA1_ROUND(SHA1_F1, kK1, d, e, a, b, c, 17);
    SHA1_ROUND(SHA1_F1, kK1, c, d, e, a, b, 18);
    SHA1_ROUND(SHA1_F1, kK1, b, c, d, e, a, 19);

    SHA1_ROUND(SHA1_F2, kK2, a, b, c, d, e, 20);
    SHA1_ROUND(SHA1_F2, kK2, e, a, b, c, d, 21);
    SHA1_ROUND(SHA1_F2, kK2, d, e, a, b, c, 22);
    SHA1_ROUND(SHA1_F2, kK2, c, d, e, a, b, 23);
    SHA1_ROUND(SHA1_F2, kK2, b, c, d, e, a, 24);
    SHA1_ROUND(SHA1_F2, kK2, a, b, c, d, e, 25);
    SHA1_ROUND(SHA1_F2, kK2, e, a, b, c, d, 26);
    SHA1_ROUND(SHA1_F2, kK2, d, e, a, b, c, 27);
    SHA1_ROUND(SHA1_F2, kK2, c, d, e, a, b, 28);
    SHA1_ROUND(SHA1_F2, kK2, b, c, d, e, a, 29);
    SHA1_ROUND(SHA1_F2, kK2, a, b, c, d, e, 30);
    SHA1_ROUND(SHA1_F2, kK2, e, a, b, c, d, 31);
    SHA1_ROUND(SHA1_F2, kK2, d, e, a, b, c, 32);
    SHA1_ROUND(SHA1_F2, kK2, c, d, e, a, b, 33);
    SHA1_ROUND(SHA1_F2, kK2, b, c, d, e, a, 34);
    SHA1_ROUND(SHA1_F2, kK2, a, b, c, d, e, 35);
    SHA1_ROUND(SHA1_F2, kK2, e, a, b, c, d, 36);
    SHA1_ROUND(SHA1_F2, kK2, d, e, a, b, c, 37);
    SHA1_ROUND(SHA1_F2, kK2, c, d, e, a, b, 38);
    SHA1_ROUND(SHA1_F2, kK2, b, c, d, e, a, 39);

    SHA1_ROUND(SHA1_F3, kK3, a, b, c, d, e, 40);
    SHA1_ROUND(SHA1_F3, kK3, e, a, b, c, d, 41);
    SHA1_ROUND(SHA1_F3, kK3, d, e, a, b, c, 42);
    SHA1_ROUND(SHA1_F3, kK3, c, d, e, a, b, 43);
    SHA1_ROUND(SHA1_F3, kK3, b, c, d, e, a, 44);
    SHA1_ROUND(SHA1_F3, kK3, a, b, c, d, e, 45);
    SHA1_ROUND(SHA1_F3, kK3, e, a, b, c, d, 46);
    SHA1_ROUND(SHA1_F3, kK3, d, e, a, b, c, 47);
    SHA1_ROUND(SHA1_F3, kK3, c, d, e, a, b, 48);
    SHA1_ROUND(SHA1_F3, kK3, b, c, d, e, a, 49);
    SHA1_ROUND(SHA1_F3, kK3, a, b, c, d, e, 50);
    SHA1_ROUND(SHA1_F3, kK3, e, a, b, c, d, 51);
    SHA1_ROUND(SHA1_F3, kK3, d, e, a, b, c, 52);
    SHA1_ROUND(SHA1_F3, kK3, c, d, e, a, b, 53);
    SHA1_ROUND(SHA1_F3, kK3, b, c, d, e, a, 54);
    SHA1_ROUND(SHA1_F3, kK3, a, b, c, d, e, 55);
    SHA1_ROUND(SHA1_F3, kK3, e, a, b, c, d, 56);
    SHA1_ROUND(SHA1_F3, kK3, d, e, a, b, c, 57);
    SHA1_ROUND(SHA1_F3, kK3, c, d, e, a, b, 58);
    SHA1_ROUND(SHA1_F3, kK3, b, c, d, e, a, 59);

    SHA1_ROUND(SHA1_F2, kK4, a, b, c, d, e, 60);
    SHA1_ROUND(SHA1_F2, kK4, e, a, b, c, d, 61);
    SHA1_ROUND(SHA1_F2, kK4, d, e, a, b, c, 62);
    SHA1_ROUND(SHA1_F2, kK4, c, d, e, a, b, 63);
    SHA1_ROUND(SHA1_F2, kK4, b, c, d, e, a, 64);
    SHA1_ROUND(SHA1_F2, kK4, a, b, c, d, e, 65);
    SHA1_ROUND(SHA1_F2, kK4, e, a, b, c, d, 66);
    SHA1_ROUND(SHA1_F2, kK4, d, e, a, b, c, 67);
    SHA1_ROUND(SHA1_F2, kK4, c, d, e, a, b, 68);
    SHA1_ROUND(SHA1_F2, kK4, b, c, d, e, a, 69);
    SHA1_ROUND(SHA1_F2, kK4, a, b, c, d, e, 70);
    SHA1_ROUND(SHA1_F2, kK4, e, a, b, c, d, 71);
    SHA1_ROUND(SHA1_F2, kK4, d, e, a, b, c, 72);
    SHA1_ROUND(SHA1_F2, kK4, c, d, e, a, b, 73);
    SHA1_ROUND(SHA1_F2, kK4, b, c, d, e, a, 74);
    SHA1_ROUND(SHA1_F2, kK4, a, b, c, d, e, 75);
    SHA1_ROUND(SHA1_F2, kK4, e, a, b, c, d, 76);
    SHA1_ROUND(SHA1_F2, kK4, d, e, a, b, c, 77);
    SHA1_ROUND(SHA1_F2, kK4, c, d, e, a, b, 78);
    SHA1_ROUND(SHA1_F2, kK4, b, c, d, e, a, 79);

    sc->hash[0] += a;
    sc->hash[1] += b;
    sc->hash[2] += c;
    sc->hash[3] += d;
    sc->hash[4] += e;
}

#undef SHA1_ROUND
#undef SHA1_F3
#undef SHA1_F2
#undef SHA1_F1

// Zeroes size bytes of stack in nested 128-byte frames. explicit_bzero is a store the compiler
// may not drop; noinline and the barrier after the call keep every level a frame of its own
// (no inlining into the caller, no tail call reusing one frame).
[[gnu::noinline]] static void burnStack(int size) {
    unsigned char buf[128];
    explicit_bzero(buf, sizeof buf);
    size -= static_cast<int>(sizeof buf);
    if (size > 0) burnStack(size);
    asm volatile("" ::: "memory");
}

// ---- context operations --------------------------------------------------------------------

void SHA1Init(SHA1Context *sc) {
    sc->totalLength = 0;
    sc->hash[0] = kInitH0;
    sc->hash[1] = kInitH1;
    sc->hash[2] = kInitH2;
    sc->hash[3] = kInitH3;
    sc->hash[4] = kInitH4;
    sc->bufferLength = 0;
}

void SHA1Update(SHA1Context *sc, const void *vdata, uint32_t len) {
    assert(sc->bufferLength < kBlockBytes);
    const uint8_t *data = static_cast<const uint8_t *>(vdata);
    bool compressed = false;
    while (len > 0) {
        uint32_t take = kBlockBytes - sc->bufferLength;
        if (take > len) take = len;
        // A whole block is copied with a constant size, which compiles to a few moves instead
        // of a library call per block.
        if (take == kBlockBytes)
            memcpy(sc->buffer.bytes, data, kBlockBytes);
        else
            memcpy(sc->buffer.bytes + sc->bufferLength, data, take);
        sc->totalLength += static_cast<uint64_t>(take) * 8;
        sc->bufferLength += take;
        data += take;
        len -= take;
        if (sc->bufferLength == kBlockBytes) {
            SHA1Guts(sc, sc->buffer.bytes);
            sc->bufferLength = 0;
            compressed = true;
        }
    }
    // Only a compression leaves message-derived words on the stack.
    if (compressed) burnStack(kBurnBytes);
}

void SHA1Final(SHA1Context *sc, uint8_t hash[SHA1_HASH_SIZE]) {
    // 1 to 64 pad bytes, so that the 8 length bytes end exactly on a block boundary.
    uint32_t padLength = 120 - sc->bufferLength;
    if (padLength > kBlockBytes) padLength -= kBlockBytes;

    // The length counts the message only, so it is taken before the padding is absorbed.
    uint64_t bits = sc->totalLength;
    if constexpr (std::endian::native == std::endian::little) bits = _byteswap64(bits);
    uint8_t lengthBytes[8];
    memcpy(lengthBytes, &bits, sizeof lengthBytes);

    SHA1Update(sc, padding, padLength);
    SHA1Update(sc, lengthBytes, sizeof lengthBytes);

    if (hash == nullptr) return;
    for (int i = 0; i < 5; i++) {
        hash[4 * i + 0] = static_cast<uint8_t>(sc->hash[i] >> 24);
        hash[4 * i + 1] = static_cast<uint8_t>(sc->hash[i] >> 16);
        hash[4 * i + 2] = static_cast<uint8_t>(sc->hash[i] >> 8);
        hash[4 * i + 3] = static_cast<uint8_t>(sc->hash[i]);
    }
}
