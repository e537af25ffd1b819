// Hash-file reading, sender lookup, byte dumps, and the end of a receiving connection: its record
// released, its chunk checked and written. Nothing here decides what comes next.
#pragma once

#include <netinet/in.h>

#include "config/bt_parse.h"
#include "engine/common.h"

// A new list in file order that the caller owns (nullptr when the file holds no chunk lines or
// cannot be opened). With is_master_file set, the first line names the master data file (stored
// in config->chunk_data_file) and the second is skipped.
chunkitem *readHashesFromFile(const char *fname, int is_master_file, bt_config_t *config);
// The chunk line "<digits> <40 hex digits>" of len bytes, its line end cut off, as every reader
// of hash lists takes it: the id within an int, the hash up to the end of the line. False for
// any other line.
bool parseChunkLine(const char *line, size_t len, int *id, uint8_t hash[HASH_SIZE]);
// The peer record whose address and port equal *from (0.0.0.0 is taken as 127.0.0.1 and *from is
// rewritten so); nullptr when no peer matches.
bt_peer_t *getPeerFromSockinfo(bt_config_t *config, struct sockaddr_in *from);
// Writes "byte %d = %x \n" per byte to standard output.
void dumpBytes(const char *start, int numBytes);

// What verifyAndWriteChunk found.
constexpr int CHUNK_MISMATCH = 0;   // the bytes do not match the chunk's hash (or are not all in)
constexpr int CHUNK_WRITTEN = 1;    // verified and written to the output file
constexpr int CHUNK_UNWRITTEN = 2;  // verified, but the output file refused them

// Lets go of the packets peer's receiving connection holds. The bytes of those ahead of the
// gap go back to the fill byte, so the buffer reads as the bytes taken in order and fill, as
// it is checked and kept after a connection that ended short.
void releaseHeldPackets(bt_peer_t *peer);
// Puts peer's receiving side back to idle: held packets and the buffer released, chunk cleared.
void releaseReceivingConnection(bt_peer_t *peer);
// The chunk buffer of an ended connection stays with the peer record (receiving_prev_data) until
// the next one ends, so that late DATA of this chunk can be told apart from the next chunk's;
// the connection is idle afterwards.
void retireReceivingBuffer(bt_peer_t *peer);
// The connections other than peer's that fetch the same to_fetch_list node as chunk (a second
// copy asked for at the end of a download) are ended, their bytes dropped: chunk is written.
// Each keeps the written chunk (peer's retired buffer) as its last chunk, so that DATA its peer
// still sends of it is never taken for the next chunk asked of that peer.
void releaseOtherFetchers(bt_config_t *config, const bt_peer_t *peer, const chunkitem *chunk);
// Downloader: notes the rate at which the peer sent a whole chunk in receiving_rate, which
// holds the best rate the peer has shown, fading a little with every chunk.
void noteChunkReceived(bt_peer_t *peer, double now);
// Ends the receiving connection from peer and checks its chunk (CHUNK_MISMATCH, with the SHA-1 of
// its bytes in digest), then writes the verified bytes, *length of them, at the chunk's place in
// the output file (CHUNK_WRITTEN or CHUNK_UNWRITTEN). It reports; the caller decides what comes
// next. The buffer stays with the connection.
int verifyAndWriteChunk(bt_config_t *config, bt_peer_t *peer, double now, int *length,
                        uint8_t digest[HASH_SIZE]);
