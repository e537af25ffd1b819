// Chunk hashing and conversion between raw hashes and hexadecimal text.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int CHUNK_SIZE = 524288;  // bytes per chunk (512 KiB): the unit a chunk hash covers

// The SHA-1 digest of len bytes at str into hash (20 bytes); the context is wiped afterwards.
void shahash(const uint8_t *str, int len, uint8_t *hash);
// Hashes fp from its position in CHUNK_SIZE pieces; digest k goes to chunk_hashes[k]. Returns the
// number of chunks hashed. Hashes at most max_chunks chunks (the number of areas the caller has).
int make_chunks(FILE *fp, uint8_t **chunk_hashes, int max_chunks);
// Writes 2*len lower-case hex digits and a NUL to hex.
void binary2hex(const uint8_t *buf, int len, char *hex);
// Reads len characters as hex digits into (len+1)/2 bytes of buf.
void hex2binary(const char *hex, int len, uint8_t *buf);
