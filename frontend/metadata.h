// What a swarm shares: one file, several files or a folder, as a list of files with their sizes
// and chunk hashes. The swarm is named by the SHA-256 of the list's canonical encoding, so every
// member holds, and checks, the same list.
//
// Paths are relative and '/'-separated, and they always begin with the shared entry's own name:
// sharing big.iso gives the one file "big.iso"; sharing the folder photos gives "photos/a.jpg",
// "photos/2025/b.jpg"; sharing a.txt and docs/ together gives "a.txt", "docs/c.txt". name is the
// default destination: the file's or folder's name when one entry was shared, empty when several
// were. A getter places the file at path P at
//   - DEST followed by what P holds after name, when name is set (DEST defaults to name): so the
//     one file of a single-file share is DEST itself, and a folder's files are DEST/...;
//   - DEST/P when name is empty (DEST defaults to the current folder).
// metadata_dest_path makes that path. Only files are listed: an empty folder is not shared.
//
// Encoding (all integers in network byte order, every length bounded, nothing after the end):
//   header       16 bytes: "TLVM", version 1, a zero byte, name length (u16), chunk size
//                (u32, CHUNK_SIZE), file count (u32, 1 to META_MAX_FILES)
//   name         name length bytes
//   per file     16 bytes: size in bytes (u64), chunk count (u32, ceil(size / chunk size)),
//                path length (u16, 1 to META_MAX_PATH), two zero bytes;
//                then the path, then chunk count SHA-1 digests of 20 bytes each
// Files appear in path order comparing component by component (a folder's files right after
// it, as a walk that sorts each folder's entries by name visits them), each path once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/common.h"
#include "frontend/chunkfile.h"

// ==== constants ==================================================================================

constexpr uint8_t META_MAGIC[4] = {'T', 'L', 'V', 'M'};
constexpr uint8_t META_VERSION = 1;
constexpr size_t META_DIGEST_BYTES = 32;      // SHA-256 of the encoding: the swarm's name
constexpr size_t META_MAX_PATH = 4096;        // bytes of a path
constexpr size_t META_MAX_COMPONENT = 255;    // bytes of one path component, and of name
constexpr size_t META_MAX_FILES = 1u << 20;   // files in one swarm
constexpr uint64_t META_MAX_TOTAL_BYTES = static_cast<uint64_t>(FRONT_MAX_FILE_BYTES);  // all files
// The largest encoding taken: what one metadata head carries (64 pieces of 512 KiB; the engine's
// META_MAX_PIECES), room for a million small files with short paths, or for one file of about
// 800 GiB (40 960 chunk hashes a GiB): a larger share is refused when it is built.
constexpr size_t META_MAX_BYTES = 32u << 20;

// ==== records ====================================================================================

// The fixed start of an encoding; multi-byte fields big-endian.
struct meta_header_s {
    uint8_t magic[4];       // META_MAGIC
    uint8_t version;        // META_VERSION
    uint8_t zero;           // 0
    uint8_t name_len[2];    // bytes of name that follow
    uint8_t chunk_size[4];  // CHUNK_SIZE
    uint8_t file_count[4];  // files that follow the name
};
typedef struct meta_header_s meta_header_t;
static_assert(sizeof(meta_header_t) == 16);
static_assert(std::is_trivially_copyable_v<meta_header_t>);
static_assert(offsetof(meta_header_t, magic) == 0);
static_assert(offsetof(meta_header_t, version) == 4);
static_assert(offsetof(meta_header_t, zero) == 5);
static_assert(offsetof(meta_header_t, name_len) == 6);
static_assert(offsetof(meta_header_t, chunk_size) == 8);
static_assert(offsetof(meta_header_t, file_count) == 12);

// The fixed start of each file's entry; multi-byte fields big-endian.
struct meta_file_header_s {
    uint8_t size[8];         // bytes of the file
    uint8_t chunk_count[4];  // digests after the path
    uint8_t path_len[2];     // bytes of the path that follows
    uint8_t zero[2];         // 0
};
typedef struct meta_file_header_s meta_file_header_t;
static_assert(sizeof(meta_file_header_t) == 16);
static_assert(std::is_trivially_copyable_v<meta_file_header_t>);
static_assert(offsetof(meta_file_header_t, size) == 0);
static_assert(offsetof(meta_file_header_t, chunk_count) == 8);
static_assert(offsetof(meta_file_header_t, path_len) == 12);
static_assert(offsetof(meta_file_header_t, zero) == 14);

// The SHA-1 of one chunk.
struct meta_hash_s {
    uint8_t bytes[HASH_SIZE];
};
typedef struct meta_hash_s meta_hash_t;

struct meta_file_s {
    std::string path;                 // relative, '/'-separated, starting with the shared name
    uint64_t size;                    // bytes
    std::vector<meta_hash_t> chunks;  // chunk i covers bytes i*chunk_size on; the last is short
};
typedef struct meta_file_s meta_file_t;

struct metadata_s {
    uint32_t chunk_size;             // CHUNK_SIZE
    std::string name;                // the default destination; empty when several were shared
    std::vector<meta_file_t> files;  // in path order, at least one
};
typedef struct metadata_s metadata_t;

// ==== functions ==================================================================================

// Hashes what paths name into *out: one regular file or folder (name is its base name), or
// several (name empty), each placed at the top under its base name. Folders are walked
// recursively with each folder's entries sorted by name, so the same tree gives the same list;
// inside them symbolic links and special files are left out, one line each in *skipped ("skipping
// photos/x: it is a symbolic link"); a path given on the command line is followed. Empty files are
// listed with no chunk. go_on is called per file as hash_list_of_file calls it. 0 on success; -1
// with a one-line reason in why when a path cannot be read, is neither a file nor a folder, two
// share a base name, nothing is left to share, a limit is passed or a name would be refused by
// metadata_check; -1 with why empty when go_on stopped it.
int metadata_build(const std::vector<std::string> &paths, hash_progress_fn go_on, metadata_t *out,
                   std::vector<std::string> *skipped, char *why, size_t why_size);
// Whether m is what metadata_decode accepts: 0, or -1 with a one-line reason in why.
int metadata_check(const metadata_t &m, char *why, size_t why_size);
// The canonical encoding of m, which must pass metadata_check (asserted for the lengths).
std::vector<uint8_t> metadata_encode(const metadata_t &m);
// Parses len untrusted bytes into *out, checking every field as metadata_check does and that
// nothing follows. 0 on success; -1 with a one-line reason in why (*out then unspecified).
int metadata_decode(const uint8_t *bytes, size_t len, metadata_t *out, char *why,
                    size_t why_size);
// The swarm's name: SHA-256 (libsodium) of len bytes, the encoding, into out.
void metadata_digest(const uint8_t *bytes, size_t len, uint8_t out[META_DIGEST_BYTES]);
// The file's chunks as a hash list, one "<index> <40 hex digits>\n" line each, what a GET reads
// and hash_list_of_file makes; empty for an empty file.
std::string metadata_hash_list(const meta_file_t &f);
// Where file f of m goes when the destination is dest (a path the user chose, or m.name): dest
// followed by f.path less m.name when m.name is set, dest/f.path when it is empty.
std::string metadata_dest_path(const metadata_t &m, const meta_file_t &f, const std::string &dest);
// Opens relpath below the folder dest_dirfd for reading and writing, creating it (mode 0666 less
// the umask) and its missing folders (0777 less the umask), without truncating what is there, so
// that a copy resumes. relpath must pass the path rules of metadata_check; every component is
// opened without following a symbolic link, so nothing can lead outside dest_dirfd, and the end
// must be a regular file. The new descriptor, which the caller closes; -1 with a one-line reason
// in why.
int metadata_open_output(int dest_dirfd, const std::string &relpath, char *why, size_t why_size);
