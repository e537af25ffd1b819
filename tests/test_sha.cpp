// SHA-1: published vectors, the pad-length boundaries, piecewise absorption, agreement with
// sha1sum, and what the hashing leaves behind on the stack.
#include "support/sha.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support/chunk.h"
#include "test_support.h"

namespace {

std::string hex_of(const uint8_t *digest) {
    std::string s;
    char two[3];
    for (int i = 0; i < SHA1_HASH_SIZE; i++) {
        snprintf(two, sizeof two, "%02x", digest[i]);
        s += two;
    }
    return s;
}

// The digest of bytes absorbed in pieces of at most piece bytes (0: one call).
std::string digest_in_pieces(const std::string &bytes, size_t piece) {
    SHA1Context sc;
    SHA1Init(&sc);
    const auto *p = reinterpret_cast<const uint8_t *>(bytes.data());
    size_t left = bytes.size();
    if (piece == 0) piece = left;
    while (left > 0) {
        const size_t n = left < piece ? left : piece;
        SHA1Update(&sc, p, static_cast<uint32_t>(n));
        p += n;
        left -= n;
    }
    uint8_t digest[SHA1_HASH_SIZE];
    SHA1Final(&sc, digest);
    return hex_of(digest);
}

std::string digest_of(const std::string &bytes) {
    return digest_in_pieces(bytes, 0);
}

}  // namespace

// Test values published with FIPS 180-1 (also RFC 3174, section 7.3).
TEST(Sha1, FipsVectors) {
    EXPECT_EQ(digest_of("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(digest_of(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    // 448 bits: the length no longer fits the first block, so the pad spills into a second.
    EXPECT_EQ(digest_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    const std::string million_a(1000000, 'a');
    EXPECT_EQ(digest_of(million_a), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    EXPECT_EQ(digest_in_pieces(million_a, 1000), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

// 55 bytes leave room for 0x80 and the length in one block; 56 to 63 need a second; 64 fills one.
TEST(Sha1, PadLengthBoundaries) {
    for (size_t n : {55u, 56u, 63u, 64u}) {
        const std::string msg = ts::random_bytes(n, static_cast<uint32_t>(n));
        EXPECT_EQ(digest_of(msg), ts::reference_sha1_hex(msg)) << n << " bytes";
    }
}

TEST(Sha1, PiecewiseAbsorptionMatchesOneCall) {
    const std::string msg = ts::random_bytes(1000, 7);
    const std::string whole = digest_of(msg);
    for (size_t piece : {1u, 63u, 64u, 65u}) {
        EXPECT_EQ(digest_in_pieces(msg, piece), whole) << "pieces of " << piece;
    }

    /* ragged pieces, including empty updates between them */
    SHA1Context sc;
    SHA1Init(&sc);
    const auto *p = reinterpret_cast<const uint8_t *>(msg.data());
    const uint32_t cuts[] = {0, 3, 0, 61, 128, 1, 0, 200, 607};
    for (uint32_t n : cuts) {
        SHA1Update(&sc, p, n);
        p += n;
    }
    uint8_t digest[SHA1_HASH_SIZE];
    SHA1Final(&sc, digest);
    EXPECT_EQ(hex_of(digest), whole);
}

TEST(Sha1, MatchesSha1sumOnRandomBuffers) {
    uint32_t seed = 100;
    for (size_t n : {1u, 19u, 65u, 127u, 128u, 1000u, 4095u, 65537u, 524291u}) {
        const std::string msg = ts::random_bytes(n, seed++);
        EXPECT_EQ(digest_of(msg), ts::reference_sha1_hex(msg)) << n << " bytes";
    }
}

// A null output still pads and compresses; the context keeps the final state (it is not cleared).
TEST(Sha1, FinalWithNullOutputCompletesWithoutWriting) {
    const std::string msg = ts::random_bytes(100, 3);
    SHA1Context with_out;
    SHA1Context without_out;
    for (SHA1Context *sc : {&with_out, &without_out}) {
        SHA1Init(sc);
        SHA1Update(sc, msg.data(), static_cast<uint32_t>(msg.size()));
    }
    uint8_t digest[SHA1_HASH_SIZE];
    SHA1Final(&with_out, digest);
    SHA1Final(&without_out, nullptr);

    EXPECT_EQ(without_out.bufferLength, 0u);
    EXPECT_EQ(without_out.totalLength, 128u * 8);  // 100 bytes + 20 pad + 8 length
    for (int i = 0; i < 5; i++) {
        const uint32_t word = (uint32_t{digest[4 * i]} << 24) |
                              (uint32_t{digest[4 * i + 1]} << 16) |
                              (uint32_t{digest[4 * i + 2]} << 8) | uint32_t{digest[4 * i + 3]};
        EXPECT_EQ(without_out.hash[i], word) << "H" << i;
        EXPECT_EQ(with_out.hash[i], word) << "H" << i;
    }
}

namespace {

// The digest of bytes absorbed in ragged pieces (empty ones among them), every block compressed by
// the portable block function or by the CPU's choice.
std::string digest_ragged(const std::string &bytes, bool portable) {
    static constexpr size_t kPieces[] = {1, 63, 0, 65, 7, 128, 200003, 3, 4096};
    SHA1ForcePortable(portable);
    SHA1Context sc;
    SHA1Init(&sc);
    for (size_t at = 0, i = 0; at < bytes.size(); i++) {
        const size_t n = std::min(kPieces[i % std::size(kPieces)], bytes.size() - at);
        SHA1Update(&sc, bytes.data() + at, static_cast<uint32_t>(n));
        at += n;
    }
    uint8_t digest[SHA1_HASH_SIZE];
    SHA1Final(&sc, digest);
    SHA1ForcePortable(false);
    return hex_of(digest);
}

}  // namespace

// Lengths 0 to 200 cover every pad case and up to three blocks, compressed from the buffer and
// straight from the input; 3 MiB runs long stretches of whole blocks. One sha1sum call hashes all.
TEST(Sha1, PortableAndHardwareMatchSha1sum) {
    if (!SHA1UsesHardware())
        printf("note: no SHA instructions on this CPU, both runs are portable\n");
    ts::TempDir dir;
    std::vector<std::string> msgs;
    for (size_t n = 0; n <= 200; n++)
        msgs.push_back(ts::random_bytes(n, static_cast<uint32_t>(500 + n)));
    msgs.push_back(ts::random_bytes((3u << 20) + 17, 9));
    std::vector<std::string> argv = {"/usr/bin/sha1sum"};
    for (size_t i = 0; i < msgs.size(); i++) {
        argv.push_back(dir.file(std::to_string(i)));
        ts::write_file(argv.back(), msgs[i]);
    }
    const ts::RunResult r = ts::run(argv);
    ASSERT_EQ(r.status, 0) << r.err;

    std::istringstream lines(r.out);  // "<40 hex digits>  <path>" in argument order
    std::string line;
    for (const std::string &msg : msgs) {
        ASSERT_TRUE(std::getline(lines, line));
        const std::string want = line.substr(0, 40);
        EXPECT_EQ(digest_ragged(msg, true), want) << "portable, " << msg.size() << " bytes";
        EXPECT_EQ(digest_ragged(msg, false), want) << "CPU's choice, " << msg.size() << " bytes";
    }
}

// ---- what the hashing leaves on the stack ----------------------------------------------------
//
// The code under test runs on a thread whose stack is a heap block painted with a marker, so that
// after the thread ends every byte its calls wrote can be read back without any frame of the
// reader overlapping them. The function that calls the code under test first records its own
// depth through a probe at the same depth; everything below that mark was written by the call.

namespace {

constexpr size_t kStackBytes = 1 << 20;
constexpr uint8_t kPaint = 0xA5;
constexpr size_t kWindowBytes = 1024;  // below the caller: its callee frames and then some

struct StackRun {
    uint8_t *stack;        // the painted thread stack
    uintptr_t mark;        // frame address of a probe called at the caller's depth
    void (*body)();        // what the thread runs
    const uint8_t *input;  // message for the body
    uint32_t len;          // its length
};

StackRun g_run;
SHA1Context g_ctx;  // kept off the painted stack, so only the code under test's frames are there
uint8_t g_digest[SHA1_HASH_SIZE];

[[gnu::noinline]] uintptr_t frame_probe() {
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
}

[[gnu::noinline]] void update_body() {
    g_run.mark = frame_probe();
    SHA1Init(&g_ctx);
    SHA1Update(&g_ctx, g_run.input, g_run.len);
}

[[gnu::noinline]] void shahash_body() {
    g_run.mark = frame_probe();
    shahash(g_run.input, static_cast<int>(g_run.len), g_digest);
}

void *thread_entry(void *) {
    g_run.body();
    return nullptr;
}

// Runs body on a freshly painted stack and leaves the stack in g_run.stack.
void run_on_painted_stack(void (*body)()) {
    g_run.body = body;
    memset(g_run.stack, kPaint, kStackBytes);
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstack(&attr, g_run.stack, kStackBytes), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, thread_entry, nullptr), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    pthread_attr_destroy(&attr);
    const auto lo = reinterpret_cast<uintptr_t>(g_run.stack);
    ASSERT_GT(g_run.mark, lo + kWindowBytes);
    ASSERT_LT(g_run.mark, lo + kStackBytes);
}

// Raw reads of a dead thread's stack: not instrumented, the sanitizer's redzone marks of those
// frames are not ours to check.
[[gnu::no_sanitize_address]] size_t zero_bytes_below_mark(size_t window) {
    const auto *p = reinterpret_cast<const volatile uint8_t *>(g_run.mark - window);
    size_t zeros = 0;
    for (size_t i = 0; i < window; i++) zeros += p[i] == 0;
    return zeros;
}

// Whether the 32-bit value appears at any byte offset of the painted stack below the mark.
[[gnu::no_sanitize_address]] bool word_below_mark(uint32_t value) {
    const auto *p = reinterpret_cast<const volatile uint8_t *>(g_run.stack);
    const size_t n = g_run.mark - reinterpret_cast<uintptr_t>(g_run.stack);
    uint8_t want[4];
    memcpy(want, &value, sizeof want);
    for (size_t i = 0; i + 4 <= n; i++) {
        if (p[i] == want[0] && p[i + 1] == want[1] && p[i + 2] == want[2] && p[i + 3] == want[3])
            return true;
    }
    return false;
}

#ifndef __SANITIZE_ADDRESS__
// The 80-word schedule of one block, computed independently of the module.
std::vector<uint32_t> schedule_of(const uint8_t *block) {
    std::vector<uint32_t> w(80);
    for (size_t t = 0; t < 16; t++) {
        w[t] = (uint32_t{block[4 * t]} << 24) | (uint32_t{block[4 * t + 1]} << 16) |
               (uint32_t{block[4 * t + 2]} << 8) | uint32_t{block[4 * t + 3]};
    }
    for (size_t t = 16; t < 80; t++)
        w[t] = std::rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
    return w;
}
#endif

struct PaintedStack {
    PaintedStack() { g_run.stack = static_cast<uint8_t *>(aligned_alloc(4096, kStackBytes)); }
    ~PaintedStack() { free(g_run.stack); }
};

}  // namespace

TEST(Sha1StackHygiene, UpdateThatCompressesWipesBelowCaller) {
    PaintedStack owner;
    ASSERT_NE(g_run.stack, nullptr);
    const std::string msg = ts::random_bytes(64, 11);
    g_run.input = reinterpret_cast<const uint8_t *>(msg.data());
    SHA1UsesHardware();  // the one-time choice of block function is made here, not on the stack

    for (bool portable : {true, false}) {
        SCOPED_TRACE(portable ? "portable" : "CPU's choice");
        SHA1ForcePortable(portable);
        /* one whole block: compressed, then the stack below is wiped */
        g_run.len = 64;
        run_on_painted_stack(update_body);
        EXPECT_GE(zero_bytes_below_mark(kWindowBytes), 368u);
#ifndef __SANITIZE_ADDRESS__
        // The sanitizer build pads every frame with redzones, wipes deeper to cover them, and
        // its own helpers leave zeros of their own. So the two checks that depend on the frame
        // sizes hold only in the normal build.
        for (uint32_t word : schedule_of(g_run.input)) {
            EXPECT_FALSE(word_below_mark(word)) << std::hex << "schedule word " << word << " left";
        }

        /* 63 bytes: nothing compressed, nothing wiped */
        g_run.len = 63;
        run_on_painted_stack(update_body);
        EXPECT_LT(zero_bytes_below_mark(kWindowBytes), 128u);
#endif
    }
    SHA1ForcePortable(false);
}

TEST(Sha1StackHygiene, ShahashLeavesNoContextBehind) {
    PaintedStack owner;
    ASSERT_NE(g_run.stack, nullptr);
    const std::string msg = ts::random_bytes(200, 12);
    g_run.input = reinterpret_cast<const uint8_t *>(msg.data());
    g_run.len = 200;
    run_on_painted_stack(shahash_body);
    EXPECT_EQ(hex_of(g_digest), ts::reference_sha1_hex(msg));

    // The context's chaining state ends equal to the digest words; a context left on the
    // stack would show them in host byte order.
    for (int i = 0; i < 5; i++) {
        const uint32_t word = (uint32_t{g_digest[4 * i]} << 24) |
                              (uint32_t{g_digest[4 * i + 1]} << 16) |
                              (uint32_t{g_digest[4 * i + 2]} << 8) | uint32_t{g_digest[4 * i + 3]};
        EXPECT_FALSE(word_below_mark(word)) << "H" << i << " left on the stack";
    }
}
