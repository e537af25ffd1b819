// Hash lists as the front end makes and reads them: one "<index> <40 hex digits>" line per
// 512 KiB chunk, the format hashlist prints and a GET names.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/common.h"

// The largest file get fetches: a hash list that names a chunk beyond it is refused before
// anything starts, however sparse a file system would let OUT be.
constexpr long long FRONT_MAX_FILE_BYTES = 1LL << 40;  // 1 TiB
constexpr int FRONT_MAX_CHUNKS = static_cast<int>(FRONT_MAX_FILE_BYTES / CHUNK_SIZE);

// One chunk of a hashed file: its SHA-1 and its length (CHUNK_SIZE but for the last).
struct file_chunk_s {
    uint8_t hash[HASH_SIZE];
    int length;
};
typedef struct file_chunk_s file_chunk_t;

// Called before the first chunk (hashed 0) and after each one with the bytes hashed so far of
// size; returning false stops the hashing.
typedef bool (*hash_progress_fn)(long long hashed, long long size);

// The hash list of the regular file at path into *text, one line per chunk, its chunks into
// *chunks, and the file's status as it was opened, before a byte was read, into *opened. 0 on
// success; -1 with a one-line reason in why when the file cannot be read, is empty, or go_on
// stopped it (why then empty).
int hash_list_of_file(const char *path, hash_progress_fn go_on, std::string *text,
                      std::vector<file_chunk_t> *chunks, struct stat *opened, char *why,
                      size_t why_size);
// Whether a hash list can be written at path, tried before the file is hashed: 0, or -1 with
// the reason write_hash_list would give in why.
int check_hash_list_path(const char *path, char *why, size_t why_size);
// Writes text to path unless path already holds exactly text; *written tells which. The new file
// replaces the old one at once (written beside it, then renamed). 0, or -1 with a reason in why.
int write_hash_list(const char *path, const std::string &text, bool *written, char *why,
                    size_t why_size);
// Reads the hash list at path: every non-blank line a chunk line, and the n indices of its n
// chunk lines 0 to n-1, each once (the same hash at several places is fine), at most
// FRONT_MAX_CHUNKS of them. A new list in file order that the caller frees with chunklist_free,
// its length in *count. nullptr with "path:line: reason" (or "path: reason") in why when the file
// cannot be read, a line is no chunk line, an index repeats or is out of range, or it holds no
// chunk line.
chunkitem *read_hash_list(const char *path, int *count, char *why, size_t why_size);
// "1 chunk", "3 chunks": n and the noun, with an s unless n is 1.
std::string counted(long long n, const char *noun);
// A size for people: "812 bytes", "40 KiB", "3.0 MiB", "1.50 GiB".
std::string size_text(long long bytes);
