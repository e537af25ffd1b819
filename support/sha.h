// SHA-1 (FIPS 180-1) with a fully unrolled portable block function and, on x86-64 CPUs that have
// them, one on the SHA instructions, chosen at run time.
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
// Makes SHA1Update use the portable block function even where the CPU has SHA instructions
// (true), or the CPU's choice again (false). Meant for tests comparing the two; the environment
// variable P2P_SHA1_PORTABLE=1, read once at first use, keeps a whole process on the portable code.
void SHA1ForcePortable(bool portable);
// Whether SHA1Update compresses with the CPU's SHA instructions at the moment.
bool SHA1UsesHardware();
