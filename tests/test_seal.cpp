#include "shim/seal.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/common.h"
#include "engine_fixture.h"
#include "peer_fixture.h"
#include "shim/vexlo.h"
#include "test_support.h"

namespace {

sockaddr_in addr_of(const char *ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_aton(ip, &a.sin_addr);
    a.sin_port = htons(port);
    return a;
}

const sockaddr_in kA = addr_of("127.0.0.1", 41001);
const sockaddr_in kB = addr_of("127.0.0.1", 41002);

seal_key_t key_of(uint8_t fill) {
    seal_key_t k;
    memset(k.bytes, fill, sizeof k.bytes);
    return k;
}

// Owns a sealing state for the length of a test.
struct State {
    seal_state_t *s;
    State(const seal_key_t &key, const sockaddr_in &self) : s(seal_new(&key, &self)) {}
    ~State() { seal_free(s); }
    State(const State &) = delete;
    State &operator=(const State &) = delete;
    seal_state_t *operator->() const { return s; }
};

std::string seal_of(const State &from, const std::string &plain, const sockaddr_in &to) {
    std::vector<uint8_t> out(plain.size() + SEAL_OVERHEAD);
    ssize_t n = seal_datagram(from.s, plain.data(), plain.size(), &to, out.data(), out.size());
    EXPECT_EQ(n, static_cast<ssize_t>(plain.size() + SEAL_OVERHEAD));
    return n < 0 ? "" : std::string(reinterpret_cast<char *>(out.data()), out.size());
}

// What seal_open made of sealed: the plain bytes, or nothing when it was dropped.
struct Opened {
    int result;
    std::string plain;
};
Opened open_at(const State &at, const std::string &sealed, const sockaddr_in &from) {
    std::vector<uint8_t> plain(1600);
    int n = seal_open(at.s, reinterpret_cast<const uint8_t *>(sealed.data()), sealed.size(), &from,
                      plain.data(), plain.size());
    return {n, n < 0 ? "" : std::string(reinterpret_cast<char *>(plain.data()),
                                        static_cast<size_t>(n))};
}

uint64_t counter_of(const std::string &sealed) {
    uint64_t c = 0;
    for (int i = 0; i < 8; i++) c = c << 8 | static_cast<uint8_t>(sealed[24 + static_cast<size_t>(i)]);
    return c;
}

const std::string kDataPacket = ef::packet(PKT_DATA, std::string(1400, 'd'), 7);

// ---- seal and open --------------------------------------------------------------------------

TEST(Seal, RoundTripInEverySuiteWithTheEnvelopeAsLaidOut) {
    State a(key_of(1), kA), b(key_of(1), kB);
    /* the first datagram to a peer never heard from: XChaCha20-Poly1305 */
    std::string sealed = seal_of(a, kDataPacket, kB);
    ASSERT_EQ(sealed.size(), kDataPacket.size() + 48);
    EXPECT_EQ(static_cast<uint8_t>(sealed[0]), 0x5E);
    EXPECT_EQ(static_cast<uint8_t>(sealed[1]), 0xA1);
    EXPECT_EQ(sealed[2], 1);
    EXPECT_EQ(sealed[3], SEAL_SUITE_XCHACHA20POLY1305);
    EXPECT_EQ(std::string(sealed, 5, 3), std::string(3, '\0'));
    EXPECT_EQ(memcmp(sealed.data() + 8, a->id, 16), 0);
    EXPECT_EQ(counter_of(sealed), 0u);
    EXPECT_EQ(sealed.find(std::string(32, 'd')), std::string::npos) << "the payload shows";
    Opened o = open_at(b, sealed, kA);
    EXPECT_EQ(o.result, static_cast<int>(kDataPacket.size()));
    EXPECT_EQ(o.plain, kDataPacket);

    /* once A has heard B say it opens AES-256-GCM, A seals to B with it, where A can too */
    if (!b->own.has_aes || !a->own.has_aes) GTEST_SKIP() << "this CPU runs no AES-256-GCM";
    ASSERT_EQ(open_at(a, seal_of(b, "ack", kA), kB).plain, "ack");
    std::string aes = seal_of(a, kDataPacket, kB);
    EXPECT_EQ(aes[3], SEAL_SUITE_AES256GCM);
    EXPECT_EQ(open_at(b, aes, kA).plain, kDataPacket);

    /* a peer without AES instructions is never sent AES-256-GCM, and opens what it gets */
    State c(key_of(1), addr_of("127.0.0.1", 41003));
    c->own.has_aes = false;
    sockaddr_in c_addr = addr_of("127.0.0.1", 41003);
    ASSERT_EQ(open_at(a, seal_of(c, "whohas", kA), c_addr).plain, "whohas");
    std::string to_c = seal_of(a, kDataPacket, c_addr);
    EXPECT_EQ(to_c[3], SEAL_SUITE_XCHACHA20POLY1305);
    EXPECT_EQ(open_at(c, to_c, kA).plain, kDataPacket);
    /* and an AES envelope that reaches it anyway is one it cannot open */
    EXPECT_EQ(open_at(c, seal_of(a, "x", kB), kA).result, -1);
    EXPECT_EQ(c->counts.unsupported, 1);
}

TEST(Seal, EveryByteChangedOrCutIsDroppedAndLeavesTheStateAsItWas) {
    State a(key_of(2), kA), b(key_of(2), kB);
    ASSERT_EQ(open_at(b, seal_of(a, "first", kB), kA).plain, "first");
    std::string sealed = seal_of(a, kDataPacket, kB);
    /* header (magic, version, suite, flags, reserved, sender, counter), ciphertext, tag */
    for (size_t i = 0; i < sealed.size(); i++) {
        std::string bad = sealed;
        bad[i] = static_cast<char>(bad[i] ^ 0x01);
        ASSERT_EQ(open_at(b, bad, kA).result, -1) << "byte " << i << " changed";
    }
    EXPECT_EQ(seal_dropped(b.s), static_cast<long long>(sealed.size()));
    /* every shorter length, nothing included */
    long long before = seal_dropped(b.s);
    for (size_t len = 0; len < sealed.size(); len++)
        ASSERT_EQ(open_at(b, sealed.substr(0, len), kA).result, -1) << "cut to " << len;
    EXPECT_EQ(seal_dropped(b.s) - before, static_cast<long long>(sealed.size()));
    /* a byte added past the tag */
    EXPECT_EQ(open_at(b, sealed + "x", kA).result, -1);
    /* none of them took the counter: the genuine datagram still opens, once */
    long long replays = b->counts.replayed;
    EXPECT_EQ(open_at(b, sealed, kA).plain, kDataPacket);
    EXPECT_EQ(open_at(b, sealed, kA).result, -1);
    EXPECT_EQ(b->counts.replayed, replays + 1);
}

TEST(Seal, AnotherDirectionOrKeyDoesNotOpenAndOtherKeysAreSaidOnce) {
    State a(key_of(3), kA), b(key_of(3), kB), other(key_of(4), kB);
    std::string sealed = seal_of(a, "get", kB);
    /* the same bytes from another port, or at a peer of another address */
    EXPECT_EQ(open_at(b, sealed, addr_of("127.0.0.1", 41009)).result, -1);
    State b_elsewhere(key_of(3), addr_of("127.0.0.2", 41002));
    EXPECT_EQ(open_at(b_elsewhere, sealed, kA).result, -1);
    /* another key: dropped, and the line said for the first only */
    testing::internal::CaptureStderr();
    for (int i = 0; i < 20; i++) EXPECT_EQ(open_at(other, seal_of(a, "get", kB), kA).result, -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "seal: sealed datagrams from 127.0.0.1:41001 do not open with this swarm's key: "
              "that peer holds another key, or they are forged; they are dropped\n");
    EXPECT_EQ(other->counts.failed, 20);
    EXPECT_TRUE(other->senders.empty()) << "a sender that never authenticated is kept";
    /* none of this spent the genuine datagram */
    EXPECT_EQ(open_at(b, sealed, kA).plain, "get");
}

TEST(Seal, PlainPeerPacketsAreDroppedAndTheirSenderNamedOnce) {
    State b(key_of(5), kB);
    testing::internal::CaptureStderr();
    EXPECT_EQ(open_at(b, ef::packet(PKT_WHOHAS, ef::control_payload({ef::hash_of(1)})), kA).result,
              -1);
    EXPECT_EQ(open_at(b, ef::packet(PKT_GET, ef::hash_of(1)), kA).result, -1);
    EXPECT_EQ(open_at(b, std::string(100, 'z'), kA).result, -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "seal: 127.0.0.1:41001 sends unsealed datagrams, as a peer started without this "
              "swarm's key does; they are dropped\n");
    EXPECT_EQ(b->counts.not_sealed, 3);
}

// ---- the replay window ----------------------------------------------------------------------

TEST(Seal, ReplaysInsideTheWindowAndAnythingOlderAreDropped) {
    State a(key_of(6), kA), b(key_of(6), kB);
    std::vector<std::string> sent;
    for (uint64_t i = 0; i < SEAL_WINDOW + 200; i++) sent.push_back(seal_of(a, "n", kB));
    /* reordered inside the window: every one opens once, in any order */
    for (int i = 99; i >= 0; i--) ASSERT_EQ(open_at(b, sent[static_cast<size_t>(i)], kA).result, 1);
    for (int i = 0; i < 100; i++) ASSERT_EQ(open_at(b, sent[static_cast<size_t>(i)], kA).result, -1);
    EXPECT_EQ(b->counts.replayed, 100);
    /* the top moves to the last: the window ends SEAL_WINDOW - 1 behind it */
    const size_t top = sent.size() - 1;
    ASSERT_EQ(open_at(b, sent[top], kA).result, 1);
    EXPECT_EQ(open_at(b, sent[top - SEAL_WINDOW], kA).result, -1);
    EXPECT_EQ(b->counts.stale, 1);
    EXPECT_EQ(open_at(b, sent[top - SEAL_WINDOW + 1], kA).result, 1);
    /* counters taken before the move (99 and below) are outside now, not replays */
    EXPECT_EQ(open_at(b, sent[99], kA).result, -1);
    EXPECT_EQ(b->counts.stale, 2);
    /* ones skipped over inside the window still open once; the window forgot the old bits */
    EXPECT_EQ(open_at(b, sent[top - 5], kA).result, 1);
    EXPECT_EQ(open_at(b, sent[top - 5], kA).result, -1);
    EXPECT_EQ(b->counts.replayed, 101);
}

TEST(Seal, AJumpOfMoreThanTheWindowForgetsEverything) {
    State a(key_of(7), kA), b(key_of(7), kB);
    std::string first = seal_of(a, "n", kB);
    ASSERT_EQ(open_at(b, first, kA).result, 1);
    a->next_counter = 3 * SEAL_WINDOW + 7;
    std::string far = seal_of(a, "n", kB);
    ASSERT_EQ(open_at(b, far, kA).result, 1);
    EXPECT_EQ(open_at(b, first, kA).result, -1);
    EXPECT_EQ(b->counts.stale, 1);
    /* a counter inside the new window was never taken, though it shares its bit with the
       first one's */
    a->next_counter = 3 * SEAL_WINDOW;
    EXPECT_EQ(open_at(b, seal_of(a, "n", kB), kA).result, 1);
}

TEST(Seal, AMoveOfLessThanTheWindowForgetsTheCountersItPasses) {
    State a(key_of(7), kA), b(key_of(7), kB);
    a->next_counter = 5;
    ASSERT_EQ(open_at(b, seal_of(a, "n", kB), kA).result, 1);
    a->next_counter = SEAL_WINDOW + 3;
    ASSERT_EQ(open_at(b, seal_of(a, "n", kB), kA).result, 1);
    /* counter 5 is still inside the window and was taken */
    a->next_counter = 5;
    EXPECT_EQ(open_at(b, seal_of(a, "n", kB), kA).result, -1);
    EXPECT_EQ(b->counts.replayed, 1);
    /* SEAL_WINDOW + 5 shares counter 5's bit: the move to it clears it */
    a->next_counter = SEAL_WINDOW + 5;
    EXPECT_EQ(open_at(b, seal_of(a, "n", kB), kA).result, 1);
    /* a move over whole words (64 counters and more) clears each of them: counter 200 is
       taken, then passed over on the way to SEAL_WINDOW + 1005 */
    a->next_counter = 200;
    ASSERT_EQ(open_at(b, seal_of(a, "n", kB), kA).result, 1);
    a->next_counter = SEAL_WINDOW + 200;
    std::string mid = seal_of(a, "n", kB);
    a->next_counter = SEAL_WINDOW + 1005;
    ASSERT_EQ(open_at(b, seal_of(a, "n", kB), kA).result, 1);
    EXPECT_EQ(open_at(b, mid, kA).result, 1) << "a counter passed over reads as taken";
}

TEST(Seal, NoncesNeverRepeatAndTheCounterIsNeverAllowedToWrap) {
    State a(key_of(8), kA), a_again(key_of(8), kA);
    /* two processes of one swarm: different sender ids, so different keys */
    EXPECT_NE(memcmp(a->id, a_again->id, sizeof a->id), 0);
    /* a long run: every counter once, in order */
    std::set<uint64_t> counters;
    uint8_t out[64];
    for (int i = 0; i < 200000; i++) {
        ASSERT_EQ(seal_datagram(a.s, "x", 1, &kB, out, sizeof out), 49);
        uint64_t c = 0;
        for (int k = 0; k < 8; k++) c = c << 8 | out[24 + k];
        ASSERT_EQ(c, static_cast<uint64_t>(i));
        counters.insert(c);
    }
    EXPECT_EQ(counters.size(), 200000u);
    /* the last counter below the limit is used, then every send is refused, said once */
    a->next_counter = SEAL_COUNTER_LIMIT - 1;
    ASSERT_EQ(seal_datagram(a.s, "x", 1, &kB, out, sizeof out), 49);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; i++) {
        errno = 0;
        EXPECT_EQ(seal_datagram(a.s, "x", 1, &kB, out, sizeof out), -1);
        EXPECT_EQ(errno, EOVERFLOW);
    }
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                testing::MatchesRegex("seal: this process has sealed 2\\^64 - 1 datagrams[^\n]*\n"));
    EXPECT_EQ(a->counts.refused_sends, 3);
    EXPECT_EQ(a->next_counter, SEAL_COUNTER_LIMIT);
    /* too long for an envelope, or for the room given */
    errno = 0;
    EXPECT_EQ(seal_datagram(a_again.s, "xy", 2, &kB, out, 49), -1);
    EXPECT_EQ(errno, EMSGSIZE);
}

// ---- what the tables hold -------------------------------------------------------------------

TEST(Seal, OnlyKeyHoldersMakeStateAndTheTableStaysBounded) {
    State b(key_of(9), kB);
    /* strangers: random bytes behind a well-formed header, from ever new ports and sender ids */
    for (int i = 0; i < 3000; i++) {
        std::string junk = ts::random_bytes(200, static_cast<uint32_t>(i));
        junk[0] = static_cast<char>(0x5E);
        junk[1] = static_cast<char>(0xA1);
        junk[2] = 1;
        junk[3] = SEAL_SUITE_XCHACHA20POLY1305;
        junk[5] = junk[6] = junk[7] = 0;
        testing::internal::CaptureStderr();
        ASSERT_EQ(open_at(b, junk, addr_of("127.0.0.1", static_cast<uint16_t>(1024 + i))).result,
                  -1);
        testing::internal::GetCapturedStderr();
    }
    EXPECT_EQ(b->counts.failed, 3000);
    EXPECT_TRUE(b->senders.empty());
    EXPECT_TRUE(b->by_id.empty());
    EXPECT_TRUE(b->by_addr.empty());
    /* members beyond the bound: the one heard from least recently makes room */
    State keeper(key_of(9), addr_of("127.0.0.1", 50000));
    std::string keeper_old = seal_of(keeper, "k", kB);
    ASSERT_EQ(open_at(b, keeper_old, addr_of("127.0.0.1", 50000)).result, 1);
    uint8_t first_member[SEAL_SENDER_ID_BYTES];
    for (size_t i = 0; i < SEAL_SENDERS_MAX + 10; i++) {
        sockaddr_in at = addr_of("127.0.0.1", static_cast<uint16_t>(20000 + i));
        State member(key_of(9), at);
        if (i == 0) memcpy(first_member, member->id, sizeof first_member);
        ASSERT_EQ(open_at(b, seal_of(member, "m", kB), at).result, 1);
        /* the keeper keeps talking, so it stays */
        ASSERT_EQ(open_at(b, seal_of(keeper, "k", kB), addr_of("127.0.0.1", 50000)).result, 1);
    }
    EXPECT_EQ(b->senders.size(), SEAL_SENDERS_MAX);
    EXPECT_EQ(b->by_id.size(), SEAL_SENDERS_MAX);
    EXPECT_EQ(b->by_addr.size(), SEAL_SENDERS_MAX);
    EXPECT_EQ(open_at(b, keeper_old, addr_of("127.0.0.1", 50000)).result, -1);
    EXPECT_EQ(b->counts.replayed, 1) << "the keeper's window was lost";
    for (const seal_sender_t &r : b->senders)
        ASSERT_NE(memcmp(r.id, first_member, sizeof first_member), 0) << "the oldest stayed";
}

// ---- key files ------------------------------------------------------------------------------

TEST(SealKeyFile, WrittenPrivateReadBackAndBadFilesRefusedWithTheirReason) {
    ts::TempDir dir;
    char why[512];
    seal_key_t key, back;
    ASSERT_EQ(seal_random_key(&key), 0);
    /* written mode 0600 as 64 hex digits and a newline, and read back */
    std::string path = dir.file("swarm.key");
    ASSERT_EQ(seal_write_key_file(path.c_str(), &key, why, sizeof why), 0) << why;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_THAT(ts::read_file(path), testing::MatchesRegex("[0-9a-f]{64}\n"));
    ASSERT_EQ(seal_read_key_file(path.c_str(), &back, why, sizeof why), 0) << why;
    EXPECT_EQ(memcmp(key.bytes, back.bytes, sizeof key.bytes), 0);
    /* an existing file is never replaced */
    EXPECT_EQ(seal_write_key_file(path.c_str(), &key, why, sizeof why), -1);
    EXPECT_THAT(why, testing::HasSubstr("File exists"));
    /* upper case and no newline read too */
    std::string upper = dir.file("upper.key");
    ts::write_file(upper, std::string(64, 'A'));
    chmod(upper.c_str(), 0600);
    ASSERT_EQ(seal_read_key_file(upper.c_str(), &back, why, sizeof why), 0) << why;
    EXPECT_EQ(back.bytes[0], 0xAA);
    /* refused: open to others, not a key, missing, a folder */
    chmod(path.c_str(), 0640);
    EXPECT_EQ(seal_read_key_file(path.c_str(), &back, why, sizeof why), -1);
    EXPECT_THAT(why, testing::HasSubstr("(mode 0640); chmod 600 it"));
    const std::string bad[] = {std::string(63, 'a') + "\n", std::string(64, 'g'),
                               std::string(64, 'a') + "\n\n", std::string(65, 'a'), ""};
    for (const std::string &text : bad) {
        std::string p = dir.file("bad.key");
        ts::write_file(p, text);
        chmod(p.c_str(), 0600);
        EXPECT_EQ(seal_read_key_file(p.c_str(), &back, why, sizeof why), -1) << text;
        EXPECT_THAT(why, testing::HasSubstr("does not hold a key: 64 hex digits on one line"));
    }
    EXPECT_EQ(seal_read_key_file(dir.file("none").c_str(), &back, why, sizeof why), -1);
    EXPECT_THAT(why, testing::HasSubstr("No such file or directory"));
    EXPECT_EQ(seal_read_key_file(dir.path.c_str(), &back, why, sizeof why), -1);
    EXPECT_THAT(why, testing::HasSubstr("not a regular file"));
}

}  // namespace
