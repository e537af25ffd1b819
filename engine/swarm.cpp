#include "engine/swarm.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "config/debug.h"
#include "engine/chunkindex.h"
#include "engine/chunklist.h"
#include "engine/create.h"
#include "engine/process.h"
#include "engine/store.h"
#include "engine/time_util.h"
#include "engine/util.h"

// ---- per-peer records ------------------------------------------------------------------------

static swarm_peer_t *swarm_of(bt_peer_t *peer) {
    if (!peer->swarm) {
        peer->swarm = static_cast<swarm_peer_t *>(calloc(1, sizeof(swarm_peer_t)));
        assert(peer->swarm && "swarm peer");
    }
    return peer->swarm;
}

static void forget_wanted(swarm_peer_t *s) {
    chunklist_free(s->wanted);
    s->wanted = nullptr;
    s->wanted_count = 0;
}

void swarm_peer_free(bt_peer_t *peer) {
    if (!peer->swarm) return;
    forget_wanted(peer->swarm);
    free(peer->swarm);
    peer->swarm = nullptr;
}

// ---- announcing ------------------------------------------------------------------------------

void swarm_note_whohas(bt_config_t *config, struct sockaddr_in *from, const chunkitem *requests,
                       double now) {
    if (!config->swarm || !requests) return;
    bt_peer_t *peer = getPeerFromSockinfo(config, from);
    if (!peer || peer->id == config->identity) return;
    peer->heard_time = now;
    swarm_peer_t *s = swarm_of(peer);
    if (now - s->wanted_time > SWARM_WANTED_TTL_S) forget_wanted(s);
    s->wanted_time = now;
    for (const chunkitem *r = requests; r; r = r->next) {
        if (s->wanted_count >= SWARM_MAX_WANTED) break;
        if (store_find(config, r->hash) || chunklist_find_hash(s->wanted, r->hash)) continue;
        chunklist_add(&s->wanted, r->hash, r->id);
        s->wanted_count++;
    }
}

// Sends peer an IHAVE for hash when it asked for it (recently); it is told once.
static void announce_if_wanted(bt_config_t *config, bt_peer_t *peer, const chunkitem *chunk,
                               double now) {
    swarm_peer_t *s = peer->swarm;
    if (!s || !s->wanted) return;
    if (now - s->wanted_time > SWARM_WANTED_TTL_S) {
        forget_wanted(s);
        return;
    }
    if (!chunklist_remove(&s->wanted, chunk->hash)) return;
    s->wanted_count--;
    chunkitem one = *chunk;
    one.next = nullptr;
    debug_log(DEBUG_WHOHAS, "telling peer %d that chunk %d is here now \n", peer->id, chunk->id);
    sendIHave(config, &one, &peer->addr);
}

void swarm_chunk_written(bt_config_t *config, bt_peer_t *from, const chunkitem *chunk, int length,
                         double now) {
    if (!config->swarm) return;
    if (from && from->swarm) from->swarm->unanswered = 0;
    store_add(config, chunk->hash, config->output_file, STORE_DOWNLOADED, chunk->id, length);
    for (bt_peer_t *p = config->peers; p; p = p->next) {
        if (p->id != config->identity) announce_if_wanted(config, p, chunk, now);
    }
}

// ---- sharing the upload ----------------------------------------------------------------------

static int upload_slots(const bt_config_t *config) {
    return config->upload_slots > 0 ? config->upload_slots : BT_DEFAULT_UPLOAD_SLOTS;
}

static int free_slots(const bt_config_t *config, double now) {
    int busy = 0;
    for (const bt_peer_t *p = config->peers; p; p = p->next) {
        if (p->sending_active && now - p->sending_last_ack_time <= SWARM_SLOT_IDLE_S) busy++;
    }
    return upload_slots(config) - busy;
}

// Uploads so far of the chunk peer's GET waits for.
static int uploads_of_wanted(const bt_config_t *config, const bt_peer_t *peer) {
    const store_entry_t *e = store_find(config, peer->swarm->wait_hash);
    return e ? e->uploads : 0;
}

// The waiting GET to serve next: the one for the chunk uploaded least often so far, so that a
// seed sends every chunk once before it sends any twice, and among those the one that has
// waited longest. Waits whose asker no longer sends its GET are dropped.
static bt_peer_t *next_waiting(bt_config_t *config, double now) {
    bt_peer_t *best = nullptr;
    int best_uploads = INT_MAX;
    for (bt_peer_t *p = config->peers; p; p = p->next) {
        swarm_peer_t *s = p->swarm;
        if (!s || !s->waiting) continue;
        if (now - s->wait_last > SWARM_WAIT_FRESH_S || p->sending_active) {
            s->waiting = 0;
            continue;
        }
        int uploads = uploads_of_wanted(config, p);
        if (!best || uploads < best_uploads ||
            (uploads == best_uploads && s->wait_since < best->swarm->wait_since)) {
            best = p;
            best_uploads = uploads;
        }
    }
    return best;
}

bool swarm_may_serve(bt_config_t *config, bt_peer_t *peer, const uint8_t *hash, double now) {
    if (!config->swarm || !store_find(config, hash)) return true;  // as without --swarm
    // A new GET from a peer being served means it has all it wants of that upload (its last ACK
    // may have been lost): the upload ends, and the new GET queues like any other.
    endUploadForNewGet(config, peer);
    swarm_peer_t *s = swarm_of(peer);
    // The place in the queue is the asker's: a GET for another chunk keeps it.
    if (!s->waiting) s->wait_since = now;
    s->waiting = 1;
    memcpy(s->wait_hash, hash, HASH_SIZE);
    s->wait_last = now;
    if (free_slots(config, now) > 0 && next_waiting(config, now) == peer) {
        s->waiting = 0;
        return true;
    }
    return false;
}

bool swarm_get_repeated(const bt_config_t *config, const bt_peer_t *peer, const uint8_t *hash) {
    // Once an ACK has come, the asker holds DATA of this upload: a new GET for the same chunk
    // means it started over, and the upload starts over too.
    return config->swarm && peer->sending_active && peer->sending_lastacked == 0 &&
           memcmp(peer->sending_hash, hash, HASH_SIZE) == 0;
}

void swarm_serve_waiting(bt_config_t *config, double now) {
    if (!config->swarm) return;
    // Called on every pass: the walk for a waiting GET comes first, the count of busy slots
    // only when there is one.
    for (bt_peer_t *p = next_waiting(config, now); p && free_slots(config, now) > 0;
         p = next_waiting(config, now)) {
        p->swarm->waiting = 0;
        debug_log(DEBUG_WHOHAS, "an upload slot is free: serving the waiting GET of peer %d \n",
                  p->id);
        serveGet(config, p, p->swarm->wait_hash, now);
        // A chunk that could not be read starts nothing; its wait is over all the same.
    }
}

double swarm_get_wait(const bt_config_t *config, const bt_peer_t *peer, double profile_wait) {
    if (!config->swarm) return profile_wait;
    double wait = SWARM_GET_WAIT_S;
    if (peer->receiving_get_rtt > 0 && SWARM_GET_RTTS * peer->receiving_get_rtt > wait)
        wait = SWARM_GET_RTTS * peer->receiving_get_rtt;
    return wait < profile_wait ? wait : profile_wait;
}

// Whether peer, silent since its GET went out, has gone. Once the GET has waited
// SWARM_PROBE_AFTER_S, a WHOHAS for its chunk asks whether the peer is still there: a live holder
// answers one at once, however busy its upload slots keep it. Silent SWARM_PROBE_WAIT_S after
// that, it is taken to have gone.
static bool holder_gone(bt_config_t *config, bt_peer_t *peer, swarm_peer_t *s, double now) {
    if (peer->heard_time >= s->get_since) return false;
    if (s->probe_time == 0) {
        if (now - s->get_since < SWARM_PROBE_AFTER_S) return false;
        chunkitem one = *peer->receiving_chunk;
        one.next = nullptr;
        header *probe = createControlPacket(&one, PKT_WHOHAS);
        if (sendPacketTo(config, probe, &peer->addr) < 0)
            debug_log(DEBUG_ERRS, "Error sending WHOHAS \n");
        free(probe);
        s->probe_time = now;
        return false;
    }
    return now - s->probe_time >= SWARM_PROBE_WAIT_S;
}

// A holder that has gone counts for nothing it announced until it announces again, so every
// other holder of its chunks, the seed included, is asked in turn.
static void forget_gone_holder(bt_config_t *config, bt_peer_t *peer) {
    debug_log(DEBUG_ERRS, "peer %d is silent: its announcements are forgotten \n", peer->id);
    announcements_forget_all(config, peer);
    releaseReceivingConnection(peer);
}

// A GET to peer was given up after SWARM_GET_PATIENCE_S while the peer was heard from: after
// SWARM_FORGET_AFTER such GETs in a row it no longer counts for this chunk (its file changed, or
// it announces what it never serves); a holder only busy announces it again at the next round.
static void forget_unserved_announcement(bt_config_t *config, bt_peer_t *peer,
                                         const swarm_peer_t *s) {
    if (s->unanswered < SWARM_FORGET_AFTER) return;
    debug_log(DEBUG_ERRS, "peer %d does not serve chunk %d: its announcement is forgotten \n",
              peer->id, peer->receiving_chunk->id);
    announcement_forget(config, peer, peer->receiving_chunk->hash);
}

int swarm_get_unanswered(bt_config_t *config, bt_peer_t *peer, double now) {
    if (!config->swarm) return -1;
    swarm_peer_t *s = swarm_of(peer);
    if (peer->receiving_get_resent == 0) {
        s->get_since = peer->receiving_get_time;
        s->probe_time = 0;
    }
    if (holder_gone(config, peer, s, now)) {
        forget_gone_holder(config, peer);
        return 1;
    }
    if (now - s->get_since < SWARM_GET_PATIENCE_S) {
        // It waits in the uploader's queue while it is sent: keep it there.
        sendGetForPeer(config, peer, peer->receiving_chunk);
        if (peer->receiving_get_resent < INT_MAX) peer->receiving_get_resent++;
        peer->receiving_get_time = now;
        return 0;
    }
    if (s->unanswered < INT_MAX) s->unanswered++;
    forget_unserved_announcement(config, peer, s);
    double pause = SWARM_BUSY_PAUSE_S;
    for (int i = 1; i < s->unanswered && pause < SWARM_BUSY_PAUSE_MAX_S; i++) pause *= 2;
    if (pause > SWARM_BUSY_PAUSE_MAX_S) pause = SWARM_BUSY_PAUSE_MAX_S;
    s->busy_until = now + pause;
    debug_log(DEBUG_ERRS, "peer %d left a GET unanswered for %.1f s; asking others for %.1f s \n",
              peer->id, now - s->get_since, pause);
    releaseReceivingConnection(peer);
    return 1;
}

// ---- choosing chunks -------------------------------------------------------------------------

static uint64_t next_random(bt_config_t *config, double now) {
    if (config->swarm_rng == 0) {
        config->swarm_rng = static_cast<uint64_t>(now * 1e6) ^
                            (static_cast<uint64_t>(getpid()) << 32) ^
                            static_cast<uint64_t>(static_cast<uint16_t>(config->identity)) ^
                            UINT64_C(0x9e3779b97f4a7c15);
    }
    // xorshift64
    uint64_t x = config->swarm_rng;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    config->swarm_rng = x;
    return x;
}

// Whether peer's GET waits on a peer asked whether it is still there that has not answered: such
// a GET holds none of a chunk's copies.
static bool probed_in_vain(const bt_peer_t *peer) {
    const swarm_peer_t *s = peer->swarm;
    return !peer->receiving_active && s && s->probe_time != 0 && peer->heard_time < s->get_since;
}

// Peers fetching chunk's hash now; with only_flowing, not those whose GET went unanswered and
// was sent again (waiting for an upload slot, or for a holder that went away).
static int fetchers_of(const bt_config_t *config, const chunkitem *chunk, bool only_flowing) {
    int n = 0;
    for (const bt_peer_t *p = config->peers; p; p = p->next) {
        if (!p->receiving_chunk || memcmp(p->receiving_chunk->hash, chunk->hash, HASH_SIZE) != 0)
            continue;
        if (only_flowing && !p->receiving_active && p->receiving_get_resent > 0) continue;
        if (probed_in_vain(p)) continue;
        n++;
    }
    return n;
}

// Whether the peer that announced chunk may be asked for it despite its hash failures.
static bool may_ask(bt_config_t *config, bt_peer_t *peer, const chunkitem *chunk, double now) {
    return !peer->receiving_failures || mayAskPeerForChunk(config, peer, chunk, now);
}

// Whether rarest-first may give the chunk to the free peer: no GET of it is answered, nor are two
// waiting, and its hash failures do not keep the peer from it. A chunk whose GET waits elsewhere
// may go to this idle holder too; whichever copy arrives first is written and the other request
// dropped.
static bool unfetched_for_peer(const chunk_choice_t *choice, const chunkitem *item) {
    return fetchers_of(choice->config, item, true) == 0 &&
           fetchers_of(choice->config, item, false) < SWARM_MAX_COPIES &&
           may_ask(choice->config, choice->peer, item, choice->now);
}

static uint64_t choice_random(const chunk_choice_t *choice) {
    return next_random(choice->config, choice->now);
}

// Rarest first, random among equals.
static chunkitem *rarest_unfetched(bt_config_t *config, bt_peer_t *peer, double now) {
    chunk_choice_t choice = {unfetched_for_peer, choice_random, config, peer, now};
    return chunkindex_rarest_announced(&choice);
}

// The peer fetching the to_fetch_list node chunk, other than except; nullptr when none.
static const bt_peer_t *fetcher_of(const bt_config_t *config, const chunkitem *chunk,
                                   const bt_peer_t *except) {
    for (const bt_peer_t *p = config->peers; p; p = p->next) {
        if (p != except && p->receiving_chunk == chunk) return p;
    }
    return nullptr;
}

// Whether every chunk left is being fetched: then an idle holder is better used on a copy. The
// fetched hashes, each counted once, cover every chunk left with that hash.
static bool in_end_game(const bt_config_t *config) {
    int covered = 0;
    for (const bt_peer_t *p = config->peers; p; p = p->next) {
        if (!p->receiving_chunk || probed_in_vain(p)) continue;
        bool counted = false;
        for (const bt_peer_t *q = config->peers; q != p && !counted; q = q->next)
            counted = q->receiving_chunk && !probed_in_vain(q) &&
                      memcmp(q->receiving_chunk->hash, p->receiving_chunk->hash, HASH_SIZE) == 0;
        if (!counted) covered += fetchlist_remaining_of(config, p->receiving_chunk->hash);
    }
    return covered == fetchlist_remaining(config);
}

// Whether a second copy of item, which sender is fetching, may be asked of peer.
static bool copy_may_go_to(bt_config_t *config, bt_peer_t *peer, const bt_peer_t *sender,
                           const chunkitem *item, double now) {
    if (fetchers_of(config, item, false) >= SWARM_MAX_COPIES) return false;
    if (!announced_by(config, peer, item->hash) || !may_ask(config, peer, item, now)) return false;
    // A GET still waiting for its first DATA is slow whatever its age.
    return !sender->receiving_active || now - sender->receiving_get_time >= SWARM_ENDGAME_MIN_AGE_S;
}

// A second copy: the chunk in flight the longest with the fewest bytes in, from a single peer;
// among equals the first of the request. Only the chunks of the peers' connections are looked
// at, each through the first peer that fetches it.
static chunkitem *end_game_copy(bt_config_t *config, bt_peer_t *peer, double now) {
    if (!in_end_game(config)) return nullptr;
    chunkitem *best = nullptr;
    int best_offset = INT_MAX;
    int best_at = INT_MAX;
    for (const bt_peer_t *sender = config->peers; sender; sender = sender->next) {
        chunkitem *item = sender->receiving_chunk;
        if (!item || sender == peer || fetcher_of(config, item, peer) != sender) continue;
        if (!copy_may_go_to(config, peer, sender, item, now)) continue;
        int at = fetchlist_position(config, item);
        if (sender->receiving_offset > best_offset ||
            (sender->receiving_offset == best_offset && at > best_at))
            continue;
        best = item;
        best_offset = sender->receiving_offset;
        best_at = at;
    }
    if (best)
        debug_log(DEBUG_WHOHAS, "end game: chunk %d asked of peer %d too \n", best->id, peer->id);
    return best;
}

chunkitem *swarm_choose_chunk(bt_config_t *config, bt_peer_t *peer, double now) {
    if (peer->swarm && now < peer->swarm->busy_until) return nullptr;
    chunkitem *item = rarest_unfetched(config, peer, now);
    return item ? item : end_game_copy(config, peer, now);
}

double swarm_next_deadline(const bt_config_t *config) {
    double deadline = 0;
    if (!config->swarm || !config->download_in_progress) return 0;
    for (const bt_peer_t *p = config->peers; p; p = p->next) {
        double until = p->swarm ? p->swarm->busy_until : 0;
        if (until != 0 && (deadline == 0 || until < deadline)) deadline = until;
    }
    return deadline;
}

void swarm_wake_paused(bt_config_t *config, double now) {
    if (!config->swarm || !config->download_in_progress) return;
    for (bt_peer_t *p = config->peers; p; p = p->next) {
        if (!p->swarm || p->swarm->busy_until == 0 || now < p->swarm->busy_until) continue;
        p->swarm->busy_until = 0;
        tryToGenerateGetRequest(config, p, now);
    }
}

bool swarm_ask_again(const bt_config_t *config, bool being_fetched, bool announced) {
    return config->swarm || (!being_fetched && !announced);
}

// ---- resuming --------------------------------------------------------------------------------

FILE *swarm_open_output(const bt_config_t *config, const char *path) {
    if (!config->swarm) return fopen(path, "w");
    FILE *f = fopen(path, "r+");
    if (f || errno != ENOENT) return f;
    return fopen(path, "w");
}

// Tells every other peer about the chunks of list (one IHAVE series each).
static void announce_to_all(bt_config_t *config, const chunkitem *list) {
    if (!list) return;
    for (bt_peer_t *p = config->peers; p; p = p->next) {
        if (p->id != config->identity) sendIHave(config, list, &p->addr);
    }
}

int swarm_resume(bt_config_t *config) {
    if (!config->swarm) return 0;
    uint8_t *buf = static_cast<uint8_t *>(malloc(CHUNK_SIZE));
    assert(buf && "chunk buffer");
    chunkitem *kept = nullptr;
    int total = 0;
    int count = 0;
    chunkitem **link = &config->to_fetch_list;
    while (*link) {
        chunkitem *item = *link;
        total++;
        int length = store_check_chunk(config->output_handle, item->id, item->hash, buf);
        if (length < 0) {
            link = &item->next;
            continue;
        }
        *link = item->next;  // off the list: this node alone, even when its hash repeats
        long long end = static_cast<long long>(item->id) * CHUNK_SIZE + length;
        if (end > config->output_end) config->output_end = end;
        store_add(config, item->hash, config->output_file, STORE_DOWNLOADED, item->id, length);
        item->next = kept;
        kept = item;
        count++;
    }
    free(buf);
    if (count > 0) {
        fprintf(stderr, "resuming %s: %d of %d chunks already there\n", config->output_file, count,
                total);
    }
    announce_to_all(config, kept);
    chunklist_free(kept);
    return count;
}

void swarm_download_finishing(bt_config_t *config) {
    if (!config->swarm || !config->output_handle) return;
    FILE *out = config->output_handle;
    struct stat st;
    if (fflush(out) != 0 || fstat(fileno(out), &st) != 0) return;
    if (S_ISREG(st.st_mode) && st.st_size > config->output_end)
        if (ftruncate(fileno(out), static_cast<off_t>(config->output_end)) != 0)
            fprintf(stderr, "Error: could not cut %s to %lld bytes: %s\n", config->output_file,
                    config->output_end, strerror(errno));
}
