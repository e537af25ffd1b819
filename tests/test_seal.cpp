#include "shim/seal.h"

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
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
    return {n, n < 0 ? ""
                     : std::string(reinterpret_cast<char *>(plain.data()), static_cast<size_t>(n))};
}

uint64_t counter_of(const std::string &sealed) {
    uint64_t c = 0;
    for (int i = 0; i < 8; i++)
        c = c << 8 | static_cast<uint8_t>(sealed[24 + static_cast<size_t>(i)]);
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
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(open_at(b, sent[static_cast<size_t>(i)], kA).result, -1);
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
    EXPECT_THAT(
        testing::internal::GetCapturedStderr(),
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

// ---- through the shim -----------------------------------------------------------------------

constexpr seal_key_t kShimKey = {{11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11,
                                  11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11}};

// Each case turns the shim's sealing on for the socket `self` and leaves the shim as it found it:
// no key, pass-through, no router.
struct ShimSeal : testing::Test {
    ts::UdpSocket self, peer, router;
    sockaddr_in self_addr = addr_of("127.0.0.1", self.port);
    sockaddr_in peer_addr = addr_of("127.0.0.1", peer.port);
    State peer_seal{kShimKey, addr_of("127.0.0.1", peer.port)};

    void SetUp() override {
        giVexloPassNotices = 0;
        gpSeal = seal_new(&kShimKey, &self_addr);
    }
    void TearDown() override {
        seal_free(gpSeal);
        gpSeal = nullptr;
        giVexloEnabled = 0;
        giVexloPassNotices = -1;
    }
    // The shim in simulator mode, its router the socket `router`.
    void via_router() {
        giVexloEnabled = 1;
        gsVexloRouter = addr_of("127.0.0.1", router.port);
        glSrcAddr = static_cast<long>(self_addr.sin_addr.s_addr);
        gsSrcPort = static_cast<short>(self_addr.sin_port);
    }
    bool readable() const {
        pollfd p{self.fd, POLLIN, 0};
        return poll(&p, 1, 2000) == 1;
    }
    // What one vexlo_recvfrom on self returned: "<sender port>:<payload>", or "-1 errno <n>".
    std::string single() {
        char buf[1500];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        EXPECT_TRUE(readable());
        int n =
            vexlo_recvfrom(self.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
        if (n < 0) return "-1 errno " + std::to_string(errno);
        return std::to_string(ntohs(from.sin_port)) + ":" +
               std::string(buf, static_cast<size_t>(n));
    }
    // The datagrams one vexlo_recvbatch on self kept, "<sender port>:<payload>" each.
    std::vector<std::string> batch() {
        std::vector<std::string> slots(VEXLO_BATCH_MAX, std::string(1500, '\0'));
        char *buffers[VEXLO_BATCH_MAX];
        for (size_t i = 0; i < slots.size(); i++) buffers[i] = slots[i].data();
        int lengths[VEXLO_BATCH_MAX];
        sockaddr_in froms[VEXLO_BATCH_MAX];
        EXPECT_TRUE(readable());
        int n = vexlo_recvbatch(self.fd, buffers, 1500, lengths, froms, VEXLO_BATCH_MAX);
        std::vector<std::string> got;
        for (int i = 0; i < n; i++) {
            size_t k = static_cast<size_t>(i);
            got.push_back(std::to_string(ntohs(froms[k].sin_port)) + ":" +
                          slots[k].substr(0, static_cast<size_t>(lengths[k])));
        }
        return got;
    }
    // "<sender port>:<payload>" of every datagram vexlo_recvsegments on self hands out.
    std::vector<std::string> segments() {
        static vexlo_segment segs[VEXLO_SEGMENTS_MAX];
        EXPECT_TRUE(readable());
        int n = vexlo_recvsegments(self.fd, segs);
        std::vector<std::string> got;
        for (int i = 0; i < n; i++) {
            got.push_back(std::to_string(ntohs(segs[i].from.sin_port)) + ":" +
                          std::string(segs[i].bytes, static_cast<size_t>(segs[i].length)));
        }
        return got;
    }
    // Bytes as the router forwards them to self: the header naming peer as the sender.
    std::string from_peer_via_router(const std::string &bytes) const {
        return pf::encapsulated(2, peer.port, self.port, bytes);
    }
    std::string port_of_peer(const std::string &payload) const {
        return std::to_string(peer.port) + ":" + payload;
    }
};

TEST_F(ShimSeal, PassThroughSealsWhatLeavesAndOpensOnlyWhatAuthenticates) {
    /* out: the other end gets an envelope that opens there */
    ASSERT_EQ(vexlo_sendto(self.fd, kDataPacket.data(), kDataPacket.size(), 0,
                           reinterpret_cast<const sockaddr *>(&peer_addr), sizeof peer_addr),
              static_cast<ssize_t>(kDataPacket.size()));
    auto wire = peer.recv(2.0);
    ASSERT_TRUE(wire);
    EXPECT_EQ(wire->size(), kDataPacket.size() + SEAL_OVERHEAD);
    EXPECT_EQ(open_at(peer_seal, *wire, self_addr).plain, kDataPacket);
    /* in, one at a time: sealed opens; plain, junk and a replay are dropped as EAGAIN */
    std::string sealed = seal_of(peer_seal, "ihave", self_addr);
    peer.send_to(self.port, sealed);
    EXPECT_EQ(single(), port_of_peer("ihave"));
    testing::internal::CaptureStderr();
    const std::string bad[] = {ef::packet(PKT_GET, ef::hash_of(1)), std::string(80, 'j'), sealed};
    for (const std::string &d : bad) {
        peer.send_to(self.port, d);
        EXPECT_EQ(single(), "-1 errno " + std::to_string(EAGAIN));
    }
    testing::internal::GetCapturedStderr();
    /* in, batched: the dropped leave the batch, the others keep their order and senders */
    std::string first = seal_of(peer_seal, "one", self_addr);
    std::string flipped = seal_of(peer_seal, "two", self_addr);
    flipped[40] = static_cast<char>(flipped[40] ^ 4);
    const std::string queued[] = {first, flipped, first, std::string(3, 'x'),
                                  seal_of(peer_seal, "three", self_addr)};
    for (const std::string &d : queued) peer.send_to(self.port, d);
    usleep(50000);
    EXPECT_THAT(batch(), testing::ElementsAre(port_of_peer("one"), port_of_peer("three")));
    EXPECT_EQ(gpSeal->counts.not_sealed, 3);
    EXPECT_EQ(gpSeal->counts.replayed, 2);
    EXPECT_EQ(gpSeal->counts.failed, 1);
}

TEST_F(ShimSeal, BatchedSendSealsEachDatagramAndTheBatchedReceiveOpensEach) {
    /* out: every datagram of one batch sealed by itself, in order, each opening at the peer */
    std::vector<std::string> plain;
    std::vector<vexlo_datagram> out;
    for (uint32_t i = 0; i < 6; i++)
        plain.push_back(ef::packet(PKT_DATA, std::string(i == 5 ? 688 : 1400, 'a'), i + 1));
    for (const std::string &p : plain)
        out.push_back({p.data(), HEADER_SIZE, p.data() + HEADER_SIZE, p.size() - HEADER_SIZE,
                       peer_addr});
    for (int segmentation : {1, 0}) {
        SCOPED_TRACE(segmentation);
        giVexloSegmentation = segmentation;
        ASSERT_EQ(vexlo_sendbatch(self.fd, out.data(), 6), 6);
        auto wire = peer.recv_all(0.2);
        ASSERT_EQ(wire.size(), 6u);
        for (size_t i = 0; i < wire.size(); i++) {
            EXPECT_EQ(wire[i].size(), plain[i].size() + SEAL_OVERHEAD);
            EXPECT_EQ(open_at(peer_seal, wire[i], self_addr).plain, plain[i]);
        }
    }
    giVexloSegmentation = 1;
    /* in: the datagrams that open, in order; the others dropped */
    vexlo_receive_coalesced(self.fd);
    std::string replayed = seal_of(peer_seal, "one", self_addr);
    const std::string queued[] = {replayed, replayed, std::string(70, 'j'),
                                  seal_of(peer_seal, "two", self_addr)};
    for (const std::string &d : queued) peer.send_to(self.port, d);
    usleep(50000);
    EXPECT_THAT(segments(), testing::ElementsAre(port_of_peer("one"), port_of_peer("two")));
    EXPECT_EQ(gpSeal->counts.replayed, 1);
    EXPECT_EQ(gpSeal->counts.not_sealed, 1);
}

TEST_F(ShimSeal, TheRouterSeesSealedBytesAndTheHeaderNamesTheSenderThatIsAuthenticated) {
    via_router();
    const std::string marker(32, 'M');
    const std::string packet = ef::packet(PKT_DATA, marker + std::string(1368, 'd'), 1);
    ASSERT_EQ(vexlo_sendto(self.fd, packet.data(), packet.size(), 0,
                           reinterpret_cast<const sockaddr *>(&peer_addr), sizeof peer_addr),
              static_cast<ssize_t>(packet.size()));
    uint16_t from_port = 0;
    auto wire = router.recv(2.0, &from_port);
    ASSERT_TRUE(wire);
    EXPECT_EQ(from_port, self.port);
    ASSERT_EQ(wire->size(), 16 + packet.size() + SEAL_OVERHEAD);
    /* the encapsulation header as ever (node id 0: none was set), the envelope behind it */
    EXPECT_EQ(wire->substr(0, 16), pf::encapsulated(0, self.port, peer.port, ""));
    EXPECT_EQ(wire->find(marker), std::string::npos) << "the router sees the payload";
    EXPECT_EQ(open_at(peer_seal, wire->substr(16), self_addr).plain, packet);
    /* in, single: the sender taken from the header and authenticated with it */
    router.send_to(self.port, from_peer_via_router(seal_of(peer_seal, "ack", self_addr)));
    EXPECT_EQ(single(), port_of_peer("ack"));
    /* in, batched: the peer's datagram under a header naming another sender does not open;
       under its own it opens once; junk is dropped */
    std::string sealed = seal_of(peer_seal, "get", self_addr);
    uint16_t other = static_cast<uint16_t>(peer.port + 1);
    const std::string queued[] = {pf::encapsulated(3, other, self.port, sealed),
                                  from_peer_via_router(sealed), from_peer_via_router(sealed),
                                  from_peer_via_router(std::string(60, 'q'))};
    for (const std::string &d : queued) router.send_to(self.port, d);
    usleep(50000);
    testing::internal::CaptureStderr();
    EXPECT_THAT(batch(), testing::ElementsAre(port_of_peer("get")));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(gpSeal->counts.failed, 1);
    EXPECT_EQ(gpSeal->counts.replayed, 1);
    EXPECT_EQ(gpSeal->counts.not_sealed, 1);
}

// ---- a sealed swarm -------------------------------------------------------------------------

// A stranger's datagrams, each wrapped as the router forwards them: plain WHOHAS and GET (the
// GET posing as a listed peer), random bytes, an envelope of random bytes.
std::vector<std::string> stranger_junk(const pf::DataSet &data, uint16_t stranger, uint16_t posed,
                                       uint16_t to, uint32_t seed) {
    std::string envelope = ts::random_bytes(400, seed);
    envelope[0] = static_cast<char>(0x5E);
    envelope[1] = static_cast<char>(0xA1);
    envelope[2] = 1;
    envelope[3] = SEAL_SUITE_XCHACHA20POLY1305;
    envelope[5] = envelope[6] = envelope[7] = 0;
    return {pf::encapsulated(9, stranger, to,
                             ef::packet(PKT_WHOHAS, ef::control_payload({data.hashes[0]}))),
            pf::encapsulated(9, posed, to, ef::packet(PKT_GET, data.hashes[1])),
            pf::encapsulated(9, stranger, to, ts::random_bytes(300, seed + 1)),
            pf::encapsulated(9, stranger, to, envelope)};
}

size_t occurrences(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

TEST(SealedSwarm, ThroughNetsimAtOnePercentLossAStrangerGetsNothingAndTheCopyIsExact) {
    ts::Process router;
    uint16_t rport = pf::start_netsim(router, {"--loss", "0.01"});
    ASSERT_NE(rport, 0);
    pf::Swarm s;
    pf::DataSet data(4 * CHUNK_SIZE - 1000, 26);
    s.write_peer_list({1, 2});
    s.write_master(data);
    seal_key_t key;
    char why[256];
    ASSERT_EQ(seal_random_key(&key), 0);
    ASSERT_EQ(seal_write_key_file(s.path("swarm.key").c_str(), &key, why, sizeof why), 0) << why;
    std::vector<std::string> args = {"--key", s.path("swarm.key"), "--transport", "adaptive"};
    std::vector<std::string> env = pf::via_router(rport);
    s.start(2, data.lines(), args, env);
    std::vector<std::string> down_args = {"--progress", "-d", "1"};
    down_args.insert(down_args.end(), args.begin(), args.end());
    ts::Process &down = s.start(1, "", down_args, env);
    ts::write_file(s.path("want.chunks"), data.lines());
    down.write_stdin("GET want.chunks out.bin\n");
    /* the stranger sends through the router and straight to both peers while the copy runs */
    ts::UdpSocket stranger;
    uint32_t seed = 1;
    double next = 0;
    auto pester = [&] {
        if (ts::monotonic_now() < next) return;
        for (int id : {1, 2}) {
            uint16_t posed = s.ports[3 - id];
            for (const std::string &d :
                 stranger_junk(data, stranger.port, posed, s.ports[id], seed++)) {
                stranger.send_to(rport, d);
                stranger.send_to(s.ports[id], d.substr(16));
            }
        }
        next = ts::monotonic_now() + 0.005;
    };
    bool done = s.wait_for(
        [&] {
            pester();
            return down.out.find("GOT out.bin \n") != std::string::npos;
        },
        60.0);
    std::vector<std::string> back = stranger.recv_all(0.5, 2.0);
    s.stop_all();
    router.send_signal(SIGTERM);
    router.wait_exit(5.0);
    ASSERT_TRUE(done) << down.err;
    EXPECT_EQ(ts::read_file(s.path("out.bin")), data.bytes);
    EXPECT_TRUE(back.empty()) << back.size() << " datagrams came back to the stranger";
    /* dropped and counted; each kind of stranger said once by each peer */
    EXPECT_THAT(down.err, testing::ContainsRegex("; sealed drops: [1-9][0-9]*\n"));
    for (int id : {1, 2}) {
        const std::string &err = s.peers.at(id).err;
        EXPECT_EQ(occurrences(err, "sends unsealed datagrams"), 1u) << err;
        EXPECT_EQ(occurrences(err, "do not open with this swarm's key"), 1u) << err;
    }
    /* the key is never written out */
    char hex[2 * SEAL_KEY_BYTES + 1];
    sodium_bin2hex(hex, sizeof hex, key.bytes, sizeof key.bytes);
    for (int id : {1, 2}) EXPECT_EQ(s.peers.at(id).err.find(hex), std::string::npos);
}

}  // namespace
