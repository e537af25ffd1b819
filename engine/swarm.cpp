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
#include "engine/chunkbuf.h"
#include "engine/chunklist.h"
#include "engine/schedule.h"
#include "engine/store.h"
#include "engine/time_util.h"
#include "engine/util.h"

// ---- per-peer records ------------------------------------------------------------------------

static void forget_wanted(swarm_peer_t *s) {
    chunklist_free(s->wanted);
    s->wanted = nullptr;
    s->wanted_count = 0;
}

// ---- announcing ------------------------------------------------------------------------------

void swarm_note_whohas(bt_config_t *config, struct sockaddr_in *from, const chunkitem *requests,
                       double now) {
    if (!requests) return;
    bt_peer_t *peer = getPeerFromSockinfo(config, from);
    if (!peer || peer->id == config->identity) return;
    peer->heard_time = now;
    swarm_peer_t *s = schedule_peer_state(peer);
    if (now - s->wanted_time > SWARM_WANTED_TTL_S) forget_wanted(s);
    s->wanted_time = now;
    for (const chunkitem *r = requests; r; r = r->next) {
        if (s->wanted_count >= SWARM_MAX_WANTED) break;
        if (store_find(config, r->hash) || chunklist_find_hash(s->wanted, r->hash)) continue;
        chunklist_add(&s->wanted, r->hash, r->id);
        s->wanted_count++;
    }
}

bool swarm_tell_of_chunk(bt_config_t *, bt_peer_t *peer, const chunkitem *chunk, double now) {
    swarm_peer_t *s = peer->swarm;
    if (!s || !s->wanted) return false;
    if (now - s->wanted_time > SWARM_WANTED_TTL_S) {
        forget_wanted(s);
        return false;
    }
    if (!chunklist_remove(&s->wanted, chunk->hash)) return false;
    s->wanted_count--;
    debug_log(DEBUG_WHOHAS, "telling peer %d that chunk %d is here now \n", peer->id, chunk->id);
    return true;
}

void swarm_chunk_written(bt_config_t *config, bt_peer_t *from, const chunkitem *chunk,
                         int length) {
    if (from && from->swarm) from->swarm->unanswered = 0;
    store_add(config, chunk->hash, config->output_file, STORE_DOWNLOADED, chunk->id, length);
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
    if (!store_find(config, hash)) return true;  // refused at once, as without --swarm
    swarm_peer_t *s = schedule_peer_state(peer);
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

bool swarm_get_repeated(const bt_peer_t *peer, const uint8_t *hash) {
    // Once an ACK has come, the asker holds DATA of this upload: a new GET for the same chunk
    // means it started over, and the upload starts over too.
    return peer->sending_active && peer->sending_lastacked == 0 &&
           memcmp(peer->sending_hash, hash, HASH_SIZE) == 0;
}

bt_peer_t *swarm_next_waiting(bt_config_t *config, double now) {
    // Called on every pass: the walk for a waiting GET comes first, the count of busy slots
    // only when there is one.
    bt_peer_t *p = next_waiting(config, now);
    if (!p || free_slots(config, now) <= 0) return nullptr;
    p->swarm->waiting = 0;
    debug_log(DEBUG_WHOHAS, "an upload slot is free: serving the waiting GET of peer %d \n",
              p->id);
    return p;
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
    if (!config->download_in_progress) return 0;
    for (const bt_peer_t *p = config->peers; p; p = p->next) {
        double until = p->swarm ? p->swarm->busy_until : 0;
        if (until != 0 && (deadline == 0 || until < deadline)) deadline = until;
    }
    return deadline;
}

bt_peer_t *swarm_pause_ended(bt_config_t *config, double now) {
    if (!config->download_in_progress) return nullptr;
    for (bt_peer_t *p = config->peers; p; p = p->next) {
        if (!p->swarm || p->swarm->busy_until == 0 || now < p->swarm->busy_until) continue;
        p->swarm->busy_until = 0;
        return p;
    }
    return nullptr;
}

// An IHAVE lost on the way is never sent again, and a chunk that only a few busy peers are known
// to hold, or whose sender crawls, needs every holder known: every chunk is asked for again.
bool swarm_ask_again(bool, bool) {
    return true;
}

// ---- resuming --------------------------------------------------------------------------------

FILE *swarm_open_output(const char *path) {
    FILE *f = fopen(path, "r+");
    if (f || errno != ENOENT) return f;
    return fopen(path, "w");
}

chunkitem *swarm_resume(bt_config_t *config) {
    uint8_t *buf = chunkbuf_take();
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
    chunkbuf_give(buf);
    if (count > 0) {
        fprintf(stderr, "resuming %s: %d of %d chunks already there\n", config->output_file, count,
                total);
    }
    return kept;
}

void swarm_download_finishing(bt_config_t *config) {
    if (!config->output_handle) return;
    FILE *out = config->output_handle;
    struct stat st;
    if (fflush(out) != 0 || fstat(fileno(out), &st) != 0) return;
    if (S_ISREG(st.st_mode) && st.st_size > config->output_end)
        if (ftruncate(fileno(out), static_cast<off_t>(config->output_end)) != 0)
            fprintf(stderr, "Error: could not cut %s to %lld bytes: %s\n", config->output_file,
                    config->output_end, strerror(errno));
}

// ---- DATA that belongs to no connection ------------------------------------------------------

bool swarm_get_late(const bt_peer_t *peer, const uint8_t *hash, double now) {
    return peer->sending_active && memcmp(peer->sending_hash, hash, HASH_SIZE) != 0 &&
           now - peer->sending_last_ack_time < SWARM_LATE_GET_S;
}

void swarm_stray_data(bt_peer_t *peer, double now) {
    if (peer->receiving_chunk) return;
    swarm_peer_t *s = schedule_peer_state(peer);
    if (s->busy_until < now + SWARM_STRAY_QUIET_S) s->busy_until = now + SWARM_STRAY_QUIET_S;
}

// sending_last_ack_time is the upload's start until an ACK comes.
bool swarm_upload_abandoned(const bt_peer_t *peer, double now) {
    double silent = now - peer->sending_last_ack_time;
    return silent >= SWARM_UPLOAD_ABANDONED_S ||
           (peer->sending_lastacked == 0 && silent >= SWARM_FIRST_ACK_S);
}

const schedule_policy_t SWARM_POLICY = {
    .name = "swarm",
    .choose_chunk = swarm_choose_chunk,
    .get_wait = swarm_get_wait,
    .get_unanswered = swarm_get_unanswered,
    .ask_again = swarm_ask_again,
    .next_deadline = swarm_next_deadline,
    .pause_ended = swarm_pause_ended,
    .chunk_written = swarm_chunk_written,
    .tell_of_chunk = swarm_tell_of_chunk,
    .open_output = swarm_open_output,
    .resume = swarm_resume,
    .download_finishing = swarm_download_finishing,
    .note_whohas = swarm_note_whohas,
    .get_repeated = swarm_get_repeated,
    .may_serve = swarm_may_serve,
    .next_waiting = swarm_next_waiting,
    .get_late = swarm_get_late,
    .stray_data = swarm_stray_data,
    .upload_abandoned = swarm_upload_abandoned,
};
