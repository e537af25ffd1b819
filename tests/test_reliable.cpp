#include "engine/reliable.h"

#include <gtest/gtest.h>

#include <cstring>

#include "config/debug.h"
#include "engine/adaptive.h"
#include "engine/create.h"
#include "engine/process.h"
#include "engine/util.h"
#include "engine_fixture.h"

using ef::Engine;

namespace {

// Peer 2 in an active upload with the given window state; no packet outstanding.
bt_peer_t *sending_peer(Engine &e, int win, int ssthresh, int lastacked = 0) {
    bt_peer_t *p = e.peer(2);
    initializeNewSendingConnection(&e.config, p, now_seconds());
    p->sending_data = static_cast<uint8_t *>(calloc(1, CHUNK_SIZE));
    p->sending_win = win;
    p->sending_ssthreash = ssthresh;
    p->sending_lastacked = lastacked;
    p->sending_next_seq = lastacked + 1;
    p->sending_highest_seq = lastacked;  // everything acknowledged was sent
    return p;
}

// Puts an outstanding packet with the given sequence number, sent at `sent` seconds.
void outstanding(bt_peer_t *p, int seq, double sent) {
    header *h = static_cast<header *>(calloc(1, HEADER_SIZE));
    h->seq = htonl(static_cast<uint32_t>(seq));
    struct timeval tv;
    tv.tv_sec = static_cast<time_t>(sent);
    tv.tv_usec = static_cast<suseconds_t>((sent - static_cast<double>(tv.tv_sec)) * 1e6 + 0.5);
    timelist_add(&p->sending_unacked, &tv, h);
}

std::vector<int> outstanding_seqs(const bt_peer_t *p) {
    std::vector<int> v;
    for (const timeitem *t = p->sending_unacked; t; t = t->next)
        v.push_back(static_cast<int>(ntohl(t->hdr->seq)));
    return v;
}

}  // namespace

TEST(Window, SlowStartGrowsOnePerNewAckUpToTheThreshold) {
    Engine e(1);
    bt_peer_t *p = sending_peer(e, 1, 64);
    for (int ack = 1; ack <= 63; ack++) {
        p->sending_lastacked = ack * 3;  // however many packets an ACK covers
        updateWindow(&e.config, p, LOSS_NONE);
    }
    EXPECT_EQ(64, p->sending_win);
    EXPECT_EQ(64 + 63 * 3, p->sending_next_aimd_increase);

    /* congestion avoidance: one more only when lastacked reaches next_aimd_increase */
    p->sending_lastacked = p->sending_next_aimd_increase - 1;
    updateWindow(&e.config, p, LOSS_NONE);
    EXPECT_EQ(64, p->sending_win);
    p->sending_lastacked = p->sending_next_aimd_increase;
    updateWindow(&e.config, p, LOSS_NONE);
    EXPECT_EQ(65, p->sending_win);
    EXPECT_EQ(65 + p->sending_lastacked, p->sending_next_aimd_increase);
}

TEST(Window, LossHalvesTheThresholdAndGoesBack) {
    Engine e(1);
    struct {
        int win;
        int ssthresh_after;
    } cases[] = {{5, 2}, {1, 0}, {64, 32}};
    for (auto &c : cases) {
        bt_peer_t *p = sending_peer(e, c.win, 64, 10);
        p->sending_next_seq = 17;
        p->sending_dupack_count = 3;
        updateWindow(&e.config, p, c.win == 64 ? LOSS_TIMEOUT : LOSS_DUPACK);
        EXPECT_EQ(1, p->sending_win) << c.win;
        EXPECT_EQ(c.ssthresh_after, p->sending_ssthreash) << c.win;
        EXPECT_EQ(17, p->sending_min_dupack);
        EXPECT_EQ(11, p->sending_next_seq);
        EXPECT_EQ(0, p->sending_dupack_count);
        EXPECT_EQ(11, p->sending_next_aimd_increase);
        free(p->sending_data);
        p->sending_data = nullptr;
    }
    /* threshold 0: straight into congestion avoidance from a window of 1 */
    bt_peer_t *p = sending_peer(e, 1, 0, 10);
    p->sending_next_aimd_increase = 11;
    p->sending_lastacked = 10;
    updateWindow(&e.config, p, LOSS_NONE);
    EXPECT_EQ(1, p->sending_win);
    p->sending_lastacked = 11;
    updateWindow(&e.config, p, LOSS_NONE);
    EXPECT_EQ(2, p->sending_win);

    /* an unknown loss type changes nothing */
    updateWindow(&e.config, p, 7);
    EXPECT_EQ(2, p->sending_win);
}

TEST(Window, DuplicateAcksBelowMinDupackAreNotCounted) {
    Engine e(1);
    bt_peer_t *p = sending_peer(e, 8, 64, 10);
    p->sending_min_dupack = 20;
    auto ack = [&](uint32_t n) {
        ef::Packet pkt(ef::packet(PKT_ACK, "", 0, n));
        auto from = e.addr_of(2);
        handleAck(&e.config, pkt.hdr(), &from, now_seconds());
    };
    for (int i = 0; i < 5; i++) ack(10);
    EXPECT_EQ(0, p->sending_dupack_count);
    EXPECT_EQ(8, p->sending_win);

    /* at or above min_dupack they count, and the third raises a loss */
    p->sending_min_dupack = 10;
    ack(10);
    ack(10);
    EXPECT_EQ(2, p->sending_dupack_count);
    EXPECT_EQ(8, p->sending_win);
    ack(10);
    EXPECT_EQ(0, p->sending_dupack_count);
    EXPECT_EQ(1, p->sending_win);
    EXPECT_EQ(4, p->sending_ssthreash);
    e.sock_of(2).recv_all(0.1);
}

TEST(TimeoutScan, OnlyPacketsOlderThanOneSecondTimeOut) {
    Engine e(1);
    bt_peer_t *p = sending_peer(e, 4, 64, 0);
    const double now = 1000.0;
    p->sending_next_seq = 3;
    outstanding(p, 1, now - 1.0);    // exactly 1.0 s: no timeout
    outstanding(p, 2, now - 1.001);  // just over: lost
    sendTimedOutPacketsAt(&e.config, now);
    EXPECT_EQ(1, p->sending_successive_timeouts);
    EXPECT_EQ(1, p->sending_win);
    EXPECT_EQ(2, p->sending_ssthreash);
    // Packet 2 was released; packet 1 still fills the window of 1, so nothing new went out.
    EXPECT_EQ(outstanding_seqs(p), (std::vector<int>{1}));
    EXPECT_TRUE(e.sock_of(2).recv_all(0.1).empty());
}

TEST(TimeoutScan, SeveralTimeoutsInOnePassAndGoBack) {
    Engine e(1);
    bt_peer_t *p = sending_peer(e, 8, 64, 4);
    const double now = 1000.0;
    for (int seq = 5; seq <= 9; seq++) outstanding(p, seq, now - 2.0);
    p->sending_next_seq = 10;
    p->sending_highest_seq = 9;
    sendTimedOutPacketsAt(&e.config, now);
    // The newest (9) is a loss and goes back to 5; 8..5 lie in the stretch being rebuilt.
    EXPECT_EQ(1, p->sending_successive_timeouts);
    EXPECT_EQ(4, p->sending_ssthreash);
    // Every entry was examined and released; the refill sent packet 5 again, rebuilt.
    auto sent = e.sock_of(2).recv_all(0.2);
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(5u, ntohl(ef::parse_header(sent[0]).seq));
    EXPECT_EQ(outstanding_seqs(p), (std::vector<int>{5}));
    EXPECT_EQ(6, p->sending_next_seq);
    EXPECT_EQ(1, e.config.retransmissions);  // packet 5, sent before, counts as sent again
}

TEST(TimeoutScan, MaxRetransEndsTheConnectionAndAnyAckResetsTheCount) {
    Engine e(1);
    bt_peer_t *p = sending_peer(e, 1, 64, 0);
    double now = 1000.0;
    for (int round = 1; round < MAX_RETRANS; round++) {
        outstanding(p, 1, now - 1.5);
        p->sending_next_seq = 2;
        sendTimedOutPacketsAt(&e.config, now);
        ASSERT_EQ(round, p->sending_successive_timeouts);
        ASSERT_EQ(1, p->sending_active);
        timelist_free(p->sending_unacked);  // drop the rebuilt packet the refill sent
        p->sending_unacked = nullptr;
        now += 2.0;
    }
    /* a duplicate ACK starts the count again */
    ef::Packet ack(ef::packet(PKT_ACK, "", 0, 0));
    auto from = e.addr_of(2);
    handleAck(&e.config, ack.hdr(), &from, now);
    EXPECT_EQ(0, p->sending_successive_timeouts);
    timelist_free(p->sending_unacked);
    p->sending_unacked = nullptr;
    p->sending_successive_timeouts = MAX_RETRANS - 1;
    outstanding(p, 1, now - 1.5);
    p->sending_next_seq = 2;
    sendTimedOutPacketsAt(&e.config, now);
    EXPECT_EQ(0, p->sending_active);
    EXPECT_EQ(nullptr, p->sending_unacked);
    EXPECT_EQ(nullptr, p->sending_data);
    EXPECT_EQ(1, e.config.tx_chunks);
    e.sock_of(2).recv_all(0.1);
}

TEST(TimeoutScan, OutstandingCountStaysExactThroughAckLossAndTimeout) {
    Engine e(1);
    bt_peer_t *p = sending_peer(e, 8, 64, 0);
    auto from = e.addr_of(2);
    auto ack = [&](uint32_t n) {
        ef::Packet pkt(ef::packet(PKT_ACK, "", 0, n));
        handleAck(&e.config, pkt.hdr(), &from, now_seconds());
    };
    auto counted = [&] {
        EXPECT_EQ(static_cast<int>(outstanding_seqs(p).size()),
                  timelist_length(p->sending_unacked));
        return timelist_length(p->sending_unacked);
    };
    fillWindowForPeer(&e.config, p, now_seconds());
    EXPECT_EQ(8, counted());
    ack(3);  // releases 1..3, the window grows to 9 and the fill tops it up
    EXPECT_EQ(9, p->sending_win);
    EXPECT_EQ(9, counted());

    /* a duplicate-ACK loss: window 1, and the 9 packets in flight keep it full */
    for (int i = 0; i < 3; i++) ack(3);
    EXPECT_EQ(1, p->sending_win);
    EXPECT_EQ(9, counted());

    /* all of them time out in one pass, each released once; the refill sends the lost one */
    sendTimedOutPacketsAt(&e.config, now_seconds() + 2.0);
    EXPECT_EQ(outstanding_seqs(p), (std::vector<int>{4}));
    EXPECT_EQ(1, counted());
    ack(4);
    EXPECT_EQ(outstanding_seqs(p), (std::vector<int>{6, 5}));
    EXPECT_EQ(p->sending_win, counted());
    e.sock_of(2).recv_all(0.1);

    /* the oldest released: the deadline is early until a scan finds nothing due and refreshes */
    timelist_free(p->sending_unacked);
    p->sending_unacked = nullptr;
    p->sending_win = 1;
    outstanding(p, 7, 100.0);
    outstanding(p, 8, 100.8);
    p->sending_lastacked = 7;
    remove_acked(p);
    EXPECT_DOUBLE_EQ(100.0 + RETRANSMIT_TIMEOUT_S, nextTimerDeadline(&e.config));
    sendTimedOutPacketsAt(&e.config, 101.2);
    EXPECT_EQ(outstanding_seqs(p), (std::vector<int>{8}));
    EXPECT_DOUBLE_EQ(100.8 + RETRANSMIT_TIMEOUT_S, nextTimerDeadline(&e.config));
}

namespace {

// The pinned time at which the recovery tests' GETs are sent.
constexpr double kGetTime = 5000.0;

// Peer `id` announced the single chunk of the request list and was sent a GET for it at `now`.
void requested_from(Engine &e, int id, const std::string &hash, double now = kGetTime) {
    ef::announce(&e.config, e.peer(id), {hash});
    tryToGenerateGetRequest(&e.config, e.peer(id), now);
    ASSERT_TRUE(e.sock_of(id).recv(1.0));
}

void start_download(Engine &e, ts::TempDir &dir, const std::vector<std::string> &hashes) {
    ef::fetch(&e.config, hashes);
    e.config.output_handle = fopen(dir.file("out").c_str(), "w");
    e.config.download_in_progress = 1;
}

// A one-chunk download whose chunk peers 2 and 3 both announced; peer 3 was sent the GET.
struct TwoAnnouncers {
    Engine e{2};
    ts::TempDir dir;
    std::string h = ef::hash_of(1);
    TwoAnnouncers() {
        start_download(e, dir, {h});
        ef::announce(&e.config, e.peer(2), {h});
        requested_from(e, 3, h);
    }
    // Peer 3's DATA has been coming in order since `since`, in the given profile.
    bt_peer_t *receiving_from_3(int transport, double since) {
        e.config.transport = transport;
        bt_peer_t *p3 = e.peer(3);
        p3->receiving_active = 1;
        p3->receiving_sentget = 0;
        p3->receiving_first_data_time = since;
        p3->receiving_last_action_time = since;
        return p3;
    }
    // Whether peer 3's chunk went to peer 2.
    bool moved_to_2() {
        return e.peer(3)->receiving_chunk == nullptr &&
               e.peer(2)->receiving_chunk == e.config.to_fetch_list;
    }
};

}  // namespace

TEST(StallCheck, GivesUpAfterMoreThanThirtySecondsAndAsksAnotherPeer) {
    TwoAnnouncers t;
    Engine &e = t.e;
    const std::string &h = t.h;
    bt_peer_t *p3 = e.peer(3);
    p3->receiving_active = 1;
    p3->receiving_sentget = 0;
    p3->receiving_last_action_time = 5000.0;

    checkForStalledDownloadsAt(&e.config, 5030.0);  // exactly 30 s: goes on
    EXPECT_EQ(1, p3->receiving_active);

    testing::internal::CaptureStdout();
    checkForStalledDownloadsAt(&e.config, 5030.01);
    EXPECT_EQ("giving up on peer 3 \n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(0, p3->receiving_active);
    EXPECT_EQ(nullptr, p3->receiving_chunk);
    EXPECT_EQ(0, announcement_count(p3));
    // The partial chunk failed its check and went to the other peer that announced it.
    EXPECT_EQ(e.config.to_fetch_list, e.peer(2)->receiving_chunk);
    auto get = e.sock_of(2).recv(1.0);
    ASSERT_TRUE(get);
    EXPECT_EQ(ef::packet(PKT_GET, h), *get);
}

TEST(StallCheck, AdaptiveMovesAChunkWithoutProgressToAnIdleHolderOnce) {
    for (int transport : {TRANSPORT_CLASSIC, TRANSPORT_ADAPTIVE}) {
        TwoAnnouncers t;
        Engine &e = t.e;
        bt_peer_t *p3 = t.receiving_from_3(transport, 5000.0);
        moveStalledChunks(&e.config, 5000.0 + ADAPTIVE_MOVE_MIN_S);  // not yet
        EXPECT_EQ(1, p3->receiving_active);
        moveStalledChunks(&e.config, 5000.0 + ADAPTIVE_MOVE_MIN_S + 0.01);
        if (transport == TRANSPORT_CLASSIC) {
            /* the designed profile waits for the stall check */
            EXPECT_EQ(1, p3->receiving_active);
            continue;
        }
        /* the chunk goes to peer 2, the slow peer keeps its announcements */
        EXPECT_TRUE(t.moved_to_2());
        EXPECT_NE(0, announcement_count(p3));
        ASSERT_TRUE(e.sock_of(2).recv(1.0));
    }
}

TEST(StallCheck, AdaptiveMovesAChunkFromAPeerCrawlingFarBelowItsBestRate) {
    /* the best rate a peer showed fades by a tenth a chunk, a slower chunk does not replace it */
    bt_peer_t peer{};
    peer.receiving_first_data_time = 10.0;
    noteChunkReceived(&peer, 10.0 + CHUNK_SIZE / 1e5);  // 100 KB/s
    peer.receiving_first_data_time = 20.0;
    noteChunkReceived(&peer, 20.0 + CHUNK_SIZE / 1e4);  // 10 KB/s
    EXPECT_NEAR(0.9e5, peer.receiving_rate, 1);

    for (int eighths : {9, 7}) {  // of an eighth of that rate: above, below
        TwoAnnouncers t;
        bt_peer_t *p3 = t.receiving_from_3(TRANSPORT_ADAPTIVE, 5000.0);
        p3->receiving_rate = 1e5;
        /* half a second is too soon to judge a rate */
        p3->receiving_last_action_time = 5000.5;
        p3->receiving_offset = DATA_PAYLOAD;
        moveStalledChunks(&t.e.config, 5000.5);
        ASSERT_NE(nullptr, p3->receiving_chunk);
        /* still bringing DATA 4 s on, but only this much of it */
        p3->receiving_last_action_time = 5004.0;
        p3->receiving_offset = static_cast<int>(4 * 1e5 / 8 * eighths / 8);
        moveStalledChunks(&t.e.config, 5004.0);
        EXPECT_EQ(eighths < 8, t.moved_to_2()) << eighths;
    }
}

TEST(Recovery, UnansweredGetIsSentAgainOnceThenOnlyThatChunkIsForgotten) {
    TwoAnnouncers t;
    Engine &e = t.e;
    const std::string &h = t.h;
    std::string other = ef::hash_of(9);
    ef::announce(&e.config, e.peer(3), {other});
    double sent = e.peer(3)->receiving_get_time;

    checkForUnansweredGets(&e.config, sent + 5.0);
    EXPECT_FALSE(e.sock_of(3).recv(0.1));
    /* after 5 s the same GET goes out once more, and the peer stays requested */
    checkForUnansweredGets(&e.config, sent + 5.01);
    auto again = e.sock_of(3).recv(1.0);
    ASSERT_TRUE(again);
    EXPECT_EQ(ef::packet(PKT_GET, h), *again);
    EXPECT_EQ(1, e.peer(3)->receiving_sentget);
    EXPECT_FALSE(e.sock_of(2).recv(0.1));

    /* another 5 s without DATA: given up; only the requested chunk is forgotten */
    checkForUnansweredGets(&e.config, sent + 10.02);
    EXPECT_EQ(nullptr, e.peer(3)->receiving_chunk);
    EXPECT_EQ(nullptr, e.peer(3)->receiving_data);
    EXPECT_EQ(1, announcement_count(e.peer(3)));
    EXPECT_TRUE(announced_by(&e.config, e.peer(3), ef::u8(other)));
    auto get = e.sock_of(2).recv(1.0);  // asked of the other announcer at once
    ASSERT_TRUE(get);
    EXPECT_EQ(ef::packet(PKT_GET, h), *get);

    /* an active connection is the stall check's business, not this one's */
    e.peer(2)->receiving_active = 1;
    e.peer(2)->receiving_sentget = 0;
    checkForUnansweredGets(&e.config, sent + 100.0);
    EXPECT_NE(nullptr, e.peer(2)->receiving_chunk);
}

TEST(Recovery, RediscoveryAsksIdleAnnouncersAndWhoHasForUnannouncedChunks) {
    Engine e(2);
    ts::TempDir dir;
    std::string a = ef::hash_of(1), b = ef::hash_of(2), c = ef::hash_of(3);
    start_download(e, dir, {a, b, c});
    requested_from(e, 2, a, 100.0);  // a is being fetched
    // b was announced by peer 3 before this download started (no GET followed); c by nobody.
    ef::announce(&e.config, e.peer(3), {b});
    e.config.last_whohas_time = 100.0;

    rediscoverMissingChunks(&e.config, 105.0);  // not more than 5 s yet
    EXPECT_TRUE(e.sock_of(3).recv_all(0.1).empty());

    rediscoverMissingChunks(&e.config, 105.5);
    auto to3 = e.sock_of(3).recv_all(0.2);
    ASSERT_EQ(2u, to3.size());
    EXPECT_EQ(ef::packet(PKT_GET, b), to3[0]);  // the old announcement is tried, not trusted
    EXPECT_EQ(ef::packet(PKT_WHOHAS, ef::control_payload({c})), to3[1]);
    auto to2 = e.sock_of(2).recv_all(0.2);
    ASSERT_EQ(1u, to2.size());
    EXPECT_EQ(ef::packet(PKT_WHOHAS, ef::control_payload({c})), to2[0]);

    /* nothing is asked again before another interval has passed */
    rediscoverMissingChunks(&e.config, 106.0);
    EXPECT_TRUE(e.sock_of(3).recv_all(0.1).empty());

    /* with --swarm every chunk still to fetch is asked for: an IHAVE may have been lost */
    e.config.swarm = 1;
    e.config.last_whohas_time = 100.0;
    rediscoverMissingChunks(&e.config, 105.5);
    auto swarm_to2 = e.sock_of(2).recv_all(0.2);
    ASSERT_EQ(1u, swarm_to2.size());
    EXPECT_EQ(ef::packet(PKT_WHOHAS, ef::control_payload({a, b, c})), swarm_to2[0]);
    e.config.swarm = 0;
    e.sock_of(3).recv_all(0.1);

    /* no download running: never */
    e.config.download_in_progress = 0;
    rediscoverMissingChunks(&e.config, 500.0);
    EXPECT_TRUE(e.sock_of(3).recv_all(0.1).empty());
}
