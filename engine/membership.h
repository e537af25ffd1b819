// Open membership (--open): a member takes datagrams from addresses it does not know yet and gives
// each sender a peer record in a bounded table, forgets learned members that fall silent, tells
// the others who else is in the swarm (peer exchange, packet type 6) and asks for or serves the
// head of a swarm's metadata (packet type 7). Every record it makes is a bt_peer_t of
// config->peers like a listed one, so the rest of the engine serves and fetches from members as
// from listed peers; this module is the one place that adds and removes records while the peer
// runs. Without --open none of it runs: the peer list is the swarm, as designed.
//
// Wire layouts, after the designed 16-byte header (magic, version, type, h_len 16, p_len, seq 0,
// ack 0); the body starts at h_len:
//
//   type 6, peer exchange                      type 7, metadata
//   offset size                                offset size
//   0      1    count N (0..PEX_MAX_ENTRIES)   0      1    kind: META_ASK or META_HEAD
//   1+6i   4    IPv4 address, network order    1      32   the metadata's SHA-256 digest
//   5+6i   2    UDP port, network order        ASK ends here; HEAD goes on:
//                                              33     4    metadata length, bytes, big-endian
//   Bytes after the N entries are ignored.     37     2    piece count P (1..META_MAX_PIECES)
//                                              39+20j 20   SHA-1 of piece j (META_PIECE_BYTES
//                                                          each, the last one short)
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "config/bt_parse.h"
#include "engine/common.h"

// ---- bounds and times ------------------------------------------------------------------------

constexpr int MEMBER_MAX_ENTRIES = 32;      // --entry points
constexpr double MEMBER_SILENT_S = 30.0;    // a learned member silent this long is forgotten
constexpr double MEMBER_KEEPALIVE_S = 8.0;  // every member is sent a peer exchange this often
// A member never heard from (an entry point started after us, its greeting lost) is greeted again
// after this, doubling with every greeting up to MEMBER_KEEPALIVE_S.
constexpr double MEMBER_GREET_RETRY_S = 0.5;
constexpr double PEX_FRESH_S = 20.0;        // a member heard from this recently is listed
constexpr double PEX_INTERVAL_S = 2.0;      // a received peer exchange is answered at most this
                                            // often per member
constexpr int PEX_MAX_ENTRIES = 20;         // addresses per peer exchange
constexpr int CANDIDATES_MAX = 64;          // addresses learned and not yet members
constexpr double CANDIDATE_TTL_S = 30.0;    // a candidate is contacted once in this time
// Every datagram this module sends (peer exchanges, contacts, metadata asks and heads) takes a
// token of one bucket: at most MEMBER_SENDS_PER_S on average and MEMBER_SEND_BURST at once, so no
// received datagram, forged or not, makes a member send beyond it.
constexpr double MEMBER_SENDS_PER_S = 100.0;
constexpr double MEMBER_SEND_BURST = 40.0;
constexpr int MEMBER_SELF_ADDRS_MAX = 16;  // addresses of this host taken for this peer's own
constexpr int META_DIGEST_SIZE = 32;       // SHA-256
constexpr int META_PIECE_BYTES = CHUNK_SIZE;
constexpr int META_MAX_PIECES = 64;        // metadata of at most 32 MiB
constexpr double META_ASK_INTERVAL_S = 1.0;  // asking rounds while no head has come
constexpr int META_ASKS_PER_ROUND = 8;       // members asked per round
constexpr double META_ANSWER_INTERVAL_S = 1.0;  // heads sent to one member at most this often
constexpr uint8_t META_ASK = 1;
constexpr uint8_t META_HEAD = 2;

// What a member is to this peer.
constexpr int MEMBER_LISTED = 0;   // a line of the peer list: never forgotten
constexpr int MEMBER_ENTRY = 1;    // an --entry point: never forgotten
constexpr int MEMBER_LEARNED = 2;  // admitted when it sent something; forgotten when silent

// ---- wire records ----------------------------------------------------------------------------

struct pex_entry_s {
    uint8_t addr[4];  // IPv4, network order
    uint8_t port[2];  // network order
};
typedef struct pex_entry_s pex_entry_t;
static_assert(sizeof(pex_entry_t) == 6);
static_assert(std::is_trivially_copyable_v<pex_entry_t>);
static_assert(offsetof(pex_entry_t, addr) == 0);
static_assert(offsetof(pex_entry_t, port) == 4);

struct pex_body_s {
    uint8_t count;
    pex_entry_t entries[PEX_MAX_ENTRIES];
};
typedef struct pex_body_s pex_body_t;
static_assert(sizeof(pex_body_t) == 1 + 6 * PEX_MAX_ENTRIES);
static_assert(offsetof(pex_body_t, count) == 0);
static_assert(offsetof(pex_body_t, entries) == 1);
static_assert(HEADER_SIZE + sizeof(pex_body_t) <= MAX_PACKET_SIZE);

struct meta_ask_wire_s {
    uint8_t kind;                      // META_ASK
    uint8_t digest[META_DIGEST_SIZE];
};
typedef struct meta_ask_wire_s meta_ask_wire_t;
static_assert(sizeof(meta_ask_wire_t) == 33);
static_assert(offsetof(meta_ask_wire_t, kind) == 0);
static_assert(offsetof(meta_ask_wire_t, digest) == 1);

struct meta_head_wire_s {
    uint8_t kind;                      // META_HEAD
    uint8_t digest[META_DIGEST_SIZE];
    uint8_t length[4];                 // big-endian
    uint8_t count[2];                  // big-endian
    uint8_t pieces[META_MAX_PIECES][HASH_SIZE];  // the first `count` are sent
};
typedef struct meta_head_wire_s meta_head_wire_t;
constexpr int META_HEAD_FIXED = 39;  // bytes of a head before its piece hashes
static_assert(offsetof(meta_head_wire_t, kind) == 0);
static_assert(offsetof(meta_head_wire_t, digest) == 1);
static_assert(offsetof(meta_head_wire_t, length) == 33);
static_assert(offsetof(meta_head_wire_t, count) == 37);
static_assert(offsetof(meta_head_wire_t, pieces) == META_HEAD_FIXED);
static_assert(sizeof(meta_head_wire_t) == META_HEAD_FIXED + META_MAX_PIECES * HASH_SIZE);
// A whole head fits the receive buffer, and a 1500-byte path sealed and through the simulator
// (48 bytes of envelope, 16 of encapsulation).
static_assert(HEADER_SIZE + sizeof(meta_head_wire_t) + 48 + 16 <= MAX_PACKET_SIZE);

// ---- records ---------------------------------------------------------------------------------

// A metadata head: what the front end needs to fetch the metadata as chunks.
struct meta_head_s {
    uint8_t digest[META_DIGEST_SIZE];            // SHA-256 of the whole metadata
    uint32_t length;                             // bytes
    int count;                                   // pieces, 1..META_MAX_PIECES
    uint8_t pieces[META_MAX_PIECES][HASH_SIZE];  // SHA-1 of each piece
};
typedef struct meta_head_s meta_head_t;

// What membership keeps of one peer record; owned by it.
struct member_s {
    int kind;           // MEMBER_*
    int greeted;        // truth value: sent its first peer exchange
    int unheard_sends;  // peer exchanges sent to it while it was never heard from
    double pex_time;    // seconds; the last peer exchange sent to it; 0: none
    int pex_cursor;     // place in config->peers where its next peer exchange starts listing
    double head_time;   // seconds; the last metadata head sent to it; 0: none
};
typedef struct member_s member_t;

// An address a peer exchange named that is not a member yet.
struct member_candidate_s {
    struct sockaddr_in addr;
    double since;   // seconds; when it was learned
    int contacted;  // truth value: sent its one datagram
};
typedef struct member_candidate_s member_candidate_t;

struct member_index_s;  // members by address (engine/membership.cpp)

// One per configuration (config->membership, owned).
struct membership_s {
    struct sockaddr_in entries[MEMBER_MAX_ENTRIES];  // --entry points before the start
    int entry_count;
    int started;                       // truth value: membership_start has run
    int table_count;                   // records of the table: entry points and learned
    uint64_t ids_taken[65536 / 64];    // bit per short id (offset by 32768): listed, own, members
    int id_cursor;                     // where the search for a free id goes on, 1..32767
    struct member_index_s *index;      // (owned)
    member_candidate_t candidates[CANDIDATES_MAX];
    int candidate_count;
    double tokens;                     // datagrams that may be sent now
    double token_time;                 // seconds; when tokens was last topped up
    struct in_addr self_addrs[MEMBER_SELF_ADDRS_MAX];  // this peer's addresses
    int self_count;
    uint16_t self_port;                // network order
    double next_due;                   // seconds; the tick's next work; 0: none
    int has_metadata;                  // truth value: own_head is served
    meta_head_t own_head;
    int wants_metadata;                // truth value: wanted_digest is asked for
    uint8_t wanted_digest[META_DIGEST_SIZE];
    int got_metadata;                  // truth value: got_head holds the head asked for
    meta_head_t got_head;
    double meta_ask_time;              // seconds; the last asking round; 0: none
    int meta_cursor;                   // place in config->peers where the next round starts
    long long sends;                   // datagrams sent by this module, for tests and counts
};
typedef struct membership_s membership_t;

// ---- start-up --------------------------------------------------------------------------------

// Adds an entry point: a member from the start, never forgotten. Before membership_start it is
// kept (at most MEMBER_MAX_ENTRIES; false beyond them), after it made a member at once.
bool membership_add_entry(bt_config_t *config, const struct sockaddr_in *entry);
// With the socket bound at *bound (the port read back): gives this peer an id when it has none,
// records its own addresses, makes members of the peer list and the entry points.
void membership_start(bt_config_t *config, const struct sockaddr_in *bound);

// ---- the loop --------------------------------------------------------------------------------

// The record of the sender of a datagram that passed its checks: the existing one, or a new
// learned member; nullptr when the table is full of members heard from within PEX_FRESH_S (or
// no id is free, or from is this peer itself). The sender has been heard from now.
bt_peer_t *membership_admit(bt_config_t *config, const struct sockaddr_in *from, double now);
// Once per pass of the loop: forgets silent members, greets new ones (their first peer exchange,
// and the running download's WHOHAS), sends keep-alives, contacts candidates and asks for
// metadata, within the send budget.
void membership_tick(bt_config_t *config, double now);
// When membership_tick next has work; 0: none (or not --open).
double membership_next_deadline(const bt_config_t *config);

// ---- received packets (dispatched by process.cpp when --open) --------------------------------

// A peer exchange: its addresses become candidates; answered with one at most every
// PEX_INTERVAL_S.
void handlePeerExchange(bt_config_t *config, header *hdr, struct sockaddr_in *from, double now);
// A type 7 packet: to handleMetaAsk or handleMetaHead by its kind; other kinds are dropped.
void handleMetaPacket(bt_config_t *config, header *hdr, struct sockaddr_in *from, double now);
// An ASK for the digest of the metadata this member serves is answered with its head.
void handleMetaAsk(bt_config_t *config, header *hdr, struct sockaddr_in *from, double now);
// A head of the metadata asked for is kept (membership_metadata_head); any other is dropped.
void handleMetaHead(bt_config_t *config, header *hdr, struct sockaddr_in *from, double now);

// ---- parsing and building (the handlers' steps, for tests) -----------------------------------

// The addresses of a received peer exchange into out (room for PEX_MAX_ENTRIES): how many, or -1
// when the packet is cut short or names more than PEX_MAX_ENTRIES.
int pex_parse(const header *hdr, struct sockaddr_in *out);
// Builds the peer exchange for `to` into buffer (room for HEADER_SIZE + sizeof(pex_body_t)):
// members other than this peer and `to` heard from within PEX_FRESH_S, from to's cursor on,
// which moves past them. Its length in bytes.
int pex_build(bt_config_t *config, bt_peer_t *to, double now, uint8_t *buffer);

// ---- what the front end asks -----------------------------------------------------------------

// Members other than this peer heard from within PEX_FRESH_S.
int membership_live_count(const bt_config_t *config, double now);
// The entry points never heard from, as "127.0.0.1:41001, 127.0.0.1:41002" in text (cut to
// size); how many.
int membership_describe_silence(const bt_config_t *config, char *text, size_t size);
// This member serves the head of the metadata of digest: length bytes in count pieces (1 to
// META_MAX_PIECES) whose SHA-1s are pieces. False, nothing changed, when the sizes disagree.
bool membership_set_metadata(bt_config_t *config, const uint8_t digest[META_DIGEST_SIZE],
                             uint32_t length, const uint8_t (*pieces)[HASH_SIZE], int count);
// The tick asks the entry points and members for the head of digest until one comes.
void membership_want_metadata(bt_config_t *config, const uint8_t digest[META_DIGEST_SIZE]);
// The head asked for, once it came; nullptr until then. Owned by the configuration.
const meta_head_t *membership_metadata_head(const bt_config_t *config);

// ---- records ---------------------------------------------------------------------------------

// Releases everything peer owns (connections' buffers and lists, announcements, scheduling and
// membership state) and the record itself; it must no longer be in config->peers.
void peer_record_free(bt_config_t *config, bt_peer_t *peer);
// Releases the membership table's own state (the records stay in config->peers).
void membership_free(bt_config_t *config);
