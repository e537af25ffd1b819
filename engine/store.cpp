#include "engine/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "config/debug.h"
#include "engine/chunkbuf.h"
#include "engine/chunklist.h"
#include "support/sha.h"

// ---- the store record ------------------------------------------------------------------------

static store_t *store_of(bt_config_t *config) {
    if (!config->store) {
        config->store = static_cast<store_t *>(calloc(1, sizeof(store_t)));
        assert(config->store && "store");
    }
    return config->store;
}

// The source for path and kind, created at the end of the list when the store has none yet.
static store_source_t *source_for(store_t *store, const char *path, int kind) {
    store_source_t **link = &store->sources;
    for (; *link; link = &(*link)->next) {
        if ((*link)->kind == kind && strcmp((*link)->path, path) == 0) return *link;
    }
    auto *source = static_cast<store_source_t *>(calloc(1, sizeof(store_source_t)));
    assert(source && "store source");
    snprintf(source->path, sizeof source->path, "%s", path);
    source->kind = kind;
    *link = source;
    return source;
}

store_entry_t *store_find(const bt_config_t *config, const uint8_t *hash) {
    if (!config->store) return nullptr;
    int number = hashindex_get(&config->store->by_hash, hash);
    return number < 0 ? nullptr : config->store->entries[number];
}

// Room for one more entry at the end of entries.
static void make_room(store_t *store) {
    if (store->numbered < store->capacity) return;
    int capacity = store->capacity ? 2 * store->capacity : 64;
    auto *grown = static_cast<store_entry_t **>(
        realloc(store->entries, static_cast<size_t>(capacity) * sizeof(store_entry_t *)));
    assert(grown && "store entries");
    store->entries = grown;
    store->capacity = capacity;
}

store_entry_t *store_add(bt_config_t *config, const uint8_t *hash, const char *path, int kind,
                         int index, int length) {
    if (store_entry_t *known = store_find(config, hash)) return known;
    store_t *store = store_of(config);
    auto *entry = static_cast<store_entry_t *>(calloc(1, sizeof(store_entry_t)));
    assert(entry && "store entry");
    memcpy(entry->hash, hash, HASH_SIZE);
    entry->source = source_for(store, path, kind);
    entry->index = index;
    entry->length = length;
    make_room(store);
    entry->number = store->numbered++;
    store->entries[entry->number] = entry;
    hashindex_put(&store->by_hash, hash, entry->number);
    store->count++;
    return entry;
}

static void store_remove(bt_config_t *config, store_entry_t *entry) {
    store_t *store = config->store;
    hashindex_remove(&store->by_hash, entry->hash);
    store->entries[entry->number] = nullptr;
    free(entry);
    store->count--;
}

void store_free(bt_config_t *config) {
    store_t *store = config->store;
    if (!store) return;
    for (int i = 0; i < store->numbered; i++) free(store->entries[i]);
    free(store->entries);
    hashindex_free(&store->by_hash);
    for (store_source_t *s = store->sources; s;) {
        store_source_t *next = s->next;
        free(s);
        s = next;
    }
    free(store);
    config->store = nullptr;
}

chunkitem *store_findin(const bt_config_t *config, const chunkitem *requests) {
    chunkitem *head = nullptr;
    chunkitem **tail = &head;
    for (const chunkitem *r = requests; r; r = r->next) {
        const store_entry_t *e = store_find(config, r->hash);
        if (!e) continue;
        chunklist_add(tail, e->hash, e->index);
        tail = &(*tail)->next;
    }
    return head;
}

// ---- reading chunks --------------------------------------------------------------------------

// Closes a descriptor as its scope ends.
struct fd_guard {
    int fd;
    ~fd_guard() {
        if (fd >= 0) close(fd);
    }
};

// Up to CHUNK_SIZE bytes of fd at offset into buf, straight from the page cache: the count read,
// less at the file's end, -1 on a read error.
static ssize_t pread_chunk(int fd, off_t offset, uint8_t *buf) {
    size_t got = 0;
    while (got < CHUNK_SIZE) {
        ssize_t n = pread(fd, buf + got, CHUNK_SIZE - got, offset + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return got > 0 ? static_cast<ssize_t>(got) : -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// Reads chunk id of the master data file into buf, once, with pread; the bytes the file lacks
// get the fill byte. False when the chunk cannot be read.
static bool read_master_chunk(bt_config_t *config, int id, uint8_t *buf) {
    off_t file_offset = static_cast<off_t>(id) * CHUNK_SIZE;
    fd_guard f{open(config->chunk_data_file, O_RDONLY | O_CLOEXEC)};
    if (f.fd < 0) {
        // A GET any listed peer can send must not end this peer and its own download.
        int saved = errno;
        debug_log(DEBUG_ERRS, "Error opening chunk data file %s \n", config->chunk_data_file);
        fprintf(stderr, "Error: GET for chunk %d refused: cannot open master data file '%s': %s\n",
                id, config->chunk_data_file, strerror(saved));
        return false;
    }
    debug_log(DEBUG_ALL, "trying to read %d bytes of %s from offset = %lld \n", CHUNK_SIZE,
              config->chunk_data_file, static_cast<long long>(file_offset));
    if (file_offset < 0) {
        debug_log(DEBUG_ERRS, "Error with fseek! \n");
        return false;
    }
    ssize_t got = pread_chunk(f.fd, file_offset, buf);
    if (got <= 0) {
        debug_log(DEBUG_ERRS, "error reading from master data file \n");
        debug_log(DEBUG_ERRS, "feof = %d, ferror = %d errno = %d \n", got == 0 ? 1 : 0,
                  got < 0 ? 1 : 0, got < 0 ? errno : 0);
        return false;
    }
    debug_log(DEBUG_ALL, "read %d bytes from the chunk-data-file \n", static_cast<int>(got));
    if (got < CHUNK_SIZE) memset(buf + got, UPLOAD_FILL_BYTE, static_cast<size_t>(CHUNK_SIZE - got));
    return true;
}

// Up to CHUNK_SIZE bytes of f at index into buf; the count read (0 on any failure).
static int read_at_index(FILE *f, int index, uint8_t *buf) {
    off_t offset = static_cast<off_t>(index) * CHUNK_SIZE;
    if (index < 0 || fseeko(f, offset, SEEK_SET) != 0) return 0;
    return static_cast<int>(fread(buf, 1, CHUNK_SIZE, f));
}

int store_check_chunk(FILE *f, int index, const uint8_t *hash, uint8_t *buf) {
    int got = read_at_index(f, index, buf);
    if (got <= 0) return -1;
    uint8_t digest[HASH_SIZE];
    shahash(buf, got, digest);
    return memcmp(digest, hash, HASH_SIZE) == 0 ? got : -1;
}

static void stamp_of(const struct stat *st, file_stamp_t *stamp) {
    stamp->dev = st->st_dev;
    stamp->ino = st->st_ino;
    stamp->size = st->st_size;
    stamp->mtime = st->st_mtim;
}

// Whether the open file f still says what it said when its source's chunks were verified.
static bool unchanged_since_verified(const store_source_t *source, FILE *f) {
    struct stat st;
    if (!source->trusted || fstat(fileno(f), &st) != 0) return false;
    const file_stamp_t *s = &source->stamp;
    return st.st_dev == s->dev && st.st_ino == s->ino && st.st_size == s->size &&
           st.st_mtim.tv_sec == s->mtime.tv_sec && st.st_mtim.tv_nsec == s->mtime.tv_nsec;
}

// A chunk outside the master data file is hashed again as it is read unless its file is known
// not to have changed since it was verified: a peer must never send bytes that are not the
// chunk.
static bool read_checked_chunk(bt_config_t *config, store_entry_t *entry, uint8_t *buf) {
    FileHandle f(fopen(entry->source->path, "r"), &fclose);
    int got = -1;
    if (f && unchanged_since_verified(entry->source, f.get())) {
        got = read_at_index(f.get(), entry->index, buf);
    } else if (f) {
        got = store_check_chunk(f.get(), entry->index, entry->hash, buf);
    }
    if (got != entry->length) {
        fprintf(stderr,
                "Error: GET for chunk %d refused: %s no longer holds it; no longer served\n",
                entry->index, entry->source->path);
        store_remove(config, entry);
        return false;
    }
    if (got < CHUNK_SIZE)
        memset(buf + got, UPLOAD_FILL_BYTE, static_cast<size_t>(CHUNK_SIZE - got));
    return true;
}

bool store_read(bt_config_t *config, store_entry_t *entry, uint8_t *buf) {
    if (entry->source->kind == STORE_MASTER) return read_master_chunk(config, entry->index, buf);
    return read_checked_chunk(config, entry, buf);
}

void store_trust_file(bt_config_t *config, const char *path, const struct stat *seen) {
    store_source_t *source = source_for(store_of(config), path, STORE_SERVED);
    stamp_of(seen, &source->stamp);
    source->trusted = 1;
}

// ---- loading ---------------------------------------------------------------------------------

int store_serve_file(bt_config_t *config, const char *hashfile, const chunkitem *list,
                     const char *datafile, char *why, size_t why_size) {
    FileHandle data(fopen(datafile, "r"), &fclose);
    if (!data) {
        snprintf(why, why_size, "cannot read %s: %s", datafile, strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(fileno(data.get()), &st) != 0 || !S_ISREG(st.st_mode)) {
        snprintf(why, why_size, "%s is not a regular file", datafile);
        return -1;
    }
    if (!list) {
        snprintf(why, why_size, "%s cannot be read or holds no chunk hashes", hashfile);
        return -1;
    }
    uint8_t *buf = chunkbuf_take();
    int added = 0;
    for (const chunkitem *c = list; c; c = c->next) {
        int length = store_check_chunk(data.get(), c->id, c->hash, buf);
        if (length < 0) continue;
        store_add(config, c->hash, datafile, STORE_SERVED, c->id, length);
        added++;
    }
    chunkbuf_give(buf);
    // The status from before the chunks were read: a change while they were checked shows.
    if (added > 0) store_trust_file(config, datafile, &st);
    return added;
}

void store_load(bt_config_t *config) {
    store_of(config);
    for (const chunkitem *c = config->mychunks; c; c = c->next)
        store_add(config, c->hash, "", STORE_MASTER, c->id, CHUNK_SIZE);
}

const char *store_served_file_named(const bt_config_t *config, const char *path) {
    struct stat out;
    if (!config->store || stat(path, &out) != 0) return nullptr;
    for (const store_source_t *s = config->store->sources; s; s = s->next) {
        struct stat st;
        if (s->kind == STORE_SERVED && stat(s->path, &st) == 0 && st.st_dev == out.st_dev &&
            st.st_ino == out.st_ino)
            return s->path;
    }
    return nullptr;
}
