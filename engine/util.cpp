#include "engine/util.h"

#include <arpa/inet.h>

#include <cassert>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "config/debug.h"
#include "engine/chunkbuf.h"
#include "engine/chunklist.h"
#include "engine/time_util.h"
#include "support/chunk.h"
#include "support/sha.h"

// ---- hash files ------------------------------------------------------------------------------

// Cuts the line ending ("\n", and a "\r" before it) off a line read by getline. A last line
// without a newline keeps all of its characters.
static void strip_line_end(char *line, ssize_t *len) {
    if (*len > 0 && line[*len - 1] == '\n') line[--*len] = '\0';
    if (*len > 0 && line[*len - 1] == '\r') line[--*len] = '\0';
}

static bool is_hex_digits(const char *s, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (!isxdigit(static_cast<unsigned char>(s[i]))) return false;
    }
    return true;
}

// Reads the master file's header: the data-file path after the first colon of line 1 (the
// character right after the colon is skipped), then line 2, which is ignored. A header that names
// no usable path leaves chunk_data_file as it was.
static void read_master_header(FILE *f, const char *fname, bt_config_t *config, char **line,
                               size_t *cap, int *lineno) {
    ssize_t len = getline(line, cap, f);
    ++*lineno;
    if (len < 0) {
        fprintf(stderr, "Error: master chunk file %s is empty; no master data file set\n", fname);
        return;
    }
    strip_line_end(*line, &len);
    char *colon = strchr(*line, ':');
    if (!colon) {
        fprintf(stderr, "Error: master chunk file %s: no ':' on line 1; no master data file set\n",
                fname);
    } else {
        // The path starts two characters after the colon; a line ending at the colon names none.
        const char *path = colon[1] ? colon + 2 : colon + 1;
        if (strlen(path) >= sizeof config->chunk_data_file) {
            fprintf(stderr,
                    "Error: master chunk file %s: data file path longer than %zu characters; "
                    "no master data file set\n",
                    fname, sizeof config->chunk_data_file - 1);
        } else {
            debug_log(DEBUG_ALL, "setting master data file to : '%s' \n", path);
            strcpy(config->chunk_data_file, path);
        }
    }
    if (getline(line, cap, f) >= 0) ++*lineno;
}

bool parseChunkLine(const char *line, size_t len, int *id, uint8_t hash[HASH_SIZE]) {
    const char *blank = static_cast<const char *>(memchr(line, ' ', len));
    if (!blank || blank == line) return false;
    // Decimal digits only, within an int: a line like "x <hash>" must not be taken as chunk 0.
    long long value = 0;
    for (const char *c = line; c < blank; c++) {
        if (!isdigit(static_cast<unsigned char>(*c))) return false;
        value = value * 10 + (*c - '0');
        if (value > INT_MAX) return false;
    }
    // Measured by the bytes read, not up to a NUL: "<hash>\0junk" is no chunk line.
    const char *hex = blank + 1;
    size_t hex_len = static_cast<size_t>(line + len - hex);
    if (hex_len != HASH_HEX_SIZE || !is_hex_digits(hex, hex_len)) return false;
    *id = static_cast<int>(value);
    hex2binary(hex, HASH_HEX_SIZE, hash);
    return true;
}

// A new node for one chunk line "<id> <40 hex digits>", or nullptr when the line has another form.
static chunkitem *parse_hash_line(char *line, ssize_t len) {
    strip_line_end(line, &len);
    int id;
    uint8_t hash[HASH_SIZE];
    if (!parseChunkLine(line, static_cast<size_t>(len), &id, hash)) return nullptr;
    chunkitem *tmp = static_cast<chunkitem *>(malloc(sizeof(chunkitem)));
    assert(tmp != nullptr && "tmp != ((void *)0)");
    tmp->id = id;
    tmp->next = nullptr;
    memcpy(tmp->hash, hash, HASH_SIZE);
    return tmp;
}

chunkitem *readHashesFromFile(const char *fname, int is_master_file, bt_config_t *config) {
    assert(fname && "fname");
    FileHandle f(fopen(fname, "r"), &fclose);
    if (!f) {
        debug_log(DEBUG_ERRS, "Error: could not open hash_file: %s \n", fname);
        return nullptr;
    }
    char *raw = nullptr;
    size_t cap = 0;
    int lineno = 0;
    if (is_master_file) read_master_header(f.get(), fname, config, &raw, &cap, &lineno);

    chunkitem *head = nullptr;
    chunkitem **tail = &head;
    ssize_t len;
    while ((len = getline(&raw, &cap, f.get())) >= 0) {
        lineno++;
        chunkitem *item = parse_hash_line(raw, len);
        if (!item) {
            debug_log(DEBUG_ERRS, "%s:%d: not a chunk line (<digits> <40 hex digits>); skipped\n",
                      fname, lineno);
            continue;
        }
        *tail = item;
        tail = &item->next;
    }
    free(raw);  // getline's buffer, grown as the lines required
    return head;
}

// ---- addresses and dumps ---------------------------------------------------------------------

bt_peer_t *getPeerFromSockinfo(bt_config_t *config, struct sockaddr_in *from) {
    if (from->sin_addr.s_addr == htonl(INADDR_ANY)) {
        debug_log(DEBUG_ALL, "mapping from 0.0.0.0 to 127.0.0.1\n");
        from->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    uint32_t addr = ntohl(from->sin_addr.s_addr);
    uint16_t port = ntohs(from->sin_port);
    for (bt_peer_t *p = config->peers; p; p = p->next) {
        if (ntohl(p->addr.sin_addr.s_addr) == addr && ntohs(p->addr.sin_port) == port) return p;
    }
    return nullptr;
}

void dumpBytes(const char *start, int numBytes) {
    for (int i = 0; i < numBytes; i++) {
        // Widened as a signed char: bytes from 0x80 print as ffffff80 and up.
        int widened = static_cast<signed char>(start[i]);
        printf("byte %d = %x \n", i, static_cast<unsigned int>(widened));
    }
}

// ---- ends of connections ---------------------------------------------------------------------

void releaseHeldPackets(bt_peer_t *peer) {
    heldset_t *held = &peer->receiving_held;
    for (int seq = peer->receiving_lastseq + 1; held->count > 0 && seq <= PACKETS_PER_CHUNK;
         seq++) {
        if (seq < 1 || !heldset_has(held, seq)) continue;
        if (peer->receiving_data)
            memset(peer->receiving_data + dataPayloadOffset(seq), RECEIVE_FILL_BYTE,
                   static_cast<size_t>(dataPayloadLength(seq)));
        heldset_remove(held, seq);
    }
    heldset_clear(held);  // the packets taken already that came again
}

void releaseReceivingConnection(bt_peer_t *peer) {
    peer->receiving_active = 0;
    peer->receiving_sentget = 0;
    releaseHeldPackets(peer);
    chunkbuf_give(peer->receiving_data);
    peer->receiving_data = nullptr;
    peer->receiving_chunk = nullptr;
    peer->receiving_lastseq = -1;
}

// The chunk buffer of an ended connection stays with the peer record until the next one ends, so
// that late DATA of this chunk can be told apart from the next chunk's.
void retireReceivingBuffer(bt_peer_t *peer) {
    chunkbuf_give(peer->receiving_prev_data);
    peer->receiving_prev_data = peer->receiving_data;
    memcpy(peer->receiving_prev_hash, peer->receiving_chunk->hash, HASH_SIZE);
    peer->receiving_data = nullptr;
    peer->receiving_chunk = nullptr;
}

void releaseOtherFetchers(bt_config_t *config, const bt_peer_t *peer, const chunkitem *chunk) {
    for (bt_peer_t *p = config->peers; p; p = p->next) {
        if (p == peer || p->receiving_chunk != chunk) continue;
        debug_log(DEBUG_WHOHAS,
                  "chunk %d came from peer %d first; dropping the copy from peer %d \n", chunk->id,
                  peer->id, p->id);
        releaseHeldPackets(p);
        p->receiving_active = 0;
        p->receiving_sentget = 0;
        p->receiving_lastseq = -1;
        // What that peer still sends of its copy (an upload that may only just have begun) is
        // told apart from the next chunk asked of it by the whole chunk's bytes, not by the few
        // this connection took.
        if (peer->receiving_prev_data)
            memcpy(p->receiving_data, peer->receiving_prev_data, CHUNK_SIZE);
        retireReceivingBuffer(p);
    }
}

// How much of the best rate a peer has shown is still expected of it a chunk later: one slow
// chunk does not make slowness its norm, nor does one fast chunk long ago make it fast.
constexpr double RATE_MEMORY = 0.9;

void noteChunkReceived(bt_peer_t *peer, double now) {
    double span = now - peer->receiving_first_data_time;
    if (span <= 0) return;
    double rate = CHUNK_SIZE / span;
    double remembered = RATE_MEMORY * peer->receiving_rate;
    peer->receiving_rate = rate > remembered ? rate : remembered;
}

// ---- verifying and writing a chunk -----------------------------------------------------------

// The number of leading bytes of a received chunk that the expected hash names: CHUNK_SIZE when
// the whole buffer matches. The last chunk of a file is shorter and is named by the hash of its
// real length, while the uploader always streams CHUNK_SIZE bytes with the fill byte after the
// file's end; such a chunk matches at some length within its trailing run of fill bytes (the data
// itself may end in fill bytes). Only the request's furthest chunk is tried at shorter lengths
// (may_be_short): any other is a whole chunk or nothing, so a bad copy ending in a long run of
// fill bytes costs one digest, not one per byte of the run. -1 when no length matches.
// whole_digest receives the SHA-1 of the whole buffer.
static int verified_length(const bt_peer_t *peer, const uint8_t *expected, bool may_be_short,
                           uint8_t whole_digest[HASH_SIZE]) {
    const uint8_t *data = peer->receiving_data;
    uint8_t digest[HASH_SIZE];
    if (peer->receiving_offset == CHUNK_SIZE) {
        SHA1Context whole = peer->receiving_sha;  // every byte was hashed as it was taken
        SHA1Final(&whole, whole_digest);
    } else {
        shahash(data, CHUNK_SIZE, whole_digest);
    }
    if (memcmp(whole_digest, expected, HASH_SIZE) == 0) return CHUNK_SIZE;
    if (!may_be_short) return -1;
    int start = CHUNK_SIZE;
    while (start > 1 && data[start - 1] == UPLOAD_FILL_BYTE) start--;
    if (start == CHUNK_SIZE) return -1;
    // One pass over the data: extend the prefix a byte at a time and finish a copy at each length.
    SHA1Context prefix;
    SHA1Init(&prefix);
    SHA1Update(&prefix, data, static_cast<uint32_t>(start));
    for (int len = start; len < CHUNK_SIZE; len++) {
        SHA1Context candidate = prefix;
        SHA1Final(&candidate, digest);
        if (memcmp(digest, expected, HASH_SIZE) == 0) return len;
        SHA1Update(&prefix, data + len, 1);
    }
    return -1;
}

// Writes the first len verified bytes of the chunk at id * CHUNK_SIZE of the output file; false
// (after the messages) when the file refused them. A short write is a failure too: the chunk
// would be lost.
static bool write_chunk(bt_config_t *config, const chunkitem *chunk, const uint8_t *data, int len) {
    off_t file_offset = static_cast<off_t>(chunk->id) * CHUNK_SIZE;
    debug_log(DEBUG_ALL, "trying to write out chunk to %s offset %lld \n", config->output_file,
              static_cast<long long>(file_offset));
    FILE *out = config->output_handle;
    if (chunk->id < 0 || fseeko(out, file_offset, SEEK_SET) != 0) {
        if (chunk->id < 0) errno = EINVAL;
        fprintf(stderr, "error with fseek! \n");
        return false;
    }
    size_t bytes_written = fwrite(data, 1, static_cast<size_t>(len), out);
    if (bytes_written != static_cast<size_t>(len) || fflush(out) != 0) {
        int saved = errno;
        fprintf(stderr, "error writing output file \n");
        fprintf(stderr, "feof = %d, ferror = %d errno = %d \n", feof(out), ferror(out), saved);
        errno = saved;
        return false;
    }
    debug_log(DEBUG_ALL, "successfully wrote %d bytes to output file \n",
              static_cast<int>(bytes_written));
    return true;
}

int verifyAndWriteChunk(bt_config_t *config, bt_peer_t *peer, double now, int *length,
                        uint8_t digest[HASH_SIZE]) {
    debug_log(DEBUG_ALL, "Finished downloading chunk \n");
    peer->receiving_active = 0;
    releaseHeldPackets(peer);
    const chunkitem *chunk = peer->receiving_chunk;
    if (peer->receiving_offset == CHUNK_SIZE) noteChunkReceived(peer, now);
    *length = verified_length(peer, chunk->hash, chunk->id == config->last_chunk_id, digest);
    if (*length < 0) {
        debug_log(DEBUG_ERRS, "Hash check failed for chunk  trashing the data \n");
        return CHUNK_MISMATCH;
    }
    debug_log(DEBUG_WHOHAS, "Successfully Downloaded: ");
    chunklist_print_single(chunk, DEBUG_WHOHAS);
    if (!write_chunk(config, chunk, peer->receiving_data, *length)) return CHUNK_UNWRITTEN;
    long long end = static_cast<long long>(chunk->id) * CHUNK_SIZE + *length;
    if (end > config->output_end) config->output_end = end;
    return CHUNK_WRITTEN;
}
