// The adaptive transport profile (--transport adaptive): when and what each side sends, on the
// same packets as the classic profile, so that either profile talks to the other.
//
// Sender: RTT and RTO measured as in RFC 6298 (Karn's rule: no sample from an ACK that covers a
// resent packet), fast retransmit and NewReno recovery (RFC 5681, RFC 6582, with its `recover`
// guard after timeouts too) with a time threshold against reordering (RFC 9002), and during
// recovery a sending rate set by proportional rate reduction (RFC 6937) on an estimate of what has
// left the network in which each duplicate ACK counts only for a packet that was really beyond the
// hole, so duplicated or forged ACKs cannot inflate it. F-RTO (RFC 5682) after timeouts. A window
// of 10 packets at first (RFC 6928), carried from one chunk to the next to the same receiver, reset
// after an idle period (RFC 5681 section 4.1) or when the first ACK of a chunk is late, up to a
// whole chunk; a connection's first flight is paced, so that a carried window does not leave at
// once, at a few times the faster of the window's rate and the rate the receiver acknowledged the
// last chunk at. The window is peer->sending_win and the threshold peer->sending_ssthreash, as in the
// classic profile; the rest lives here. Every function is given the time.
//
// Downloader: a GET that brings no DATA is sent again after a time derived from the GET-to-first-
// DATA times measured from that peer, a few times, before the peer is given up for that chunk; a
// chunk whose sender has made no progress for a while, or far too little, moves to an idle holder
// of it.
#pragma once

#include "config/bt_parse.h"
#include "engine/common.h"

constexpr int ADAPTIVE_INITIAL_WINDOW = 10;             // packets (RFC 6928)
constexpr int ADAPTIVE_MAX_WINDOW = PACKETS_PER_CHUNK;  // packets; more is never in flight
// Duplicate ACKs that, with the first missing packet older than the reordering allowance, start
// a fast retransmit. Fewer would do where every duplicate proves a later packet arrived, but a
// path that duplicates ACKs (or a receiver that does) would then trigger recoveries at will.
// With fewer packets than that in flight, one less than the flight (RFC 5827).
constexpr int ADAPTIVE_DUPACK_THRESHOLD = 3;
// Lower ACKs, repeated over more than the reordering allowance, that take a stray higher ACK back.
constexpr int ADAPTIVE_LOWER_ACK_REPEATS = 3;
// A tail-loss probe (RFC 8985) goes out after this many smoothed RTTs without an ACK, at least
// ADAPTIVE_TLP_MIN_S after the last one.
constexpr double ADAPTIVE_TLP_RTTS = 2.0;
constexpr double ADAPTIVE_TLP_MIN_S = 0.01;
// RTO bounds. The floor keeps loopback paths (RTTs of microseconds) from timing out on a
// scheduling hiccup of a loaded machine; it can sit below TCP's usual 200 ms because receivers
// here acknowledge every packet at once, with no delayed-ACK timer to wait out. The ceiling keeps
// successive timeouts within ADAPTIVE_GIVE_UP_S. RFC 6298's initial 1 s applies before the
// first sample, so a 750 ms one-way path sees at most that one early timeout.
constexpr double ADAPTIVE_RTO_INITIAL_S = 1.0;
constexpr double ADAPTIVE_RTO_MIN_S = 0.05;
constexpr double ADAPTIVE_RTO_MAX_S = 8.0;
constexpr double ADAPTIVE_GIVE_UP_S = 30.0;  // a receiver silent this long is given up
// A GET that comes within this many RTOs of the last connection's end keeps its window; after a
// longer idle period the window restarts from the initial one (RFC 5681 section 4.1).
constexpr double ADAPTIVE_IDLE_RTOS = 3.0;
// Downloader: the first GET waits this long for DATA before any time was measured (a 750 ms
// one-way path answers after 1.5 s); later ones wait three smoothed GET-to-DATA times, within
// the bounds below, and are sent again at most ADAPTIVE_GET_RETRIES times.
constexpr double ADAPTIVE_GET_WAIT_INITIAL_S = 2.0;
constexpr double ADAPTIVE_GET_WAIT_MIN_S = 0.25;
constexpr double ADAPTIVE_GET_WAIT_MAX_S = 5.0;
constexpr int ADAPTIVE_GET_RETRIES = 3;
// A chunk whose sender brought no new in-order DATA for this many GET-to-first-DATA times, and at
// least ADAPTIVE_MOVE_MIN_S, is moved to an idle holder of it (a frozen sender); so is one whose
// sender has brought DATA that long at a small part of its best rate (a crawling one).
constexpr double ADAPTIVE_MOVE_RTTS = 8.0;
constexpr double ADAPTIVE_MOVE_MIN_S = 1.0;

// The adaptive sender's state for one receiver; the peer record owns it from its first GET on.
struct adaptive_s {
    double srtt;            // seconds; smoothed RTT, 0 before the first sample
    double rttvar;          // seconds
    double rto;             // seconds; backed off by successive timeouts
    double timer_start;     // seconds; the retransmission timer runs from here while data is out
    double last_progress;   // seconds; last new ACK (or the connection's start)
    double last_activity;   // seconds; last packet sent or ACK taken, for the idle reset
    int carried_win;        // window at the end of the last connection, packets
    int carried_ssthresh;   // threshold at the end of the last connection, packets
    int in_recovery;        // truth value: fast recovery after a fast retransmit
    int recover;            // highest seq sent when recovery began; a full ACK reaches it
    int ca_acked;           // packets acknowledged towards the next avoidance increase
    int undo_win;           // window and threshold before the last timeout, restored when
    int undo_ssthresh;      // F-RTO shows it spurious
    int recover_fs;         // packets in flight when recovery began (RFC 6937's RecoverFS)
    int rec_delivered;      // packets beyond the hole that duplicate ACKs showed delivered
    int rec_credit;         // packets beyond the hole that may still be shown delivered
    int rec_excess;         // duplicate ACKs beyond that since the hole was last resent
    int prr_delivered;      // packets delivered since recovery began
    int prr_out;            // packets sent since recovery began
    int prr_allowed;        // packets recovery may send now
    int frto;               // after a timeout: 0 settled, 1 awaiting the first new ACK,
                            // 2 awaiting the second (RFC 5682's F-RTO)
    int frto_resent;        // the one packet a timeout resends
    double timeout_time;    // seconds; when the last timeout fired
    int timeout_highest;    // highest seq sent before it
    int dupacks_to_ignore;  // duplicate ACKs that copies resent in vain are still due to cause
    int lower_ack;          // an ACK below sending_lastacked that keeps coming
    int lower_ack_count;    // times it came
    double lower_ack_time;  // seconds; when it first came
    double conn_start;      // seconds; when the running connection began
    int first_ack_seen;     // truth value: the running connection has had an ACK
    double first_ack_time;  // seconds; when it came
    int first_ack_value;    // what it acknowledged
    double carried_rate;    // packets per second the receiver acknowledged over the last whole
                            // connection, from its first ACK to its last; 0 when unknown
    double pace_tokens;     // packets that may leave now (paced sending)
    double pace_time;       // seconds; when the tokens were last counted
    int tlp_sent;           // truth value: a tail-loss probe went out since the last new ACK
    double sent_time[PACKETS_PER_CHUNK + 1];  // seconds; last send of each seq of this chunk
    uint8_t sends[PACKETS_PER_CHUNK + 1];     // times each seq was sent (saturating)
};
typedef struct adaptive_s adaptive_t;

// Starts the adaptive state of a sending connection that initializeNewSendingConnection began:
// creates the peer's record on its first connection, carries window and RTT from the last one.
void adaptiveStartConnection(bt_config_t *config, bt_peer_t *peer, double now);
// Keeps the window of an ending connection for the next one to the same receiver.
void adaptiveEndConnection(bt_peer_t *peer);
// Sends new packets while the window has room.
void adaptiveFillWindow(bt_config_t *config, bt_peer_t *peer, double now);
// Takes one ACK, already checked to belong to the running connection.
void adaptiveHandleAck(bt_config_t *config, bt_peer_t *peer, int just_acked, double now);
// Runs the retransmission timer and the reordering-tolerant loss check; false when the
// connection was given up (which may end the process under -x).
bool adaptiveCheckTimers(bt_config_t *config, bt_peer_t *peer, double now);
// The earliest time at which adaptiveCheckTimers has something to do; 0 when nothing is due.
double adaptiveNextDeadline(const bt_peer_t *peer);

// Downloader: how long a GET to peer may wait for its first DATA before it is sent again.
double adaptiveGetWait(const bt_peer_t *peer);
// Downloader: how long a connection from peer may go without progress before its chunk moves to
// an idle holder.
double adaptiveMoveAfter(const bt_peer_t *peer);
