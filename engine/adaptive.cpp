#include "engine/adaptive.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/debug.h"
#include "engine/create.h"
#include "engine/reliable.h"
#include "engine/time_util.h"
#include "engine/transport.h"

// RFC 6298 gains and RFC 9002's reordering threshold (9/8 of the RTT).
constexpr double RTT_ALPHA = 0.125;
constexpr double RTT_BETA = 0.25;
constexpr double REORDER_THRESHOLD = 9.0 / 8.0;
constexpr int SLOW_START_MAX_STEP = 2;  // packets per ACK (RFC 3465's limit L)
// Pacing of a connection's first flight: packets leave at this multiple of the faster of
// window/srtt (the window in a quarter of an RTT) and the rate at which the receiver acknowledged
// the last chunk, and at most PACE_BURST of them back to back. A path that took the last chunk
// faster than its window's rate (no bottleneck, a long RTT) lets each chunk's flight leave faster
// than the one before; through a bottleneck the ACKs come at its rate, and the flight leaves at a
// few times that.
constexpr double PACE_GAIN = 4.0;
// A chunk's ACKs that all came within this span are taken to have come over it.
constexpr double RATE_MIN_SPAN_S = 0.001;
constexpr double PACE_BURST = ADAPTIVE_INITIAL_WINDOW;
// The event loop wakes about a millisecond after a deadline at best: at rates above
// PACE_BURST per wake, what the pacing earned over this long may leave at once, or the pacing
// would hold the flight to PACE_BURST a wake whatever its rate.
constexpr double PACE_WAKE_GAP_S = 0.002;
constexpr double PACE_WAKE_BATCH = 4;  // packets the pacing timer waits to let out together

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
    } else {
        double err = a->srtt - rtt;
        a->rttvar = (1 - RTT_BETA) * a->rttvar + RTT_BETA * (err < 0 ? -err : err);
        a->srtt = (1 - RTT_ALPHA) * a->srtt + RTT_ALPHA * rtt;
    }
    a->rto = clamp(a->srtt + 4 * a->rttvar, ADAPTIVE_RTO_MIN_S, ADAPTIVE_RTO_MAX_S);
}

// ---- sending ---------------------------------------------------------------------------------

// Sends packet seq of the chunk (new or again) and notes when; a packet sent before is resent.
static void send_seq(bt_config_t *config, bt_peer_t *peer, int seq, double now) {
    adaptive_t *a = peer->sending_adaptive;
    if (!queueDataPacket(config, peer, seq)) return;
    debug_log(DEBUG_SEQ | DEBUG_ALL, "Sending seq = %d \n", seq);
    if (flight_size(peer) <= 0 || a->timer_start == 0) a->timer_start = now;
    if (a->sends[seq] > 0) config->retransmissions++;
    if (a->sends[seq] < UINT8_MAX) a->sends[seq]++;
    a->sent_time[seq] = now;
    a->last_activity = now;
    if (a->in_recovery) {
        a->prr_out++;
        if (a->prr_allowed > 0) a->prr_allowed--;
    }
    if (seq > peer->sending_highest_seq) peer->sending_highest_seq = seq;
}

static bool in_slow_start(const bt_peer_t *peer) {
    return peer->sending_win < peer->sending_ssthreash;
}

// Packets per second the pacing lets out. Only a connection's first flight is paced: the
// window it carried would otherwise leave in one burst on the GET, while once ACKs come back
// they clock the sending (and pacing them too halves a loss-free transfer on a busy machine,
// whose loop cannot wake often enough). 0: no pacing (no RTT sample yet, or ACKs flowing).
static double pace_rate(const bt_peer_t *peer) {
    const adaptive_t *a = peer->sending_adaptive;
    if (a->srtt <= 0 || a->first_ack_seen) return 0;
    double window_rate = peer->sending_win / a->srtt;
    return PACE_GAIN * (a->carried_rate > window_rate ? a->carried_rate : window_rate);
}

// The connection's first ACK (or the moment it was given up on), from which its rate is measured.
static void note_first_ack(adaptive_t *a, int acked, double now) {
    a->first_ack_seen = 1;
    a->first_ack_time = now;
    a->first_ack_value = acked;
}

// Called as the last ACK of a chunk comes: the rate the receiver took the chunk at, from the
// connection's first ACK on (before it the GET and the path's delay count, not the rate).
static void note_delivery_rate(adaptive_t *a, double now) {
    double span = now - a->first_ack_time;
    if (span < RATE_MIN_SPAN_S) span = RATE_MIN_SPAN_S;
    a->carried_rate = (PACKETS_PER_CHUNK - a->first_ack_value) / span;
}

// Counts the tokens the pacing has earned since it last counted, at most a burst; false when
// nothing is paced yet (no RTT sample).
static bool count_pace_tokens(const bt_peer_t *peer, adaptive_t *a, double now) {
    double rate = pace_rate(peer);
    if (now > a->pace_time) a->pace_tokens += (now - a->pace_time) * rate;
    double burst = rate * PACE_WAKE_GAP_S > PACE_BURST ? rate * PACE_WAKE_GAP_S : PACE_BURST;
    if (a->pace_tokens > burst) a->pace_tokens = burst;
    a->pace_time = now;
    return rate > 0;
}

static bool has_new_packet(const bt_peer_t *peer) {
    return peer->sending_active && peer->sending_next_seq <= PACKETS_PER_CHUNK;
}

// Whether the window (or, in recovery, the rate reduction) lets one more new packet out.
static bool window_has_room(const bt_peer_t *peer) {
    const adaptive_t *a = peer->sending_adaptive;
    if (a->in_recovery) return a->prr_allowed > 0;
    return flight_size(peer) < peer->sending_win;
}

void adaptiveFillWindow(bt_config_t *config, bt_peer_t *peer, double now) {
    adaptive_t *a = peer->sending_adaptive;
    bool paced = count_pace_tokens(peer, a, now);
    while (has_new_packet(peer) && window_has_room(peer) && (!paced || a->pace_tokens >= 1)) {
        int seq = peer->sending_next_seq++;
        send_seq(config, peer, seq, now);
        if (paced) a->pace_tokens -= 1;
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
        // Idle for a while: what the window and the rate said about the path may be stale.
        if (a->carried_win > ADAPTIVE_INITIAL_WINDOW) a->carried_win = ADAPTIVE_INITIAL_WINDOW;
        a->carried_rate = 0;
    }
    // A timeout of the last connection backed the RTO off; this one starts from the estimate.
    if (a->srtt > 0)
        a->rto = clamp(a->srtt + 4 * a->rttvar, ADAPTIVE_RTO_MIN_S, ADAPTIVE_RTO_MAX_S);
    a->in_recovery = 0;
    a->recover = 0;
    a->ca_acked = 0;
    a->timer_start = 0;
    a->frto = 0;
    a->dupacks_to_ignore = 0;
    a->lower_ack_count = 0;
    a->last_progress = now;
    a->last_activity = now;
    a->conn_start = now;
    a->first_ack_seen = 0;
    a->tlp_sent = 0;
    a->pace_time = now;
    a->pace_tokens = PACE_BURST;
    memset(a->sends, 0, sizeof a->sends);
    peer->sending_ssthreash = a->carried_ssthresh;
    set_window(config, peer, a->carried_win);
}

void adaptiveEndConnection(bt_peer_t *peer) {
    adaptive_t *a = peer->sending_adaptive;
    if (!a) return;
    // In an unfinished recovery the window already is the reduced one.
    a->carried_win = peer->sending_win;
    a->carried_ssthresh = peer->sending_ssthreash;
    a->in_recovery = 0;
}

// ---- loss recovery ---------------------------------------------------------------------------

// RFC 5827's early retransmit: a small flight cannot bring three duplicates.
static int dupack_threshold(const bt_peer_t *peer) {
    int flight = flight_size(peer);
    if (flight > ADAPTIVE_DUPACK_THRESHOLD || flight < 2) return ADAPTIVE_DUPACK_THRESHOLD;
    return flight - 1;
}

// The first unacknowledged packet counts as lost only once it is older than the reordering
// threshold: packets overtaken by a few others on a jittery path are not lost.
static bool first_unacked_overdue(const bt_peer_t *peer, double now) {
    const adaptive_t *a = peer->sending_adaptive;
    int una = peer->sending_lastacked + 1;
    if (una > PACKETS_PER_CHUNK || a->srtt == 0) return true;
    return now - a->sent_time[una] > REORDER_THRESHOLD * a->srtt + a->rttvar;
}

// When the first unacknowledged packet, shown missing, becomes older than reordering explains:
// outside recovery once enough duplicates came, in recovery once a packet sent after its resend
// was shown delivered.
static double reorder_deadline(const bt_peer_t *peer) {
    const adaptive_t *a = peer->sending_adaptive;
    if (a->in_recovery) {
        if (a->rec_excess == 0) return 0;
    } else if (peer->sending_dupack_count < dupack_threshold(peer) ||
               peer->sending_lastacked < a->recover) {
        return 0;
    }
    int una = peer->sending_lastacked + 1;
    if (una > PACKETS_PER_CHUNK || a->srtt == 0) return 0;
    return a->sent_time[una] + REORDER_THRESHOLD * a->srtt + a->rttvar;
}

// Whether a deadline of the functions above (0: none) has passed.
static bool past(double deadline, double now) {
    return deadline != 0 && now > deadline;
}

// RFC 6937: while more is in flight than the threshold, send in proportion to what was delivered
// (ssthresh/RecoverFS of it); below it, catch up towards the threshold, one packet more than was
// delivered at a time. `delivered` is what the ACK just taken showed delivered.
static void set_recovery_allowance(bt_peer_t *peer, int delivered) {
    adaptive_t *a = peer->sending_adaptive;
    int pipe = flight_size(peer) - a->rec_delivered;
    int ssthresh = peer->sending_ssthreash;
    long allowed;
    if (pipe > ssthresh) {
        long target = (static_cast<long>(a->prr_delivered) * ssthresh + a->recover_fs - 1) /
                      (a->recover_fs > 0 ? a->recover_fs : 1);
        allowed = target - a->prr_out;
    } else {
        long behind = a->prr_delivered - a->prr_out;
        allowed = (behind > delivered ? behind : delivered) + 1;
        if (allowed > ssthresh - pipe) allowed = ssthresh - pipe;
    }
    a->prr_allowed = allowed > 0 ? static_cast<int>(allowed) : 0;
}

// One duplicate ACK shows one packet beyond the hole delivered, but only as many as were sent
// beyond it when the hole was resent: the others come from packets sent after the resend
// (or are copies, or forged), and count only as a sign that the resend was lost.
static int count_delivered_by_dupack(adaptive_t *a) {
    if (a->rec_credit <= 0) {
        a->rec_excess++;
        return 0;
    }
    a->rec_credit--;
    a->rec_delivered++;
    a->prr_delivered++;
    return 1;
}

static void enter_fast_recovery(bt_config_t *config, bt_peer_t *peer, double now) {
    adaptive_t *a = peer->sending_adaptive;
    a->in_recovery = 1;
    a->recover = peer->sending_highest_seq;
    a->recover_fs = flight_size(peer);
    a->rec_credit = flight_size(peer) - 1;
    a->rec_delivered = 0;
    a->rec_excess = 0;
    a->prr_delivered = 0;
    a->prr_out = 0;
    a->prr_allowed = 0;
    for (int i = 0; i < peer->sending_dupack_count; i++) count_delivered_by_dupack(a);
    peer->sending_ssthreash = max_int(flight_size(peer) / 2, 2);
    debug_log(DEBUG_WINDOW, "Dup Ack loss seq = %d\n", peer->sending_lastacked);
    set_window(config, peer, peer->sending_ssthreash);
    send_seq(config, peer, peer->sending_lastacked + 1, now);
    a->timer_start = now;
    set_recovery_allowance(peer, 0);
}

// A partial ACK (RFC 6582): the next hole is lost too and is resent at once. The packets it
// acknowledges beyond the old hole were already counted as delivered by their duplicate ACKs.
static void take_partial_ack(bt_config_t *config, bt_peer_t *peer, int newly, double now) {
    adaptive_t *a = peer->sending_adaptive;
    int counted = newly - 1 < a->rec_delivered ? newly - 1 : a->rec_delivered;
    a->rec_delivered -= counted;
    a->prr_delivered += newly - counted;
    a->rec_credit = peer->sending_highest_seq - peer->sending_lastacked - 1 - a->rec_delivered;
    if (a->rec_credit < 0) a->rec_credit = 0;
    a->rec_excess = 0;
    send_seq(config, peer, peer->sending_lastacked + 1, now);
    set_recovery_allowance(peer, newly - counted);
}

static void end_recovery(bt_config_t *config, bt_peer_t *peer) {
    adaptive_t *a = peer->sending_adaptive;
    a->in_recovery = 0;
    a->rec_delivered = 0;
    a->ca_acked = 0;
    set_window(config, peer, peer->sending_ssthreash);
}

// F-RTO (RFC 5682): after a timeout only the first unacknowledged packet is resent. Should the
// ACK of exactly that packet be followed by an ACK of a packet sent before the timeout and never
// resent, the originals were arriving all along (a path whose RTT exceeds the RTO before its first
// sample, or a delay spike): the timeout's reduction is taken back, nothing more is resent, and
// the one duplicate ACK the resent copy causes is not taken for a loss. An ACK that jumps past the
// resent packet at once, or a duplicate ACK, confirms the loss. True when the ACK was taken here.
static bool frto_take_ack(bt_config_t *config, bt_peer_t *peer, int just_acked, double now) {
    adaptive_t *a = peer->sending_adaptive;
    // With no packet left that was never sent, F-RTO cannot probe (RFC 5682 section 2.1): the
    // timeout is taken as real and recovery goes on conventionally.
    if (a->frto == 1 && a->timeout_highest >= PACKETS_PER_CHUNK) {
        a->frto = 0;
        return false;
    }
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

// Karn's rule: an ACK times the path only when every packet it covers was sent exactly once in
// this connection; a resent hole among them would make the sample an RTO too long.
static bool covers_only_single_sends(const adaptive_t *a, int from, int to) {
    for (int seq = from; seq <= to; seq++) {
        if (a->sends[seq] != 1) return false;
    }
    return true;
}

static void grow_window(bt_config_t *config, bt_peer_t *peer, int newly) {
    adaptive_t *a = peer->sending_adaptive;
    if (in_slow_start(peer)) {
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

static void take_new_ack(bt_config_t *config, bt_peer_t *peer, int just_acked, double now) {
    adaptive_t *a = peer->sending_adaptive;
    int newly = just_acked - peer->sending_lastacked;
    if (!a->in_recovery && covers_only_single_sends(a, peer->sending_lastacked + 1, just_acked))
        take_rtt_sample(peer, a, now - a->sent_time[just_acked]);
    peer->sending_lastacked = just_acked;
    peer->sending_dupack_count = 0;
    peer->sending_successive_timeouts = 0;
    a->lower_ack_count = 0;
    a->tlp_sent = 0;
    a->last_progress = now;
    a->timer_start = now;
    if (peer->sending_next_seq <= just_acked) peer->sending_next_seq = just_acked + 1;
    if (a->frto && frto_take_ack(config, peer, just_acked, now)) return;
    if (a->in_recovery) {
        if (just_acked >= a->recover) {
            end_recovery(config, peer);
        } else {
            take_partial_ack(config, peer, newly, now);
        }
        return;
    }
    grow_window(config, peer, newly);
}

// In recovery, a duplicate ACK from a packet sent after the hole's resend, the resend being older
// than reordering explains: the resend was lost too (RFC 8985's rule for lost retransmissions).
// It goes out again, without a further reduction: the loss is the one being recovered from.
static void resend_lost_resend(bt_config_t *config, bt_peer_t *peer, double now) {
    adaptive_t *a = peer->sending_adaptive;
    debug_log(DEBUG_LOSS, "resend of %d to peer %d lost \n", peer->sending_lastacked + 1, peer->id);
    a->rec_excess = 0;
    send_seq(config, peer, peer->sending_lastacked + 1, now);
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
        int delivered = count_delivered_by_dupack(a);
        if (past(reorder_deadline(peer), now)) {
            resend_lost_resend(config, peer, now);
            return;
        }
        set_recovery_allowance(peer, delivered);
        return;
    }
    // RFC 6582's guard: duplicates of packets sent before the last recovery or timeout began
    // tell of that loss, not of a new one.
    if (peer->sending_lastacked < a->recover) return;
    // After a tail-loss probe one duplicate is enough (RFC 8985): the path has been silent for
    // two RTTs, and the hole is older than reordering explains.
    bool enough = peer->sending_dupack_count >= dupack_threshold(peer) || a->tlp_sent;
    if (enough && first_unacked_overdue(peer, now)) enter_fast_recovery(config, peer, now);
}

// Back to the first packet the receiver misses with a window of one, as after a timeout; what
// was sent before counts as recovered once the receiver acknowledges past it (RFC 6582).
static void go_back_to_first_hole(bt_config_t *config, bt_peer_t *peer, double now) {
    adaptive_t *a = peer->sending_adaptive;
    a->recover = peer->sending_highest_seq;
    a->in_recovery = 0;
    a->ca_acked = 0;
    peer->sending_dupack_count = 0;
    peer->sending_next_seq = peer->sending_lastacked + 1;
    set_window(config, peer, 1);
    a->timer_start = now;
}

// An ACK below one taken before. Reordered old ACKs come once each; a receiver that keeps
// acknowledging the same lower number for longer than reordering lasts holds only that much:
// the higher ACK was stray (a late one of an earlier connection, or forged), and the sender goes
// back to the first packet the receiver misses, as after a timeout.
static void take_lower_ack(bt_config_t *config, bt_peer_t *peer, int just_acked, double now) {
    adaptive_t *a = peer->sending_adaptive;
    if (a->lower_ack_count == 0 || just_acked != a->lower_ack) {
        a->lower_ack = just_acked;
        a->lower_ack_count = 0;
        a->lower_ack_time = now;
    }
    a->lower_ack_count++;
    double reorder_span = a->srtt + 4 * a->rttvar;
    if (a->lower_ack_count < ADAPTIVE_LOWER_ACK_REPEATS || now - a->lower_ack_time <= reorder_span)
        return;
    debug_log(DEBUG_LOSS, "peer %d acknowledges %d, below %d: going back \n", peer->id, just_acked,
              peer->sending_lastacked);
    peer->sending_ssthreash = max_int(peer->sending_win / 2, 2);
    peer->sending_lastacked = just_acked;
    a->lower_ack_count = 0;
    a->frto = 0;
    go_back_to_first_hole(config, peer, now);
}

void adaptiveHandleAck(bt_config_t *config, bt_peer_t *peer, int just_acked, double now) {
    adaptive_t *a = peer->sending_adaptive;
    a->last_activity = now;
    if (!a->first_ack_seen) note_first_ack(a, just_acked, now);
    if (just_acked > peer->sending_lastacked) {
        take_new_ack(config, peer, just_acked, now);
    } else if (just_acked == peer->sending_lastacked) {
        take_duplicate_ack(config, peer, now);
    } else {
        take_lower_ack(config, peer, just_acked, now);
    }
    if (peer->sending_lastacked >= PACKETS_PER_CHUNK) {
        note_delivery_rate(a, now);
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

// RFC 8985's probe timeout: a tail of packets lost whole brings no duplicate ACK, and would
// wait for the RTO. A probe after two RTTs draws one (or completes the chunk).
static double tlp_deadline(const bt_peer_t *peer) {
    const adaptive_t *a = peer->sending_adaptive;
    if (a->srtt == 0 || a->tlp_sent || a->in_recovery || a->frto) return 0;
    double rto = rto_deadline(peer);
    if (rto == 0) return 0;
    double pto = ADAPTIVE_TLP_RTTS * a->srtt;
    if (pto < ADAPTIVE_TLP_MIN_S) pto = ADAPTIVE_TLP_MIN_S;
    double deadline = a->timer_start + pto;
    return deadline < rto ? deadline : 0;
}

// Two RTTs without progress, and a duplicate ACK (a later packet delivered) with the hole older
// than reordering explains: the hole is lost, whatever the count of duplicates (RFC 8985).
static bool hole_shown_lost(const bt_peer_t *peer, double now) {
    const adaptive_t *a = peer->sending_adaptive;
    return peer->sending_dupack_count > 0 && peer->sending_lastacked >= a->recover &&
           first_unacked_overdue(peer, now);
}

// The probe: a packet never sent if there is one, else the highest sent again.
static void send_tail_loss_probe(bt_config_t *config, bt_peer_t *peer, double now) {
    adaptive_t *a = peer->sending_adaptive;
    a->tlp_sent = 1;
    debug_log(DEBUG_LOSS, "tail-loss probe to peer %d \n", peer->id);
    if (has_new_packet(peer)) {
        send_seq(config, peer, peer->sending_next_seq++, now);
    } else {
        send_seq(config, peer, peer->sending_highest_seq, now);
    }
}

// When the pacing lets the next packet out, if the window has room for it.
static double pace_deadline(const bt_peer_t *peer) {
    const adaptive_t *a = peer->sending_adaptive;
    double rate = pace_rate(peer);
    if (rate == 0 || a->pace_tokens >= 1 || !has_new_packet(peer) || !window_has_room(peer))
        return 0;
    return a->pace_time + (PACE_WAKE_BATCH - a->pace_tokens) / rate;
}

// A carried window is a guess about a path last seen a while ago: when the first ACK of the
// connection is later than an RTT (with its usual variation) allows, the guess is dropped.
static double first_ack_deadline(const bt_peer_t *peer) {
    const adaptive_t *a = peer->sending_adaptive;
    if (a->first_ack_seen || a->srtt == 0 || peer->sending_win <= ADAPTIVE_INITIAL_WINDOW) return 0;
    double wait = a->srtt + 4 * a->rttvar;
    if (wait < 2 * a->srtt) wait = 2 * a->srtt;
    return a->conn_start + wait;
}

static void earliest(double *deadline, double t) {
    if (t != 0 && (*deadline == 0 || t < *deadline)) *deadline = t;
}

double adaptiveNextDeadline(const bt_peer_t *peer) {
    if (!peer->sending_active || !peer->sending_adaptive) return 0;
    double deadline = 0;
    earliest(&deadline, rto_deadline(peer));
    earliest(&deadline, reorder_deadline(peer));
    earliest(&deadline, pace_deadline(peer));
    earliest(&deadline, first_ack_deadline(peer));
    earliest(&deadline, tlp_deadline(peer));
    return deadline;
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
    go_back_to_first_hole(config, peer, now);
    send_seq(config, peer, peer->sending_next_seq++, now);  // not held back by the pacing
}

static bool give_up_due(const bt_peer_t *peer, double now) {
    const adaptive_t *a = peer->sending_adaptive;
    return peer->sending_successive_timeouts >= MAX_RETRANS ||
           now - a->last_progress > ADAPTIVE_GIVE_UP_S;
}

bool adaptiveCheckTimers(bt_config_t *config, bt_peer_t *peer, double now) {
    if (!peer->sending_active || !peer->sending_adaptive) return true;
    adaptive_t *a = peer->sending_adaptive;
    if (past(first_ack_deadline(peer), now)) {
        debug_log(DEBUG_LOSS, "no ACK from peer %d within an RTT: window back to %d \n", peer->id,
                  ADAPTIVE_INITIAL_WINDOW);
        note_first_ack(a, peer->sending_lastacked, now);  // checked once per connection
        set_window(config, peer, ADAPTIVE_INITIAL_WINDOW);
    }
    if (past(reorder_deadline(peer), now)) {
        if (a->in_recovery) {
            resend_lost_resend(config, peer, now);
        } else {
            enter_fast_recovery(config, peer, now);
            adaptiveFillWindow(config, peer, now);  // what the rate reduction allows at once
        }
    }
    if (past(tlp_deadline(peer), now)) {
        if (hole_shown_lost(peer, now)) {
            enter_fast_recovery(config, peer, now);
        } else {
            send_tail_loss_probe(config, peer, now);
        }
    }
    if (past(rto_deadline(peer), now)) {
        peer->sending_successive_timeouts++;
        if (give_up_due(peer, now)) {
            debug_log(DEBUG_ERRS, "Reached MAX_RETRANS  for peer %d.  Killing connection\n",
                      peer->id);
            doneSendingData(config, peer);
            return false;
        }
        on_timeout(config, peer, now);
    }
    // What the pacing held back; once ACKs flow they do the filling, not every pass of the loop.
    if (pace_rate(peer) > 0) adaptiveFillWindow(config, peer, now);
    return true;
}

// ---- the downloader --------------------------------------------------------------------------

double adaptiveGetWait(const bt_peer_t *peer) {
    if (peer->receiving_get_rtt == 0) return ADAPTIVE_GET_WAIT_INITIAL_S;
    return clamp(3 * peer->receiving_get_rtt, ADAPTIVE_GET_WAIT_MIN_S, ADAPTIVE_GET_WAIT_MAX_S);
}

double adaptiveMoveAfter(const bt_peer_t *peer) {
    double wait = ADAPTIVE_MOVE_RTTS * peer->receiving_get_rtt;
    return wait > ADAPTIVE_MOVE_MIN_S ? wait : ADAPTIVE_MOVE_MIN_S;
}

const transport_profile_t ADAPTIVE_PROFILE = {
    .name = "adaptive",
    .start = adaptiveStartConnection,
    .fill = adaptiveFillWindow,
    .take_ack = adaptiveHandleAck,
    .check_timers = adaptiveCheckTimers,
    .next_deadline = adaptiveNextDeadline,
    .end = adaptiveEndConnection,
    .get_wait = adaptiveGetWait,
    .get_retries = ADAPTIVE_GET_RETRIES,
    .move_after = adaptiveMoveAfter,
    .receives_in_batches = true,
};
