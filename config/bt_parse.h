// The configuration record, the peer records, and the peer's command line and peer list.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <cstdio>

#include "engine/common.h"
#include "engine/heldset.h"
#include "engine/time_util.h"
#include "support/sha.h"

constexpr int BT_FILENAME_LEN = 255;   // name fields hold at most 254 characters and a NUL
constexpr int BT_MAX_PEER_LINE = 255;  // the peer list is read in pieces of at most 254 characters
constexpr int BT_PEER_LIST_ERROR_LEN = 1024;  // room for any peer-list error message

// The transport profiles of --transport: the designed rules, or the adaptive sender and downloader.
constexpr int TRANSPORT_CLASSIC = 0;
constexpr int TRANSPORT_ADAPTIVE = 1;

// --progress and --no-progress: the progress line and summary of a download on standard error.
constexpr int PROGRESS_AUTO = 0;  // shown when standard error is a terminal
constexpr int PROGRESS_ON = 1;
constexpr int PROGRESS_OFF = 2;

// --upload-slots: how many uploads a --swarm peer runs at once.
constexpr int BT_DEFAULT_UPLOAD_SLOTS = 4;
constexpr int BT_MAX_UPLOAD_SLOTS = 1024;

// --receive-buffer: the receive buffer the peer asks for its socket, bytes. The default holds the
// windows of 24 adaptive uploaders sending at once on 127.0.0.1 without a drop, where 4 MiB lost
// a thousand datagrams and more (bench/socket_drops_bench.py); the kernel books twice the size
// asked for, in an int, which bounds the largest.
constexpr int BT_DEFAULT_RECEIVE_BUFFER = 16 << 20;
constexpr int BT_MAX_RECEIVE_BUFFER = 1 << 29;

// Chunks a peer acknowledged whole that its record remembers, to tell late copies of their GETs.
constexpr int SENDING_DONE_KEPT = 4;

struct adaptive_s;    // the adaptive profile's sender state (engine/adaptive.h)
struct chunk_index_s;  // known hashes, announcements, the running download (engine/chunkindex.h)
struct peer_chunks_s;  // what one peer announced (engine/chunkindex.h)
struct progress_s;    // the progress display's state (engine/progress.h)
struct store_s;       // the chunks this peer serves and where their bytes are (engine/store.h)
struct swarm_peer_s;  // what a --swarm peer keeps of each other peer (engine/swarm.h)
struct member_s;      // what open membership keeps of each peer (engine/membership.h)
struct membership_s;  // the open membership's table, candidates and metadata (engine/membership.h)

// --open: peer records the membership table holds beside the peer list's (entry points and
// learned members). engine/membership keeps to it, and the chunk index counts holders up to it.
constexpr int MEMBER_TABLE_MAX = 512;

// One --serve HASHFILE=FILE, in command-line order.
struct serve_option_s {
    char hashfile[BT_FILENAME_LEN];
    char datafile[BT_FILENAME_LEN];
    struct serve_option_s *next;
};
typedef struct serve_option_s serve_option_t;

// One record per line of the peer list, this peer's own line included. The first group is the
// receiving connection from this peer, the second the sending connection to it.
//
// Where each step of a connection's life is done. The sending side's profile work goes through
// the transport seam (engine/transport.h): "profile->x" is the classic function in reliable or
// the adaptive one in adaptive, chosen once by transport_profile(config). What to ask and of
// whom, and what an unanswered GET leads to, go through the scheduling seam (engine/schedule.h):
// "policy->x" is the designed function in schedule or --swarm's in swarm.
//
//   receiving (a chunk from this peer)          sending (a chunk to this peer)
//   discovery  handleIHave          process     GET       handleGet                 process
//              (announcement_add    chunkindex)             -> policy->may_serve
//   request    tryToGenerateGetRequest  create  start     initializeNewSendingConnection create
//              -> policy->choose_chunk                      -> profile->start
//   no answer  checkForUnansweredGets reliable  send      fillWindowForPeer         create
//              -> policy->get_unanswered                    -> profile->fill
//   DATA       handleData           process
//   held DATA  processOutoforderData,           ACK       handleAck (checks)        process
//              cleanUpOutoforder    process                 -> profile->take_ack
//   ACK        sendAckForPeer       create      timeouts  sendTimedOutPacketsAt     reliable
//   stall      checkForStalledDownloadsAt                   -> profile->check_timers
//              moveStalledChunks    reliable    deadline  nextTimerDeadline         reliable
//              (profile->move_after)                        -> profile->next_deadline
//   end        chunkReceiveFinished create      end       doneSendingData           create
//              (verifyAndWriteChunk util)                   -> profile->end
//              releaseReceivingConnection util
//
// Held DATA is a bit per packet (engine/heldset); its bytes wait in receiving_data.
//
// Classic window accounting: updateWindow and friends in reliable, over the outstanding-packet
// list of time_util; adaptive: its own sequence-number accounting in adaptive_s.
struct bt_peer_s {
    chunkitem *receiving_chunk;      // to_fetch_list node being fetched (not owned); nullptr: idle
    uint8_t *receiving_data;         // CHUNK_SIZE reassembly buffer, owned while a chunk is fetched
    int receiving_active;            // truth value: DATA from this peer is being accepted
    int receiving_offset;            // bytes taken in order so far
    int receiving_lastseq;           // highest seq taken in order; -1 after GET, 0 when active
    heldset_t receiving_held;        // DATA packets held: ahead of a gap, at their place in
                                     // receiving_data, or taken already and come again
    int receiving_sentget;           // truth value: GET sent, first DATA not yet here
    double receiving_last_action_time;  // seconds; time of the last DATA

    int sending_active;               // truth value: an upload to this peer runs
    uint8_t *sending_data;            // CHUNK_SIZE copy of the chunk being uploaded (owned)
    int sending_next_seq;             // seq of the next DATA packet to build; 1 at start
    int sending_lastacked;            // highest cumulative ACK taken; 0 at start
    int sending_win;                  // congestion window, packets
    timeitem *sending_unacked;        // DATA packets sent, not released; newest first (owned)
    int sending_next_aimd_increase;   // lastacked value at which the window next grows (avoidance)
    int sending_dupack_count;         // duplicate ACKs counted
    int sending_successive_timeouts;  // packet timeouts since the last ACK
    int sending_min_dupack;           // lowest ACK number that counts as a duplicate
    int sending_ssthreash;            // slow-start threshold, packets

    short id;                       // identity from the peer list
    struct sockaddr_in addr;        // AF_INET, address and port in network byte order
    struct bt_peer_s *next;         // next record of the peer list
    struct peer_chunks_s *announced;  // the hashes it announced in IHAVE packets, and its view of
                                      // the running download (engine/chunkindex.h; owned)
    double receiving_get_time;      // seconds; when the GET of a requested connection was sent
    int receiving_get_resent;       // times the unanswered GET was sent again
    uint8_t *receiving_prev_data;   // CHUNK_SIZE buffer of the last chunk ended (owned), to tell
                                    // its late DATA apart; nullptr when none
    failitem *receiving_failures;   // chunks from this peer that failed their hash check (owned)
    int sending_highest_seq;        // highest seq sent in the current sending connection
    struct adaptive_s *sending_adaptive;  // adaptive sender state, kept from chunk to chunk
                                          // (owned); nullptr in the classic profile
    double receiving_get_rtt;             // seconds; smoothed GET to first DATA time; 0: none
    double receiving_first_data_time;     // seconds; first DATA of the running connection
    double receiving_rate;  // bytes per second: the best whole chunk from this peer, fading; 0: none
    SHA1Context receiving_sha;            // SHA-1 of the bytes taken in order so far
    int progress_chunks;                  // chunks of the running download written from this peer
    double sending_last_ack_time;     // seconds; last ACK of the sending connection (or its start)
    uint8_t sending_hash[HASH_SIZE];  // the chunk of the running upload
    int sending_repeat;  // truth value: the running upload sends the chunk the last one to this
                         // peer sent, so the receiver may already hold packets of it
    uint8_t sending_done_hashes[SENDING_DONE_KEPT][HASH_SIZE];  // the last chunks this peer
                                                                // acknowledged whole, a ring
    int sending_done_count;  // chunks this peer acknowledged whole; the ring holds the last ones
    uint8_t receiving_prev_hash[HASH_SIZE];  // the chunk of receiving_prev_data
    int receiving_first_dropped;  // first DATA dropped as the previous chunk's since the GET
    struct swarm_peer_s *swarm;   // --swarm bookkeeping of this peer (owned); nullptr: none
    double heard_time;            // seconds; the last datagram from it that passed its checks
    struct member_s *member;      // --open bookkeeping of this peer (owned); nullptr: none
};
typedef struct bt_peer_s bt_peer_t;

// One per process; a local of main for the whole run.
struct bt_config_s {
    char chunk_file[BT_FILENAME_LEN];      // master chunk file (-f)
    char has_chunk_file[BT_FILENAME_LEN];  // chunks this peer holds (-c)
    char output_file[BT_FILENAME_LEN];     // output of the current GET; "output.dat" at start
    char peer_list_file[BT_FILENAME_LEN];  // peer list (-p); "nodes.map" at start
    int max_conn;                          // -m; printed by the dump only
    short identity;                        // -i; non-zero and present in the peer list
    unsigned short myport;                 // own UDP port, host byte order
    int argc;
    char **argv;
    int test;                  // -t; read by nothing else
    bt_peer_t *peers;          // peer list, reverse file order
    chunkitem *mychunks;       // chunks this peer holds (id: index in master data file)
    chunkitem *masterchunks;   // all chunks of the master data file
    chunkitem *to_fetch_list;  // chunks of the running GET still to fetch (id: output index)
    int download_in_progress;  // truth value
    char chunk_data_file[BT_FILENAME_LEN];  // master data file, from the master chunk file
    FILE *output_handle;                    // output file of the running GET (owned while it runs)
    int sock;                               // the UDP socket
    int max_tx_chunks;                      // -x; -1 when not given; > 0 is a limit
    int tx_chunks;                          // sending connections ended so far
    FILE *graphfile_out;                    // the --window-log file (owned); nullptr: none
    double start_time_sec;                  // wall clock at the end of parsing
    double last_whohas_time;  // seconds; last WHOHAS of the download (or check that needed none)
    double retry_due_time;    // seconds; when a paused chunk request may go out again; 0: none
    int transport;            // TRANSPORT_CLASSIC or TRANSPORT_ADAPTIVE (--transport)
    char window_log_file[BT_FILENAME_LEN];  // --window-log; empty: no log
    double start_time_mono;                 // now_seconds() at the end of parsing
    struct in_addr bind_addr;               // --bind; the address the socket listens on
    int progress_mode;                      // PROGRESS_AUTO, PROGRESS_ON or PROGRESS_OFF
    struct progress_s *progress;            // the progress display (owned); nullptr when it is off
    long retransmissions;                   // DATA packets this peer sent again, both profiles
    int swarm;                              // truth value: --swarm
    int upload_slots;                       // --upload-slots; 0: BT_DEFAULT_UPLOAD_SLOTS
    serve_option_t *serve_options;          // --serve options (owned)
    struct store_s *store;                  // chunks served and their sources (owned)
    struct chunk_index_s *chunk_index;      // hashes, announcements, chunks to fetch (owned)
    int downloads_completed;                // downloads that ended with every chunk written
    long long output_end;  // bytes; end of the furthest chunk of the running download in its file
    int last_chunk_id;     // the highest chunk index the running request names: the only chunk
                           // that may be shorter than CHUNK_SIZE (a file's last)
    uint64_t swarm_rng;    // state of the --swarm choices among equals
    int receive_buffer;  // --receive-buffer, bytes; 0: BT_DEFAULT_RECEIVE_BUFFER; -1: the kernel's
    // Told of every datagram dropped because no line of the peer list names its sender, with its
    // kind ("GET", "DATA", ...); nullptr (the peer's own): the drop is only logged under -d 1.
    void (*unlisted_sender)(struct bt_config_s *config, const struct sockaddr_in *from,
                            const char *what);
    int sealed;                  // truth value: every datagram sealed with swarm_key (--key)
    uint8_t swarm_key[32];       // the swarm key, until peer_setup hands it to the shim and
                                 // wipes it here
    int open_membership;               // truth value: --open, unknown senders become members
    struct membership_s *membership;   // the membership table (owned); nullptr until used
};
typedef struct bt_config_s bt_config_t;

// Zeroes the record and sets the defaults "output.dat", "nodes.map" and 127.0.0.1.
void bt_init(bt_config_t *config, int argc, char **argv);
// Parses options, reads the peer list, checks the identity; returns only on success, every failure
// ends the process (status -1, 0 for -h).
void bt_parse_command_line(bt_config_t *config);
// Reads peer_list_file and prepends one heap record per line to peers (owned by config for the
// whole run). 0 on success; -1 on an unusable list, with the one-line reason (newline included)
// in error. The records of the lines before a failing one stay in peers.
int bt_read_peer_list(bt_config_t *config, char *error, size_t error_size);
// bt_read_peer_list, ending the process with the reason and status -1 on an unusable list.
void bt_parse_peer_list(bt_config_t *config);
// The first record from the head whose id equals peer_id, or nullptr.
bt_peer_t *bt_peer_info(const bt_config_t *config, int peer_id);
// Writes the configuration to standard output.
void bt_dump_config(bt_config_t *config);
void bt_usage();
// The help text of -h, on standard error.
void bt_help();
// The lines --help adds after the help text of -h: the short options -h leaves out, the long
// options and the GET command of standard input.
void bt_help_long_options();
