// Chunk hashing and conversion between raw digests and hexadecimal text.
#include "support/chunk.h"

#include <cctype>
#include <cstddef>
#include <memory>
#include <string.h>  // explicit_bzero

#include "support/sha.h"

constexpr size_t kChunkBytes = CHUNK_SIZE;

void shahash(const uint8_t *str, int len, uint8_t *hash) {
    SHA1Context sc;
    SHA1Init(&sc);
    // A negative length is a caller's mistake; it hashes nothing rather than reading far away.
    SHA1Update(&sc, str, len > 0 ? static_cast<uint32_t>(len) : 0);
    SHA1Final(&sc, hash);
    // The context holds the chaining state and the last block; a plain memset of a dead local
    // would be dropped by the optimiser.
    explicit_bzero(&sc, sizeof sc);
}

int make_chunks(FILE *fp, uint8_t **chunk_hashes, int max_chunks) {
    // One buffer for the whole file, so memory does not grow with its size. An allocation
    // failure ends the process through std::bad_alloc.
    std::unique_ptr<uint8_t[]> buf(new uint8_t[kChunkBytes]);
    int count = 0;
    // The bound is the caller's number of digest areas: a file that grew since it was sized
    // is cut short instead of overrunning them.
    while (count < max_chunks) {
        const size_t got = fread(buf.get(), 1, kChunkBytes, fp);
        if (got == 0) break;  // end of file or a read error: both end the listing
        shahash(buf.get(), static_cast<int>(got), chunk_hashes[count]);
        count++;
    }
    return count;
}

// ---- hex text ------------------------------------------------------------------------------

void binary2hex(const uint8_t *buf, int len, char *hex) {
    static constexpr char kDigits[] = "0123456789abcdef";
    int i = 0;
    for (; i < len; i++) {
        hex[2 * i] = kDigits[buf[i] >> 4];
        hex[2 * i + 1] = kDigits[buf[i] & 0x0F];
    }
    hex[2 * i] = '\0';
}

// The value of one hex digit, either case. Nothing is rejected: any other character goes through
// the same arithmetic (code - 48 or code - 55, kept to eight bits) and lands outside 0..15.
static uint8_t _hex2binary(char hex) {
    const int upper = toupper(static_cast<unsigned char>(hex));
    const int value = static_cast<signed char>(upper) <= '9' ? upper - 48 : upper - 55;
    return static_cast<uint8_t>(value);
}

void hex2binary(const char *hex, int len, uint8_t *buf) {
    // An odd len reads the second digit of the last byte from hex[len] (a string's NUL).
    for (int i = 0; i < len; i += 2) {
        const int high = (_hex2binary(hex[i]) << 4) & 0xFF;
        buf[i / 2] = static_cast<uint8_t>(high | _hex2binary(hex[i + 1]));
    }
}
