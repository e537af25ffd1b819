// The upload and download halves of a chunk transfer, driven packet by packet.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "config/debug.h"
#include "engine/store.h"
#include "engine/create.h"
#include "engine/outbox.h"
#include "engine/peer.h"
#include "engine/process.h"
#include "engine/reliable.h"
#include "engine/schedule.h"
#include "engine/util.h"
#include "engine_fixture.h"
#include "support/chunk.h"

using ef::Engine;
using ef::packet;
using ef::Packet;

namespace {

std::string data_packet(const std::string &chunk, int seq) {
    size_t off = static_cast<size_t>(seq - 1) * DATA_PAYLOAD;
    return packet(PKT_DATA, chunk.substr(off, DATA_PAYLOAD), static_cast<uint32_t>(seq));
}

uint32_t ack_of(const std::string &bytes) {
    return ntohl(ef::parse_header(bytes).ack);
}

// An engine whose peer 2 was sent a GET for one chunk (output position out_id) of known content.
struct Download {
    Engine e{2};
    ts::TempDir dir;
    std::string chunk = ts::random_bytes(CHUNK_SIZE, 7);
    std::string out_path = dir.file("out.dat");

    // A request for `chunk` at position out_id, and `more` other chunks after it that peer 2
    // announced as well.
    explicit Download(int out_id = 1, const std::string &out = "", int more = 0) {
        if (!out.empty()) out_path = out;
        chunkitem *list = nullptr;
        for (int i = more; i > 0; i--) {
            chunklist_add(&list, ef::u8(ef::hash_of(i)), out_id + i);
            ef::announce(&e.config, e.peer(2), {ef::hash_of(i)});
        }
        chunklist_add(&list, ef::u8(ef::sha_raw(chunk)), out_id);
        ef::fetch(&e.config, list);
        e.config.output_handle = fopen(out_path.c_str(), "w");
        snprintf(e.config.output_file, sizeof e.config.output_file, "%s", out_path.c_str());
        e.config.download_in_progress = 1;
        ef::announce(&e.config, e.peer(2), {ef::sha_raw(chunk)});
        tryToGenerateGetRequest(&e.config, e.peer(2), now_seconds());
        EXPECT_TRUE(e.sock_of(2).recv(2.0));  // the GET
    }
    void deliver(int seq) { deliver_bytes(data_packet(chunk, seq)); }
    void deliver_bytes(const std::string &bytes) {
        Packet p(bytes);
        auto from = e.addr_of(2);
        handleData(&e.config, p.hdr(), &from, 1, now_seconds());
    }
    std::vector<uint32_t> acks() {
        std::vector<uint32_t> v;
        for (auto &b : e.sock_of(2).recv_all(0.2)) v.push_back(ack_of(b));
        return v;
    }
};

}  // namespace

TEST(Download, GappedPacketsGiveOneCumulativeAckPerArrival) {
    Download d;
    for (int seq : {1, 3, 4, 2}) d.deliver(seq);
    EXPECT_EQ(d.acks(), (std::vector<uint32_t>{1, 1, 1, 4}));
    EXPECT_EQ(4, d.e.peer(2)->receiving_lastseq);
    EXPECT_EQ(0, heldset_count(&d.e.peer(2)->receiving_held));

    /* a duplicate of a taken packet is answered and released at the next in-order arrival */
    d.deliver(2);
    EXPECT_EQ(d.acks(), (std::vector<uint32_t>{4}));
    d.deliver(5);
    EXPECT_EQ(d.acks(), (std::vector<uint32_t>{5}));
    EXPECT_EQ(0, heldset_count(&d.e.peer(2)->receiving_held));
}

TEST(Download, ABatchOfArrivalsIsAnsweredAsTheSameDatagramsOneByOne) {
    // Gaps, a duplicate, a packet from before the gap and a run that closes it.
    const std::vector<int> arrivals = {1, 3, 4, 2, 2, 6, 1, 5, 8, 7, 9};
    Download single;
    for (int seq : arrivals) single.deliver(seq);
    std::vector<uint32_t> expected = single.acks();
    ASSERT_EQ(expected.size(), arrivals.size());

    /* queued on the socket, taken in one batch, the ACKs held and sent together */
    Download batched;
    for (int seq : arrivals)
        ASSERT_TRUE(
            batched.e.sock_of(2).send_to(batched.e.self.port, data_packet(batched.chunk, seq)));
    usleep(20000);
    giVexloPassNotices = 0;
    outbox_hold();
    process_inbound_batch(&batched.e.config, now_seconds());
    EXPECT_EQ(outbox_held(), static_cast<int>(arrivals.size()));
    outbox_release(batched.e.config.sock);
    giVexloPassNotices = -1;
    EXPECT_EQ(batched.acks(), expected);
    const bt_peer_t *b = batched.e.peer(2), *s = single.e.peer(2);
    EXPECT_EQ(b->receiving_lastseq, s->receiving_lastseq);
    EXPECT_EQ(heldset_count(&b->receiving_held), heldset_count(&s->receiving_held));
    ASSERT_EQ(b->receiving_offset, s->receiving_offset);
    EXPECT_EQ(
        0, memcmp(b->receiving_data, s->receiving_data, static_cast<size_t>(s->receiving_offset)));
}

TEST(Download, HeldPacketsAreBounded) {
    Download d;
    d.deliver(1);
    d.deliver(3);
    d.deliver(3);                                                            // held once only
    d.deliver_bytes(packet(PKT_DATA, std::string(DATA_PAYLOAD, 'x'), 400));  // no packet 400
    d.deliver_bytes(packet(PKT_DATA, "xx", 0xFFFFFFF0u));
    d.deliver_bytes(packet(PKT_DATA, "xx", 5));  // a packet 5 carries 1400 bytes
    EXPECT_EQ(1, heldset_count(&d.e.peer(2)->receiving_held));
    // Packets that are no packet of a chunk are dropped without an ACK.
    EXPECT_EQ(d.acks(), (std::vector<uint32_t>{1, 1, 1}));
}

// ---- held packets against the designed list of copies --------------------------------------

namespace {

// The designed receive path, kept as the reference: a packet ahead of a gap is a whole copy in a
// list (newest first), handled again, nested, once the gap closes.
struct CopiesReference {
    bool asks_again = false;  // a finished chunk sends the next GET to the same peer
    bool sentget = true, active = false;
    std::string prev, data = std::string(CHUNK_SIZE, '\x0B');  // prev: the last chunk's bytes
    int lastseq = -1, offset = 0, finished = 0;
    std::vector<std::pair<int, std::string>> held;
    std::vector<uint32_t> acks;

    void handle(int seq, const std::string &payload, bool send_ack) {
        if (seq < 1 || seq > PACKETS_PER_CHUNK || (!active && (!sentget || seq != 1))) return;
        if (!active) active = true, sentget = false, lastseq = 0;
        auto is = [](int n) { return [n](const auto &h) { return h.first == n; }; };
        if (seq != lastseq + 1) {
            size_t at = static_cast<size_t>(seq - 1) * DATA_PAYLOAD;
            if (std::none_of(held.begin(), held.end(), is(seq)) &&
                (prev.empty() || prev.compare(at, payload.size(), payload) != 0))
                held.insert(held.begin(), {seq, payload});
            acks.push_back(static_cast<uint32_t>(lastseq));
            return;
        }
        lastseq++;
        data.replace(static_cast<size_t>(offset), payload.size(), payload);
        offset += static_cast<int>(payload.size());
        if (auto it = std::find_if(held.begin(), held.end(), is(lastseq + 1)); it != held.end()) {
            auto copy = *it;
            held.erase(it);
            handle(copy.first, copy.second, false);
        }
        std::erase_if(held, [&](const auto &h) { return h.first <= lastseq; });
        if (send_ack && lastseq >= 0) acks.push_back(static_cast<uint32_t>(lastseq));
        if (active && offset == CHUNK_SIZE) finish();
    }
    void finish() {
        finished++, active = false, prev = data;
        held.clear();
        if (asks_again) sentget = true, lastseq = -1, offset = 0, data.assign(CHUNK_SIZE, '\x0B');
    }
};

// Drives the arrivals (from 0: d.chunk, 1: the next chunk asked of the same peer, 2: neither)
// through the engine and the reference; compares ACKs, state, bytes in order and chunks done.
void expect_same_as_copies(Download &d, const std::vector<std::pair<int, int>> &arrivals) {
    const std::string chunks[] = {d.chunk, ts::random_bytes(CHUNK_SIZE, 11),
                                  ts::random_bytes(CHUNK_SIZE, 12)};
    int chunks_before = chunklist_length(d.e.config.to_fetch_list);
    CopiesReference ref;
    ref.asks_again = chunks_before > 1;
    std::vector<uint32_t> acks;
    auto drain = [&] {
        for (auto &b : d.e.sock_of(2).recv_all(0.02))
            if (ef::parse_header(b).type == PKT_ACK) acks.push_back(ack_of(b));
    };
    testing::internal::CaptureStdout();
    for (size_t i = 0; i < arrivals.size(); i++) {
        auto [from, seq] = arrivals[i];
        std::string bytes = seq > PACKETS_PER_CHUNK ? packet(PKT_DATA, std::string(1400, 'b'), 376)
                                                    : data_packet(chunks[from], seq);
        d.deliver_bytes(bytes);
        ref.handle(seq, bytes.substr(HEADER_SIZE), true);
        if (i % 32 == 31) drain();
    }
    testing::internal::GetCapturedStdout();
    drain();
    const bt_peer_t *p = d.e.peer(2);
    EXPECT_EQ(ref.acks, acks);
    EXPECT_EQ(ref.lastseq, p->receiving_lastseq);
    EXPECT_EQ(ref.offset, p->receiving_offset);
    EXPECT_EQ(static_cast<int>(ref.held.size()), heldset_count(&p->receiving_held));
    EXPECT_EQ(ref.finished, chunks_before - chunklist_length(d.e.config.to_fetch_list));
    EXPECT_TRUE(!p->receiving_data ||
                memcmp(ref.data.data(), p->receiving_data, static_cast<size_t>(ref.offset)) == 0);
}

}  // namespace

TEST(Download, HeldPacketsInPlaceAnswerAsTheListOfCopies) {
    /* gaps, repeats ahead and behind, a packet beyond the chunk, the whole chunk closed by one
       arrival; then the next chunk, with late packets of this one and others among its own */
    std::vector<std::pair<int, int>> script = {{0, 1}, {0, 3}, {0, 3},   {0, 5}, {0, 4},
                                               {0, 2}, {0, 2}, {0, 376}, {0, 7}, {0, 6},
                                               {0, 9}, {0, 8}, {0, 10}};
    for (int seq = PACKETS_PER_CHUNK; seq > 11; seq--) script.push_back({0, seq});
    const std::vector<std::pair<int, int>> then = {
        {0, 11}, {0, 300}, {1, 1}, {0, 300}, {1, 3}, {0, 3}, {1, 2}, {1, 3}, {1, 5},
        {1, 4},  {2, 2},   {2, 9}, {0, 6},   {1, 8}, {0, 8}, {2, 8}, {1, 7}};
    script.insert(script.end(), then.begin(), then.end());
    Download two(1, "", 1);
    expect_same_as_copies(two, script);

    /* a whole chunk in windows of 24 sent backwards, some packets twice, some stale */
    std::vector<std::pair<int, int>> reversed = {{0, 1}};
    for (int base = 2; base <= PACKETS_PER_CHUNK; base += 24) {
        for (int seq = std::min(base + 23, PACKETS_PER_CHUNK); seq >= base; seq--) {
            reversed.push_back({0, seq});
            if (seq % 5 == 0) reversed.push_back({0, seq});
            if (seq % 7 == 0 && seq > 30) reversed.push_back({0, seq - 30});
        }
    }
    Download one;
    expect_same_as_copies(one, reversed);
}

TEST(Download, HeldPacketsPrintTheMessagesOfTheNestedHandling) {
    Download d;
    unsigned saved = debug;
    debug = DEBUG_SEQ;
    testing::internal::CaptureStderr();
    for (int seq : {1, 3, 4, 2}) d.deliver(seq);
    std::string err = testing::internal::GetCapturedStderr();
    debug = saved;
    EXPECT_EQ(
        "Received seq = 1 \nSending ACK 1 \nReceived seq = 3 \nSending ACK 1 \n"
        "Received seq = 4 \nSending ACK 1 \nReceived seq = 2 \nReceived seq = 3 \n"
        "Received seq = 4 \nNot sending ack for 4, b/c it is old data \n"
        "Not sending ack for 3, b/c it is old data \nSending ACK 4 \n",
        err);
}

TEST(Download, AConnectionEndedShortKeepsOnlyTheBytesTakenInOrder) {
    Download d;
    for (int seq : {1, 3, 5}) d.deliver(seq);
    const uint8_t *buffer = d.e.peer(2)->receiving_data;
    checkForStalledDownloadsAt(&d.e.config, now_seconds() + STALL_TIMEOUT_S + 1);
    /* checked and kept as packet 1 and fill: packets 3 and 5 were never taken */
    ASSERT_EQ(buffer, d.e.peer(2)->receiving_prev_data);
    std::string kept(reinterpret_cast<const char *>(buffer), CHUNK_SIZE);
    EXPECT_EQ(d.chunk.substr(0, DATA_PAYLOAD) + std::string(CHUNK_SIZE - DATA_PAYLOAD, '\x0B'),
              kept);
}

TEST(Download, DataBeforeTheFirstPacketIsIgnored) {
    Download d;
    d.deliver(2);
    EXPECT_TRUE(d.acks().empty());
    EXPECT_EQ(0, d.e.peer(2)->receiving_active);
    /* a peer that was sent no GET gets no ACK either */
    Packet p(data_packet(d.chunk, 1));
    auto from3 = d.e.addr_of(3);
    handleData(&d.e.config, p.hdr(), &from3, 1, now_seconds());
    EXPECT_FALSE(d.e.sock_of(3).recv(0.2));
}

TEST(Download, WholeChunkIsVerifiedWrittenAtItsPlaceAndEndsTheDownload) {
    Download d(2);
    // The last packet first: held, then taken by the nested reprocessing when the gap closes.
    d.deliver(1);
    d.deliver(PACKETS_PER_CHUNK);
    testing::internal::CaptureStdout();
    for (int seq = 2; seq < PACKETS_PER_CHUNK; seq++) d.deliver(seq);
    std::string out = testing::internal::GetCapturedStdout();
    auto acks = d.acks();
    ASSERT_EQ(static_cast<size_t>(PACKETS_PER_CHUNK), acks.size());
    EXPECT_EQ(1u, acks[1]);        // for the early last packet
    EXPECT_EQ(375u, acks.back());  // one ACK for the arrival that closed the gap
    EXPECT_EQ("GOT " + d.out_path + " \n", out);
    EXPECT_EQ(0, d.e.config.download_in_progress);
    EXPECT_EQ(nullptr, d.e.config.output_handle);
    EXPECT_EQ(nullptr, d.e.config.to_fetch_list);
    EXPECT_EQ(nullptr, d.e.peer(2)->receiving_chunk);
    EXPECT_GT(d.e.peer(2)->receiving_rate, CHUNK_SIZE / 10.0);  // the chunk came within 10 s
    std::string file = ts::read_file(d.out_path);
    ASSERT_EQ(static_cast<size_t>(3 * CHUNK_SIZE), file.size());
    EXPECT_EQ(d.chunk, file.substr(2 * CHUNK_SIZE));
}

TEST(Download, NestedFinishThatStartsTheNextGetSendsNoAckForIt) {
    Download d(0, "", 1);
    d.deliver(1);
    d.deliver(PACKETS_PER_CHUNK);
    for (int seq = 2; seq < PACKETS_PER_CHUNK - 1; seq++) d.deliver(seq);
    d.e.sock_of(2).recv_all(0.2);
    // Packet 374 closes the gap: the nested call finishes the chunk and sends the GET for the
    // next one to the same peer; the outer call then has nothing of the new chunk to acknowledge.
    d.deliver(PACKETS_PER_CHUNK - 1);
    auto replies = d.e.sock_of(2).recv_all(0.2);
    ASSERT_EQ(1u, replies.size());
    EXPECT_EQ(packet(PKT_GET, ef::hash_of(1)), replies[0]);
    EXPECT_EQ(-1, d.e.peer(2)->receiving_lastseq);
    EXPECT_EQ(1, d.e.config.download_in_progress);
    EXPECT_TRUE(ts::read_file(d.out_path) == d.chunk);
}

TEST(Download, ChunkIdsBeyond4095AreWrittenAtTheirWideOffset) {
    const int id = 5000;  // id * CHUNK_SIZE does not fit in 32 bits
    Download d(id);
    testing::internal::CaptureStdout();
    for (int seq = 1; seq <= PACKETS_PER_CHUNK; seq++) d.deliver(seq);
    EXPECT_EQ("GOT " + d.out_path + " \n", testing::internal::GetCapturedStdout());
    FILE *f = fopen(d.out_path.c_str(), "rb");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(0, fseeko(f, 0, SEEK_END));
    EXPECT_EQ(static_cast<off_t>(id + 1) * CHUNK_SIZE, ftello(f));
    std::string back(CHUNK_SIZE, '\0');
    ASSERT_EQ(0, fseeko(f, static_cast<off_t>(id) * CHUNK_SIZE, SEEK_SET));
    ASSERT_EQ(static_cast<size_t>(CHUNK_SIZE), fread(back.data(), 1, CHUNK_SIZE, f));
    fclose(f);
    EXPECT_TRUE(back == d.chunk);
}

TEST(Download, BadChunkIsDiscardedAndAskedForAgain) {
    Download d;
    std::string wrong = d.chunk;
    wrong[1000] ^= 0x40;
    for (int seq = 1; seq <= PACKETS_PER_CHUNK; seq++) {
        size_t off = static_cast<size_t>(seq - 1) * DATA_PAYLOAD;
        d.deliver_bytes(
            packet(PKT_DATA, wrong.substr(off, DATA_PAYLOAD), static_cast<uint32_t>(seq)));
    }
    auto replies = d.e.sock_of(2).recv_all(0.2);
    // The only holder is not asked again at once, but after a pause.
    ASSERT_EQ(static_cast<size_t>(PACKETS_PER_CHUNK), replies.size());
    EXPECT_EQ(1, chunklist_length(d.e.config.to_fetch_list));
    EXPECT_EQ(1, d.e.config.download_in_progress);
    EXPECT_EQ(0u, ts::read_file(d.out_path).size());   // nothing written
    d.e.peer(2)->receiving_failures->retry_after = 0;  // the pause is over
    retryPausedRequests(&d.e.config, d.e.config.retry_due_time);
    auto again = d.e.sock_of(2).recv(1.0);
    ASSERT_TRUE(again);
    EXPECT_EQ(packet(PKT_GET, ef::sha_raw(d.chunk)), *again);  // the same chunk again
}

TEST(Download, EveryHashFailureCountsAndAnotherHolderIsPreferred) {
    Download d;
    std::string hash = ef::sha_raw(d.chunk);
    // The whole chunk from peer 2 with one bit flipped at `at`.
    auto deliver_damaged = [&](size_t at) {
        std::string wrong = d.chunk;
        wrong[at] ^= 1;
        for (int seq = 1; seq <= PACKETS_PER_CHUNK; seq++) {
            size_t off = static_cast<size_t>(seq - 1) * DATA_PAYLOAD;
            size_t len = seq == PACKETS_PER_CHUNK ? LAST_PACKET_PAYLOAD : DATA_PAYLOAD;
            d.deliver_bytes(packet(PKT_DATA, wrong.substr(off, len), static_cast<uint32_t>(seq)));
        }
        d.e.sock_of(2).recv_all(0.1);
    };
    testing::internal::CaptureStderr();
    deliver_damaged(5);
    /* asked again after its pause, the only holder sends copies damaged elsewhere each time:
       each one counts, as the same bad bytes would */
    failitem *f = d.e.peer(2)->receiving_failures;
    ASSERT_NE(nullptr, f);
    for (size_t at : {size_t{6}, size_t{7}}) {
        f->retry_after = 0;
        tryToGenerateGetRequest(&d.e.config, d.e.peer(2), now_seconds());
        ASSERT_EQ(d.e.config.to_fetch_list, d.e.peer(2)->receiving_chunk);
        deliver_damaged(at);
    }
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("chunk 1 from peer 2 failed its hash check (1 time); "
                                          "not asked of it for 1 s\n"));
    EXPECT_EQ(MAX_HASH_FAILURES, f->failures);
    /* with no other holder it was asked again at once; a holder that announces it now is asked
       the next time, and peer 2 no longer */
    releaseReceivingConnection(d.e.peer(2));
    ef::announce(&d.e.config, d.e.peer(3), {hash});
    tryAllGetRequests(&d.e.config, now_seconds());
    auto get = d.e.sock_of(3).recv(1.0);
    ASSERT_TRUE(get);
    EXPECT_EQ(packet(PKT_GET, hash), *get);
    EXPECT_FALSE(d.e.sock_of(2).recv(0.1));
    /* after MAX_HASH_FAILURES peer 2 is passed over while peer 3 is a good holder, even idle */
    releaseReceivingConnection(d.e.peer(3));
    f->failures = MAX_HASH_FAILURES;
    f->retry_after = 0;
    d.e.sock_of(2).recv_all(0.1);
    tryToGenerateGetRequest(&d.e.config, d.e.peer(2), now_seconds());
    EXPECT_FALSE(d.e.sock_of(2).recv(0.1));
    /* with no other holder left it is asked again */
    announcements_forget_all(&d.e.config, d.e.peer(3));
    tryToGenerateGetRequest(&d.e.config, d.e.peer(2), now_seconds());
    EXPECT_TRUE(d.e.sock_of(2).recv(1.0));
}

TEST(Download, OnlyTheRequestsFurthestChunkMayBeShort) {
    // A 1000-byte chunk as an uploader streams it: the bytes, then fill bytes to CHUNK_SIZE.
    std::string bytes = ts::random_bytes(1000, 9);
    std::string padded = bytes + std::string(CHUNK_SIZE - bytes.size(), UPLOAD_FILL_BYTE);
    for (int last : {1, 2}) {
        Download d(1);
        memcpy(d.e.config.to_fetch_list->hash, ef::u8(ef::sha_raw(bytes)), HASH_SIZE);
        ef::reindex(&d.e.config);
        d.e.config.last_chunk_id = last;
        testing::internal::CaptureStdout();
        for (int seq = 1; seq <= PACKETS_PER_CHUNK; seq++)
            d.deliver_bytes(data_packet(padded, seq));
        std::string out = testing::internal::GetCapturedStdout();
        if (last == 1) {
            /* the file's last chunk: its 1000 bytes are written */
            EXPECT_EQ("GOT " + d.out_path + " \n", out);
            EXPECT_EQ(std::string(CHUNK_SIZE, '\0') + bytes, ts::read_file(d.out_path));
        } else {
            /* a chunk before the last is whole or nothing */
            EXPECT_EQ("", out);
            EXPECT_EQ(1, d.e.config.download_in_progress);
        }
    }
}

TEST(Download, LateDataOfThePreviousChunkIsNotSplicedIntoTheNext) {
    Download d(1, "", 1);  // the chunk, then a second one peer 2 announced too
    for (int seq = 1; seq <= PACKETS_PER_CHUNK; seq++) d.deliver(seq);
    auto sent = d.e.sock_of(2).recv_all(0.2);
    ASSERT_EQ(packet(PKT_GET, ef::hash_of(1)), sent.back());  // the next chunk, same peer
    d.deliver_bytes(packet(PKT_DATA, std::string(DATA_PAYLOAD, 'n'), 1));
    /* a late duplicate of the old chunk's packet 300 is not held for the new chunk */
    d.deliver(300);
    EXPECT_EQ(0, heldset_count(&d.e.peer(2)->receiving_held));
    /* the new chunk's own packet 300 is */
    d.deliver_bytes(packet(PKT_DATA, std::string(DATA_PAYLOAD, 'n'), 300));
    EXPECT_EQ(1, heldset_count(&d.e.peer(2)->receiving_held));
}

TEST(Download, FirstPacketOfThePreviousChunkIsDroppedAndTheGetSentAgain) {
    Download d(1, "", 1);
    for (int seq = 1; seq <= PACKETS_PER_CHUNK; seq++) d.deliver(seq);
    d.e.sock_of(2).recv_all(0.2);
    /* the old chunk's first packet, from an upload a late GET restarted: the GET goes again */
    for (int i = 0; i < MAX_FIRST_DATA_DROPS; i++) {
        d.deliver(1);
        EXPECT_EQ(0, d.e.peer(2)->receiving_active);
        auto sent = d.e.sock_of(2).recv_all(0.1);
        ASSERT_EQ(1u, sent.size());
        EXPECT_EQ(packet(PKT_GET, ef::hash_of(1)), sent[0]);
    }
    /* still the same: the new chunk's own first packet, which happens to be the same */
    d.deliver(1);
    EXPECT_EQ(1, d.e.peer(2)->receiving_active);
    /* a new GET counts its drops afresh */
    bt_peer_t *p = d.e.peer(2);
    releaseReceivingConnection(p);
    tryToGenerateGetRequest(&d.e.config, p, now_seconds());
    d.e.sock_of(2).recv_all(0.1);
    d.deliver(1);
    EXPECT_EQ(0, p->receiving_active);
    /* the same chunk asked for again (its hash check failed): its first packet is taken at once */
    releaseReceivingConnection(p);
    chunklist_add(&d.e.config.to_fetch_list, ef::u8(ef::sha_raw(d.chunk)), 1);
    ef::reindex(&d.e.config);
    tryToGenerateGetRequest(&d.e.config, p, now_seconds());
    ASSERT_EQ(0, memcmp(p->receiving_chunk->hash, ef::u8(ef::sha_raw(d.chunk)), HASH_SIZE));
    d.deliver(1);
    EXPECT_EQ(1, p->receiving_active);
}

TEST(Download, FailedWriteAbortsTheDownloadAndAllowsANewOne) {
    Download d(0, "/dev/full");
    testing::internal::CaptureStderr();
    for (int seq = 1; seq <= PACKETS_PER_CHUNK; seq++) d.deliver(seq);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("error writing output file \n"));
    EXPECT_NE(std::string::npos, err.find("download of /dev/full aborted"));
    EXPECT_EQ(0, d.e.config.download_in_progress);
    EXPECT_EQ(nullptr, d.e.config.to_fetch_list);
    EXPECT_EQ(nullptr, d.e.config.output_handle);
    for (bt_peer_t *p = d.e.config.peers; p; p = p->next) {
        EXPECT_EQ(nullptr, p->receiving_chunk);
        EXPECT_EQ(nullptr, p->receiving_data);
    }
}

// -x n ends the peer after its own download, an aborted one too (else it would wait for ever).
TEST(Download, FailedWriteEndsAPeerUnderX) {
    Download d(0, "/dev/full");
    d.e.config.max_tx_chunks = 1;
    EXPECT_EXIT(
        {
            for (int seq = 1; seq <= PACKETS_PER_CHUNK; seq++) d.deliver(seq);
        },
        testing::ExitedWithCode(10), "download of /dev/full aborted");
}

TEST(Download, OversizedDataIsDroppedAndStraysDoNotHoldOffTheStallCheck) {
    Download d;
    unsigned saved = debug;
    debug = DEBUG_ERRS;
    testing::internal::CaptureStderr();
    for (int seq = 1; seq < PACKETS_PER_CHUNK; seq++) d.deliver(seq);
    // A last packet of 1400 bytes instead of 688 would run 712 bytes past the chunk.
    d.deliver_bytes(packet(PKT_DATA, std::string(DATA_PAYLOAD, 'z'), PACKETS_PER_CHUNK));
    std::string err = testing::internal::GetCapturedStderr();
    debug = saved;
    EXPECT_NE(std::string::npos,
              err.find("dropping DATA seq = 375 of 1400 bytes from peer 2: not a packet of a "
                       "chunk \n"));
    EXPECT_EQ(CHUNK_SIZE - LAST_PACKET_PAYLOAD, d.e.peer(2)->receiving_offset);

    /* repeats of old packets are no progress: the stall clock keeps its time */
    d.e.peer(2)->receiving_last_action_time = 1000.0;
    d.deliver(7);
    d.deliver(PACKETS_PER_CHUNK - 1);
    EXPECT_EQ(1000.0, d.e.peer(2)->receiving_last_action_time);
    testing::internal::CaptureStdout();
    d.deliver(PACKETS_PER_CHUNK);  // the real last packet completes the chunk
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(0, d.e.config.download_in_progress);
}

// ---- upload ----

namespace {

struct Upload {
    Engine e{2};
    ts::TempDir dir;
    std::string data = ts::random_bytes(CHUNK_SIZE + 1000, 3);  // chunk 1 is mostly past the end
    explicit Upload() {
        std::string path = dir.file("master.dat");
        ts::write_file(path, data);
        snprintf(e.config.chunk_data_file, sizeof e.config.chunk_data_file, "%s", path.c_str());
        chunklist_add(&e.config.mychunks, ef::u8(ef::hash_of(5)), 1);
        store_load(&e.config);
    }
    void get(int from_id, const std::string &hash) {
        Packet p(packet(PKT_GET, hash));
        auto from = e.addr_of(from_id);
        handleGet(&e.config, p.hdr(), &from, now_seconds());
    }
    void ack(int from_id, uint32_t n) {
        Packet p(packet(PKT_ACK, "", 0, n));
        auto from = e.addr_of(from_id);
        handleAck(&e.config, p.hdr(), &from, now_seconds());
    }
};

}  // namespace

TEST(Upload, StreamsTheWholeChunkFilledPastTheFileEnd) {
    Upload u;
    u.get(2, ef::hash_of(5));
    auto first = u.e.sock_of(2).recv_all(0.2);
    ASSERT_EQ(1u, first.size());  // window 1
    std::string expected = u.data.substr(CHUNK_SIZE) + std::string(CHUNK_SIZE - 1000, '\x0A');
    std::string got;
    std::vector<std::string> all = first;
    uint32_t acked = 0;
    while (acked < PACKETS_PER_CHUNK) {
        ASSERT_FALSE(all.empty()) << "stream stopped after " << acked;
        for (auto &pkt : all) {
            header h = ef::parse_header(pkt);
            uint32_t seq = ntohl(h.seq);
            ASSERT_EQ(acked + 1, seq);
            size_t want = seq == PACKETS_PER_CHUNK ? LAST_PACKET_PAYLOAD : DATA_PAYLOAD;
            ASSERT_EQ(HEADER_SIZE + want, pkt.size());
            ASSERT_EQ(HEADER_SIZE + want, ntohs(h.p_len));
            got += pkt.substr(HEADER_SIZE);
            acked = seq;
        }
        if (acked == PACKETS_PER_CHUNK) testing::internal::CaptureStdout();
        u.ack(2, acked);
        if (acked == PACKETS_PER_CHUNK) testing::internal::GetCapturedStdout();
        all = u.e.sock_of(2).recv_all(0.1);
    }
    EXPECT_EQ(expected, got);
    EXPECT_EQ(0, u.e.peer(2)->sending_active);
    EXPECT_EQ(1, u.e.config.tx_chunks);
    EXPECT_EQ(nullptr, u.e.peer(2)->sending_data);
}

TEST(Upload, TheClassicFillSendsAndLogsItsWindowAsTheDesignedOneByOneLoop) {
    Upload u;
    u.get(2, ef::hash_of(5));
    u.e.sock_of(2).recv_all(0.1);  // packet 1: the window is 1
    bt_peer_t *p = u.e.peer(2);
    p->sending_win = 4;
    debug = DEBUG_ALL;
    testing::internal::CaptureStderr();
    classicFillWindow(&u.e.config, p, now_seconds());
    std::string log = testing::internal::GetCapturedStderr();
    std::string chunk = u.data.substr(CHUNK_SIZE) + std::string(CHUNK_SIZE - 1000, '\x0A');
    EXPECT_EQ(u.e.sock_of(2).recv_all(0.1),
              (std::vector<std::string>{data_packet(chunk, 2), data_packet(chunk, 3),
                                        data_packet(chunk, 4)}));
    EXPECT_EQ(timelist_length(p->sending_unacked), 4);
    std::string want;
    char line[160];
    for (int seq = 2; seq <= 4; seq++) {
        snprintf(line, sizeof line,
                 "send seq = %d with %d / 4 packet outstanding\n"
                 "Sending data of size = 1400 to peer 127.0.0.1 : %d with offset = %d \n"
                 "Sending seq = %d \n",
                 seq, seq - 1, u.e.sock_of(2).port, (seq - 1) * DATA_PAYLOAD, seq);
        want += line;
    }
    EXPECT_EQ(log, want);

    /* a failed send: that packet is outstanding all the same, and the fill stops there */
    p->sending_win = 8;
    int sock = u.e.config.sock;
    u.e.config.sock = -1;
    debug = DEBUG_ERRS;
    testing::internal::CaptureStderr();
    classicFillWindow(&u.e.config, p, now_seconds());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error Sending Data \n");
    u.e.config.sock = sock;
    debug = 0;
    EXPECT_EQ(timelist_length(p->sending_unacked), 5);
    EXPECT_EQ(p->sending_next_seq, 6);
}

TEST(Upload, AckRules) {
    Upload u;
    u.get(2, ef::hash_of(5));
    bt_peer_t *p = u.e.peer(2);
    auto first_seq_sent = [&] {
        auto pkts = u.e.sock_of(2).recv_all(0.1);
        return pkts.empty() ? 0u : ntohl(ef::parse_header(pkts[0]).seq);
    };
    first_seq_sent();
    u.ack(2, 1);
    u.ack(2, 3);
    EXPECT_EQ(3, p->sending_lastacked);
    EXPECT_GT(timelist_length(p->sending_unacked), 0);

    /* a lower ACK is taken as new */
    u.ack(2, 2);
    EXPECT_EQ(2, p->sending_lastacked);
    EXPECT_EQ(0, p->sending_dupack_count);
    first_seq_sent();

    // After a go-back, ACKs above next_seq can still name packets this connection sent.
    for (int n = 4; n <= 8; n++) u.ack(2, static_cast<uint32_t>(n));
    first_seq_sent();
    updateWindow(&u.e.config, p, LOSS_TIMEOUT);
    p->sending_win = 1000;  // room to send, so the first packet sent shows next_seq
    int next = p->sending_next_seq;
    ASSERT_LT(next + 2, p->sending_highest_seq);
    /* an ACK equal to next_seq leaves it: sending resumes at that very packet */
    u.ack(2, static_cast<uint32_t>(next));
    EXPECT_EQ(static_cast<uint32_t>(next), first_seq_sent());
    /* one above it moves next_seq to the ACK plus one */
    updateWindow(&u.e.config, p, LOSS_TIMEOUT);
    p->sending_win = 1000;
    next = p->sending_next_seq;
    u.ack(2, static_cast<uint32_t>(next + 1));
    EXPECT_EQ(static_cast<uint32_t>(next + 2), first_seq_sent());

    /* a GET for another chunk: the late ACKs of the old one are above anything sent since, and
       dropped */
    chunklist_add(&u.e.config.mychunks, ef::u8(ef::hash_of(6)), 0);
    store_load(&u.e.config);
    u.get(2, ef::hash_of(6));
    first_seq_sent();
    u.ack(2, 9);
    u.ack(2, PACKETS_PER_CHUNK);
    EXPECT_EQ(0, p->sending_lastacked);
    EXPECT_EQ(1, p->sending_active);
    /* the same GET again: the receiver keeps what it has, and its ACK above the restarted
       connection's packets moves the sender on after it */
    u.ack(2, 1);
    u.get(2, ef::hash_of(6));
    first_seq_sent();
    u.ack(2, 9);
    EXPECT_EQ(9, p->sending_lastacked);
    p->sending_win = 1000;
    u.ack(2, 9);
    EXPECT_EQ(10u, first_seq_sent());

    /* out-of-range numbers are dropped */
    int lastacked = p->sending_lastacked;
    u.ack(2, 0xFFFFFFFFu);
    u.ack(2, 376);
    EXPECT_EQ(lastacked, p->sending_lastacked);

    /* an ACK from a peer with no upload running changes nothing */
    u.ack(3, 5);
    EXPECT_EQ(0, u.e.peer(3)->sending_active);
}

TEST(Upload, LateCopyOfTheGetOfAChunkAcknowledgedWholeIsIgnored) {
    Upload u;
    chunklist_add(&u.e.config.mychunks, ef::u8(ef::hash_of(6)), 0);
    chunklist_add(&u.e.config.mychunks, ef::u8(ef::hash_of(7)), 0);
    store_load(&u.e.config);
    u.get(2, ef::hash_of(5));
    bt_peer_t *p = u.e.peer(2);
    p->sending_highest_seq = PACKETS_PER_CHUNK;  // as if every packet had gone out
    testing::internal::CaptureStdout();
    u.ack(2, PACKETS_PER_CHUNK);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(0, p->sending_active);
    /* asked again with nothing running (its hash check failed): served */
    u.get(2, ef::hash_of(5));
    EXPECT_EQ(1, p->sending_active);
    p->sending_highest_seq = PACKETS_PER_CHUNK;
    testing::internal::CaptureStdout();
    u.ack(2, PACKETS_PER_CHUNK);
    testing::internal::GetCapturedStdout();
    /* two chunks later, while the next one runs: a copy of the first GET is a late one */
    u.get(2, ef::hash_of(6));
    p->sending_highest_seq = PACKETS_PER_CHUNK;
    testing::internal::CaptureStdout();
    u.ack(2, PACKETS_PER_CHUNK);
    testing::internal::GetCapturedStdout();
    u.get(2, ef::hash_of(7));
    u.ack(2, 1);
    u.get(2, ef::hash_of(5));
    EXPECT_EQ(0, memcmp(p->sending_hash, ef::u8(ef::hash_of(7)), HASH_SIZE));
    EXPECT_EQ(1, p->sending_lastacked);
    /* once the running upload has gone unacknowledged for a while, the GET is a new request */
    p->sending_last_ack_time -= LATE_GET_ACK_WINDOW_S;
    u.get(2, ef::hash_of(5));
    EXPECT_EQ(0, memcmp(p->sending_hash, ef::u8(ef::hash_of(5)), HASH_SIZE));
}

TEST(Upload, NewGetReplacesARunningUploadAndUnknownChunkEndsIt) {
    Upload u;
    u.get(2, ef::hash_of(5));
    u.ack(2, 1);
    u.e.sock_of(2).recv_all(0.1);
    u.get(2, ef::hash_of(5));
    EXPECT_EQ(1, u.e.config.tx_chunks);
    EXPECT_EQ(1, u.e.peer(2)->sending_win);
    auto again = u.e.sock_of(2).recv_all(0.2);
    ASSERT_EQ(1u, again.size());
    EXPECT_EQ(1u, ntohl(ef::parse_header(again[0]).seq));

    u.get(2, ef::hash_of(6));  // not held
    EXPECT_EQ(2, u.e.config.tx_chunks);
    EXPECT_EQ(0, u.e.peer(2)->sending_active);
    EXPECT_TRUE(u.e.sock_of(2).recv_all(0.2).empty());

    /* a GET whose payload is shorter than a hash is dropped without effect */
    u.get(2, ef::hash_of(5));
    u.e.sock_of(2).recv_all(0.1);
    u.get(2, ef::hash_of(5).substr(0, 19));
    EXPECT_EQ(2, u.e.config.tx_chunks);
    EXPECT_EQ(1, u.e.peer(2)->sending_active);
}

TEST(Upload, ChunkIdsBeyond4095AreReadAtTheirWideOffset) {
    Upload u;
    const int id = 5000;
    std::string chunk = ts::random_bytes(DATA_PAYLOAD, 9);
    FILE *f = fopen(u.e.config.chunk_data_file, "r+b");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(0, fseeko(f, static_cast<off_t>(id) * CHUNK_SIZE, SEEK_SET));
    ASSERT_EQ(chunk.size(), fwrite(chunk.data(), 1, chunk.size(), f));
    fclose(f);
    chunklist_add(&u.e.config.mychunks, ef::u8(ef::hash_of(9)), id);
    store_load(&u.e.config);
    u.get(2, ef::hash_of(9));
    auto first = u.e.sock_of(2).recv(2.0);
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->substr(HEADER_SIZE) == chunk);
}

TEST(Upload, UnreadableChunkStartsNoConnection) {
    Upload u;
    chunklist_add(&u.e.config.mychunks, ef::u8(ef::hash_of(8)), 9);  // far past the file's end
    store_load(&u.e.config);
    u.get(2, ef::hash_of(8));
    EXPECT_EQ(0, u.e.peer(2)->sending_active);
    EXPECT_EQ(nullptr, u.e.peer(2)->sending_data);
    EXPECT_TRUE(u.e.sock_of(2).recv_all(0.2).empty());

    /* a master data file that cannot be opened refuses the GET, said always; the peer goes on */
    snprintf(u.e.config.chunk_data_file, sizeof u.e.config.chunk_data_file, "%s",
             u.dir.file("gone.dat").c_str());
    testing::internal::CaptureStderr();
    u.get(2, ef::hash_of(5));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("Error: GET for chunk 1 refused: cannot open master data "
                                          "file '" +
                                          u.dir.file("gone.dat") + "'"));
    EXPECT_EQ(0, u.e.peer(2)->sending_active);
    EXPECT_TRUE(u.e.sock_of(2).recv_all(0.2).empty());
}

TEST(UploadDeathTest, TxLimitEndsTheProcessWithStatus10) {
    EXPECT_EXIT(
        {
            Upload u;
            u.e.config.max_tx_chunks = 2;
            u.get(2, ef::hash_of(5));
            u.get(2, ef::hash_of(5));  // ends the first upload: 1
            u.get(3, ef::hash_of(6));  // nothing held, nothing ended
            u.get(2, ef::hash_of(6));  // ends the second: 2
        },
        testing::ExitedWithCode(10), "");
}
