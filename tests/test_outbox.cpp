// The outbox: held packets leave in their order, before anything sent around it, and batching
// them changes nothing a receiver sees.
#include "engine/outbox.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/debug.h"
#include "engine/create.h"
#include "engine/peer.h"
#include "engine/process.h"
#include "engine/reliable.h"
#include "engine/store.h"
#include "engine_fixture.h"

using ef::Engine;
using ef::packet;
using ef::Packet;

namespace {

uint32_t ack_of(const std::string &bytes) {
    return ntohl(ef::parse_header(bytes).ack);
}

header header_of(const std::string &bytes) {
    return ef::parse_header(bytes);
}

// Each test leaves the outbox as it found it: empty and not held.
struct OutboxTest : testing::Test {
    void TearDown() override {
        outbox_discard();
        outbox_release(-1);
        debug = 0;
    }
};

TEST_F(OutboxTest, HeldPacketsLeaveInOrderBeforeAnythingSentAroundIt) {
    Engine e(2);
    header ack1 = header_of(packet(PKT_ACK, "", 0, 1));
    header ack2 = header_of(packet(PKT_ACK, "", 0, 2));
    std::string body(DATA_PAYLOAD, 'd');
    header data = header_of(packet(PKT_DATA, body, 7));

    /* not held: each leaves at once */
    auto to2 = e.addr_of(2), to3 = e.addr_of(3);
    outbox_add(e.config.sock, &ack1, nullptr, 0, &to2);
    EXPECT_EQ(outbox_held(), 0);
    EXPECT_EQ(e.sock_of(2).recv_all(0.1), std::vector<std::string>{packet(PKT_ACK, "", 0, 1)});

    /* held: nothing leaves until a packet goes around the outbox, which comes after them */
    outbox_hold();
    outbox_add(e.config.sock, &ack1, nullptr, 0, &to2);
    outbox_add(e.config.sock, &data, ef::u8(body), body.size(), &to2);
    outbox_add(e.config.sock, &ack2, nullptr, 0, &to3);
    EXPECT_EQ(outbox_held(), 3);
    EXPECT_FALSE(e.sock_of(2).recv(0.05));
    Packet get(packet(PKT_GET, ef::hash_of(1)));
    sendPacketTo(&e.config, get.hdr(), &to2);
    EXPECT_EQ(e.sock_of(2).recv_all(0.1),
              (std::vector<std::string>{packet(PKT_ACK, "", 0, 1), packet(PKT_DATA, body, 7),
                                        packet(PKT_GET, ef::hash_of(1))}));
    EXPECT_EQ(e.sock_of(3).recv_all(0.1), std::vector<std::string>{packet(PKT_ACK, "", 0, 2)});

    /* a send that fails is reported, and those after it still leave */
    sockaddr_in nowhere = to2;
    nowhere.sin_family = AF_INET6;
    debug = DEBUG_ERRS;
    testing::internal::CaptureStderr();
    outbox_add(e.config.sock, &ack1, nullptr, 0, &nowhere);
    outbox_add(e.config.sock, &ack2, nullptr, 0, &to2);
    outbox_release(e.config.sock);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error Sending Ack \n");
    EXPECT_EQ(e.sock_of(2).recv_all(0.1), std::vector<std::string>{packet(PKT_ACK, "", 0, 2)});
}

// A downloader from peer 2 of one known chunk, as test_transfer's.
struct Receiver {
    Engine e{2};
    ts::TempDir dir;
    std::string chunk = ts::random_bytes(CHUNK_SIZE, 11);
    Receiver() {
        ef::fetch(&e.config, {ef::sha_raw(chunk)});
        std::string out = dir.file("out.dat");
        e.config.output_handle = fopen(out.c_str(), "w");
        snprintf(e.config.output_file, sizeof e.config.output_file, "%s", out.c_str());
        e.config.download_in_progress = 1;
        ef::announce(&e.config, e.peer(2), {ef::sha_raw(chunk)});
        tryToGenerateGetRequest(&e.config, e.peer(2), now_seconds());
        EXPECT_TRUE(e.sock_of(2).recv(2.0));  // the GET
    }
    std::string data(int seq) const {
        size_t off = static_cast<size_t>(seq - 1) * DATA_PAYLOAD;
        return packet(PKT_DATA, chunk.substr(off, DATA_PAYLOAD), static_cast<uint32_t>(seq));
    }
    std::vector<uint32_t> acks() {
        std::vector<uint32_t> v;
        for (auto &b : e.sock_of(2).recv_all(0.2)) v.push_back(ack_of(b));
        return v;
    }
    int held() { return timelist_length(e.peer(2)->receiving_outoforder); }
};

TEST_F(OutboxTest, ABatchOfArrivalsIsAnsweredAsTheSameDatagramsOneByOne) {
    // Gaps, a duplicate, a packet from before the gap and a run that closes it.
    const std::vector<int> arrivals = {1, 3, 4, 2, 2, 6, 1, 5, 8, 7, 9};

    /* one by one, each handled and answered before the next arrives */
    Receiver single;
    std::vector<int> held_single;
    for (int seq : arrivals) {
        Packet p(single.data(seq));
        auto from = single.e.addr_of(2);
        handleData(&single.e.config, p.hdr(), &from, 1, now_seconds());
    }
    std::vector<uint32_t> expected = single.acks();
    ASSERT_EQ(expected.size(), arrivals.size());

    /* queued on the socket and taken in one batch, the ACKs held and sent together */
    Receiver batched;
    for (int seq : arrivals) ASSERT_TRUE(batched.e.sock_of(2).send_to(batched.e.self.port,
                                                                      batched.data(seq)));
    usleep(20000);
    giVexloPassNotices = 0;
    outbox_hold();
    process_inbound_batch(&batched.e.config, now_seconds());
    EXPECT_EQ(outbox_held(), static_cast<int>(arrivals.size()));
    outbox_release(batched.e.config.sock);
    giVexloPassNotices = -1;
    EXPECT_EQ(batched.acks(), expected);
    EXPECT_EQ(batched.e.peer(2)->receiving_lastseq, single.e.peer(2)->receiving_lastseq);
    EXPECT_EQ(batched.e.peer(2)->receiving_offset, single.e.peer(2)->receiving_offset);
    EXPECT_EQ(batched.held(), single.held());
    EXPECT_EQ(0, memcmp(batched.e.peer(2)->receiving_data, single.e.peer(2)->receiving_data,
                        static_cast<size_t>(single.e.peer(2)->receiving_offset)));
}

// An uploader of chunk 0 of a known master file to peer 2, classic profile.
struct Sender {
    Engine e{2};
    ts::TempDir dir;
    std::string data = ts::random_bytes(CHUNK_SIZE, 5);
    Sender() {
        std::string path = dir.file("master.dat");
        ts::write_file(path, data);
        snprintf(e.config.chunk_data_file, sizeof e.config.chunk_data_file, "%s", path.c_str());
        chunklist_add(&e.config.mychunks, ef::u8(ef::hash_of(5)), 0);
        store_load(&e.config);
        Packet p(packet(PKT_GET, ef::hash_of(5)));
        auto from = e.addr_of(2);
        handleGet(&e.config, p.hdr(), &from, now_seconds());
        e.sock_of(2).recv_all(0.1);  // packet 1, the window being 1
    }
    std::string expected(int seq) const {
        size_t off = static_cast<size_t>(seq - 1) * DATA_PAYLOAD;
        return packet(PKT_DATA, data.substr(off, DATA_PAYLOAD), static_cast<uint32_t>(seq));
    }
};

TEST_F(OutboxTest, TheClassicFillSendsAndLogsItsWindowAsTheDesignedOneByOneLoop) {
    Sender s;
    bt_peer_t *p = s.e.peer(2);
    p->sending_win = 4;
    debug = DEBUG_ALL;
    testing::internal::CaptureStderr();
    classicFillWindow(&s.e.config, p, now_seconds());
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(s.e.sock_of(2).recv_all(0.1),
              (std::vector<std::string>{s.expected(2), s.expected(3), s.expected(4)}));
    EXPECT_EQ(timelist_length(p->sending_unacked), 4);
    EXPECT_EQ(p->sending_next_seq, 5);
    std::string want;
    char line[160];
    for (int seq = 2; seq <= 4; seq++) {
        snprintf(line, sizeof line,
                 "send seq = %d with %d / 4 packet outstanding\n"
                 "Sending data of size = 1400 to peer 127.0.0.1 : %d with offset = %d \n"
                 "Sending seq = %d \n",
                 seq, seq - 1, s.e.sock_of(2).port, (seq - 1) * DATA_PAYLOAD, seq);
        want += line;
    }
    EXPECT_EQ(log, want);

    /* a failed send: that packet is outstanding all the same, and the fill stops there */
    p->sending_win = 8;
    int sock = s.e.config.sock;
    s.e.config.sock = -1;
    debug = DEBUG_ERRS;
    testing::internal::CaptureStderr();
    classicFillWindow(&s.e.config, p, now_seconds());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error Sending Data \n");
    s.e.config.sock = sock;
    EXPECT_EQ(timelist_length(p->sending_unacked), 5);
    EXPECT_EQ(p->sending_next_seq, 6);
}

}  // namespace
