#include "engine/schedule.h"

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "config/debug.h"
#include "engine/chunkindex.h"
#include "engine/chunklist.h"
#include "engine/transport.h"

const schedule_policy_t *schedule_policy(const bt_config_t *config) {
    return config->swarm ? &SWARM_POLICY : &DESIGNED_POLICY;
}

// ---- rules both policies share ---------------------------------------------------------------

BOOL alreadyDownloadingChunk(const bt_config_t *config, const chunkitem *chunk) {
    for (const bt_peer_t *p = config->peers; p; p = p->next) {
        if (p->receiving_chunk && memcmp(p->receiving_chunk->hash, chunk->hash, HASH_SIZE) == 0)
            return 1;
    }
    return 0;
}

// Whether some peer other than `except` announced the chunk and has not failed it too often.
static bool other_good_holder(const bt_config_t *config, const bt_peer_t *except,
                              const chunkitem *chunk) {
    for (const bt_peer_t *p = config->peers; p; p = p->next) {
        if (p == except || p->id == config->identity) continue;
        if (!announced_by(config, p, chunk->hash)) continue;
        const failitem *f = failurelist_find(p->receiving_failures, chunk->hash);
        if (!f || f->failures < MAX_HASH_FAILURES) return true;
    }
    return false;
}

// A peer whose copy of the chunk failed its hash check waits out its pause, and after
// MAX_HASH_FAILURES is asked only while no other holder is left.
bool mayAskPeerForChunk(const bt_config_t *config, const bt_peer_t *peer, const chunkitem *chunk,
                        double now) {
    const failitem *f = failurelist_find(peer->receiving_failures, chunk->hash);
    if (!f) return true;
    if (now < f->retry_after) return false;
    return f->failures < MAX_HASH_FAILURES || !other_good_holder(config, peer, chunk);
}

double scheduleGetWait(const bt_config_t *config, const bt_peer_t *peer) {
    return schedule_policy(config)->get_wait(peer, transport_profile(config)->get_wait(peer));
}

swarm_peer_t *schedule_peer_state(bt_peer_t *peer) {
    if (!peer->swarm) {
        peer->swarm = static_cast<swarm_peer_t *>(calloc(1, sizeof(swarm_peer_t)));
        assert(peer->swarm && "swarm peer");
    }
    return peer->swarm;
}

void swarm_peer_free(bt_peer_t *peer) {
    if (!peer->swarm) return;
    chunklist_free(peer->swarm->wanted);
    free(peer->swarm);
    peer->swarm = nullptr;
}

// ---- GET rules -------------------------------------------------------------------------------

// The designed rule: the GET or its first DATA may just have been lost, and no DATA has come, so
// asking again restarts nothing that is flowing; after the transport's resends the peer is asked
// for nothing of that chunk until it announces it again, its other announcements kept.
static get_decision_t designed_get_unanswered(bt_config_t *config, bt_peer_t *peer, int retries,
                                              double) {
    get_decision_t d{};
    if (peer->receiving_get_resent < retries) {
        debug_log(DEBUG_ERRS, "no data from peer %d for its GET; sending it again \n", peer->id);
        d.resend = true;
        return d;
    }
    debug_log(DEBUG_ERRS, "Peer %d got no data from peer %d for its GET; giving up on it \n",
              config->identity, peer->id);
    d.forget = FORGET_CHUNK;
    d.release = true;
    return d;
}

double swarm_get_wait(const bt_peer_t *peer, double transport_wait) {
    double wait = SWARM_GET_WAIT_S;
    if (peer->receiving_get_rtt > 0 && SWARM_GET_RTTS * peer->receiving_get_rtt > wait)
        wait = SWARM_GET_RTTS * peer->receiving_get_rtt;
    return wait < transport_wait ? wait : transport_wait;
}

// Whether peer, silent since its GET went out, has gone. Once the GET has waited
// SWARM_PROBE_AFTER_S, a WHOHAS for its chunk asks whether the peer is still there (d->probe): a
// live holder answers one at once, however busy its upload slots keep it. Silent
// SWARM_PROBE_WAIT_S after that, it is taken to have gone.
static bool holder_gone(const bt_peer_t *peer, swarm_peer_t *s, get_decision_t *d, double now) {
    if (peer->heard_time >= s->get_since) return false;
    if (s->probe_time == 0) {
        if (now - s->get_since < SWARM_PROBE_AFTER_S) return false;
        d->probe = true;
        s->probe_time = now;
        return false;
    }
    return now - s->probe_time >= SWARM_PROBE_WAIT_S;
}

// A GET given up after SWARM_GET_PATIENCE_S while the peer was heard from: the peer is paused
// for a time that doubles with each such GET in a row. After SWARM_FORGET_AFTER of them it no
// longer counts for this chunk (its file changed, or it announces what it never serves); a holder
// only busy announces it again at the next round.
static void pause_unanswering_peer(const bt_peer_t *peer, swarm_peer_t *s, get_decision_t *d,
                                   double now) {
    if (s->unanswered < INT_MAX) s->unanswered++;
    if (s->unanswered >= SWARM_FORGET_AFTER) {
        debug_log(DEBUG_ERRS, "peer %d does not serve chunk %d: its announcement is forgotten \n",
                  peer->id, peer->receiving_chunk->id);
        d->forget = FORGET_CHUNK;
    }
    double pause = SWARM_BUSY_PAUSE_S;
    for (int i = 1; i < s->unanswered && pause < SWARM_BUSY_PAUSE_MAX_S; i++) pause *= 2;
    if (pause > SWARM_BUSY_PAUSE_MAX_S) pause = SWARM_BUSY_PAUSE_MAX_S;
    s->busy_until = now + pause;
    debug_log(DEBUG_ERRS, "peer %d left a GET unanswered for %.1f s; asking others for %.1f s \n",
              peer->id, now - s->get_since, pause);
    d->release = true;
}

get_decision_t swarm_get_unanswered(bt_config_t *, bt_peer_t *peer, int, double now) {
    get_decision_t d{};
    swarm_peer_t *s = schedule_peer_state(peer);
    if (peer->receiving_get_resent == 0) {
        s->get_since = peer->receiving_get_time;
        s->probe_time = 0;
    }
    if (holder_gone(peer, s, &d, now)) {
        // It counts for nothing it announced until it announces again, so every other holder
        // of its chunks, the seed included, is asked in turn.
        // Should it only have been silent and announce again at once, it is paused as after any
        // GET given up: an uploader that kept the GET must have forgotten it before another
        // chunk is asked of it.
        debug_log(DEBUG_ERRS, "peer %d is silent: its announcements are forgotten \n", peer->id);
        d.forget = FORGET_ALL;
        d.release = true;
        s->busy_until = now + SWARM_BUSY_PAUSE_S;
        return d;
    }
    if (now - s->get_since < SWARM_GET_PATIENCE_S) {
        d.resend = true;  // it waits in the uploader's queue while it is sent: keep it there
        return d;
    }
    pause_unanswering_peer(peer, s, &d, now);
    return d;
}

// ---- the designed policy ---------------------------------------------------------------------

// Whether the designed choice may give item, a chunk peer announced, to peer: nobody fetches it,
// and its hash failures do not keep peer from it.
static bool free_for_peer(const chunk_choice_t *choice, const chunkitem *item) {
    if (alreadyDownloadingChunk(choice->config, item)) {
        debug_log(DEBUG_ALL, "We're already downloading chunk: \n");
        chunklist_print_single(item, DEBUG_ALL);
        return false;
    }
    debug_log(DEBUG_ALL, "not downloading this chunk from anyone else: \n");
    chunklist_print_single(item, DEBUG_ALL);
    return !choice->peer->receiving_failures ||
           mayAskPeerForChunk(choice->config, choice->peer, item, choice->now);
}

// The first chunk of the request list that nobody is fetching and that peer announced.
static chunkitem *designed_choose_chunk(bt_config_t *config, bt_peer_t *peer, double now) {
    chunk_choice_t choice = {free_for_peer, nullptr, config, peer, now};
    return chunkindex_first_announced(&choice);
}

static double designed_get_wait(const bt_peer_t *, double transport_wait) {
    return transport_wait;
}

// A chunk nobody fetches or announced is asked for again.
static bool designed_ask_again(bool being_fetched, bool announced) {
    return !being_fetched && !announced;
}

static double designed_next_deadline(const bt_config_t *) {
    return 0;
}

static bt_peer_t *designed_pause_ended(bt_config_t *, double) {
    return nullptr;
}

// A downloaded chunk is neither served nor announced.
static void designed_chunk_written(bt_config_t *, bt_peer_t *, const chunkitem *, int) {}

static bool designed_tell_of_chunk(bt_config_t *, bt_peer_t *, const chunkitem *, double) {
    return false;
}

// Created or truncated.
static FILE *designed_open_output(const char *path) {
    return fopen(path, "w");
}

static chunkitem *designed_resume(bt_config_t *) {
    return nullptr;
}

static void designed_download_finishing(bt_config_t *) {}

static void designed_note_whohas(bt_config_t *, struct sockaddr_in *, const chunkitem *, double) {
}

static bool designed_get_repeated(const bt_peer_t *, const uint8_t *) {
    return false;
}

// Every GET at once.
static bool designed_may_serve(bt_config_t *, bt_peer_t *, const uint8_t *, double) {
    return true;
}

static bt_peer_t *designed_next_waiting(bt_config_t *, double) {
    return nullptr;
}

static bool designed_get_late(const bt_peer_t *, const uint8_t *, double) {
    return false;
}

static void designed_stray_data(bt_peer_t *, double) {}

static bool designed_upload_abandoned(const bt_peer_t *, double) {
    return false;
}

const schedule_policy_t DESIGNED_POLICY = {
    .name = "designed",
    .choose_chunk = designed_choose_chunk,
    .get_wait = designed_get_wait,
    .get_unanswered = designed_get_unanswered,
    .ask_again = designed_ask_again,
    .next_deadline = designed_next_deadline,
    .pause_ended = designed_pause_ended,
    .chunk_written = designed_chunk_written,
    .tell_of_chunk = designed_tell_of_chunk,
    .open_output = designed_open_output,
    .resume = designed_resume,
    .download_finishing = designed_download_finishing,
    .note_whohas = designed_note_whohas,
    .get_repeated = designed_get_repeated,
    .may_serve = designed_may_serve,
    .next_waiting = designed_next_waiting,
    .get_late = designed_get_late,
    .stray_data = designed_stray_data,
    .upload_abandoned = designed_upload_abandoned,
};
