// The scheduling policy: which chunk a downloader asks of a free peer, how long a GET waits for
// its first DATA and what an unanswered one leads to, how an uploader shares itself among the
// peers that ask, and what a download keeps of an output file already there. There are two, the
// designed peer's and --swarm's (engine/swarm), each one record of functions, chosen once from
// --swarm by schedule_policy; the rest of the engine calls the record and never asks which one
// runs. Policies decide and report; the modules above them send and release.
#pragma once

#include <cstdio>

#include "config/bt_parse.h"
#include "engine/common.h"

constexpr double HASH_RETRY_PAUSE_S = 1.0;   // first pause before a peer whose chunk failed its
                                             // hash check is asked for that chunk again
constexpr int HASH_RETRY_MAX_DOUBLINGS = 5;  // the pause doubles per failure up to 32 s
constexpr int MAX_HASH_FAILURES = 3;         // failures after which a peer is asked for the chunk
                                             // only when no other peer announced it

// --swarm's GET rules. An uploader with every slot busy keeps the latest GET of each asker, and
// serves the one that has waited longest as soon as a slot frees, while its asker still sends it
// (engine/swarm). The asker sends an unanswered GET again after a short wait (or a few measured
// GET-to-DATA times, if longer), for at most SWARM_GET_PATIENCE_S; then it asks others, and
// pauses that peer for a time that doubles with each GET in a row it gave up, up to the maximum.
constexpr double SWARM_GET_WAIT_S = 0.3;
constexpr double SWARM_GET_RTTS = 3.0;
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

// What the policy keeps of another peer; owned by that peer's record, made on first use.
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

// What the peer's announcements lose when a GET to it is given up.
constexpr int FORGET_NONE = 0;
constexpr int FORGET_CHUNK = 1;  // its announcement of the chunk asked for
constexpr int FORGET_ALL = 2;    // everything it announced: it has gone

// What becomes of a GET whose first DATA has not come within its wait, in the order carried out.
struct get_decision_s {
    bool probe;    // send the peer a WHOHAS for the chunk: a live holder answers at once
    bool resend;   // send the GET again, counted in receiving_get_resent, timed from now
    int forget;    // FORGET_*
    bool release;  // give the connection up: the chunk is free for others
};
typedef struct get_decision_s get_decision_t;

struct schedule_policy_s {
    const char *name;  // "designed" or "swarm"

    // ---- the downloader
    // The chunk of to_fetch_list to ask of the free peer; nullptr when there is none for it.
    chunkitem *(*choose_chunk)(bt_config_t *config, bt_peer_t *peer, double now);
    // How long a GET to peer waits for its first DATA, given the transport profile's wait.
    double (*get_wait)(const bt_peer_t *peer, double transport_wait);
    // A GET to peer waited get_wait in vain; the transport allows `retries` resends. The
    // policy's own bookkeeping of the peer is updated here.
    get_decision_t (*get_unanswered)(bt_config_t *config, bt_peer_t *peer, int retries,
                                     double now);
    // Whether the rediscovery round sends a WHOHAS for a chunk still to fetch, given whether some
    // peer fetches it and whether some peer announced it.
    bool (*ask_again)(bool being_fetched, bool announced);
    // The end of the earliest pause of a peer while a download runs; 0: none.
    double (*next_deadline)(const bt_config_t *config);
    // A peer whose pause is over, its pause cleared, to be offered a chunk; nullptr: none.
    bt_peer_t *(*pause_ended)(bt_config_t *config, double now);
    // A verified chunk of the running download, length bytes, was written from `from`.
    void (*chunk_written)(bt_config_t *config, bt_peer_t *from, const chunkitem *chunk,
                          int length);
    // Whether peer is to be sent an IHAVE for a chunk just written (it asked; it is told once).
    bool (*tell_of_chunk)(bt_config_t *config, bt_peer_t *peer, const chunkitem *chunk,
                          double now);
    // The output file of a GET, opened; nullptr with errno set on failure.
    FILE *(*open_output)(const char *path);
    // After the output is open: the chunks of to_fetch_list already there, taken off the list
    // and served; a new list the caller announces to every peer and frees; nullptr: none.
    chunkitem *(*resume)(bt_config_t *config);
    // Before the output of a completed download is closed.
    void (*download_finishing)(bt_config_t *config);

    // ---- the uploader
    // A WHOHAS from `from` asked for requests.
    void (*note_whohas)(bt_config_t *config, struct sockaddr_in *from, const chunkitem *requests,
                        double now);
    // Whether a GET from peer for hash repeats the one its running upload serves, sent again
    // before any of that upload's DATA reached it: it does not restart the upload.
    bool (*get_repeated)(const bt_peer_t *peer, const uint8_t *hash);
    // Whether a GET from peer for hash (its running upload already ended) is served now; false:
    // it waits.
    bool (*may_serve)(bt_config_t *config, bt_peer_t *peer, const uint8_t *hash, double now);
    // The peer whose waiting GET is to be served now, its wait over; nullptr: none or no room.
    bt_peer_t *(*next_waiting)(bt_config_t *config, double now);

    // ---- DATA that belongs to no connection (the wire's DATA names no chunk)
    // Whether a GET from peer for hash, another chunk than its running upload's, is a late copy
    // of an earlier GET: served, it would switch the upload the peer is taking.
    bool (*get_late)(const bt_peer_t *peer, const uint8_t *hash, double now);
    // DATA came from peer for no connection of this peer's.
    void (*stray_data)(bt_peer_t *peer, double now);
    // Whether the running upload to peer is taken by nobody any more; the caller ends it.
    bool (*upload_abandoned)(const bt_peer_t *peer, double now);
};
typedef struct schedule_policy_s schedule_policy_t;

// The two policies: the designed one here, --swarm's in engine/swarm.
extern const schedule_policy_t DESIGNED_POLICY;
extern const schedule_policy_t SWARM_POLICY;

// The policy config->swarm names; a static record, never freed.
const schedule_policy_t *schedule_policy(const bt_config_t *config);

// ---- rules both policies share ---------------------------------------------------------------

// 1 when some peer's receiving_chunk has chunk's hash.
BOOL alreadyDownloadingChunk(const bt_config_t *config, const chunkitem *chunk);
// Whether peer may be asked for chunk despite its earlier hash failures: not before its pause
// has passed, and after MAX_HASH_FAILURES only while no other holder is left.
bool mayAskPeerForChunk(const bt_config_t *config, const bt_peer_t *peer, const chunkitem *chunk,
                        double now);
// How long a GET to peer waits for its first DATA: the policy's word on the transport's wait.
double scheduleGetWait(const bt_config_t *config, const bt_peer_t *peer);
// What the policy keeps of peer, made on first use.
swarm_peer_t *schedule_peer_state(bt_peer_t *peer);
// Releases what the policy keeps of peer.
void swarm_peer_free(bt_peer_t *peer);

// --swarm's GET rules (SWARM_POLICY's get_wait and get_unanswered). The wait: a few measured
// GET-to-DATA times, at least SWARM_GET_WAIT_S, at most the transport's. Unanswered: the GET is
// sent again while SWARM_GET_PATIENCE_S has not passed since it was first sent; then the peer
// keeps its announcements, is paused, and its connection released. A peer silent since the GET
// is asked with a WHOHAS whether it is there (SWARM_PROBE_AFTER_S) and, silent still, has gone
// and loses every announcement; one heard from that left SWARM_FORGET_AFTER GETs in a row
// unanswered loses that chunk's.
double swarm_get_wait(const bt_peer_t *peer, double transport_wait);
get_decision_t swarm_get_unanswered(bt_config_t *config, bt_peer_t *peer, int retries,
                                    double now);
