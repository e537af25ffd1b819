// The adaptive transport profile: its sender driven ACK by ACK, the loop's next deadline, and
// swarms through netsim in which adaptive and classic peers meet in either role.
#include "engine/store.h"
#include "engine/adaptive.h"

#include <gtest/gtest.h>

#include <csignal>

#include "engine/create.h"
#include "engine/process.h"
#include "engine/reliable.h"
#include "engine/util.h"
#include "engine_fixture.h"
#include "peer_fixture.h"

using ef::Engine;
using ef::packet;
using ef::Packet;

namespace {

// Peer 1 uploads a chunk to peer 2 with the adaptive sender.
struct AdaptiveUpload {
    Engine e{1};
    ts::TempDir dir;
    bt_peer_t *p;
    AdaptiveUpload() {
        e.config.transport = TRANSPORT_ADAPTIVE;
        std::string path = dir.file("master.dat");
        ts::write_file(path, ts::random_bytes(CHUNK_SIZE, 3));
        snprintf(e.config.chunk_data_file, sizeof e.config.chunk_data_file, "%s", path.c_str());
        chunklist_add(&e.config.mychunks, ef::u8(ef::hash_of(5)), 0);
        store_load(&e.config);
        p = e.peer(2);
        get();
    }
    adaptive_t *a() { return p->sending_adaptive; }
    void get() {
        Packet g(packet(PKT_GET, ef::hash_of(5)));
        auto from = e.addr_of(2);
        handleGet(&e.config, g.hdr(), &from, now_seconds());
    }
    void ack(int n) {
        Packet pkt(packet(PKT_ACK, "", 0, static_cast<uint32_t>(n)));
        auto from = e.addr_of(2);
        handleAck(&e.config, pkt.hdr(), &from, now_seconds());
    }
    std::vector<uint32_t> seqs_sent() {
        std::vector<uint32_t> v;
        for (auto &b : e.sock_of(2).recv_all(0.05)) v.push_back(ntohl(ef::parse_header(b).seq));
        return v;
    }
    // Makes the first unacknowledged packet look old enough to be lost, not reordered.
    void age_first_unacked() { a()->sent_time[p->sending_lastacked + 1] -= 10.0; }
};

}  // namespace

TEST(AdaptiveSender, RttEstimateAndTimeoutBackoff) {
    AdaptiveUpload u;
    EXPECT_EQ(ADAPTIVE_INITIAL_WINDOW, static_cast<int>(u.seqs_sent().size()));
    EXPECT_EQ(ADAPTIVE_RTO_INITIAL_S, u.a()->rto);
    u.a()->sent_time[1] = now_seconds() - 0.01;  // a 10 ms path
    u.ack(1);
    /* srtt + 4 rttvar of one 10 ms sample is 30 ms: the RTO sits on its floor */
    EXPECT_GT(u.a()->srtt, 0.0);
    EXPECT_EQ(ADAPTIVE_RTO_MIN_S, u.a()->rto);
    u.seqs_sent();

    /* two RTTs without an ACK: one probe, a packet never sent, within the window's pace */
    double due = adaptiveNextDeadline(u.p);
    EXPECT_DOUBLE_EQ(u.a()->timer_start + 2 * u.a()->srtt, due);
    EXPECT_TRUE(adaptiveCheckTimers(&u.e.config, u.p, due - 0.001));
    EXPECT_TRUE(u.seqs_sent().empty());
    adaptiveCheckTimers(&u.e.config, u.p, due + 0.001);
    int probe = u.p->sending_next_seq - 1;
    EXPECT_EQ(std::vector<uint32_t>{static_cast<uint32_t>(probe)}, u.seqs_sent());
    /* a timeout goes back to the first unacknowledged packet, window 1, RTO doubled */
    due = adaptiveNextDeadline(u.p);
    EXPECT_DOUBLE_EQ(u.a()->timer_start + ADAPTIVE_RTO_MIN_S, due);
    EXPECT_TRUE(adaptiveCheckTimers(&u.e.config, u.p, due + 0.001));
    EXPECT_EQ(std::vector<uint32_t>{2}, u.seqs_sent());
    EXPECT_EQ(1, u.e.config.retransmissions);
    EXPECT_EQ(1, u.p->sending_win);
    EXPECT_DOUBLE_EQ(2 * ADAPTIVE_RTO_MIN_S, u.a()->rto);
    /* Karn: the ACK of the resent packet gives no sample */
    double srtt = u.a()->srtt;
    u.a()->sent_time[2] -= 5.0;
    u.ack(2);
    EXPECT_EQ(srtt, u.a()->srtt);

    /* successive timeouts back off to the ceiling, and MAX_RETRANS gives the receiver up */
    double now = now_seconds();
    for (int i = 0; i < MAX_RETRANS && u.p->sending_active; i++) {
        now = adaptiveNextDeadline(u.p) + 0.001;
        adaptiveCheckTimers(&u.e.config, u.p, now);
        EXPECT_LE(u.a()->rto, ADAPTIVE_RTO_MAX_S);
    }
    EXPECT_EQ(0, u.p->sending_active);
    EXPECT_LT(now - u.a()->last_progress, ADAPTIVE_GIVE_UP_S + ADAPTIVE_RTO_MAX_S);
}

TEST(AdaptiveSender, FastRecoveryPartialAndFullAcks) {
    AdaptiveUpload u;
    u.ack(1);
    u.ack(2);
    u.seqs_sent();
    int highest = u.p->sending_highest_seq;
    int flight = highest - 2;

    /* reordering: three duplicates for a packet that is not yet overdue change nothing */
    u.a()->srtt = 1.0;
    for (int i = 0; i < 3; i++) u.ack(2);
    EXPECT_EQ(0, u.a()->in_recovery);

    /* once overdue, the next duplicate resends only the first hole and halves the window */
    u.age_first_unacked();
    u.ack(2);
    EXPECT_EQ(1, u.a()->in_recovery);
    EXPECT_EQ(flight / 2, u.p->sending_ssthreash);
    std::vector<uint32_t> sent = u.seqs_sent();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(3u, sent[0]);

    /* a partial ACK resends the next hole (a second loss in the same window), no new halving */
    u.ack(5);
    sent = u.seqs_sent();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(6u, sent[0]);
    EXPECT_EQ(2, u.e.config.retransmissions);  // 3 and 6; new packets do not count
    EXPECT_EQ(1, u.a()->in_recovery);
    EXPECT_EQ(flight / 2, u.p->sending_ssthreash);

    /* the ACK that covers everything outstanding at the loss ends recovery at the threshold */
    u.ack(u.a()->recover);
    EXPECT_EQ(0, u.a()->in_recovery);
    EXPECT_EQ(flight / 2, u.p->sending_win);
}

TEST(AdaptiveSender, TimeoutBeforeTheFirstSampleOnALongPathIsUndone) {
    AdaptiveUpload u;  // ten packets out; the path is slower than the initial RTO
    u.seqs_sent();
    adaptiveCheckTimers(&u.e.config, u.p, adaptiveNextDeadline(u.p) + 0.001);
    EXPECT_EQ(std::vector<uint32_t>{1}, u.seqs_sent());  // only the first packet is resent
    /* its ACK may answer either copy: new packets probe, nothing else is resent */
    u.ack(1);
    EXPECT_EQ((std::vector<uint32_t>{11, 12}), u.seqs_sent());
    /* an ACK of packet 2, sent before the timeout and never resent: the originals arrive */
    u.ack(2);
    EXPECT_EQ(ADAPTIVE_INITIAL_WINDOW, u.p->sending_win);
    std::vector<uint32_t> sent = u.seqs_sent();
    for (uint32_t seq : sent) EXPECT_GT(seq, 12u);  // no packet goes out twice
    /* the duplicate ACK the resent copy causes is no loss */
    for (int i = 0; i < 3; i++) u.ack(2);
    EXPECT_EQ(2, u.p->sending_dupack_count);
    EXPECT_EQ(0, u.a()->in_recovery);
}

TEST(AdaptiveSender, WindowCarriedToTheNextChunkAndResetAfterIdle) {
    AdaptiveUpload u;
    for (int n = 1; n <= PACKETS_PER_CHUNK; n++) u.ack(n);
    EXPECT_EQ(0, u.p->sending_active);
    int grown = u.p->sending_win;
    EXPECT_GT(grown, ADAPTIVE_INITIAL_WINDOW);
    u.seqs_sent();

    EXPECT_EQ(PACKETS_PER_CHUNK, grown);  // a whole chunk may be in flight

    /* the next GET within a few RTOs starts with the window where the last chunk left it, but
       paced, at four times the window's rate (a 400 ms path: 3750 a second): a burst at once,
       the rest as time passes */
    u.a()->srtt = 0.4;
    u.a()->rttvar = 0.01;
    u.a()->carried_rate = 0;  // the last chunk's ACKs came no faster than that
    u.a()->last_activity = now_seconds();
    u.get();
    EXPECT_EQ(grown, u.p->sending_win);
    EXPECT_EQ(ADAPTIVE_INITIAL_WINDOW, static_cast<int>(u.seqs_sent().size()));
    double start = u.a()->conn_start;
    adaptiveCheckTimers(&u.e.config, u.p, start + 0.002);
    EXPECT_EQ(7, static_cast<int>(u.seqs_sent().size()));
    /* no ACK within an RTT (now of 10 ms, well before the RTO): the carried window is dropped */
    u.a()->srtt = 0.01;
    u.a()->rttvar = 0.001;
    adaptiveCheckTimers(&u.e.config, u.p, start + 0.015);
    EXPECT_EQ(grown, u.p->sending_win);
    adaptiveCheckTimers(&u.e.config, u.p, start + 0.03);
    EXPECT_EQ(ADAPTIVE_INITIAL_WINDOW, u.p->sending_win);

    /* after an idle period it starts from the initial window again */
    u.a()->last_activity = now_seconds() - 10.0;
    u.get();
    EXPECT_EQ(ADAPTIVE_INITIAL_WINDOW, u.p->sending_win);
}

namespace {

// An adaptive upload driven with the time given: t moves only when a test moves it.
struct PinnedUpload : AdaptiveUpload {
    double t = now_seconds();
    void ack_at(int n) { adaptiveHandleAck(&e.config, p, n, t); }
    void timers() { adaptiveCheckTimers(&e.config, p, t); }
    // The first packet sent since the last look; 0 when none was.
    uint32_t first_sent() {
        std::vector<uint32_t> sent = seqs_sent();
        return sent.empty() ? 0 : sent[0];
    }
    // Sends the packets up to seq last (no RTT sample yet: nothing is paced) and forgets them.
    void send_up_to(int last) {
        p->sending_win = last - p->sending_lastacked;
        adaptiveFillWindow(&e.config, p, t);
        seqs_sent();
    }
    // Packet 1 acknowledged 10 ms after it was sent: srtt 10 ms, RTO on its floor.
    void measure_10ms_path() {
        a()->sent_time[1] = t - 0.01;
        ack_at(1);
    }
    // Three duplicates of the current ACK, the first unacknowledged packet being overdue.
    void three_overdue_dupacks() {
        age_first_unacked();
        for (int i = 0; i < 3; i++) ack_at(p->sending_lastacked);
    }
};

}  // namespace

TEST(AdaptiveSender, TimeoutAtTheChunkEndRecoversWithNoNewPacketToProbe) {
    PinnedUpload u;
    u.send_up_to(PACKETS_PER_CHUNK);
    u.ack_at(368);
    u.t += 1.0;
    u.timers();
    EXPECT_EQ(std::vector<uint32_t>{369}, u.seqs_sent());
    /* F-RTO would wait for two new packets that do not exist: the loss is taken as real */
    u.ack_at(369);
    EXPECT_EQ(0, u.a()->frto);
    EXPECT_EQ(370u, u.first_sent());
}

TEST(AdaptiveSender, NextFlightLeavesAsFastAsTheReceiverTookTheLastChunk) {
    PinnedUpload u;
    u.send_up_to(PACKETS_PER_CHUNK);
    u.ack_at(1);
    u.t += 0.01;
    u.ack_at(PACKETS_PER_CHUNK);  // the chunk's ACKs came over 10 ms
    EXPECT_EQ(0, u.p->sending_active);
    EXPECT_NEAR((PACKETS_PER_CHUNK - 1) / 0.01, u.a()->carried_rate, 1);
    /* on a 400 ms path, the window's rate would let 7 out in 2 ms; four times the receiver's
       rate lets 299 out, as one burst of what the loop's wake-up may take */
    u.a()->srtt = 0.4;
    u.a()->rttvar = 0.01;
    u.get();
    EXPECT_EQ(ADAPTIVE_INITIAL_WINDOW, static_cast<int>(u.seqs_sent().size()));
    adaptiveCheckTimers(&u.e.config, u.p, u.a()->conn_start + 0.002);
    EXPECT_NEAR(299, static_cast<int>(u.seqs_sent().size()), 1);
    /* an idle period forgets the rate with the window */
    u.ack_at(1);
    u.t += 0.01;
    u.ack_at(PACKETS_PER_CHUNK);
    ASSERT_GT(u.a()->carried_rate, 0);
    u.a()->last_activity = now_seconds() - 10.0;
    u.get();
    EXPECT_EQ(0, u.a()->carried_rate);
}

TEST(AdaptiveSender, SmallFlightRetransmitsEarlyAndOnlyTheFirstFlightIsPaced) {
    PinnedUpload u;
    u.measure_10ms_path();
    /* the first ACK came: the ACKs clock the sending, a wider window fills at once */
    u.p->sending_win = 100;
    adaptiveFillWindow(&u.e.config, u.p, u.t);
    EXPECT_EQ(100, u.p->sending_next_seq - 1 - u.p->sending_lastacked);
    /* three packets left at the chunk's end: two duplicates are enough (RFC 5827) */
    u.send_up_to(PACKETS_PER_CHUNK);
    u.ack_at(PACKETS_PER_CHUNK - 3);
    u.age_first_unacked();
    u.ack_at(PACKETS_PER_CHUNK - 3);
    EXPECT_EQ(0, u.a()->in_recovery);
    u.ack_at(PACKETS_PER_CHUNK - 3);
    EXPECT_EQ(1, u.a()->in_recovery);
}

TEST(AdaptiveSender, StrayHigherAckIsTakenBackWhenTheReceiverKeepsAckingLess) {
    PinnedUpload u;
    u.send_up_to(320);
    u.ack_at(5);
    u.ack_at(300);  // stray: the receiver holds 5
    u.seqs_sent();
    /* lower ACKs within reordering time are old ones overtaken */
    for (int i = 0; i < 3; i++) u.ack_at(5);
    EXPECT_EQ(300, u.p->sending_lastacked);
    /* still coming after that: the receiver holds only 5, and 6 goes out again */
    u.t += 1.0;
    u.ack_at(5);
    EXPECT_EQ(5, u.p->sending_lastacked);
    EXPECT_EQ(6u, u.first_sent());
}

TEST(AdaptiveSender, KarnRecoverGuardAndRtoAfterATimeout) {
    PinnedUpload u;
    u.measure_10ms_path();
    double srtt = u.a()->srtt;
    u.seqs_sent();
    u.t += 1.0;
    u.timers();  // resends 2, RTO doubled
    EXPECT_DOUBLE_EQ(2 * ADAPTIVE_RTO_MIN_S, u.a()->rto);
    /* an ACK covering the resent 2 and originals up to 8: no sample, however it is timed */
    u.t += 0.5;
    u.ack_at(8);
    EXPECT_DOUBLE_EQ(srtt, u.a()->srtt);
    /* duplicates of packets sent before the timeout start no fast recovery */
    u.three_overdue_dupacks();
    EXPECT_EQ(0, u.a()->in_recovery);
    /* the next connection starts from the estimate, not from the backed-off RTO */
    adaptiveEndConnection(u.p);
    u.get();
    EXPECT_DOUBLE_EQ(ADAPTIVE_RTO_MIN_S, u.a()->rto);
}

TEST(AdaptiveSender, DuplicateAckFloodCannotInflateRecovery) {
    PinnedUpload u;
    u.measure_10ms_path();
    u.a()->srtt = 0;   // unpaced, to count what recovery lets out
    u.send_up_to(21);  // 20 packets in flight
    /* three duplicates, the hole being older than reordering allows */
    u.three_overdue_dupacks();
    ASSERT_EQ(1, u.a()->in_recovery);
    EXPECT_EQ(10, u.p->sending_ssthreash);
    EXPECT_EQ(10, u.p->sending_win);
    /* the hole, and half as many new packets as the duplicates showed delivered */
    EXPECT_EQ((std::vector<uint32_t>{2, 22}), u.seqs_sent());
    /* 200 duplicates, though only 19 packets were beyond the hole: the window stays, and the
       rate reduction has let out 10 (ssthresh/flight of the 19) when they are all counted */
    for (int i = 0; i < 200; i++) u.ack_at(1);
    EXPECT_EQ(10, u.p->sending_win);
    std::vector<uint32_t> sent = u.seqs_sent();
    EXPECT_EQ(8u, sent.size());
    for (uint32_t seq : sent) EXPECT_GT(seq, 22u);
    /* an ACK of everything at once takes no reduction back */
    u.ack_at(u.a()->recover);
    EXPECT_EQ(0, u.a()->in_recovery);
    EXPECT_EQ(10, u.p->sending_win);
}

TEST(AdaptiveSender, AfterATailLossProbeOneDuplicateShowsTheHoleLost) {
    PinnedUpload u;
    u.measure_10ms_path();
    u.seqs_sent();  // packets 2 to 12 in flight: three duplicates would be needed
    u.age_first_unacked();
    u.ack_at(1);
    EXPECT_EQ(0, u.a()->in_recovery);
    /* two RTTs without progress: with a duplicate in and the hole overdue, the hole is resent
       rather than a probe */
    u.t += 0.03;
    u.timers();
    EXPECT_EQ(1, u.a()->in_recovery);
    EXPECT_EQ(2u, u.first_sent());

    /* without a duplicate by then the probe goes out, and its duplicate is enough */
    PinnedUpload v;
    v.measure_10ms_path();
    v.seqs_sent();
    auto never_sent = static_cast<uint32_t>(v.p->sending_next_seq);
    v.t += 0.03;
    v.timers();
    EXPECT_EQ(never_sent, v.first_sent());  // the probe
    v.age_first_unacked();
    v.ack_at(1);
    EXPECT_EQ(1, v.a()->in_recovery);
    EXPECT_EQ(2u, v.first_sent());
}

TEST(AdaptiveSender, LostResendIsSentAgainOnceItIsOverdue) {
    PinnedUpload u;
    u.measure_10ms_path();
    u.a()->rttvar = 0.001;
    u.send_up_to(21);  // 20 in flight
    u.three_overdue_dupacks();
    ASSERT_EQ(1, u.a()->in_recovery);
    u.seqs_sent();
    /* 16 more duplicates use up the 19 packets beyond the hole; the 17th came from a packet
       sent after the resend, but the resend is younger than reordering allows */
    for (int i = 0; i < 17; i++) u.ack_at(1);
    u.seqs_sent();
    EXPECT_EQ(1, u.a()->rec_excess);
    u.timers();
    EXPECT_EQ(0u, u.first_sent());
    /* once it is overdue the hole goes out again, with the window as it was */
    u.t += 0.02;
    u.timers();
    EXPECT_EQ(2u, u.first_sent());
    EXPECT_EQ(10, u.p->sending_win);
    /* with no sign that this copy was lost too, time alone resends nothing */
    u.t += 0.02;
    u.timers();
    EXPECT_EQ(0u, u.first_sent());
    /* a duplicate then is such a sign */
    u.ack_at(1);
    EXPECT_EQ(2u, u.first_sent());
    /* and not again on the next one, until that resend is overdue in turn */
    u.ack_at(1);
    EXPECT_EQ(0u, u.first_sent());
}

TEST(Loop, NextDeadlineIsTheEarliestPendingTimer) {
    Engine e(2);
    EXPECT_EQ(0.0, nextTimerDeadline(&e.config));  // idle: nothing due, the loop sleeps 1 s

    header *h = static_cast<header *>(calloc(1, HEADER_SIZE));
    struct timeval sent = {100, 500000};
    timelist_add(&e.peer(2)->sending_unacked, &sent, h);
    EXPECT_DOUBLE_EQ(100.5 + RETRANSMIT_TIMEOUT_S, nextTimerDeadline(&e.config));

    e.peer(3)->receiving_active = 1;
    e.peer(3)->receiving_last_action_time = 60.0;
    EXPECT_DOUBLE_EQ(60.0 + STALL_TIMEOUT_S, nextTimerDeadline(&e.config));

    e.config.download_in_progress = 1;
    e.config.last_whohas_time = 50.0;
    EXPECT_DOUBLE_EQ(50.0 + REDISCOVERY_INTERVAL_S, nextTimerDeadline(&e.config));
    e.config.download_in_progress = 0;
}

// ---- swarms ----------------------------------------------------------------------------------

namespace {

// Three uploaders and a downloader through netsim (2% loss, jitter), each profile as given;
// true when the download completed byte-exact.
bool mixed_swarm(const std::string &uploader_profile, const std::string &downloader_profile) {
    ts::Process router = ts::spawn({ts::bin("netsim"), "--port", "0", "--seed", "5", "--loss",
                                    "0.02", "--delay", "1", "--jitter", "2"});
    const std::string ready = "netsim listening on 127.0.0.1:";
    if (!router.wait_stdout(ready, 10.0)) return false;
    std::string port =
        std::to_string(std::stoi(router.out.substr(router.out.find(ready) + ready.size())));
    std::vector<std::string> env = {"VEXLO_ROUTER=127.0.0.1:" + port};
    pf::Swarm s;
    pf::DataSet data(4 * CHUNK_SIZE - 100, 17);
    s.write_peer_list({1, 2, 3, 4});
    s.write_master(data);
    for (int id = 2; id <= 4; id++)
        s.start(id, data.lines({id - 2, id - 1}), {"--transport", uploader_profile}, env);
    ts::Process &down = s.start(1, "", {"--transport", downloader_profile}, env);
    ts::write_file(s.path("want.chunks"), data.lines());
    down.write_stdin("GET want.chunks out.bin\n");
    bool done =
        s.wait_for([&] { return down.out.find("GOT out.bin \n") != std::string::npos; }, 120.0);
    s.stop_all();
    router.send_signal(SIGTERM);
    router.wait_exit(5.0);
    return done && ts::read_file(s.path("out.bin")) == data.bytes;
}

}  // namespace

TEST(AdaptiveSwarm, AdaptivePeersAndMixedProfilesCompleteByteExact) {
    EXPECT_TRUE(mixed_swarm("adaptive", "adaptive"));
    EXPECT_TRUE(mixed_swarm("adaptive", "classic"));
    EXPECT_TRUE(mixed_swarm("classic", "adaptive"));
}
