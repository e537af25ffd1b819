// Wire constants, the packet header and the chunk-list node shared by the whole peer engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <type_traits>

#include "support/chunk.h"  // CHUNK_SIZE

typedef int BOOL;  // an int used as a truth value

// A file a function opens and closes itself.
using FileHandle = std::unique_ptr<FILE, decltype(&fclose)>;

// ---- sizes -----------------------------------------------------------------------------------
constexpr int HASH_SIZE = 20;                 // bytes of a raw SHA-1 digest
constexpr int HASH_HEX_SIZE = 2 * HASH_SIZE;  // text form: 40 hex digits
constexpr int HEADER_SIZE = 16;               // bytes of every packet header this system builds
constexpr int DATA_PAYLOAD = 1400;            // chunk bytes per DATA packet (all but the last)
constexpr int PACKETS_PER_CHUNK = (CHUNK_SIZE + DATA_PAYLOAD - 1) / DATA_PAYLOAD;
constexpr int LAST_PACKET_PAYLOAD = CHUNK_SIZE - (PACKETS_PER_CHUNK - 1) * DATA_PAYLOAD;
constexpr int MAX_PACKET_SIZE = 1500;  // receive buffer: bytes of a datagram a peer takes
constexpr int CONTROL_PREFIX = 4;      // count byte + 3 padding bytes of WHOHAS/IHAVE
constexpr int MAX_CONTROL_HASHES = (MAX_PACKET_SIZE - HEADER_SIZE - CONTROL_PREFIX) / HASH_SIZE;
constexpr int GET_PACKET_SIZE = HEADER_SIZE + HASH_SIZE;
constexpr uint8_t UPLOAD_FILL_BYTE = 0x0A;  // what an uploader sends past the end of its file
constexpr uint8_t RECEIVE_FILL_BYTE = 0x0B;  // a reassembly buffer's bytes not yet taken in order

// Where DATA packet seq (1..PACKETS_PER_CHUNK) lies in its chunk, and the bytes it carries.
constexpr int dataPayloadOffset(int seq) {
    return (seq - 1) * DATA_PAYLOAD;
}
constexpr int dataPayloadLength(int seq) {
    return seq == PACKETS_PER_CHUNK ? LAST_PACKET_PAYLOAD : DATA_PAYLOAD;
}

static_assert(PACKETS_PER_CHUNK == 375);
static_assert(dataPayloadOffset(PACKETS_PER_CHUNK) + dataPayloadLength(PACKETS_PER_CHUNK) ==
              CHUNK_SIZE);
static_assert(LAST_PACKET_PAYLOAD == 688);
static_assert(MAX_CONTROL_HASHES == 74);
static_assert(GET_PACKET_SIZE == 36);

constexpr uint16_t PACKET_MAGIC = 23517;
constexpr uint8_t PACKET_VERSION = 1;

// Packet types; 5 passes the header check but has no handler. 6 and 7 pass it only in a peer
// started with --open (engine/membership, which lays them out); a designed peer drops them there.
constexpr uint8_t PKT_WHOHAS = 0;
constexpr uint8_t PKT_IHAVE = 1;
constexpr uint8_t PKT_GET = 2;
constexpr uint8_t PKT_DATA = 3;
constexpr uint8_t PKT_ACK = 4;
constexpr uint8_t PKT_MAX_TYPE = 5;
constexpr uint8_t PKT_PEX = 6;   // peer exchange: members' addresses, and a keep-alive
constexpr uint8_t PKT_META = 7;  // a metadata head asked for, or sent
constexpr uint8_t PKT_MAX_OPEN_TYPE = 7;

// ---- the packet header -----------------------------------------------------------------------
// Laid out exactly as on the wire; every multi-byte field is in network byte order in memory.
struct header_s {
    uint16_t magic;   // PACKET_MAGIC
    uint8_t version;  // PACKET_VERSION
    uint8_t type;     // PKT_*
    uint16_t h_len;   // header length, payload starts here
    uint16_t p_len;   // total packet length, header included
    uint32_t seq;     // DATA sequence number, 0 elsewhere
    uint32_t ack;     // cumulative ACK number, 0 elsewhere
};
typedef struct header_s header;

static_assert(sizeof(header) == 16);
static_assert(std::is_trivially_copyable_v<header>);
static_assert(offsetof(header, magic) == 0);
static_assert(offsetof(header, version) == 2);
static_assert(offsetof(header, type) == 3);
static_assert(offsetof(header, h_len) == 4);
static_assert(offsetof(header, p_len) == 6);
static_assert(offsetof(header, seq) == 8);
static_assert(offsetof(header, ack) == 12);

// ---- chunk lists -----------------------------------------------------------------------------
// One node of a chunk list. Two nodes name the same chunk when their hashes are equal.
struct chunkitem_s {
    uint8_t hash[HASH_SIZE];   // raw SHA-1 digest
    int id;                    // chunk number; meaning depends on the list, -1 from packets
    struct chunkitem_s *next;  // nullptr at the end
};
typedef struct chunkitem_s chunkitem;

// A chunk that failed its hash check when fetched from one peer: how often, and from when that
// peer may be asked for it again.
struct failitem_s {
    uint8_t hash[HASH_SIZE];         // raw SHA-1 digest of the chunk
    int failures;                    // failures so far, whatever bytes they brought
    uint8_t last_digest[HASH_SIZE];  // SHA-1 of the bytes the last failure brought
    double retry_after;              // seconds; the peer is not asked for the chunk before this
    struct failitem_s *next;         // nullptr at the end
};
typedef struct failitem_s failitem;
