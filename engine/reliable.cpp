#include "engine/reliable.h"

#include <arpa/inet.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "config/debug.h"
#include "engine/chunkindex.h"
#include "engine/chunklist.h"
#include "engine/create.h"
#include "engine/membership.h"
#include "engine/time_util.h"
#include "engine/schedule.h"
#include "engine/transport.h"
#include "engine/util.h"

// ---- the congestion window -------------------------------------------------------------------

void updateWindow(bt_config_t *config, bt_peer_t *peer, int loss_type) {
    switch (loss_type) {
        case LOSS_NONE:
            updateWinOnAck(config, peer);
            break;
        case LOSS_TIMEOUT:
        case LOSS_DUPACK:
            updateWinOnLoss(config, peer);
            break;
        default:
            debug_log(DEBUG_ERRS, "invalid loss type %d in updateWindow\n", loss_type);
            break;
    }
}

void updateWinOnAck(bt_config_t *config, bt_peer_t *peer) {
    if (peer->sending_win < peer->sending_ssthreash) {
        // Slow start: one packet more per new ACK number, however many packets it covers.
        peer->sending_win++;
        writeWindowSizeToFile(config, peer);
        debug_log(DEBUG_WINDOW, "SS increase to %d \n", peer->sending_win);
        peer->sending_next_aimd_increase = peer->sending_win + peer->sending_lastacked;
        return;
    }
    // Congestion avoidance: one packet more once a whole window has been acknowledged.
    if (peer->sending_lastacked < peer->sending_next_aimd_increase) return;
    peer->sending_win++;
    peer->sending_next_aimd_increase = peer->sending_win + peer->sending_lastacked;
    debug_log(DEBUG_WINDOW, "AIMD window increase to %d \n", peer->sending_win);
    writeWindowSizeToFile(config, peer);
}

void updateWinOnLoss(bt_config_t *config, bt_peer_t *peer) {
    // Duplicates caused by packets already in flight must not raise a second loss.
    peer->sending_min_dupack = peer->sending_next_seq;
    // Go back to the first unacknowledged packet; packets are rebuilt from the chunk buffer.
    peer->sending_next_seq = peer->sending_lastacked + 1;
    peer->sending_dupack_count = 0;
    peer->sending_ssthreash = peer->sending_win / 2;
    peer->sending_win = 1;
    peer->sending_next_aimd_increase = peer->sending_win + peer->sending_lastacked;
    debug_log(DEBUG_WINDOW, "Window decrease to %d, ssthreath = %d \n", peer->sending_win,
              peer->sending_ssthreash);
    writeWindowSizeToFile(config, peer);
}

// ---- the classic profile ---------------------------------------------------------------------

void classicStartConnection(bt_config_t *config, bt_peer_t *peer, double) {
    writeWindowSizeToFile(config, peer);
}

// The designed fill, one packet while the window has room, stopping at the chunk's end or a
// failed send; the packets that room allows leave in batches, the same packets in the same order.
void classicFillWindow(bt_config_t *config, bt_peer_t *peer, double now) {
    for (;;) {
        int room = peer->sending_win - timelist_length(peer->sending_unacked);
        if (room <= 0) return;
        if (sendDataBatchForPeer(config, peer, room, now) <= 0) return;
    }
}

void remove_acked(bt_peer_t *peer) {
    timelist_release_upto(&peer->sending_unacked, peer->sending_lastacked);
}

void classicTakeAck(bt_config_t *config, bt_peer_t *peer, int just_acked, double now) {
    if (just_acked != peer->sending_lastacked) {
        peer->sending_lastacked = just_acked;
        peer->sending_dupack_count = 0;
        updateWindow(config, peer, LOSS_NONE);
    } else if (just_acked >= peer->sending_min_dupack) {
        peer->sending_dupack_count++;
    }
    peer->sending_successive_timeouts = 0;
    if (peer->sending_dupack_count > DUPACK_LOSS_THRESHOLD) {
        debug_log(DEBUG_WINDOW, "Dup Ack loss seq = %d\n", just_acked);
        updateWindow(config, peer, LOSS_DUPACK);
    }
    if (peer->sending_next_seq < just_acked) peer->sending_next_seq = just_acked + 1;
    remove_acked(peer);
    debug_log(DEBUG_LOSS, "Unacked: \n");
    timelist_print(peer->sending_unacked, DEBUG_LOSS);
    if (peer->sending_lastacked >= PACKETS_PER_CHUNK) {
        debug_log(DEBUG_SEQ, "Done sending chunk, all acked! \n");
        doneSendingData(config, peer);
    } else {
        classicFillWindow(config, peer, now);
    }
}

// The stored packets are the classic profile's state; doneSendingData releases them.
void classicEndConnection(bt_peer_t *) {}

double classicGetWait(const bt_peer_t *) {
    return GET_ANSWER_TIMEOUT_S;
}

double classicMoveAfter(const bt_peer_t *) {
    return 0;
}

// ---- the timeout scan ------------------------------------------------------------------------

static bool timed_out(const timeitem *item, double now) {
    return now - timeval2double(&item->t) > RETRANSMIT_TIMEOUT_S;
}

// Whether some outstanding packet of peer may have timed out: no walk when none can.
static bool may_have_timed_out(const bt_peer_t *peer, double now) {
    return peer->sending_unacked &&
           now - timelist_earliest(peer->sending_unacked) > RETRANSMIT_TIMEOUT_S;
}

// Walks one peer's outstanding packets once, newest first; false when MAX_RETRANS ended the
// connection, which ends the whole scan.
static bool scan_peer_timeouts(bt_config_t *config, bt_peer_t *peer, double now) {
    if (!may_have_timed_out(peer, now)) return true;
    timeitem **link = &peer->sending_unacked;
    while (*link) {
        timeitem *item = *link;
        if (!timed_out(item, now)) {
            link = &item->next;
            continue;
        }
        int seq = static_cast<int>(ntohl(item->hdr->seq));
        if (seq < peer->sending_next_seq) {
            peer->sending_successive_timeouts++;
            if (peer->sending_successive_timeouts >= MAX_RETRANS) {
                debug_log(DEBUG_ERRS, "Reached MAX_RETRANS  for peer %d.  Killing connection\n",
                          peer->id);
                doneSendingData(config, peer);
                return false;
            }
            debug_log(DEBUG_LOSS | DEBUG_WINDOW, "timeout loss seq = %d\n", seq);
            updateWindow(config, peer, LOSS_TIMEOUT);
        } else {
            debug_log(DEBUG_LOSS, "ignoring timeout for %d b/c we're already retransmitting\n",
                      seq);
        }
        // The stored copy is never resent: lost packets are rebuilt from the chunk buffer.
        timelist_release_at(&peer->sending_unacked, link);  // *link moves on to the next node
    }
    // The packets left were all sent within the timeout: the next scan can skip them until the
    // oldest of them is due.
    timelist_refresh_earliest(peer->sending_unacked);
    return true;
}

void sendTimedOutPacketsAt(bt_config_t *config, double now) {
    const transport_profile_t *profile = transport_profile(config);
    for (bt_peer_t *p = config->peers; p; p = p->next) {
        if (!profile->check_timers(config, p, now)) return;
    }
}

bool classicCheckTimers(bt_config_t *config, bt_peer_t *peer, double now) {
    if (!scan_peer_timeouts(config, peer, now)) return false;
    if (peer->sending_active) classicFillWindow(config, peer, now);
    return true;
}

double classicNextDeadline(const bt_peer_t *peer) {
    // A lower bound: a wake-up it makes too early finds nothing due and refreshes it.
    double oldest = timelist_earliest(peer->sending_unacked);
    return oldest == 0 ? 0 : oldest + RETRANSMIT_TIMEOUT_S;
}

const transport_profile_t CLASSIC_PROFILE = {
    .name = "classic",
    .start = classicStartConnection,
    .fill = classicFillWindow,
    .take_ack = classicTakeAck,
    .check_timers = classicCheckTimers,
    .next_deadline = classicNextDeadline,
    .end = classicEndConnection,
    .get_wait = classicGetWait,
    .get_retries = 1,
    .move_after = classicMoveAfter,
    .receives_in_batches = false,
};


// ---- giving up on silent senders -------------------------------------------------------------

void checkForStalledDownloadsAt(bt_config_t *config, double now) {
    for (bt_peer_t *p = config->peers; p; p = p->next) {
        if (!p->receiving_active || now - p->receiving_last_action_time <= STALL_TIMEOUT_S)
            continue;
        debug_log(DEBUG_ERRS, "Peer %d is giving up on download from Peer %d \n", config->identity,
                  p->id);
        printf("giving up on peer %d \n", p->id);
        fflush(stdout);
        // Ask this peer for nothing until it announces chunks again.
        announcements_forget_all(config, p);
        chunkReceiveFinished(config, p, now);
    }
}

void checkForStalledDownloads(bt_config_t *config, double now) {
    checkForStalledDownloadsAt(config, now);
    checkForUnansweredGets(config, now);
    moveStalledChunks(config, now);
    retryPausedRequests(config, now);
    rediscoverMissingChunks(config, now);
    wakePausedPeers(config, now);
    endAbandonedUploads(config, now);
}

void endAbandonedUploads(bt_config_t *config, double now) {
    const schedule_policy_t *policy = schedule_policy(config);
    for (bt_peer_t *p = config->peers; p; p = p->next) {
        if (!p->sending_active || !policy->upload_abandoned(p, now)) continue;
        debug_log(DEBUG_ERRS, "peer %d takes nothing of its upload: ended \n", p->id);
        doneSendingData(config, p);
    }
}

void wakePausedPeers(bt_config_t *config, double now) {
    const schedule_policy_t *policy = schedule_policy(config);
    while (bt_peer_t *p = policy->pause_ended(config, now)) tryToGenerateGetRequest(config, p, now);
}

// RFC 6298's gain, for the GET-to-first-DATA times as for RTT samples.
constexpr double GET_RTT_ALPHA = 0.125;

void noteGetAnswered(bt_peer_t *peer, double now) {
    peer->receiving_first_data_time = now;
    // A GET that was sent again cannot tell which copy was answered.
    if (peer->receiving_get_resent) return;
    double sample = now - peer->receiving_get_time;
    if (peer->receiving_get_rtt == 0) {
        peer->receiving_get_rtt = sample;
    } else {
        peer->receiving_get_rtt =
            (1 - GET_RTT_ALPHA) * peer->receiving_get_rtt + GET_RTT_ALPHA * sample;
    }
}

static bool awaiting_first_data(const bt_peer_t *peer) {
    return peer->receiving_chunk && !peer->receiving_active && peer->receiving_sentget;
}

// Sends peer a WHOHAS for the chunk its GET asks for.
static void probe_holder(bt_config_t *config, bt_peer_t *peer) {
    chunkitem one = *peer->receiving_chunk;
    one.next = nullptr;
    header *probe = createControlPacket(&one, PKT_WHOHAS);
    if (sendPacketTo(config, probe, &peer->addr) < 0)
        debug_log(DEBUG_ERRS, "Error sending WHOHAS \n");
    free(probe);
}

// Carries out what the scheduling policy decided about peer's unanswered GET; whether the
// connection was released.
static bool carry_out(bt_config_t *config, bt_peer_t *peer, const get_decision_t *d, double now) {
    if (d->probe) probe_holder(config, peer);
    if (d->resend) {
        sendGetForPeer(config, peer, peer->receiving_chunk);
        if (peer->receiving_get_resent < INT_MAX) peer->receiving_get_resent++;
        peer->receiving_get_time = now;
    }
    if (d->forget == FORGET_CHUNK) announcement_forget(config, peer, peer->receiving_chunk->hash);
    if (d->forget == FORGET_ALL) announcements_forget_all(config, peer);
    if (d->release) releaseReceivingConnection(peer);
    return d->release;
}

void checkForUnansweredGets(bt_config_t *config, double now) {
    const schedule_policy_t *policy = schedule_policy(config);
    int retries = transport_profile(config)->get_retries;
    bool released = false;
    for (bt_peer_t *p = config->peers; p; p = p->next) {
        if (!awaiting_first_data(p) || now - p->receiving_get_time <= scheduleGetWait(config, p))
            continue;
        get_decision_t d = policy->get_unanswered(config, p, retries, now);
        released |= carry_out(config, p, &d, now);
    }
    if (released) tryAllGetRequests(config, now);
}

// A peer with nothing to fetch from it that announced chunk and may be asked for it.
static bt_peer_t *idle_holder(bt_config_t *config, const chunkitem *chunk, double now) {
    for (bt_peer_t *p = config->peers; p; p = p->next) {
        if (p->id == config->identity || p->receiving_chunk) continue;
        if (!announced_by(config, p, chunk->hash)) continue;
        if (mayAskPeerForChunk(config, p, chunk, now)) return p;
    }
    return nullptr;
}

// The time since the connection last moved: its last in-order DATA, or its GET.
static double last_progress(const bt_peer_t *peer) {
    return peer->receiving_active ? peer->receiving_last_action_time : peer->receiving_get_time;
}

// A connection that has brought DATA for longer than `after` at less than 1/CRAWL_FACTOR of
// the best rate the same peer has shown (receiving_rate): the peer itself has slowed, a loaded
// or throttled holder.
constexpr double CRAWL_FACTOR = 8.0;

static bool crawling(const bt_peer_t *peer, double now, double after) {
    double elapsed = now - peer->receiving_first_data_time;
    if (!peer->receiving_active || peer->receiving_rate <= 0 || elapsed <= after) return false;
    return peer->receiving_offset / elapsed < peer->receiving_rate / CRAWL_FACTOR;
}

void moveStalledChunks(bt_config_t *config, double now) {
    const transport_profile_t *profile = transport_profile(config);
    for (bt_peer_t *p = config->peers; p; p = p->next) {
        if (!p->receiving_chunk) continue;
        double after = profile->move_after(p);
        if (after == 0) continue;
        if (now - last_progress(p) <= after && !crawling(p, now, after)) continue;
        bt_peer_t *idle = idle_holder(config, p->receiving_chunk, now);
        if (!idle) continue;
        debug_log(DEBUG_ERRS, "too little progress from peer %d: its chunk goes to peer %d \n",
                  p->id, idle->id);
        releaseReceivingConnection(p);
        tryToGenerateGetRequest(config, idle, now);
        tryToGenerateGetRequest(config, p, now);
    }
}

void retryPausedRequests(bt_config_t *config, double now) {
    if (config->retry_due_time == 0 || now < config->retry_due_time) return;
    config->retry_due_time = 0;
    if (config->download_in_progress) tryAllGetRequests(config, now);
}

void rediscoverMissingChunks(bt_config_t *config, double now) {
    if (!config->download_in_progress) return;
    if (now - config->last_whohas_time <= REDISCOVERY_INTERVAL_S) return;
    // Announcements may be older than this download (or than a paused retry): an idle peer that
    // announced a needed chunk is asked for it now, and gives it up if it no longer answers.
    tryAllGetRequests(config, now);
    const schedule_policy_t *policy = schedule_policy(config);
    chunkitem *missing = nullptr;
    chunkitem **tail = &missing;
    for (const chunkitem *c = config->to_fetch_list; c; c = c->next) {
        if (!policy->ask_again(alreadyDownloadingChunk(config, c),
                               announcement_holders(config, c->hash) > 0))
            continue;
        chunklist_add(tail, c->hash, c->id);
        tail = &(*tail)->next;
    }
    if (!missing) {
        // Nothing to ask for: look again after another interval, not on every pass of the loop.
        config->last_whohas_time = now;
        return;
    }
    debug_log(DEBUG_WHOHAS, "asking again for %d chunks nobody announced \n",
              chunklist_length(missing));
    sendWhoHasToPeers(config, missing, now);
    chunklist_free(missing);
}

// ---- the next deadline -----------------------------------------------------------------------

static void earliest(double *deadline, double t) {
    if (t != 0 && (*deadline == 0 || t < *deadline)) *deadline = t;
}

double nextTimerDeadline(const bt_config_t *config) {
    const transport_profile_t *profile = transport_profile(config);
    double deadline = 0;
    for (const bt_peer_t *p = config->peers; p; p = p->next) {
        earliest(&deadline, profile->next_deadline(p));
        if (p->receiving_active)
            earliest(&deadline, p->receiving_last_action_time + STALL_TIMEOUT_S);
        if (awaiting_first_data(p))
            earliest(&deadline, p->receiving_get_time + scheduleGetWait(config, p));
    }
    earliest(&deadline, config->retry_due_time);
    earliest(&deadline, schedule_policy(config)->next_deadline(config));
    if (config->download_in_progress)
        earliest(&deadline, config->last_whohas_time + REDISCOVERY_INTERVAL_S);
    earliest(&deadline, membership_next_deadline(config));
    return deadline;
}
