#include "engine/adaptive.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/debug.h"
#include "engine/create.h"
#include "engine/reliable.h"
#include "engine/time_util.h"
#include "engine/util.h"

// RFC 6298 gains and RFC 9002's reordering threshold (9/8 of the RTT).
constexpr double RTT_ALPHA = 0.125;
constexpr double RTT_BETA = 0.25;
constexpr double REORDER_THRESHOLD = 9.0 / 8.0;
constexpr int SLOW_START_MAX_STEP = 2;  // packets per ACK (RFC 3465's limit L)

static double clamp(double v, double lo, double hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

static int max_int(int a, int b) {
    return a > b ? a : b;
}

static void set_window(bt_config_t *config, bt_peer_t *peer, int win) {
    if (win > ADAPTIVE_MAX_WINDOW) win = ADAPTIVE_MAX_WINDOW;
    if (win < 1) win = 1;
    if (win == peer->sending_win) return;
    peer->sending_win = win;
    writeWindowSizeToFile(config, peer);
}

// Packets sent and neither acknowledged nor presumed lost: a timeout moves sending_next_seq
// back, and the packets above it stop occupying the window.
static int flight_size(const bt_peer_t *peer) {
    return peer->sending_next_seq - 1 - peer->sending_lastacked;
}

// ---- RTT and RTO -----------------------------------------------------------------------------

static void take_rtt_sample(const bt_peer_t *peer, adaptive_t *a, double rtt) {
    if (a->srtt == 0) {
        debug_log(DEBUG_LOSS, "first RTT sample %.6f s to peer %d \n", rtt, peer->id);
        a->srtt = rtt;
        a->rttvar = rtt / 2;
        a->min_rtt = rtt;
    } else {
        double err = a->srtt - rtt;
        a->rttvar = (1 - RTT_BETA) * a->rttvar + RTT_BETA * (err < 0 ? -err : err);
        a->srtt = (1 - RTT_ALPHA) * a->srtt + RTT_ALPHA * rtt;
        if (rtt < a->min_rtt) a->min_rtt = rtt;
    }
    a->rto = clamp(a->srtt + 4 * a->rttvar, ADAPTIVE_RTO_MIN_S, ADAPTIVE_RTO_MAX_S);
}

// ---- sending ---------------------------------------------------------------------------------

// Sends packet seq of the chunk (new or again) and notes when; a packet sent before is resent.
static void send_seq(bt_config_t *config, bt_peer_t *peer, int seq, double now) {
    adaptive_t *a = peer->sending_adaptive;
    alignas(header) uint8_t buffer[HEADER_SIZE + DATA_PAYLOAD];
    header *packet = reinterpret_cast<header *>(buffer);
    if (buildDataPacket(peer, seq, packet) == 0) return;
    if (sendPacketTo(config, packet, &peer->addr) < 0)
        debug_log(DEBUG_ERRS, "Error Sending Data \n");
    debug_log(DEBUG_SEQ | DEBUG_ALL, "Sending seq = %d \n", seq);
    if (flight_size(peer) <= 0 || a->timer_start == 0) a->timer_start = now;
    if (a->sends[seq] > 0) config->retransmissions++;
    if (a->sends[seq] < UINT8_MAX) a->sends[seq]++;
    a->sent_time[seq] = now;
    a->last_activity = now;
    if (seq > peer->sending_highest_seq) peer->sending_highest_seq = seq;
}

void adaptiveFillWindow(bt_config_t *config, bt_peer_t *peer, double now) {
    while (peer->sending_active && flight_size(peer) < peer->sending_win &&
           peer->sending_next_seq <= PACKETS_PER_CHUNK) {
        int seq = peer->sending_next_seq++;
        send_seq(config, peer, seq, now);
    }
}

// ---- connections -----------------------------------------------------------------------------

void adaptiveStartConnection(bt_config_t *config, bt_peer_t *peer, double now) {
    adaptive_t *a = peer->sending_adaptive;
    if (!a) {
        a = static_cast<adaptive_t *>(calloc(1, sizeof(adaptive_t)));
        assert(a && "adaptive");
        a->rto = ADAPTIVE_RTO_INITIAL_S;
        a->carried_win = ADAPTIVE_INITIAL_WINDOW;
        a->carried_ssthresh = ADAPTIVE_MAX_WINDOW;
        peer->sending_adaptive = a;
    } else if (now - a->last_activity > ADAPTIVE_IDLE_RTOS * a->rto) {
        // Idle for a while: what the window said about the path may be stale.
        if (a->carried_win > ADAPTIVE_INITIAL_WINDOW) a->carried_win = ADAPTIVE_INITIAL_WINDOW;
    }
    a->in_recovery = 0;
    a->ca_acked = 0;
    a->timer_start = 0;
    a->frto = 0;
    a->dupacks_to_ignore = 0;
    a->last_progress = now;
    a->last_activity = now;
    memset(a->sends, 0, sizeof a->sends);
    peer->sending_ssthreash = a->carried_ssthresh;
    set_window(config, peer, a->carried_win);
}

void adaptiveEndConnection(bt_peer_t *peer) {
    adaptive_t *a = peer->sending_adaptive;
    if (!a) return;
    // A window left inflated by an unfinished recovery is not carried; its threshold is.
    a->carried_win = a->in_recovery ? peer->sending_ssthreash : peer->sending_win;
    a->carried_ssthresh = peer->sending_ssthreash;
    a->in_recovery = 0;
}

// ---- loss recovery ---------------------------------------------------------------------------

// The first unacknowledged packet counts as lost only once it is older than the reordering
// threshold: packets overtaken by a few others on a jittery path are not lost.
static bool first_unacked_overdue(const bt_peer_t *peer, double now) {
    const adaptive_t *a = peer->sending_adaptive;
    int una = peer->sending_lastacked + 1;
    if (una > PACKETS_PER_CHUNK || a->srtt == 0) return true;
    return now - a->sent_time[una] > REORDER_THRESHOLD * a->srtt + a->rttvar;
}

static void enter_fast_recovery(bt_config_t *config, bt_peer_t *peer, double now) {
    adaptive_t *a = peer->sending_adaptive;
    a->undo_win = peer->sending_win;
    a->undo_ssthresh = peer->sending_ssthreash;
    a->in_recovery = 1;
    a->recover = peer->sending_highest_seq;
    a->retransmit_time = now;
    peer->sending_ssthreash = max_int(flight_size(peer) / 2, 2);
    debug_log(DEBUG_WINDOW, "Dup Ack loss seq = %d\n", peer->sending_lastacked);
    send_seq(config, peer, peer->sending_lastacked + 1, now);
    a->timer_start = now;
    set_window(config, peer, peer->sending_ssthreash + ADAPTIVE_DUPACK_THRESHOLD);
}

// The ACK that ends a recovery came sooner after the retransmission than any ACK of it could:
// it answered the original packet, which was only late. The reduction is taken back.
static void undo_if_spurious(bt_config_t *config, bt_peer_t *peer, double now) {
    adaptive_t *a = peer->sending_adaptive;
    if (a->min_rtt == 0 || now - a->retransmit_time >= a->min_rtt / 2) return;
    debug_log(DEBUG_LOSS, "spurious retransmission to peer %d undone \n", peer->id);
    peer->sending_ssthreash = a->undo_ssthresh;
    set_window(config, peer, a->undo_win);
}

// F-RTO (RFC 5682): after a timeout only the first unacknowledged packet is resent. Should the
// ACK of exactly that packet be followed by an ACK of a packet sent before the timeout and never
// resent, the originals were arriving all along (a path whose RTT exceeds the RTO before its first
// sample, or a delay spike): the timeout's reduction is taken back, nothing more is resent, and
// the one duplicate ACK the resent copy causes is not taken for a loss. An ACK that jumps past the
// resent packet at once, or a duplicate ACK, confirms the loss. True when the ACK was taken here.
static bool frto_take_ack(bt_config_t *config, bt_peer_t *peer, int just_acked, double now) {
    adaptive_t *a = peer->sending_adaptive;
    if (a->frto == 1 && just_acked == a->frto_resent && a->timeout_highest > a->frto_resent) {
        a->frto = 2;
        // Probe with two packets never sent before rather than resend what may still arrive.
        peer->sending_next_seq = a->timeout_highest + 1;
        for (int i = 0; i < 2 && peer->sending_next_seq <= PACKETS_PER_CHUNK; i++)
            send_seq(config, peer, peer->sending_next_seq++, now);
        return true;
    }
    bool spurious =
        a->frto == 2 && a->sends[just_acked] == 1 && a->sent_time[just_acked] < a->timeout_time;
    int stage = a->frto;
    a->frto = 0;
    if (!spurious) {
        // The probe showed a real loss: resend from the first hole after all.
        if (stage == 2) peer->sending_next_seq = just_acked + 1;
        return false;
    }
    debug_log(DEBUG_LOSS, "spurious timeout to peer %d undone \n", peer->id);
    peer->sending_ssthreash = a->undo_ssthresh;
    set_window(config, peer, a->undo_win);
    a->dupacks_to_ignore = 1;
    return true;
}

static void take_new_ack(bt_config_t *config, bt_peer_t *peer, int just_acked, double now) {
    adaptive_t *a = peer->sending_adaptive;
    int newly = just_acked - peer->sending_lastacked;
    // Karn's rule: only a packet sent once, outside a recovery, times the path.
    if (!a->in_recovery && a->sends[just_acked] == 1)
        take_rtt_sample(peer, a, now - a->sent_time[just_acked]);
    peer->sending_lastacked = just_acked;
    peer->sending_dupack_count = 0;
    peer->sending_successive_timeouts = 0;
    a->last_progress = now;
    a->timer_start = now;
    if (peer->sending_next_seq <= just_acked) peer->sending_next_seq = just_acked + 1;
    if (a->frto && frto_take_ack(config, peer, just_acked, now)) return;
    if (a->in_recovery) {
        if (just_acked >= a->recover) {
            a->in_recovery = 0;
            set_window(config, peer, peer->sending_ssthreash);
            undo_if_spurious(config, peer, now);
        } else {
            // A partial ACK: the next hole is lost too (RFC 6582).
            send_seq(config, peer, just_acked + 1, now);
            set_window(config, peer, max_int(peer->sending_win - newly + 1, 1));
        }
        return;
    }
    if (peer->sending_win < peer->sending_ssthreash) {
        set_window(config, peer,
                   peer->sending_win + (newly < SLOW_START_MAX_STEP ? newly : SLOW_START_MAX_STEP));
        return;
    }
    a->ca_acked += newly;
    if (a->ca_acked >= peer->sending_win) {
        a->ca_acked -= peer->sending_win;
        set_window(config, peer, peer->sending_win + 1);
    }
}

static void take_duplicate_ack(bt_config_t *config, bt_peer_t *peer, double now) {
    adaptive_t *a = peer->sending_adaptive;
    peer->sending_successive_timeouts = 0;
    if (a->dupacks_to_ignore > 0) {
        a->dupacks_to_ignore--;
        return;
    }
    peer->sending_dupack_count++;
    if (a->frto) {
        // The receiver still misses a packet: the loss was real; resend from the first hole.
        if (a->frto == 2) peer->sending_next_seq = peer->sending_lastacked + 1;
        a->frto = 0;
        return;
    }
    if (a->in_recovery) {
        set_window(config, peer, peer->sending_win + 1);  // one packet has left the path
    } else if (peer->sending_dupack_count >= ADAPTIVE_DUPACK_THRESHOLD &&
               first_unacked_overdue(peer, now)) {
        enter_fast_recovery(config, peer, now);
    }
}

void adaptiveHandleAck(bt_config_t *config, bt_peer_t *peer, int just_acked, double now) {
    adaptive_t *a = peer->sending_adaptive;
    a->last_activity = now;
    if (just_acked > peer->sending_lastacked) {
        take_new_ack(config, peer, just_acked, now);
    } else if (just_acked == peer->sending_lastacked) {
        take_duplicate_ack(config, peer, now);
    }
    // A lower number is a reordered old ACK: it tells nothing new.
    if (peer->sending_lastacked >= PACKETS_PER_CHUNK) {
        debug_log(DEBUG_SEQ, "Done sending chunk, all acked! \n");
        doneSendingData(config, peer);
        return;
    }
    adaptiveFillWindow(config, peer, now);
}

// ---- timers ----------------------------------------------------------------------------------

static double rto_deadline(const bt_peer_t *peer) {
    const adaptive_t *a = peer->sending_adaptive;
    if (flight_size(peer) <= 0 || a->timer_start == 0) return 0;
    return a->timer_start + a->rto;
}

static double reorder_deadline(const bt_peer_t *peer) {
    const adaptive_t *a = peer->sending_adaptive;
    if (a->in_recovery || peer->sending_dupack_count < ADAPTIVE_DUPACK_THRESHOLD) return 0;
    int una = peer->sending_lastacked + 1;
    if (una > PACKETS_PER_CHUNK || a->srtt == 0) return 0;
    return a->sent_time[una] + REORDER_THRESHOLD * a->srtt + a->rttvar;
}

double adaptiveNextDeadline(const bt_peer_t *peer) {
    if (!peer->sending_active || !peer->sending_adaptive) return 0;
    double rto = rto_deadline(peer);
    double reorder = reorder_deadline(peer);
    if (rto == 0) return reorder;
    if (reorder == 0) return rto;
    return rto < reorder ? rto : reorder;
}

// Everything in flight is presumed lost: go back to the first unacknowledged packet with a
// window of one and a doubled RTO.
static void on_timeout(bt_config_t *config, bt_peer_t *peer, double now) {
    adaptive_t *a = peer->sending_adaptive;
    debug_log(DEBUG_LOSS | DEBUG_WINDOW, "timeout loss seq = %d\n", peer->sending_lastacked + 1);
    if (!a->frto) {
        a->undo_win = peer->sending_win;
        a->undo_ssthresh = peer->sending_ssthreash;
    }
    a->frto = 1;
    a->frto_resent = peer->sending_lastacked + 1;
    a->timeout_time = now;
    a->timeout_highest = peer->sending_highest_seq;
    peer->sending_ssthreash = max_int(flight_size(peer) / 2, 2);
    a->rto = clamp(a->rto * 2, ADAPTIVE_RTO_MIN_S, ADAPTIVE_RTO_MAX_S);
    a->in_recovery = 0;
    a->ca_acked = 0;
    peer->sending_dupack_count = 0;
    peer->sending_next_seq = peer->sending_lastacked + 1;
    set_window(config, peer, 1);
    a->timer_start = now;
    adaptiveFillWindow(config, peer, now);
}

bool adaptiveCheckTimers(bt_config_t *config, bt_peer_t *peer, double now) {
    if (!peer->sending_active || !peer->sending_adaptive) return true;
    adaptive_t *a = peer->sending_adaptive;
    double reorder = reorder_deadline(peer);
    if (reorder != 0 && now > reorder) enter_fast_recovery(config, peer, now);
    double rto = rto_deadline(peer);
    if (rto == 0 || now <= rto) return true;
    peer->sending_successive_timeouts++;
    if (peer->sending_successive_timeouts >= MAX_RETRANS ||
        now - a->last_progress > ADAPTIVE_GIVE_UP_S) {
        debug_log(DEBUG_ERRS, "Reached MAX_RETRANS  for peer %d.  Killing connection\n", peer->id);
        doneSendingData(config, peer);
        return false;
    }
    on_timeout(config, peer, now);
    return true;
}

// ---- the downloader --------------------------------------------------------------------------

double adaptiveGetWait(const bt_peer_t *peer) {
    if (peer->receiving_get_rtt == 0) return ADAPTIVE_GET_WAIT_INITIAL_S;
    return clamp(3 * peer->receiving_get_rtt, ADAPTIVE_GET_WAIT_MIN_S, ADAPTIVE_GET_WAIT_MAX_S);
}
