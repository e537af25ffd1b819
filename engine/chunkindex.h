// The chunk index: every hash this peer knows (the master list's and those of the downloads it
// was asked for), which peers announced each, and one record per chunk of the running download,
// reached by its place in the request and by its hash. An announcement, a written chunk and the
// choice of a chunk for a free peer cost a few steps per chunk concerned, whatever the size of
// the file; the walks of every chunk still to fetch that grew with its square are gone.
//
// to_fetch_list stays the request as designed; once a download has started, its nodes leave it
// only through fetchlist_remove, which keeps the index beside it. Who fetches a chunk is not kept
// here: each peer fetches one chunk at most, so the peer records say it in one pass over them.
#pragma once

#include <cstdint>

#include "config/bt_parse.h"
#include "engine/common.h"
#include "engine/hashindex.h"

// One hash this peer knows. Known hashes stay for the whole run: announcements of them outlive a
// download, and each costs a bit per peer. Only the master list and the requests typed or passed
// in add them, never a received packet.
struct known_hash_s {
    uint8_t hash[HASH_SIZE];
    int holders;      // peers other than this one that announced it
    int master;       // truth value: the master chunk file names it
    int remaining;    // chunks of the running download with this hash still to fetch
    int first_chunk;  // its first chunk in the running download; -1: none
};
typedef struct known_hash_s known_hash_t;

// One chunk of the running download, in request order.
struct fetch_chunk_s {
    chunkitem *item;  // its to_fetch_list node (owned by the list); nullptr once written
    int known;        // the known id of its hash
    int next_same;    // the next chunk with the same hash; -1: none
    int prev_left;    // the chunk still to fetch before it in the request; -1: none
    int next_left;    // the one after it; -1: none
};
typedef struct fetch_chunk_s fetch_chunk_t;

// What one peer announced, and its view of the running download; owned by the peer record.
struct peer_chunks_s {
    uint64_t *announced;     // bit per known id: it announced that hash (owned)
    int words;               // 64-bit words of announced
    int count;               // bits set
    // Built at the first choice of a chunk for this peer in the running download, kept up from
    // then on, released at its end:
    uint64_t *left_bits;     // bit per chunk: announced and still to fetch (owned); nullptr: none
    uint64_t *left_summary;  // bit per word of left_bits that is not zero (owned)
    int *order;              // those chunks, fewest holders first (owned); nullptr: not built
    int *order_at;           // per chunk: its place in order; -1: not there (owned)
    int *bucket;             // [max_holders + 2]: first place in order with >= h holders (owned)
    int order_len;           // chunks in order
};
typedef struct peer_chunks_s peer_chunks_t;

// One per configuration (config->chunk_index, owned).
struct chunk_index_s {
    hash_index_t by_hash;  // hash -> known id
    known_hash_t *known;   // [known_count] (owned)
    int known_count;
    int known_capacity;
    // The running download:
    int running;           // truth value: the chunks below are to_fetch_list's
    fetch_chunk_t *chunks;  // [chunk_count] (owned)
    int chunk_count;
    int first_left;        // the first chunk still to fetch; -1: none
    int left;              // chunks still to fetch
    int unannounced_left;  // chunks still to fetch whose hash no other peer announced
    int max_holders;       // peers other than this one in the peer list
};
typedef struct chunk_index_s chunk_index_t;

// A choice of chunk asks its caller whether a chunk may go to the peer, and for random numbers.
struct chunk_choice_s {
    bool (*usable)(const struct chunk_choice_s *choice, const chunkitem *item);
    uint64_t (*random)(const struct chunk_choice_s *choice);
    bt_config_t *config;
    bt_peer_t *peer;  // the free peer the chunk is for
    double now;       // seconds
};
typedef struct chunk_choice_s chunk_choice_t;

// ---- known hashes and announcements ----------------------------------------------------------

// Marks the hashes of config->masterchunks: announcements of them are kept at any time.
void chunkindex_note_master(bt_config_t *config);
// Whether an announcement of hash is worth keeping: the master chunk file or a chunk of the
// running download still to fetch has it.
bool chunkindex_matters(const bt_config_t *config, const uint8_t *hash);
// Records that peer announced hash; false when it had already, or peer is this peer itself,
// which never fetches from itself.
bool announcement_add(bt_config_t *config, bt_peer_t *peer, const uint8_t *hash);
// Whether peer announced hash.
bool announced_by(const bt_config_t *config, const bt_peer_t *peer, const uint8_t *hash);
// Forgets peer's announcement of hash, if it made one.
void announcement_forget(bt_config_t *config, bt_peer_t *peer, const uint8_t *hash);
// Forgets everything peer announced.
void announcements_forget_all(bt_config_t *config, bt_peer_t *peer);
// Hashes peer announced and has not been made to forget.
int announcement_count(const bt_peer_t *peer);
// Peers other than this one that announced hash.
int announcement_holders(const bt_config_t *config, const uint8_t *hash);

// ---- the running download --------------------------------------------------------------------

// Indexes config->to_fetch_list as the running download.
void chunkindex_start_download(bt_config_t *config);
// The download ended: its chunk records and every peer's view of them are released.
void chunkindex_end_download(bt_config_t *config);
// Unlinks the to_fetch_list node item and releases it, in a few steps.
void fetchlist_remove(bt_config_t *config, chunkitem *item);
// Chunks of the running download still to fetch.
int fetchlist_remaining(const bt_config_t *config);
// Those of them with this hash.
int fetchlist_remaining_of(const bt_config_t *config, const uint8_t *hash);
// The place of the to_fetch_list node item in the request, from 0.
int fetchlist_position(const bt_config_t *config, const chunkitem *item);
// Chunks still to fetch that no other peer announced and none is fetching.
int chunkindex_unannounced(const bt_config_t *config);

// The first chunk of the request still to fetch that choice->peer announced and choice->usable
// allows; nullptr when there is none.
chunkitem *chunkindex_first_announced(const chunk_choice_t *choice);
// Among the chunks still to fetch that choice->peer announced and choice->usable allows, one with
// the fewest holders, each of the equals equally likely; nullptr when there is none.
chunkitem *chunkindex_rarest_announced(const chunk_choice_t *choice);

// peer leaves the peer records: its announcements are forgotten (every count and view that held
// them follows) and what it owned here released.
void chunkindex_forget_peer(bt_config_t *config, bt_peer_t *peer);
// Releases the index and every peer's announcements.
void chunkindex_free(bt_config_t *config);
// Whether the index agrees with to_fetch_list and the peers' records it mirrors, recounted the
// slow way; the first disagreement in why. For tests and the fuzz targets.
bool chunkindex_consistent(const bt_config_t *config, char *why, size_t why_size);
