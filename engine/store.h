// The chunk store: every chunk this peer can serve and where its bytes are. A chunk comes from
// the master data file at its index (the chunks of -c), from a file given with --serve, or, with
// --swarm, from the output file of a download, at its place there, from the moment it passed its
// SHA-1 check and was written. WHOHAS answers and GETs are served from here.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdio>

#include "config/bt_parse.h"
#include "engine/common.h"
#include "engine/hashindex.h"

// What kind of file a source is.
constexpr int STORE_MASTER = 0;      // the master data file: read as the design reads it
constexpr int STORE_SERVED = 1;      // a --serve file, checked chunk by chunk at start-up
constexpr int STORE_DOWNLOADED = 2;  // the output file of a download

// What a file's status said when its chunks were verified. While the file says the same, its
// chunks are served as read, without hashing them again; once its device, inode, size or time of
// last change differ, every chunk read is checked again. (A rewrite that keeps the size within
// one tick of the file system's clock goes unseen; the receiver's own check still refuses it.)
struct file_stamp_s {
    dev_t dev;
    ino_t ino;
    off_t size;             // bytes
    struct timespec mtime;  // last change of its bytes
};
typedef struct file_stamp_s file_stamp_t;

// A file chunks are read from; owned by the store's list.
struct store_source_s {
    char path[BT_FILENAME_LEN];  // unused for STORE_MASTER, which reads config->chunk_data_file
    int kind;                    // STORE_*
    int trusted;                 // truth value: stamp holds what the file said when verified
    file_stamp_t stamp;
    struct store_source_s *next;
};
typedef struct store_source_s store_source_t;

// One servable chunk; a heap block owned by the store.
struct store_entry_s {
    uint8_t hash[HASH_SIZE];  // raw SHA-1 of its bytes
    store_source_t *source;   // where they are (owned by the store)
    int index;                // chunk number in that file: bytes start at index * CHUNK_SIZE
    int length;               // bytes of the chunk (the last chunk of a file may be shorter)
    int uploads;              // uploads of it started so far
    int number;               // its place in entries, in the order chunks were added
};
typedef struct store_entry_s store_entry_t;

// Every GET and every hash of a WHOHAS is looked up here: by hash, in a few probes.
struct store_s {
    store_source_t *sources;  // owned
    store_entry_t **entries;  // [numbered] (owned); nullptr where an entry was dropped
    int numbered;             // entries ever added
    int capacity;             // room in entries
    hash_index_t by_hash;     // hash -> number of its entry
    int count;                // entries held
};
typedef struct store_s store_t;

// Builds config->store from the chunks of -c (master data file).
void store_load(bt_config_t *config);
// Releases the store and everything it owns.
void store_free(bt_config_t *config);
// The entry for hash, or nullptr when this peer cannot serve it.
store_entry_t *store_find(const bt_config_t *config, const uint8_t *hash);
// A new list the caller frees with chunklist_free: for each request in order, the hash with the
// chunk's index as id, when the store holds it; nullptr when it holds none.
chunkitem *store_findin(const bt_config_t *config, const chunkitem *requests);
// Reads the chunk of entry into buf (CHUNK_SIZE bytes; what the file lacks is UPLOAD_FILL_BYTE).
// False, with the reason on standard error, when it cannot be read. A chunk of a served file is
// hashed again only when the file changed since it was verified (see file_stamp_s), one of a
// downloaded file on every read, as the download writes into it; either is dropped from the
// store when it no longer matches its hash.
bool store_read(bt_config_t *config, store_entry_t *entry, uint8_t *buf);
// Adds a chunk verified in the file at path (as its index-th chunk, length bytes) unless the store
// already serves that hash. The entry for it.
store_entry_t *store_add(bt_config_t *config, const uint8_t *hash, const char *path, int kind,
                         int index, int length);
// Checks every chunk of datafile against list, the chunks the hash list hashfile names (nullptr
// when it cannot be read or names none), and adds the chunks that match. The number added (0 or
// more), or -1 with a one-line reason in why when a file cannot be read.
int store_serve_file(bt_config_t *config, const char *hashfile, const chunkitem *list,
                     const char *datafile, char *why, size_t why_size);
// The length of the chunk of f at index whose SHA-1 is hash, read into buf (CHUNK_SIZE bytes):
// the bytes present there, up to CHUNK_SIZE, when they match; -1 when they do not, or none are.
int store_check_chunk(FILE *f, int index, const uint8_t *hash, uint8_t *buf);
// The chunks of the served file at path were verified as they were while the file's status was
// *seen (taken before they were read): from now on they are read without hashing while the file
// still says the same.
void store_trust_file(bt_config_t *config, const char *path, const struct stat *seen);
// The path of a --serve file that path names (same device and inode), or nullptr.
const char *store_served_file_named(const bt_config_t *config, const char *path);
