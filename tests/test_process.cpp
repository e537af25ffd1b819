#include "engine/store.h"
#include "engine/process.h"

#include <gtest/gtest.h>

#include <cstring>

#include "config/debug.h"
#include "engine/create.h"
#include "engine/reliable.h"
#include "engine_fixture.h"
#include "support/chunk.h"

using ef::control_payload;
using ef::Engine;
using ef::hash_of;
using ef::packet;
using ef::Packet;

namespace {

// Runs verifyPacketSanity on wire bytes with debug 1 on; returns the result and the message.
std::pair<int, std::string> verify(const std::string &bytes, int received) {
    Packet p(bytes);
    unsigned saved = debug;
    debug = DEBUG_ERRS;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    int r = verifyPacketSanity(p.hdr(), received);
    testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    debug = saved;
    return {r, err};
}

std::string with_field(std::string bytes, size_t offset, std::initializer_list<uint8_t> values) {
    for (uint8_t v : values) bytes[offset++] = static_cast<char>(v);
    return bytes;
}

}  // namespace

TEST(HeaderCheck, EveryRuleInOrder) {
    std::string good = packet(PKT_ACK);
    EXPECT_EQ(0, verify(good, 16).first);                      // h_len 16, p_len 16
    EXPECT_EQ(0, verify(with_field(good, 3, {5}), 16).first);  // type 5 passes

    struct {
        const char *label;
        std::string bytes;
        int received;
        const char *message;
    } bad[] = {
        {"short datagram", good.substr(0, 10), 10, "shorter than a header"},
        {"bad magic and bad version: magic decides",
         with_field(with_field(good, 0, {0x12, 0x34}), 2, {2}), 16,
         "Hdr Error: Bad Magic (got 4660 ). Dumping Header Bytes:\n"},
        {"version 2", with_field(good, 2, {2}), 16, "Hdr Error: Bad Version\n"},
        {"type 6", with_field(good, 3, {6}), 16, "Hdr Error: Invalid Type: 6 \n"},
        {"h_len 15", with_field(good, 4, {0, 15}), 16, "Hdr Error: Header can't have length 15 \n"},
        {"h_len 17 > p_len 16", with_field(good, 4, {0, 17}), 16,
         "Hdr Error: Header size is larger than packet size!\n"},
        {"p_len beyond the bytes received", packet(PKT_DATA, std::string(100, 'x')), 50,
         "larger than the 50 bytes received"},
    };
    for (auto &b : bad) {
        auto [r, err] = verify(b.bytes, b.received);
        EXPECT_EQ(-1, r) << b.label;
        EXPECT_NE(std::string::npos, err.find(b.message)) << b.label << ": " << err;
    }
}

TEST(HeaderCheck, BadMagicDumpsTheHeaderOnStdoutWhateverTheMask) {
    Packet p(with_field(packet(PKT_ACK), 0, {0xAB, 0xCD}));
    unsigned saved = debug;
    debug = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, verifyPacketSanity(p.hdr(), 16));
    std::string out = testing::internal::GetCapturedStdout();
    debug = saved;
    EXPECT_EQ(0u, out.find("byte 0 = ffffffab \nbyte 1 = ffffffcd \nbyte 2 = 1 \nbyte 3 = 4 \n"));
    EXPECT_NE(std::string::npos, out.find("byte 15 = 0 \n"));
}

TEST(ControlPacket, ParseCountsFromLengthsNotTheCountByte) {
    struct {
        int payload;
        int hashes;  // -1: wrong size
    } sizes[] = {{0, -1}, {3, -1}, {4, 0}, {5, -1}, {23, -1}, {24, 1}, {44, 2}};
    for (auto &s : sizes) {
        std::string payload(static_cast<size_t>(s.payload), '\x0A');
        Packet p(packet(PKT_WHOHAS, payload));
        unsigned saved = debug;
        debug = DEBUG_ERRS;
        testing::internal::CaptureStderr();
        chunkitem *l = parseControlPacket(p.hdr());
        std::string err = testing::internal::GetCapturedStderr();
        debug = saved;
        EXPECT_EQ(s.hashes < 0 ? 0 : s.hashes, chunklist_length(l)) << s.payload;
        EXPECT_EQ(s.hashes < 0, !err.empty()) << s.payload;
        for (chunkitem *c = l; c; c = c->next) EXPECT_EQ(-1, c->id);
        chunklist_free(l);
    }
    /* h_len 20: the payload starts at offset 20 */
    std::string payload = control_payload({hash_of(4)});
    Packet p(packet(PKT_IHAVE, payload, 0, 0, 20));
    chunkitem *l = parseControlPacket(p.hdr());
    ASSERT_EQ(1, chunklist_length(l));
    EXPECT_EQ(0, memcmp(l->hash, hash_of(4).data(), HASH_SIZE));
    chunklist_free(l);
}

TEST(ControlPacket, BuildAndParseRoundTrip) {
    for (int n : {1, 74, 256}) {
        std::vector<std::string> hashes;
        for (int i = 0; i < n; i++) hashes.push_back(hash_of(i));
        chunkitem *list = ef::list_of(hashes);
        header *pkt = createControlPacket(list, PKT_IHAVE);
        const uint8_t *bytes = reinterpret_cast<const uint8_t *>(pkt);
        EXPECT_EQ(20 + 20 * n, ntohs(pkt->p_len)) << n;
        EXPECT_EQ(16, ntohs(pkt->h_len));
        EXPECT_EQ(PACKET_MAGIC, ntohs(pkt->magic));
        EXPECT_EQ(PKT_IHAVE, pkt->type);
        EXPECT_EQ(0u, pkt->seq);
        EXPECT_EQ(0u, pkt->ack);
        EXPECT_EQ(static_cast<uint8_t>(n), bytes[16]) << n;  // 256 gives a count byte of 0
        EXPECT_EQ(0x0A, bytes[17]);
        EXPECT_EQ(0x0A, bytes[19]);
        EXPECT_EQ(0, memcmp(bytes + 20, hashes[0].data(), HASH_SIZE));
        chunkitem *back = parseControlPacket(pkt);
        EXPECT_EQ(n, chunklist_length(back)) << n;
        int i = 0;
        for (chunkitem *c = back; c; c = c->next, i++)
            EXPECT_EQ(0, memcmp(c->hash, hashes[static_cast<size_t>(i)].data(), HASH_SIZE));
        free(pkt);
        chunklist_free(back);
        chunklist_free(list);
    }
}

// ---- discovery ----

TEST(WhoHas, AnswersWithHeldHashesInRequestOrder) {
    Engine e(1);
    std::string a = hash_of(1), b = hash_of(2), c = hash_of(3);
    e.config.mychunks = ef::list_of({a, b, c});
    store_load(&e.config);
    Packet who(packet(PKT_WHOHAS, control_payload({c, hash_of(9), a})));
    auto from = e.addr_of(2);
    handleWhoHas(&e.config, who.hdr(), &from, now_seconds());
    auto reply = e.sock_of(2).recv(2.0);
    ASSERT_TRUE(reply);
    EXPECT_EQ(packet(PKT_IHAVE, control_payload({c, a})), *reply);

    /* nothing held: no answer at all */
    Packet none(packet(PKT_WHOHAS, control_payload({hash_of(9)})));
    handleWhoHas(&e.config, none.hdr(), &from, now_seconds());
    EXPECT_FALSE(e.sock_of(2).recv(0.3));
}

TEST(WhoHas, ManyMatchesAreSplitIntoPacketsThatFit) {
    Engine e(1);
    std::vector<std::string> hashes;
    for (int i = 0; i < 160; i++) hashes.push_back(hash_of(i));
    e.config.mychunks = ef::list_of(hashes);
    store_load(&e.config);
    std::vector<std::string> asked(hashes.begin(), hashes.begin() + 74);
    Packet who(packet(PKT_WHOHAS, control_payload(asked)));  // a full 1500-byte WHOHAS
    ASSERT_EQ(1500u, who.size);
    auto from = e.addr_of(2);
    for (int round = 0; round < 3; round++) handleWhoHas(&e.config, who.hdr(), &from, now_seconds());
    auto replies = e.sock_of(2).recv_all(0.3);
    ASSERT_EQ(3u, replies.size());
    EXPECT_EQ(1500u, replies[0].size());

    /* an IHAVE of 160 matches goes out as 74 + 74 + 12 */
    chunkitem *all = ef::list_of(hashes);
    sendIHave(&e.config, all, &from);
    chunklist_free(all);
    replies = e.sock_of(2).recv_all(0.3);
    ASSERT_EQ(3u, replies.size());
    EXPECT_EQ(1500u, replies[0].size());
    EXPECT_EQ(1500u, replies[1].size());
    EXPECT_EQ(20u + 20 * 12, replies[2].size());
    EXPECT_EQ(hashes[148], replies[2].substr(20, 20));
}

TEST(IHave, RecordsAnnouncementsAndSendsOneGet) {
    Engine e(2);
    std::string a = hash_of(1), b = hash_of(2);
    ef::fetch(&e.config, {b, a});
    e.config.download_in_progress = 1;
    Packet ihave(packet(PKT_IHAVE, control_payload({a, b})));
    auto from = e.addr_of(2);
    handleIHave(&e.config, ihave.hdr(), &from, now_seconds());
    EXPECT_EQ(2, announcement_count(e.peer(2)));
    auto get = e.sock_of(2).recv(2.0);
    ASSERT_TRUE(get);
    EXPECT_EQ(packet(PKT_GET, b), *get);  // the first chunk of the request list wins
    EXPECT_EQ(e.config.to_fetch_list, e.peer(2)->receiving_chunk);
    EXPECT_EQ(-1, e.peer(2)->receiving_lastseq);
    EXPECT_EQ(1, e.peer(2)->receiving_sentget);
    EXPECT_EQ(0x0B, e.peer(2)->receiving_data[CHUNK_SIZE - 1]);

    /* a second IHAVE while fetching from that peer records nothing twice */
    handleIHave(&e.config, ihave.hdr(), &from, now_seconds());
    EXPECT_EQ(2, announcement_count(e.peer(2)));
    EXPECT_FALSE(e.sock_of(2).recv(0.2));

    /* a flood of hashes neither the request nor the master list names leaves no trace */
    for (int i = 0; i < 200; i++) {
        std::string r1 = ts::random_bytes(HASH_SIZE, static_cast<uint32_t>(1000 + i));
        std::string r2 = ts::random_bytes(HASH_SIZE, static_cast<uint32_t>(5000 + i));
        Packet junk(packet(PKT_IHAVE, control_payload({r1, r2})));
        handleIHave(&e.config, junk.hdr(), &from, now_seconds());
    }
    EXPECT_EQ(2, announcement_count(e.peer(2)));

    /* another peer announcing the same chunks gets the next free one, never b */
    auto from3 = e.addr_of(3);
    handleIHave(&e.config, ihave.hdr(), &from3, now_seconds());
    auto get3 = e.sock_of(3).recv(2.0);
    ASSERT_TRUE(get3);
    EXPECT_EQ(packet(PKT_GET, a), *get3);

    /* an IHAVE from an unlisted sender changes nothing */
    struct sockaddr_in stranger = from;
    stranger.sin_port = htons(1);
    handleIHave(&e.config, ihave.hdr(), &stranger, now_seconds());
    EXPECT_EQ(2, announcement_count(e.peer(2)));
}
