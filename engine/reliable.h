// Timeouts, the congestion window, and the checks that give up silent connections.
#pragma once

#include "config/bt_parse.h"

constexpr double RETRANSMIT_TIMEOUT_S = 1.0;    // a packet older than this (strictly) is lost
constexpr int MAX_RETRANS = 20;                 // successive timeouts that end a sending connection
constexpr int DUPACK_LOSS_THRESHOLD = 2;        // a loss when more duplicates than this are counted
constexpr double STALL_TIMEOUT_S = 30.0;        // an active download silent this long is given up
constexpr double GET_ANSWER_TIMEOUT_S = 5.0;    // a GET with no first DATA this long is given up
constexpr double REDISCOVERY_INTERVAL_S = 5.0;  // minimum time between WHOHAS rounds of a download

// Third argument of updateWindow.
constexpr int LOSS_NONE = 0;
constexpr int LOSS_TIMEOUT = 1;
constexpr int LOSS_DUPACK = 2;

// LOSS_NONE grows the window (updateWinOnAck), LOSS_TIMEOUT and LOSS_DUPACK shrink it
// (updateWinOnLoss); the classic profile's window rules.
void updateWindow(bt_config_t *config, bt_peer_t *peer, int loss_type);
// Slow start below the threshold, one packet per window of ACKs above it.
void updateWinOnAck(bt_config_t *config, bt_peer_t *peer);
// Back to the first unacknowledged packet with a window of one and half the threshold.
void updateWinOnLoss(bt_config_t *config, bt_peer_t *peer);
// The classic profile's functions of the transport seam (engine/transport.h): the designed
// window rules above, one packet timeout of RETRANSMIT_TIMEOUT_S per stored packet, a fixed GET
// wait of GET_ANSWER_TIMEOUT_S.
void classicStartConnection(bt_config_t *config, bt_peer_t *peer, double now);
void classicFillWindow(bt_config_t *config, bt_peer_t *peer, double now);
void classicTakeAck(bt_config_t *config, bt_peer_t *peer, int just_acked, double now);
bool classicCheckTimers(bt_config_t *config, bt_peer_t *peer, double now);
double classicNextDeadline(const bt_peer_t *peer);
void classicEndConnection(bt_peer_t *peer);
double classicGetWait(const bt_peer_t *peer);
double classicMoveAfter(const bt_peer_t *peer);
// Downloader: notes the time from a GET to its first DATA, in receiving_get_rtt, and when the
// connection began to bring DATA.
void noteGetAnswered(bt_peer_t *peer, double now);
// Releases every outstanding packet with a sequence number up to sending_lastacked.
void remove_acked(bt_peer_t *peer);

// The timeout scan of every sending connection, then the refill of each: once per loop pass.
void sendTimedOutPacketsAt(bt_config_t *config, double now);
// The receiving side's checks, once per loop pass: stalled downloads, unanswered GETs, chunk
// moves, paused retries, rediscovery and the peers whose pause the scheduling policy ended.
void checkForStalledDownloads(bt_config_t *config, double now);
// Gives up the active downloads that brought nothing for STALL_TIMEOUT_S.
void checkForStalledDownloadsAt(bt_config_t *config, double now);
// A requested connection whose first DATA has not come within its wait (scheduleGetWait) is
// handed to the scheduling policy, whose decision is carried out here: a WHOHAS asking whether
// the peer is there, the GET sent again, announcements forgotten, the connection released. The
// designed rule sends the GET again once after GET_ANSWER_TIMEOUT_S and then gives it up,
// forgetting that peer's announcement of the chunk.
void checkForUnansweredGets(bt_config_t *config, double now);
// Offers a chunk to every peer whose pause the scheduling policy ended.
void wakePausedPeers(bt_config_t *config, double now);
// Ends the uploads the scheduling policy finds nobody takes any more (counted for -x).
void endAbandonedUploads(bt_config_t *config, double now);
// Moves the chunk of a connection that brought no new in-order DATA for the profile's
// move_after time, or that has brought it for that long at a small part of the best rate the
// peer has shown, to an idle peer that announced it; the slow connection is released, so the
// chunk is written once, from whichever connection completes it.
void moveStalledChunks(bt_config_t *config, double now);
// Offers the peers the chunks again once the earliest hash-check pause (retry_due_time) is over.
void retryPausedRequests(bt_config_t *config, double now);
// Asks every other peer again for the chunks of the running download that nobody announced.
void rediscoverMissingChunks(bt_config_t *config, double now);
// The earliest time (seconds, now_seconds clock) at which one of the checks above has work: a
// packet or connection timeout, an unanswered GET, a paused retry or a rediscovery round; 0 when
// nothing is pending.
double nextTimerDeadline(const bt_config_t *config);
