// SHA-1 (FIPS 180-1) with a fully unrolled block function.
#pragma once

#include <cstdint>

constexpr int SHA1_HASH_SIZE = 20;

struct SHA1Context {
    uint64_t totalLength;   // message bits absorbed so far
    uint32_t hash[5];       // chaining state H0..H4
    uint32_t bufferLength;  // bytes waiting in buffer, 0..63 between calls
    union {
        uint32_t words[16];
        uint8_t bytes[64];
    } buffer;  // the partial block not yet compressed
};

void SHA1Init(SHA1Context *sc);
void SHA1Update(SHA1Context *sc, const void *vdata, uint32_t len);
// Pads and writes the digest to hash (20 bytes) when hash is not null. Does not clear sc.
void SHA1Final(SHA1Context *sc, uint8_t hash[SHA1_HASH_SIZE]);
