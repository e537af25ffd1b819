// --swarm: a downloader serves what it has downloaded, tells the peers that asked for a chunk
// when it gets it, fetches the rarest chunks first, shares its upload among a few requesters at a
// time, asks a second holder for the last chunks when their sender is slow, and resumes an
// existing output file. Every function here does nothing (or what the designed peer does) when
// --swarm is off; the wire format is the same either way.
#pragma once

#include <cstdio>

#include "config/bt_parse.h"
#include "engine/common.h"

constexpr int SWARM_MAX_WANTED = 4096;        // hashes remembered per asking peer
constexpr double SWARM_WANTED_TTL_S = 300.0;  // an asker not heard from this long is forgotten
// An upload that has had no ACK this long no longer holds one of the upload slots: its receiver
// has gone or moved on.
constexpr double SWARM_SLOT_IDLE_S = 1.0;
// An uploader with every slot busy keeps the latest GET of each asker, and serves the one that
// has waited longest as soon as a slot frees, while its asker still sends it (it is fresh). The
// asker sends an unanswered GET again after a short wait (or a few measured GET-to-DATA times, if
// longer), for at most SWARM_GET_PATIENCE_S; then it asks others, and pauses that peer for a
// time that doubles with each GET in a row it gave up, up to the maximum.
constexpr double SWARM_GET_WAIT_S = 0.3;
constexpr double SWARM_GET_RTTS = 3.0;
constexpr double SWARM_WAIT_FRESH_S = 1.0;
constexpr double SWARM_GET_PATIENCE_S = 6.0;
// The first pause outlasts the uploader's memory of the GET given up (SWARM_WAIT_FRESH_S), so
// that an upload of that chunk cannot start once a GET for another one has gone to that peer:
// its first DATA would be taken for the other chunk's.
constexpr double SWARM_BUSY_PAUSE_S = 1.2;
constexpr double SWARM_BUSY_PAUSE_MAX_S = 4.8;
// GETs in a row a peer that is heard from may leave unanswered before its announcement of the
// chunk asked for is forgotten.
constexpr int SWARM_FORGET_AFTER = 2;
// A peer not heard from since a GET to it went out is sent a WHOHAS for that chunk once the GET
// has waited this long, and is taken to have gone (all its announcements forgotten) when it has
// not answered SWARM_PROBE_WAIT_S later.
constexpr double SWARM_PROBE_AFTER_S = 1.0;
constexpr double SWARM_PROBE_WAIT_S = 1.0;
// DATA carries no chunk: an upload that outlives its asker's interest (a GET it gave up, served
// late from the queue; a copy the end game dropped) must never reach the buffer of the next chunk
// the asker asks of that uploader. The uploader ends an upload that has drawn no ACK at all for
// SWARM_FIRST_ACK_S, or none for SWARM_UPLOAD_ABANDONED_S (its asker ACKs every DATA it takes);
// the asker, after DATA from a peer it fetches nothing from, asks that peer for nothing until it
// has been quiet for SWARM_STRAY_QUIET_S.
constexpr double SWARM_FIRST_ACK_S = 1.0;
// A GET for another chunk than the running upload's, coming while that upload is being taken (an
// ACK, or its start, this recently), is a late copy of a GET sent while the asker waited in the
// queue: served, it would switch the upload and splice the other chunk's DATA into the one the
// asker receives. An asker that really moved on has stopped acknowledging, and sends its GET again.
constexpr double SWARM_LATE_GET_S = 0.2;
constexpr double SWARM_UPLOAD_ABANDONED_S = 3.0;
constexpr double SWARM_STRAY_QUIET_S = 1.0;
// End game: once every chunk left is being fetched, an idle holder may fetch a second copy of a
// chunk whose connection has run this long; never more than two copies at once.
constexpr double SWARM_ENDGAME_MIN_AGE_S = 0.5;
constexpr int SWARM_MAX_COPIES = 2;

// What a --swarm peer keeps of another peer; owned by that peer's record.
struct swarm_peer_s {
    chunkitem *wanted;   // hashes it asked for that this peer lacked (owned); newest first
    int wanted_count;    // nodes of wanted
    double wanted_time;  // seconds; its last WHOHAS
    double busy_until;   // seconds; not sent a GET before this; 0: free
    int unanswered;      // GETs to it in a row given up unanswered
    double get_since;    // seconds; when the GET now unanswered was first sent to it
    double probe_time;   // seconds; when a WHOHAS asked whether it is still there; 0: not yet
    int waiting;         // truth value: its GET waits for an upload slot here
    uint8_t wait_hash[HASH_SIZE];  // the chunk that GET asks for
    double wait_since;             // seconds; when it began to wait
    double wait_last;              // seconds; when it last sent that GET
};
typedef struct swarm_peer_s swarm_peer_t;

// A WHOHAS from `from` asked for requests: the hashes the store lacks are remembered for that
// peer (when it is listed), to be announced to it once this peer has them.
void swarm_note_whohas(bt_config_t *config, struct sockaddr_in *from, const chunkitem *requests,
                       double now);
// A verified chunk of the running download was written (length bytes): it becomes servable and
// every peer that asked for it is sent an IHAVE.
void swarm_chunk_written(bt_config_t *config, bt_peer_t *from, const chunkitem *chunk, int length,
                         double now);
// Whether a GET from peer for hash is served now: always without --swarm; with it, when an
// upload slot is free (not held by another upload that makes progress) and no other GET is to
// go first (see swarm_serve_waiting). Otherwise the GET waits. A running upload to peer ends
// here: its GET is taken as a new request, queued like any other.
bool swarm_may_serve(bt_config_t *config, bt_peer_t *peer, const uint8_t *hash, double now);
// Whether a GET from peer for hash repeats the one its running upload serves, sent again before
// any of that upload's DATA reached it: with --swarm such a GET does not restart the upload.
bool swarm_get_repeated(const bt_config_t *config, const bt_peer_t *peer, const uint8_t *hash);
// Whether, with --swarm, a GET from peer for hash is a late copy (see SWARM_LATE_GET_S).
bool swarm_get_late(const bt_config_t *config, const bt_peer_t *peer, const uint8_t *hash,
                    double now);
// Serves the waiting GETs, longest-waiting first, while upload slots are free; called on every
// pass of the loop.
void swarm_serve_waiting(bt_config_t *config, double now);
// The chunk to ask of the idle peer: among the chunks still to fetch that it announced and that
// nobody fetches, one with the fewest announcing peers, random among equals; in the end game a
// chunk another peer is slow to deliver. nullptr when there is none or the peer is paused.
chunkitem *swarm_choose_chunk(bt_config_t *config, bt_peer_t *peer, double now);
// How long a GET to peer waits for its first DATA: profile_wait without --swarm.
double swarm_get_wait(const bt_config_t *config, const bt_peer_t *peer, double profile_wait);
// A GET to peer went unanswered for swarm_get_wait. With --swarm the peer is taken to be busy:
// the GET is sent again, or, after SWARM_GET_PATIENCE_S, the peer keeps its announcements, is
// paused, and its connection released. 0 when the GET was sent again, 1 when the connection was
// released, -1 without --swarm, where the designed retries apply. A peer silent since the GET,
// that does not answer a WHOHAS either (SWARM_PROBE_AFTER_S), has gone and loses every
// announcement; one heard from that left SWARM_FORGET_AFTER GETs in a row unanswered loses that
// chunk's.
int swarm_get_unanswered(bt_config_t *config, bt_peer_t *peer, double now);
// The end of the earliest pause of a peer (busy_until) while a --swarm download runs; 0: none.
double swarm_next_deadline(const bt_config_t *config);
// Offers a chunk to every peer whose pause is over, and clears its pause.
void swarm_wake_paused(bt_config_t *config, double now);
// DATA came from peer for no connection of ours: with --swarm it is paused until it has been
// quiet for SWARM_STRAY_QUIET_S.
void swarm_note_stray_data(bt_config_t *config, bt_peer_t *peer, double now);
// With --swarm, ends the uploads whose askers take nothing of them (see SWARM_FIRST_ACK_S).
void swarm_end_abandoned_uploads(bt_config_t *config, double now);
// The output file of a GET: created or truncated ("w") without --swarm; with it an existing file
// is opened for update so that its good chunks can be kept. nullptr with errno set on failure.
FILE *swarm_open_output(const bt_config_t *config, const char *path);
// With --swarm, after the GET's output is open: every chunk of to_fetch_list whose bytes are
// already in the output file is taken off the list, served, and announced to every peer. The
// number of chunks kept.
int swarm_resume(bt_config_t *config);
// Before the output of a completed download is closed: with --swarm, a file that was longer than
// its chunks (an older, longer file resumed) is cut to the end of its last chunk.
void swarm_download_finishing(bt_config_t *config);
// Whether the rediscovery round of a download sends a WHOHAS for a chunk still to fetch, given
// whether some peer fetches it and whether some peer announced it. Without --swarm, only when
// neither. With it, always: an IHAVE lost on the way is never sent again, and a chunk that only
// a few busy peers are known to hold, or whose sender crawls, needs every holder known.
bool swarm_ask_again(const bt_config_t *config, bool being_fetched, bool announced);
// Releases what peer's record keeps for --swarm.
void swarm_peer_free(bt_peer_t *peer);
