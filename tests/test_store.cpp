// The chunk store and the --swarm policies, driven directly on a configuration whose peers are
// test-owned sockets: which chunks are served and from where, who is told of a new chunk, which
// chunk is asked next, and what a resumed output file keeps.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "engine/chunklist.h"
#include "engine/create.h"
#include "engine/peer.h"
#include "engine/process.h"
#include "engine/reliable.h"
#include "engine/schedule.h"
#include "engine/store.h"
#include "engine/swarm.h"
#include "engine/util.h"
#include "peer_fixture.h"

using ef::Engine;
using ef::Packet;
using ef::packet;

namespace {

// Three chunks, the last one short, in a file of the test's folder.
struct Files {
    ts::TempDir dir;
    pf::DataSet data{2 * CHUNK_SIZE + 1000, 7};
    std::string path(const std::string &name) const { return dir.file(name); }
};

std::string chunk_bytes(const pf::DataSet &d, int i) {
    return d.bytes.substr(static_cast<size_t>(i) * CHUNK_SIZE, CHUNK_SIZE);
}

// The hashes of every IHAVE the socket receives within a short while.
// store_serve_file of the hash list at hashfile.
int serve(bt_config_t *config, const char *hashfile, const char *datafile, char *why,
          size_t why_size) {
    chunkitem *list = readHashesFromFile(hashfile, 0, config);
    int added = store_serve_file(config, hashfile, list, datafile, why, why_size);
    chunklist_free(list);
    return added;
}

// Sets the file's time of last change to `seconds` after the epoch.
void set_mtime(const std::string &path, time_t seconds) {
    struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
}

std::vector<std::string> announced(ts::UdpSocket &sock) {
    std::vector<std::string> hashes;
    for (auto &d : sock.recv_all(0.2)) {
        if (ef::parse_header(d).type != PKT_IHAVE) continue;
        for (size_t at = HEADER_SIZE + CONTROL_PREFIX; at + HASH_SIZE <= d.size(); at += HASH_SIZE)
            hashes.push_back(d.substr(at, HASH_SIZE));
    }
    return hashes;
}

}  // namespace

TEST(Store, ServedFileKeepsOnlyItsGoodChunksAndRereadsThemChecked) {
    Engine e(1);
    Files f;
    std::string bytes = f.data.bytes;
    bytes[CHUNK_SIZE + 5] ^= 1;  // chunk 1 damaged
    ts::write_file(f.path("data.bin"), bytes);
    ts::write_file(f.path("data.chunks"), f.data.lines());
    char why[256];
    ASSERT_EQ(2, serve(&e.config, f.path("data.chunks").c_str(),
                                  f.path("data.bin").c_str(), why, sizeof why));
    EXPECT_EQ(nullptr, store_find(&e.config, ef::u8(f.data.hashes[1])));
    store_entry_t *last = store_find(&e.config, ef::u8(f.data.hashes[2]));
    ASSERT_NE(nullptr, last);
    EXPECT_EQ(1000, last->length);

    /* the short last chunk goes out padded with the fill byte, as from a master data file */
    std::string buf(CHUNK_SIZE, '\0');
    ASSERT_TRUE(store_read(&e.config, last, reinterpret_cast<uint8_t *>(buf.data())));
    EXPECT_TRUE(buf.substr(0, 1000) == chunk_bytes(f.data, 2));
    EXPECT_EQ(std::string(CHUNK_SIZE - 1000, '\x0A'), buf.substr(1000));

    /* a file changed since is refused and no longer served */
    bytes[10] ^= 1;
    ts::write_file(f.path("data.bin"), bytes);
    set_mtime(f.path("data.bin"), 1);  // a rewrite within one clock tick would keep the time
    store_entry_t *first = store_find(&e.config, ef::u8(f.data.hashes[0]));
    EXPECT_FALSE(store_read(&e.config, first, reinterpret_cast<uint8_t *>(buf.data())));
    EXPECT_EQ(nullptr, store_find(&e.config, ef::u8(f.data.hashes[0])));

    /* files that cannot be read say why */
    EXPECT_EQ(-1, serve(&e.config, f.path("data.chunks").c_str(),
                                   f.path("none.bin").c_str(), why, sizeof why));
    EXPECT_NE(nullptr, strstr(why, "none.bin"));
    EXPECT_EQ(-1, serve(&e.config, f.path("none.chunks").c_str(),
                                   f.path("data.bin").c_str(), why, sizeof why));
}

TEST(Store, AServedFileIsTrustedUntilItChangesThenAChangedChunkIsRefusedOnceAndDropped) {
    Engine e(1);
    Files f;
    ts::write_file(f.path("data.bin"), f.data.bytes);
    ts::write_file(f.path("data.chunks"), f.data.lines());
    set_mtime(f.path("data.bin"), 1000);
    char why[256];
    ASSERT_EQ(3, serve(&e.config, f.path("data.chunks").c_str(),
                                  f.path("data.bin").c_str(), why, sizeof why));
    std::string buf(CHUNK_SIZE, '\0');
    uint8_t *out = reinterpret_cast<uint8_t *>(buf.data());

    /* bytes changed behind a status that says nothing changed are served as read: proof that
       the chunk is not hashed again on every GET */
    std::string bytes = f.data.bytes;
    bytes[20] ^= 1;
    ts::write_file(f.path("data.bin"), bytes);
    set_mtime(f.path("data.bin"), 1000);
    store_entry_t *first = store_find(&e.config, ef::u8(f.data.hashes[0]));
    ASSERT_TRUE(store_read(&e.config, first, out));
    EXPECT_EQ(bytes[20], buf[20]);

    /* the file's time moves on: each chunk is checked again; a good one is still served... */
    set_mtime(f.path("data.bin"), 2000);
    store_entry_t *second = store_find(&e.config, ef::u8(f.data.hashes[1]));
    ASSERT_TRUE(store_read(&e.config, second, out));
    EXPECT_TRUE(buf == chunk_bytes(f.data, 1));

    /* ...the changed one is refused with one line, once: after that it is not served at all */
    Packet get(packet(PKT_GET, f.data.hashes[0]));
    auto from = e.addr_of(2);
    testing::internal::CaptureStderr();
    handleGet(&e.config, get.hdr(), &from, 50.0);
    handleGet(&e.config, get.hdr(), &from, 51.0);
    EXPECT_EQ("Error: GET for chunk 0 refused: " + f.path("data.bin") +
                  " no longer holds it; no longer served\n",
              testing::internal::GetCapturedStderr());
    EXPECT_EQ(nullptr, store_find(&e.config, ef::u8(f.data.hashes[0])));
    EXPECT_FALSE(e.peer(2)->sending_active);
    EXPECT_TRUE(e.sock_of(2).recv_all(0.1).empty());
    /* a file grown shows in its size, whatever its time says */
    bytes[CHUNK_SIZE + 9] ^= 1;
    ts::write_file(f.path("data.bin"), bytes + "more");
    set_mtime(f.path("data.bin"), 1000);
    EXPECT_FALSE(store_read(&e.config, second, out));
    EXPECT_EQ(1, e.config.store->count);
}

// Peer `from` delivers the to_fetch_list node with these bytes (padded with the fill byte).
static void deliver(Engine &e, int from, chunkitem *node, const std::string &bytes) {
    bt_peer_t *p = e.peer(from);
    p->receiving_chunk = node;
    p->receiving_data = static_cast<uint8_t *>(malloc(CHUNK_SIZE));
    memset(p->receiving_data, UPLOAD_FILL_BYTE, CHUNK_SIZE);
    memcpy(p->receiving_data, bytes.data(), bytes.size());
    p->receiving_offset = CHUNK_SIZE;
    SHA1Init(&p->receiving_sha);
    SHA1Update(&p->receiving_sha, p->receiving_data, CHUNK_SIZE);
    chunkReceiveFinished(&e.config, p, now_seconds());
}

// A downloading --swarm peer: chunk 0 of the files is being fetched from peer 2 into out.bin.
struct Receiving {
    Engine e{3};
    Files f;
    Receiving() {
        e.config.swarm = 1;
        ts::write_file(f.path("want.chunks"), f.data.lines());
        std::string out = f.path("out.bin");
        snprintf(e.config.output_file, sizeof e.config.output_file, "%s", out.c_str());
        e.config.output_handle = fopen(out.c_str(), "w+");
        e.config.download_in_progress = 1;
        ef::fetch(&e.config, f.data.hashes);
    }
    // Peer 2 delivers chunk 0 with these bytes, complete.
    void finish_chunk0(const std::string &bytes) { deliver(e, 2, e.config.to_fetch_list, bytes); }
};

TEST(Store, ADownloadedChunkIsServedOnlyOnceItPassedItsCheckAndAskersAreToldOnce) {
    Receiving r;
    /* peer 3 asks for chunks 0 and 1 before this peer has either: no answer, but remembered */
    Packet who(packet(PKT_WHOHAS, ef::control_payload({r.f.data.hashes[0], r.f.data.hashes[1]})));
    auto from3 = r.e.addr_of(3);
    handleWhoHas(&r.e.config, who.hdr(), &from3, now_seconds());
    EXPECT_TRUE(announced(r.e.sock_of(3)).empty());

    std::string wrong = chunk_bytes(r.f.data, 0);
    wrong[0] ^= 1;
    r.finish_chunk0(wrong);
    EXPECT_EQ(nullptr, store_find(&r.e.config, ef::u8(r.f.data.hashes[0])));
    EXPECT_TRUE(announced(r.e.sock_of(3)).empty());

    r.finish_chunk0(chunk_bytes(r.f.data, 0));
    ASSERT_NE(nullptr, store_find(&r.e.config, ef::u8(r.f.data.hashes[0])));
    EXPECT_EQ(std::vector<std::string>{r.f.data.hashes[0]}, announced(r.e.sock_of(3)));
    EXPECT_TRUE(announced(r.e.sock_of(4)).empty());  // peer 4 never asked

    /* answered from the store from now on */
    handleWhoHas(&r.e.config, who.hdr(), &from3, now_seconds());
    EXPECT_EQ(std::vector<std::string>{r.f.data.hashes[0]}, announced(r.e.sock_of(3)));
}

TEST(Store, TheFirstVerifiedCopyIsWrittenOnceAndTheOtherRequestDroppedForGood) {
    Receiving r;
    bt_peer_t *second = r.e.peer(3);  // asked for the same chunk in the end game
    second->receiving_chunk = r.e.config.to_fetch_list;
    second->receiving_sentget = 1;
    second->receiving_data = static_cast<uint8_t *>(malloc(CHUNK_SIZE));
    r.finish_chunk0(chunk_bytes(r.f.data, 0));
    EXPECT_EQ(nullptr, second->receiving_chunk);
    EXPECT_EQ(nullptr, second->receiving_data);
    EXPECT_EQ(0, second->receiving_sentget);
    EXPECT_EQ(2, chunklist_length(r.e.config.to_fetch_list));
    /* the next chunk asked of that peer does not begin with the dropped copy's first packet,
       which its upload, only just begun, still sends */
    second->receiving_chunk = r.e.config.to_fetch_list;
    second->receiving_sentget = 1;
    second->receiving_data = static_cast<uint8_t *>(malloc(CHUNK_SIZE));
    Packet late(packet(PKT_DATA, chunk_bytes(r.f.data, 0).substr(0, DATA_PAYLOAD), 1));
    auto from3 = r.e.addr_of(3);
    handleData(&r.e.config, late.hdr(), &from3, 1, now_seconds());
    EXPECT_EQ(0, second->receiving_active);
    EXPECT_EQ(1, second->receiving_first_dropped);
}

TEST(Store, WithoutSwarmADownloadedChunkIsNeitherServedNorAnnounced) {
    Receiving r;
    r.e.config.swarm = 0;
    Packet who(packet(PKT_WHOHAS, ef::control_payload({r.f.data.hashes[0]})));
    auto from3 = r.e.addr_of(3);
    handleWhoHas(&r.e.config, who.hdr(), &from3, now_seconds());
    r.finish_chunk0(chunk_bytes(r.f.data, 0));
    EXPECT_EQ(nullptr, store_find(&r.e.config, ef::u8(r.f.data.hashes[0])));
    EXPECT_TRUE(announced(r.e.sock_of(3)).empty());
}

TEST(Swarm, RarestAnnouncedChunkFirstThenAnEndGameCopyOfASlowOne) {
    Engine e(3);
    e.config.swarm = 1;
    std::vector<std::string> h = {ef::hash_of(1), ef::hash_of(2), ef::hash_of(3)};
    ef::fetch(&e.config, h);
    ef::announce(&e.config, e.peer(2), h);
    ef::announce(&e.config, e.peer(3), {h[0], h[1]});
    ef::announce(&e.config, e.peer(4), {h[0]});
    chunkitem *third = e.config.to_fetch_list->next->next;
    EXPECT_EQ(third, swarm_choose_chunk(&e.config, e.peer(2), 100.0));

    /* a chunk being fetched is not asked twice while others are left */
    e.peer(3)->receiving_chunk = e.config.to_fetch_list->next;
    e.peer(3)->receiving_get_time = 99.9;
    EXPECT_EQ(third, swarm_choose_chunk(&e.config, e.peer(2), 100.0));
    e.peer(4)->receiving_chunk = third;  // peer 4 never announced it: a stand-in for a sender
    e.peer(4)->receiving_get_time = 90.0;
    e.peer(4)->receiving_offset = 4 * DATA_PAYLOAD;
    EXPECT_EQ(e.config.to_fetch_list, swarm_choose_chunk(&e.config, e.peer(2), 100.0));

    /* every chunk in flight: the one a slow sender has been at longest gets a second holder,
       not the one that has just started */
    e.peer(3)->receiving_chunk = e.peer(4)->receiving_chunk = nullptr;
    fetchlist_remove(&e.config, third);  // only the first two chunks are left
    chunkitem *second = e.config.to_fetch_list->next;
    e.peer(4)->receiving_chunk = e.config.to_fetch_list;
    e.peer(3)->receiving_chunk = second;
    e.peer(3)->receiving_get_time = 99.9;
    e.peer(3)->receiving_active = e.peer(4)->receiving_active = 1;
    EXPECT_EQ(e.config.to_fetch_list, swarm_choose_chunk(&e.config, e.peer(2), 100.0));
    /* a GET still unanswered is slow whatever its age */
    e.peer(3)->receiving_active = 0;
    EXPECT_EQ(second, swarm_choose_chunk(&e.config, e.peer(2), 100.0));
    e.peer(4)->receiving_chunk = e.peer(3)->receiving_chunk = nullptr;
    e.peer(4)->receiving_active = 0;

    /* a peer that left a GET unanswered is paused */
    ASSERT_TRUE(swarm_get_unanswered(&e.config, e.peer(2), 1, 100.0).release);
    EXPECT_EQ(nullptr, swarm_choose_chunk(&e.config, e.peer(2), 100.1));
    EXPECT_NE(nullptr, swarm_choose_chunk(&e.config, e.peer(2), 100.0 + SWARM_BUSY_PAUSE_S + 0.01));
}

TEST(Swarm, AFreePeerIsAskedForItsRarestChunkNotTheFirstOfTheList) {
    Engine e(2);
    std::string a = ef::hash_of(1), b = ef::hash_of(2);
    ef::fetch(&e.config, {a, b});
    ef::announce(&e.config, e.peer(2), {a, b});
    ef::announce(&e.config, e.peer(3), {a});
    e.config.swarm = 1;
    tryToGenerateGetRequest(&e.config, e.peer(2), now_seconds());
    auto got = e.sock_of(2).recv(1.0);
    ASSERT_TRUE(got);
    EXPECT_EQ(packet(PKT_GET, b), *got);
    releaseReceivingConnection(e.peer(2));
    /* without --swarm, the first of the list, as designed */
    e.config.swarm = 0;
    tryToGenerateGetRequest(&e.config, e.peer(2), now_seconds());
    got = e.sock_of(2).recv(1.0);
    ASSERT_TRUE(got);
    EXPECT_EQ(packet(PKT_GET, a), *got);
}

TEST(Swarm, EqualRarityIsChosenAtRandom) {
    Engine e(1);
    e.config.swarm = 1;
    e.config.swarm_rng = 12345;
    std::vector<std::string> h = {ef::hash_of(1), ef::hash_of(2), ef::hash_of(3)};
    ef::fetch(&e.config, h);
    ef::announce(&e.config, e.peer(2), h);
    std::set<const chunkitem *> picked;
    for (int i = 0; i < 60; i++) picked.insert(swarm_choose_chunk(&e.config, e.peer(2), 0));
    EXPECT_EQ(3u, picked.size());
}

TEST(Swarm, UploadSlotsGoToWaitingGetsFreshChunksFirstAndOnlyProgressHoldsThem) {
    Engine e(4);
    e.config.swarm = 1;
    e.config.upload_slots = 1;
    std::string h1 = ef::hash_of(1), h2 = ef::hash_of(2);
    store_add(&e.config, ef::u8(h1), "", STORE_MASTER, 0, CHUNK_SIZE);
    store_add(&e.config, ef::u8(h2), "", STORE_MASTER, 1, CHUNK_SIZE)->uploads = 1;
    auto serving = [&](int id, double now) {
        e.peer(id)->sending_active = 1;
        e.peer(id)->sending_last_ack_time = now;
    };
    // A GET from peer id for h at `now`, as handleGet passes it to the policy: an upload to
    // that peer has ended.
    auto may_serve = [&](int id, const std::string &h, double now) {
        endUploadForNewGet(&e.config, e.peer(id));
        return schedule_policy(&e.config)->may_serve(&e.config, e.peer(id), ef::u8(h), now);
    };
    serving(3, 10.0);
    EXPECT_FALSE(may_serve(2, h1, 10.5));
    EXPECT_TRUE(may_serve(3, h1, 10.5));  // replaces its own
    /* the slot frees: peer 5 asks for a chunk sent before, peer 2 waits for one never sent */
    e.peer(3)->sending_active = 0;
    EXPECT_FALSE(may_serve(5, h2, 10.6));
    EXPECT_TRUE(may_serve(2, h1, 10.7));
    serving(2, 10.7);
    e.peer(2)->sending_active = 0;
    /* then the one waiting for a chunk sent before */
    EXPECT_TRUE(may_serve(5, h2, 10.8));
    /* a wait its asker no longer sends is forgotten */
    serving(5, 12.0);
    EXPECT_FALSE(may_serve(4, h1, 12.0));
    EXPECT_FALSE(may_serve(3, h1, 12.1));
    e.peer(5)->sending_active = 0;
    EXPECT_TRUE(may_serve(3, h1, 12.1 + SWARM_WAIT_FRESH_S));
    /* an upload without ACKs for a while frees its slot */
    serving(3, 20.0);
    EXPECT_FALSE(may_serve(4, h1, 20.5));
    EXPECT_TRUE(may_serve(4, h1, 20.0 + SWARM_SLOT_IDLE_S + 0.1));
    /* the designed policy serves every GET at once */
    serving(3, 20.0);
    e.config.swarm = 0;
    EXPECT_TRUE(may_serve(2, h1, 20.5));
    e.peer(3)->sending_active = 0;
}

TEST(Swarm, AGetRepeatedBeforeTheFirstAckOrLateForAnotherChunkDoesNotRestartItsUpload) {
    Engine e(1);
    e.config.swarm = 1;
    bt_peer_t *p = e.peer(2);
    p->sending_active = 1;
    memcpy(p->sending_hash, ef::u8(ef::hash_of(1)), HASH_SIZE);
    auto repeated = [&](int n) {
        return schedule_policy(&e.config)->get_repeated(p, ef::u8(ef::hash_of(n)));
    };
    EXPECT_TRUE(repeated(1));
    EXPECT_FALSE(repeated(2));
    p->sending_lastacked = 3;  // DATA reached it: the same GET again means it started over
    EXPECT_FALSE(repeated(1));
    p->sending_lastacked = 0;
    /* a GET for another chunk while the upload is being acknowledged: a late copy of one sent
       while the asker waited; once its ACKs have stopped, the asker has moved on */
    p->sending_last_ack_time = 50.0;
    auto late = [&](int n, double now) {
        return schedule_policy(&e.config)->get_late(p, ef::u8(ef::hash_of(n)), now);
    };
    EXPECT_TRUE(late(2, 50.0 + SWARM_LATE_GET_S - 0.01));
    EXPECT_FALSE(late(2, 50.0 + SWARM_LATE_GET_S));
    EXPECT_FALSE(late(1, 50.0));
    e.config.swarm = 0;
    EXPECT_FALSE(repeated(1));
    EXPECT_FALSE(late(2, 50.0));
    p->sending_active = 0;
}

TEST(Swarm, AGetRepeatedBeforeTheFirstAckIsNotServedAgain) {
    Engine e(1);
    e.config.swarm = 1;
    Files f;
    ts::write_file(f.path("data.bin"), f.data.bytes);
    ts::write_file(f.path("data.chunks"), f.data.lines());
    char why[256];
    ASSERT_EQ(3, serve(&e.config, f.path("data.chunks").c_str(),
                                  f.path("data.bin").c_str(), why, sizeof why));
    Packet get(packet(PKT_GET, f.data.hashes[0]));
    auto from = e.addr_of(2);
    handleGet(&e.config, get.hdr(), &from, now_seconds());
    handleGet(&e.config, get.hdr(), &from, now_seconds());
    store_entry_t *entry = store_find(&e.config, ef::u8(f.data.hashes[0]));
    EXPECT_EQ(1, entry->uploads);
    /* once DATA has been acknowledged, the same GET means the asker started over */
    e.peer(2)->sending_lastacked = 1;
    handleGet(&e.config, get.hdr(), &from, now_seconds());
    EXPECT_EQ(2, entry->uploads);
}

TEST(Swarm, AGetGivenUpGoesToAnotherHolderAtOnce) {
    Engine e(2);
    e.config.swarm = 1;
    std::string h = ef::hash_of(1);
    ef::fetch(&e.config, {h});
    e.config.download_in_progress = 1;
    ef::announce(&e.config, e.peer(2), {h});
    ef::announce(&e.config, e.peer(3), {h});
    bt_peer_t *busy = e.peer(2);
    busy->receiving_chunk = e.config.to_fetch_list;
    busy->receiving_sentget = 1;
    double now = now_seconds();
    busy->receiving_get_time = now - SWARM_GET_PATIENCE_S - 1;
    checkForUnansweredGets(&e.config, now);
    EXPECT_EQ(nullptr, busy->receiving_chunk);
    auto got = e.sock_of(3).recv(1.0);
    ASSERT_TRUE(got);
    EXPECT_EQ(packet(PKT_GET, h), *got);
}

namespace {

// Runs the unanswered-GET check every 0.3 s from `from` until peer `id` gives its GET up; with
// `heard`, the peer is heard from (as by its IHAVE to a rediscovery round) at every step. The
// time of the give-up; what the peer was sent meanwhile goes to *sent when given.
double until_given_up(Engine &e, int id, double from, bool heard,
                      std::vector<std::string> *sent = nullptr) {
    double t = from;
    while (e.peer(id)->receiving_chunk && t < from + 2 * SWARM_GET_PATIENCE_S) {
        t += 0.3;
        if (heard) e.peer(id)->heard_time = t;
        checkForUnansweredGets(&e.config, t);
    }
    auto got = e.sock_of(id).recv_all(0.05);
    if (sent) *sent = got;
    return t;
}

}  // namespace

TEST(Swarm, AHolderThatLeavesItsGetsUnansweredStopsCountingAndItsPauseEndsOnTime) {
    Engine e(1);
    e.config.swarm = 1;
    std::string a = ef::hash_of(1), b = ef::hash_of(2);
    ef::fetch(&e.config, {a});
    e.config.download_in_progress = 1;
    bt_peer_t *p = e.peer(2);

    /* silent from the GET on, as a peer that exited: asked once whether it is there, and
       silent still, it loses every announcement, long before the patience for a busy peer */
    ef::announce(&e.config, p, {a, b});
    tryToGenerateGetRequest(&e.config, p, 100.0);
    e.sock_of(2).recv_all(0.05);
    std::vector<std::string> sent;
    double gone = until_given_up(e, 2, 100.0, false, &sent);
    EXPECT_EQ(0, announcement_count(p));
    EXPECT_DOUBLE_EQ(gone + SWARM_BUSY_PAUSE_S, p->swarm->busy_until);  // should it come back
    EXPECT_LE(gone, 100.0 + SWARM_PROBE_AFTER_S + SWARM_PROBE_WAIT_S + 2 * 0.3);  // two steps
    EXPECT_EQ(1, std::count(sent.begin(), sent.end(), packet(PKT_WHOHAS, ef::control_payload({a}))));

    /* heard from but never serving: the first give-up pauses it, keeping what it announced */
    ef::announce(&e.config, p, {a, b});
    p->swarm->unanswered = 0;
    p->swarm->busy_until = 0;
    p->heard_time = 200.0;
    tryToGenerateGetRequest(&e.config, p, 200.0);
    double t = until_given_up(e, 2, 200.0, true);
    EXPECT_EQ(2, announcement_count(p));
    /* the pause has a deadline of its own, and at its end the peer is asked again */
    double resume = p->swarm->busy_until;
    ASSERT_GT(resume, t);
    e.config.last_whohas_time = t;  // the next rediscovery round comes after the pause's end
    EXPECT_DOUBLE_EQ(resume, nextTimerDeadline(&e.config));
    wakePausedPeers(&e.config, resume - 0.01);
    EXPECT_EQ(nullptr, p->receiving_chunk);
    wakePausedPeers(&e.config, resume);
    ASSERT_EQ(e.config.to_fetch_list, p->receiving_chunk);
    auto get = e.sock_of(2).recv(1.0);
    ASSERT_TRUE(get);
    EXPECT_EQ(packet(PKT_GET, a), *get);
    /* a second GET in a row unanswered: that chunk no longer counts, the other one still does */
    until_given_up(e, 2, resume, true);
    EXPECT_FALSE(announced_by(&e.config, p, ef::u8(a)));
    EXPECT_TRUE(announced_by(&e.config, p, ef::u8(b)));
}

TEST(Swarm, DataOfAnUploadNobodyTakesNeverReachesTheNextChunk) {
    Engine e(1);
    std::string a = ef::hash_of(1);
    e.config.swarm = 1;
    ef::fetch(&e.config, {a});
    e.config.download_in_progress = 1;
    bt_peer_t *p = e.peer(2);
    ef::announce(&e.config, p, {a});
    /* DATA from a peer we fetch nothing from: an upload of a GET given up. The peer is asked for
       nothing until it has been quiet a while, or its packet 1 could begin our next chunk */
    Packet stray(packet(PKT_DATA, std::string(DATA_PAYLOAD, 's'), 1));
    auto from = e.addr_of(2);
    handleData(&e.config, stray.hdr(), &from, 1, 100.0);
    tryToGenerateGetRequest(&e.config, p, 100.0 + SWARM_STRAY_QUIET_S - 0.01);
    EXPECT_EQ(nullptr, p->receiving_chunk);
    wakePausedPeers(&e.config, 100.0 + SWARM_STRAY_QUIET_S);
    EXPECT_EQ(e.config.to_fetch_list, p->receiving_chunk);
    e.sock_of(2).recv_all(0.05);

    /* the uploader's side: an upload with no ACK since its start ends after SWARM_FIRST_ACK_S,
       one whose ACKs stopped after SWARM_UPLOAD_ABANDONED_S */
    for (int acked : {0, 5}) {
        p->sending_active = 1;
        p->sending_lastacked = acked;
        p->sending_last_ack_time = 200.0;
        double limit = acked ? SWARM_UPLOAD_ABANDONED_S : SWARM_FIRST_ACK_S;
        endAbandonedUploads(&e.config, 200.0 + limit - 0.01);
        EXPECT_EQ(1, p->sending_active) << acked;
        endAbandonedUploads(&e.config, 200.0 + limit);
        EXPECT_EQ(0, p->sending_active) << acked;
    }
}

TEST(Swarm, ResumedOutputKeepsExactlyItsGoodChunksAndAnnouncesThem) {
    Engine e(1);
    e.config.swarm = 1;
    Files f;
    std::string old = f.data.bytes;
    old[CHUNK_SIZE + 7] ^= 1;  // chunk 1 is wrong
    ts::write_file(f.path("out.bin"), old);
    ts::write_file(f.path("want.chunks"), f.data.lines());
    ASSERT_EQ(0, peer_start_download(&e.config, f.path("want.chunks").c_str(),
                                     f.path("out.bin").c_str(), now_seconds()));
    ASSERT_EQ(1, chunklist_length(e.config.to_fetch_list));
    EXPECT_EQ(1, e.config.to_fetch_list->id);
    EXPECT_NE(nullptr, store_find(&e.config, ef::u8(f.data.hashes[0])));
    EXPECT_EQ(nullptr, store_find(&e.config, ef::u8(f.data.hashes[1])));
    auto got = e.sock_of(2).recv_all(0.2);
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(packet(PKT_IHAVE, ef::control_payload({f.data.hashes[2], f.data.hashes[0]})), got[0]);
    EXPECT_EQ(packet(PKT_WHOHAS, ef::control_payload({f.data.hashes[1]})), got[1]);
    deliver(e, 2, e.config.to_fetch_list, chunk_bytes(f.data, 1));
    EXPECT_EQ(1, e.config.downloads_completed);
    EXPECT_TRUE(ts::read_file(f.path("out.bin")) == f.data.bytes);
}

TEST(Swarm, AResumedFileLongerThanItsChunksEndsWhereTheyEnd) {
    Engine e(1);
    e.config.swarm = 1;
    Files f;
    ts::write_file(f.path("out.bin"), f.data.bytes + "the tail of an older, longer file");
    ts::write_file(f.path("want.chunks"), f.data.lines());
    ASSERT_EQ(0, peer_start_download(&e.config, f.path("want.chunks").c_str(),
                                     f.path("out.bin").c_str(), now_seconds()));
    /* the short last chunk cannot be told from the tail: it is fetched again */
    ASSERT_EQ(1, chunklist_length(e.config.to_fetch_list));
    EXPECT_EQ(2, e.config.to_fetch_list->id);
    deliver(e, 2, e.config.to_fetch_list, chunk_bytes(f.data, 2));
    EXPECT_EQ(1, e.config.downloads_completed);
    EXPECT_TRUE(ts::read_file(f.path("out.bin")) == f.data.bytes);
}
