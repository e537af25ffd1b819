// SHA-1 (FIPS 180-1): a context that absorbs bytes in any pieces, two block functions (a fully
// unrolled portable one and, on x86-64 CPUs that have them, one on the SHA instructions), and
// stack wiping after every call that compressed a block.
#include "support/sha.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <string.h>  // explicit_bzero

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

// 0x80 then zeros: the first pad byte carries the single 1 bit that ends the message.
static const uint8_t padding[64] = {0x80};

constexpr uint32_t kBlockBytes = 64;
// Three nested 128-byte frames: deeper than the block functions' schedule and working storage as
// an optimising build lays them out. Unoptimised (and sanitizer) builds give every temporary of
// the SHA-instruction function a stack slot of its own, nearly 3 KiB, so they wipe deeper.
#if defined(__OPTIMIZE__) && !defined(__SANITIZE_ADDRESS__)
constexpr int kBurnBytes = 368;
#else
constexpr int kBurnBytes = 8192;
#endif

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

// ---- portable block function ---------------------------------------------------------------

// Round functions: choose, parity, majority, in forms with few operations. The two terms of the
// majority never share a bit, so it can be added instead of or-ed and merge into the round's sum.
#define SHA1_F1(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define SHA1_F2(b, c, d) ((b) ^ (c) ^ (d))
#define SHA1_F3(b, c, d) (((b) & (c)) + ((d) & ((b) ^ (c))))

// Schedule word t. A round needs only the last 16 words, so they live in a ring of 16 and word t
// (from 16 on) is expanded in the round that uses it, over word t - 16. Interleaved with the
// rounds this way, the expansion ran about 15% faster than writing all 80 words out first.
#define SHA1_W(t)                       \
    ((t) < 16 ? W[(t)&15]               \
              : (W[(t)&15] = std::rotl( \
                     W[((t)-3) & 15] ^ W[((t)-8) & 15] ^ W[((t)-14) & 15] ^ W[(t)&15], 1)))

// One round. The five working variables are never shifted along; the next round passes them in
// rotated order instead, so a round only adds into e and turns b by 30 bits.
#define SHA1_ROUND(F, K, a, b, c, d, e, t)                             \
    do {                                                               \
        (e) += std::rotl((a), 5) + F((b), (c), (d)) + (K) + SHA1_W(t); \
        (b) = std::rotl((b), 30);                                      \
    } while (0)

// Compresses blocks consecutive 64-byte blocks into sc->hash, keeping the chaining state in
// registers from one block to the next. Kept out of line so that its schedule lies at the same
// depth as the frames burnStack wipes afterwards.
[[gnu::noinline]] static void SHA1Guts(SHA1Context *sc, const uint8_t *data, size_t blocks) {
    uint32_t a = sc->hash[0];
    uint32_t b = sc->hash[1];
    uint32_t c = sc->hash[2];
    uint32_t d = sc->hash[3];
    uint32_t e = sc->hash[4];
    uint32_t W[16];
    for (; blocks > 0; blocks--, data += kBlockBytes) {
#pragma GCC unroll 16
        for (int t = 0; t < 16; t++) W[t] = load_be32(data + 4 * t);
        const uint32_t a0 = a;
        const uint32_t b0 = b;
        const uint32_t c0 = c;
        const uint32_t d0 = d;
        const uint32_t e0 = e;

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

        a += a0;
        b += b0;
        c += c0;
        d += d0;
        e += e0;
    }
    sc->hash[0] = a;
    sc->hash[1] = b;
    sc->hash[2] = c;
    sc->hash[3] = d;
    sc->hash[4] = e;
}

#undef SHA1_ROUND
#undef SHA1_W
#undef SHA1_F3
#undef SHA1_F2
#undef SHA1_F1

// ---- block function on the x86 SHA instructions -------------------------------------------

#if defined(__x86_64__)

// Four rounds with function f: e for them is the a of four rounds back turned by 30 bits
// (sha1nexte) plus the next four schedule words m; e_next keeps abcd for the four after these.
#define SHANI_4ROUNDS(f, e_now, e_next, m)              \
    do {                                                \
        (e_now) = _mm_sha1nexte_epu32((e_now), (m));    \
        (e_next) = abcd;                                \
        abcd = _mm_sha1rnds4_epu32(abcd, (e_now), (f)); \
    } while (0)

// The schedule, four words a step, in four registers used round-robin: at group g (words 4g to
// 4g+3, held in now) words 4g+12.. are begun (msg1), 4g+8.. get their middle term (xor) and
// 4g+4.. are finished (msg2).
#define SHANI_MSG1(later, now) (later) = _mm_sha1msg1_epu32((later), (now))
#define SHANI_XOR(later, now) (later) = _mm_xor_si128((later), (now))
#define SHANI_MSG2(next, now) (next) = _mm_sha1msg2_epu32((next), (now))

// Compresses blocks consecutive 64-byte blocks into hash (H0..H4) with the SHA and SSE4.1
// instructions. Call it only when cpu_has_sha_instructions() holds; the rest of the program is
// built for plain x86-64.
[[gnu::noinline, gnu::target("sha,sse4.1")]] static void sha1_blocks_shani(uint32_t *hash,
                                                                           const uint8_t *data,
                                                                           size_t blocks) {
    // The instructions want a in the highest lane of abcd, e in the highest lane of its register,
    // and the first message word of a group in the highest lane: a 16-byte reversal turns four
    // big-endian words into exactly that.
    const __m128i reverse = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    __m128i abcd = _mm_loadu_si128(reinterpret_cast<const __m128i *>(hash));
    abcd = _mm_shuffle_epi32(abcd, 0x1B);
    __m128i e0 = _mm_set_epi32(static_cast<int>(hash[4]), 0, 0, 0);
    for (; blocks > 0; blocks--, data += kBlockBytes) {
        const __m128i abcd_start = abcd;
        const __m128i e_start = e0;
        const auto *in = reinterpret_cast<const __m128i *>(data);
        __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(in), reverse);
        __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), reverse);
        __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), reverse);
        __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), reverse);

        // Rounds 0-3 take e itself; every later group derives its e from abcd.
        e0 = _mm_add_epi32(e0, m0);
        __m128i e1 = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);
        SHANI_4ROUNDS(0, e1, e0, m1);
        SHANI_MSG1(m0, m1);
        SHANI_4ROUNDS(0, e0, e1, m2);
        SHANI_MSG1(m1, m2);
        SHANI_XOR(m0, m2);
        SHANI_4ROUNDS(0, e1, e0, m3);
        SHANI_MSG1(m2, m3);
        SHANI_XOR(m1, m3);
        SHANI_MSG2(m0, m3);
        SHANI_4ROUNDS(0, e0, e1, m0);  // rounds 16-19
        SHANI_MSG1(m3, m0);
        SHANI_XOR(m2, m0);
        SHANI_MSG2(m1, m0);
        SHANI_4ROUNDS(1, e1, e0, m1);  // rounds 20-23
        SHANI_MSG1(m0, m1);
        SHANI_XOR(m3, m1);
        SHANI_MSG2(m2, m1);
        SHANI_4ROUNDS(1, e0, e1, m2);
        SHANI_MSG1(m1, m2);
        SHANI_XOR(m0, m2);
        SHANI_MSG2(m3, m2);
        SHANI_4ROUNDS(1, e1, e0, m3);
        SHANI_MSG1(m2, m3);
        SHANI_XOR(m1, m3);
        SHANI_MSG2(m0, m3);
        SHANI_4ROUNDS(1, e0, e1, m0);
        SHANI_MSG1(m3, m0);
        SHANI_XOR(m2, m0);
        SHANI_MSG2(m1, m0);
        SHANI_4ROUNDS(1, e1, e0, m1);  // rounds 36-39
        SHANI_MSG1(m0, m1);
        SHANI_XOR(m3, m1);
        SHANI_MSG2(m2, m1);
        SHANI_4ROUNDS(2, e0, e1, m2);  // rounds 40-43
        SHANI_MSG1(m1, m2);
        SHANI_XOR(m0, m2);
        SHANI_MSG2(m3, m2);
        SHANI_4ROUNDS(2, e1, e0, m3);
        SHANI_MSG1(m2, m3);
        SHANI_XOR(m1, m3);
        SHANI_MSG2(m0, m3);
        SHANI_4ROUNDS(2, e0, e1, m0);
        SHANI_MSG1(m3, m0);
        SHANI_XOR(m2, m0);
        SHANI_MSG2(m1, m0);
        SHANI_4ROUNDS(2, e1, e0, m1);
        SHANI_MSG1(m0, m1);
        SHANI_XOR(m3, m1);
        SHANI_MSG2(m2, m1);
        SHANI_4ROUNDS(2, e0, e1, m2);  // rounds 56-59
        SHANI_MSG1(m1, m2);
        SHANI_XOR(m0, m2);
        SHANI_MSG2(m3, m2);
        SHANI_4ROUNDS(3, e1, e0, m3);  // rounds 60-63
        SHANI_MSG1(m2, m3);
        SHANI_XOR(m1, m3);
        SHANI_MSG2(m0, m3);
        SHANI_4ROUNDS(3, e0, e1, m0);  // rounds 64-67: words 76-79 begun, the last
        SHANI_MSG1(m3, m0);
        SHANI_XOR(m2, m0);
        SHANI_MSG2(m1, m0);
        SHANI_4ROUNDS(3, e1, e0, m1);
        SHANI_XOR(m3, m1);
        SHANI_MSG2(m2, m1);
        SHANI_4ROUNDS(3, e0, e1, m2);
        SHANI_MSG2(m3, m2);
        SHANI_4ROUNDS(3, e1, e0, m3);  // rounds 76-79

        // e0 holds abcd of round 76; its a turned by 30 is the final e.
        e0 = _mm_sha1nexte_epu32(e0, e_start);
        abcd = _mm_add_epi32(abcd, abcd_start);
    }
    abcd = _mm_shuffle_epi32(abcd, 0x1B);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(hash), abcd);
    hash[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

#undef SHANI_MSG2
#undef SHANI_XOR
#undef SHANI_MSG1
#undef SHANI_4ROUNDS

#endif  // __x86_64__

// ---- choosing the block function -----------------------------------------------------------

// Whether this CPU has the SHA instructions and the SSSE3/SSE4.1 ones the block function also uses.
static bool cpu_has_sha_instructions() {
#if defined(__x86_64__)
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    if ((ecx & bit_SSSE3) == 0 || (ecx & bit_SSE4_1) == 0) return false;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    return (ebx & bit_SHA) != 0;
#else
    return false;
#endif
}

// P2P_SHA1_PORTABLE set to anything but empty or 0 keeps a whole process on the portable code.
static bool portable_requested_by_environment() {
    const char *value = getenv("P2P_SHA1_PORTABLE");
    return value != nullptr && value[0] != '\0' && strcmp(value, "0") != 0;
}

// Decided once, on first use; a function-local static is initialised exactly once even when
// several threads hash at the same time.
static bool hardware_allowed() {
    static const bool allowed = cpu_has_sha_instructions() && !portable_requested_by_environment();
    return allowed;
}

static std::atomic<bool> g_force_portable{false};  // set by SHA1ForcePortable

void SHA1ForcePortable(bool portable) {
    g_force_portable.store(portable, std::memory_order_relaxed);
}

bool SHA1UsesHardware() {
    return !g_force_portable.load(std::memory_order_relaxed) && hardware_allowed();
}

// Compresses blocks consecutive 64-byte blocks at data into sc->hash.
static void compress_blocks(SHA1Context *sc, const uint8_t *data, size_t blocks) {
#if defined(__x86_64__)
    if (SHA1UsesHardware()) {
        sha1_blocks_shani(sc->hash, data, blocks);
        return;
    }
#endif
    SHA1Guts(sc, data, blocks);
}

// Zeroes size bytes of stack in nested 128-byte frames. explicit_bzero is a store the compiler
// may not drop; noinline and the barrier after the call keep every level a frame of its own
// (no inlining into the caller, no tail call reusing one frame). Left uninstrumented so that the
// address sanitizer puts no redzones between the frames, which would stay unwiped.
[[gnu::noinline, gnu::no_sanitize_address]] static void burnStack(int size) {
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
    if (len == 0) return;
    const uint8_t *data = static_cast<const uint8_t *>(vdata);
    sc->totalLength += static_cast<uint64_t>(len) * 8;
    bool compressed = false;

    // A partial block waiting from an earlier call is filled up first and compressed from the
    // buffer; every whole block after it is compressed where it lies, without a copy.
    if (sc->bufferLength > 0) {
        const uint32_t take = std::min(kBlockBytes - sc->bufferLength, len);
        memcpy(sc->buffer.bytes + sc->bufferLength, data, take);
        sc->bufferLength += take;
        data += take;
        len -= take;
        if (sc->bufferLength < kBlockBytes) return;
        compress_blocks(sc, sc->buffer.bytes, 1);
        sc->bufferLength = 0;
        compressed = true;
    }
    const uint32_t whole = len / kBlockBytes;
    if (whole > 0) {
        compress_blocks(sc, data, whole);
        data += whole * kBlockBytes;
        len -= whole * kBlockBytes;
        compressed = true;
    }
    if (len > 0) {
        memcpy(sc->buffer.bytes, data, len);
        sc->bufferLength = len;
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
