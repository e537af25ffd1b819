// The sealing layer of the shim: with a swarm key, every datagram is wrapped in an authenticated
// envelope on its way out and opened on its way in, so that only holders of the key can read,
// join or steer the swarm. vexlo_sendto, vexlo_recvfrom and vexlo_recvbatch call it whenever
// seal_enable has run; without it they carry the plain datagrams exactly as before.
//
// Envelope: a 32-byte clear header, then the caller's datagram encrypted, then a 16-byte tag.
// The AEAD authenticates the header and the direction (source and destination address:port as
// the peer list names them), so a copy sent from another address or to another peer fails.
// Keys: one per sending process and suite, derived with BLAKE2b from the swarm key and the
// process's random 128-bit sender id; the nonce is that process's datagram counter, which
// never repeats and is never allowed to wrap. Each receiver keeps a replay window per sender.
#pragma once

#include <netinet/in.h>
#include <sodium.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <unordered_map>
#include <vector>

// ==== constants ==================================================================================

constexpr size_t SEAL_KEY_BYTES = 32;        // the swarm key: 256 bits
constexpr size_t SEAL_KEY_TEXT_LEN = 64;     // its hex form in a key file
constexpr size_t SEAL_SENDER_ID_BYTES = 16;  // random per process: no two share a subkey
constexpr size_t SEAL_HEADER_SIZE = 32;
constexpr size_t SEAL_TAG_BYTES = 16;
constexpr size_t SEAL_OVERHEAD = SEAL_HEADER_SIZE + SEAL_TAG_BYTES;  // bytes a sealed datagram adds
// The largest datagram UDP carries over IPv4, less the simulator's header and the envelope.
constexpr size_t SEAL_MAX_PLAIN = 65507 - 16 - SEAL_OVERHEAD;
constexpr uint16_t SEAL_MAGIC =
    0x5EA1;  // not the peer packets' 23517, so neither reads as the other
constexpr uint8_t SEAL_VERSION = 1;
constexpr uint8_t SEAL_SUITE_AES256GCM = 1;          // where the CPU has AES instructions
constexpr uint8_t SEAL_SUITE_XCHACHA20POLY1305 = 2;  // everywhere
constexpr uint8_t SEAL_FLAG_OPENS_AES = 1;  // the sender can open AES-256-GCM: seal to it with it
// Counters a receiver remembers behind the highest one of each sender: reordering deeper than
// this many datagrams of one sender (20 ms of jitter at 100k datagrams/s is 2000) is taken as
// loss.
constexpr uint64_t SEAL_WINDOW = 4096;
static_assert(SEAL_WINDOW % 64 == 0);
// Senders a receiver keeps state for (about 1.6 KiB each). Only a datagram that authenticates
// makes one, so only key holders fill it; beyond it the sender heard from least recently goes.
constexpr size_t SEAL_SENDERS_MAX = 1024;
// The counter is never allowed to reach this: a send after the 2^64 - 1st is refused.
constexpr uint64_t SEAL_COUNTER_LIMIT = UINT64_MAX;

// ==== records ====================================================================================

// The clear header of an envelope; counter in network byte order, the rest single bytes.
struct seal_envelope_s {
    uint8_t magic[2];                      // SEAL_MAGIC, big-endian
    uint8_t version;                       // SEAL_VERSION
    uint8_t suite;                         // SEAL_SUITE_*
    uint8_t flags;                         // SEAL_FLAG_*
    uint8_t reserved[3];                   // zero
    uint8_t sender[SEAL_SENDER_ID_BYTES];  // the sending process's id
    uint8_t counter[8];                    // the sender's datagram number: the nonce
};
typedef struct seal_envelope_s seal_envelope_t;
static_assert(sizeof(seal_envelope_t) == SEAL_HEADER_SIZE);
static_assert(std::is_trivially_copyable_v<seal_envelope_t>);
static_assert(offsetof(seal_envelope_t, magic) == 0);
static_assert(offsetof(seal_envelope_t, version) == 2);
static_assert(offsetof(seal_envelope_t, suite) == 3);
static_assert(offsetof(seal_envelope_t, flags) == 4);
static_assert(offsetof(seal_envelope_t, reserved) == 5);
static_assert(offsetof(seal_envelope_t, sender) == 8);
static_assert(offsetof(seal_envelope_t, counter) == 24);

struct seal_key_s {
    uint8_t bytes[SEAL_KEY_BYTES];
};
typedef struct seal_key_s seal_key_t;

// The keys of one sending process: one per suite, each from the swarm key and its sender id.
struct seal_keys_s {
    crypto_aead_aes256gcm_state aes;  // expanded AES-256-GCM key; valid when has_aes
    uint8_t xchacha[crypto_aead_xchacha20poly1305_ietf_KEYBYTES];
    bool has_aes;
};
typedef struct seal_keys_s seal_keys_t;

// What a receiver keeps of one sender, made by its first datagram that authenticated.
struct seal_sender_s {
    uint8_t id[SEAL_SENDER_ID_BYTES];
    uint32_t addr;                    // where it seals from, network order
    uint16_t port;                    // network order
    uint8_t flags;                    // SEAL_FLAG_* of its latest datagram
    uint64_t top;                     // highest counter taken
    uint64_t seen[SEAL_WINDOW / 64];  // bit c % SEAL_WINDOW: counter c taken, top-W < c <= top
    uint64_t last_use;                // seal_state_s::uses when it last authenticated
    seal_keys_t keys;
};
typedef struct seal_sender_s seal_sender_t;

// Why datagrams were dropped on the way in, and sends refused; counts since seal_new.
struct seal_counts_s {
    long long not_sealed;     // shorter than an envelope, or no envelope (plain peer packets too)
    long long unsupported;    // a version or suite this process cannot open
    long long failed;         // did not authenticate: tampered, cut, another key, another direction
    long long replayed;       // a counter already taken from that sender
    long long stale;          // a counter further behind than SEAL_WINDOW
    long long refused_sends;  // sends refused because the counter was spent
};
typedef struct seal_counts_s seal_counts_t;

// One process's sealing: its key, its own sending state, what it knows of the other senders.
struct seal_state_s {
    seal_key_t swarm;                    // the swarm key every member holds
    uint8_t id[SEAL_SENDER_ID_BYTES];    // this process's sender id
    seal_keys_t own;                     // its sending keys
    uint64_t next_counter;               // the nonce of the next datagram sealed
    uint32_t self_addr;                  // own address as the peer list names it, network order
    uint16_t self_port;                  // network order
    std::vector<seal_sender_t> senders;  // at most SEAL_SENDERS_MAX
    std::unordered_map<uint64_t, size_t> by_id;    // half of a sender id -> index in senders
    std::unordered_map<uint64_t, size_t> by_addr;  // addr:port -> latest sender sealing from it
    uint64_t uses;                                 // datagrams authenticated so far
    seal_counts_t counts;
    bool said_plain;      // the line about a sender without the key was written
    bool said_other_key;  // the line about a sender with another key was written
    bool said_spent;      // the line about the spent counter was written
};
typedef struct seal_state_s seal_state_t;

// The process-wide sealing the shim uses; nullptr (the default): plain datagrams.
extern seal_state_t *gpSeal;

// ==== functions ==================================================================================

// Turns the shim's sealing on for this process with key, self being this peer's address and
// port as the peer list names them; says so on standard error. 0 on success; -1 when libsodium
// cannot start (nothing changes then).
int seal_enable(const seal_key_t *key, const struct sockaddr_in *self);

// A new sealing state with a fresh random sender id, owned by the caller (seal_free releases
// it); nullptr when libsodium cannot start.
seal_state_t *seal_new(const seal_key_t *key, const struct sockaddr_in *self);
void seal_free(seal_state_t *s);

// Seals plain[0..len) for the peer at to into out (room for out_size bytes). The sealed length
// (len + SEAL_OVERHEAD), or -1 with errno: EMSGSIZE when len exceeds SEAL_MAX_PLAIN or out is too
// small, EOVERFLOW once the counter is spent (said once, counted).
ssize_t seal_datagram(seal_state_t *s, const void *plain, size_t len, const struct sockaddr_in *to,
                      uint8_t *out, size_t out_size);

// Opens the sealed datagram in[0..len) that came from `from` into plain (room for plain_size
// bytes). The plain length, or -1 when it is dropped: counted by reason, named under debug 64,
// and the state left as it was.
int seal_open(seal_state_t *s, const uint8_t *in, size_t len, const struct sockaddr_in *from,
              void *plain, size_t plain_size);

// Datagrams s dropped on the way in so far, all reasons together.
long long seal_dropped(const seal_state_t *s);

// A new random swarm key into *key; -1 when libsodium cannot start.
int seal_random_key(seal_key_t *key);
// Reads the key file at path: 64 hex digits and an optional newline, a regular file that no one
// but its owner may read or write. 0 with *key set; -1 with the one-line reason in why.
int seal_read_key_file(const char *path, seal_key_t *key, char *why, size_t why_size);
// Creates the key file at path, mode 0600, holding key in the form seal_read_key_file reads;
// refuses to replace an existing file. 0, or -1 with the one-line reason in why.
int seal_write_key_file(const char *path, const seal_key_t *key, char *why, size_t why_size);
