// hashlist: prints "<chunk number> <40 hex digits>" for every 524288-byte chunk of one file, the
// chunk-line format of the peer's hash files.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "support/chunk.h"

constexpr int kExitFailure = -1;  // seen as 255 by the shell
constexpr double kChunkBytes = CHUNK_SIZE;
constexpr int kDigestBytes = 20;
constexpr size_t kStdoutBuffer = 1 << 16;

// Chunks of the named file from its size alone; -1 with errno set when it cannot be sized. A
// directory opens for reading on some systems but has no bytes to list, so it counts as an error.
static int get_numchunks(const char *filename) {
    struct stat st;
    if (stat(filename, &st) != 0) return -1;
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    const double length = static_cast<double>(st.st_size);
    const double chunks = std::ceil(length / kChunkBytes);
    if (chunks > INT_MAX) {  // a sparse file can claim more chunks than an int counts
        errno = EFBIG;
        return -1;
    }
    return static_cast<int>(chunks);
}

// Releases the digest areas from..count-1 (null entries included) and then the array.
static void free_digest_areas(uint8_t **hashes, int from, int count) {
    for (int i = from; i < count; i++) free(hashes[i]);
    free(hashes);
}

// An array of count pointers to 20-byte areas, all owned by the caller (free_digest_areas);
// nullptr when any allocation failed, with nothing left allocated.
static uint8_t **alloc_digest_areas(int count) {
    // calloc so that a partial failure frees only what exists; at least one slot because
    // calloc(0) may legitimately return nullptr.
    const size_t slots = static_cast<size_t>(std::max(count, 1));
    auto **hashes = static_cast<uint8_t **>(calloc(slots, sizeof(uint8_t *)));
    if (hashes == nullptr) return nullptr;
    for (int i = 0; i < count; i++) {
        hashes[i] = static_cast<uint8_t *>(malloc(kDigestBytes));
        if (hashes[i] == nullptr) {
            free_digest_areas(hashes, 0, i);
            return nullptr;
        }
    }
    return hashes;
}

int main(int argc, char **argv) {
    static char out_buffer[kStdoutBuffer];
    setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);

    if (argc < 2) {
        // Scripts and tests see the usage exactly as it always was, without a newline; on a
        // terminal the newline keeps the shell's prompt off the usage line.
        fprintf(stderr, "usage: %s <input-file>%s", argc > 0 ? argv[0] : "hashlist",
                isatty(STDERR_FILENO) == 1 ? "\n" : "");
        return kExitFailure;
    }
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        printf("usage: %s <input-file>\n"
               "Prints \"<chunk number> <40 hex digit SHA-1>\" for every %d-byte chunk of the\n"
               "file, the last one as long as what is left; a path starting with '-' is given\n"
               "as ./-name.\n",
               argv[0], CHUNK_SIZE);
        return 0;
    }
    const char *input_file = argv[1];

    std::unique_ptr<FILE, decltype(&fclose)> fp(fopen(input_file, "rb"), &fclose);
    const int numchunks = get_numchunks(input_file);
    if (numchunks < 0 && errno == EISDIR) {
        fprintf(stderr, "Can't hash %s: it is a directory\n", input_file);
        return kExitFailure;
    }
    // errno is the later failure's: stat's when both failed, fopen's when only it did.
    if (numchunks < 0 || fp == nullptr) {
        fprintf(stderr, "Can't stat the file %s: %s\n", input_file, strerror(errno));
        return kExitFailure;
    }

    uint8_t **hashes = alloc_digest_areas(numchunks);
    if (hashes == nullptr) {
        fputs("Out of memory!!!", stderr);
        return kExitFailure;
    }

    // numchunks bounds the reading: bytes appended after the stat are not listed.
    const int chunks = make_chunks(fp.get(), hashes, numchunks);
    char ascii[2 * kDigestBytes + 1];
    for (int i = 0; i < chunks; i++) {
        binary2hex(hashes[i], kDigestBytes, ascii);
        printf("%d %s\n", i, ascii);
        free(hashes[i]);
        hashes[i] = nullptr;
    }
    // A file that shrank after the stat leaves areas that were never filled.
    free_digest_areas(hashes, chunks, numchunks);
    return 0;
}
