// --swarm's scheduling policy (SWARM_POLICY of engine/schedule): a downloader serves what it has
// downloaded, tells the peers that asked for a chunk when it gets it, fetches the rarest chunks
// first, shares its upload among a few requesters at a time, asks a second holder for the last
// chunks when their sender is slow, and resumes an existing output file. Its GET rules are with
// the designed ones in engine/schedule. The wire format is the same either way.
#pragma once

#include <cstdio>

#include "config/bt_parse.h"
#include "engine/common.h"
#include "engine/schedule.h"

constexpr int SWARM_MAX_WANTED = 4096;        // hashes remembered per asking peer
constexpr double SWARM_WANTED_TTL_S = 300.0;  // an asker not heard from this long is forgotten
// An upload that has had no ACK this long no longer holds one of the upload slots: its receiver
// has gone or moved on.
constexpr double SWARM_SLOT_IDLE_S = 1.0;
// A waiting GET is served while its asker still sends it: last sent this recently.
constexpr double SWARM_WAIT_FRESH_S = 1.0;
// DATA carries no chunk: an upload that outlives its asker's interest (a GET it gave up, served
// late from the queue; a copy the end game dropped) must never reach the buffer of the next chunk
// the asker asks of that uploader. The uploader ends an upload that has drawn no ACK at all for
// SWARM_FIRST_ACK_S, or none for SWARM_UPLOAD_ABANDONED_S (its asker ACKs every DATA it takes);
// the asker, after DATA from a peer it fetches nothing from, asks that peer for nothing until it
// has been quiet for SWARM_STRAY_QUIET_S.
constexpr double SWARM_FIRST_ACK_S = 1.0;
constexpr double SWARM_UPLOAD_ABANDONED_S = 3.0;
constexpr double SWARM_STRAY_QUIET_S = 1.0;
// A GET for another chunk than the running upload's, coming while that upload is being taken (an
// ACK, or its start, this recently), is a late copy of a GET sent while the asker waited in the
// queue: served, it would switch the upload and splice the other chunk's DATA into the one the
// asker receives. An asker that really moved on has stopped acknowledging, and sends its GET again.
constexpr double SWARM_LATE_GET_S = 0.2;
// End game: once every chunk left is being fetched, an idle holder may fetch a second copy of a
// chunk whose connection has run this long; never more than two copies at once.
constexpr double SWARM_ENDGAME_MIN_AGE_S = 0.5;
constexpr int SWARM_MAX_COPIES = 2;

// A WHOHAS from `from` asked for requests: the hashes the store lacks are remembered for that
// peer (when it is listed), to be announced to it once this peer has them.
void swarm_note_whohas(bt_config_t *config, struct sockaddr_in *from, const chunkitem *requests,
                       double now);
// A verified chunk of the running download was written (length bytes): it becomes servable.
void swarm_chunk_written(bt_config_t *config, bt_peer_t *from, const chunkitem *chunk,
                         int length);
// Whether peer asked for chunk (recently) and so is to be sent an IHAVE for it; it is told once.
bool swarm_tell_of_chunk(bt_config_t *config, bt_peer_t *peer, const chunkitem *chunk,
                         double now);
// Whether a GET from peer for hash is served now: when an upload slot is free (not held by
// another upload that makes progress) and no other GET is to go first (see swarm_next_waiting);
// a chunk this peer does not serve is refused at once. Otherwise the GET waits; the caller has
// ended a running upload to peer, whose new GET is queued like any other.
bool swarm_may_serve(bt_config_t *config, bt_peer_t *peer, const uint8_t *hash, double now);
// Whether a GET from peer for hash repeats the one its running upload serves, sent again before
// any of that upload's DATA reached it: such a GET does not restart the upload.
bool swarm_get_repeated(const bt_peer_t *peer, const uint8_t *hash);
// The waiting GET to serve now, its wait over: the one for the chunk uploaded least often, and
// among those the one that has waited longest; nullptr when none waits or no slot is free.
bt_peer_t *swarm_next_waiting(bt_config_t *config, double now);
// The chunk to ask of the idle peer: among the chunks still to fetch that it announced and that
// nobody fetches, one with the fewest announcing peers, random among equals; in the end game a
// chunk another peer is slow to deliver. nullptr when there is none or the peer is paused.
chunkitem *swarm_choose_chunk(bt_config_t *config, bt_peer_t *peer, double now);
// Whether a GET from peer for hash is a late copy (see SWARM_LATE_GET_S).
bool swarm_get_late(const bt_peer_t *peer, const uint8_t *hash, double now);
// DATA came from peer for no connection: an idle peer is paused until it has been quiet for
// SWARM_STRAY_QUIET_S.
void swarm_stray_data(bt_peer_t *peer, double now);
// Whether the running upload to peer has been left by its asker (see SWARM_FIRST_ACK_S).
bool swarm_upload_abandoned(const bt_peer_t *peer, double now);
// The end of the earliest pause of a peer (busy_until) while a download runs; 0: none.
double swarm_next_deadline(const bt_config_t *config);
// A peer whose pause is over, its pause cleared; nullptr: none.
bt_peer_t *swarm_pause_ended(bt_config_t *config, double now);
// Every chunk still to fetch is asked for again at each rediscovery round.
bool swarm_ask_again(bool being_fetched, bool announced);
// The output file of a GET: an existing file is opened for update, so that its good chunks can
// be kept, and created otherwise. nullptr with errno set on failure.
FILE *swarm_open_output(const char *path);
// After the GET's output is open: every chunk of to_fetch_list whose bytes are already in the
// output file is taken off the list and served. A new list of them, for the caller to announce
// and free; nullptr when none.
chunkitem *swarm_resume(bt_config_t *config);
// Before the output of a completed download is closed: a file that was longer than its chunks
// (an older, longer file resumed) is cut to the end of its last chunk.
void swarm_download_finishing(bt_config_t *config);
