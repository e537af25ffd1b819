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
#include "engine/transport.h"
#include "engine/chunkindex.h"
#include "engine/chunklist.h"
#include "engine/create.h"
#include "engine/progress.h"
#include "engine/reliable.h"
#include "engine/store.h"
#include "engine/schedule.h"
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

// The chunk number of a hash-file line: decimal digits only, within an int; false otherwise (a
// line like "x <hash>" must not be taken as chunk 0).
static bool parse_chunk_id(const char *text, int *id) {
    if (*text == '\0') return false;
    long long value = 0;
    for (const char *c = text; *c; c++) {
        if (!isdigit(static_cast<unsigned char>(*c))) return false;
        value = value * 10 + (*c - '0');
        if (value > INT_MAX) return false;
    }
    *id = static_cast<int>(value);
    return true;
}

// A new node for one chunk line "<id> <40 hex digits>", or nullptr when the line has another form.
static chunkitem *parse_hash_line(char *line, ssize_t len) {
    strip_line_end(line, &len);
    char *blank = strchr(line, ' ');
    if (!blank) return nullptr;
    const char *hex = blank + 1;
    // Measured by the bytes read, not up to a NUL: "<hash>\0junk" is no chunk line.
    size_t hex_len = static_cast<size_t>(line + len - hex);
    if (hex_len != HASH_HEX_SIZE || !is_hex_digits(hex, hex_len)) return nullptr;
    *blank = '\0';
    int id;
    if (!parse_chunk_id(line, &id)) return nullptr;
    chunkitem *tmp = static_cast<chunkitem *>(malloc(sizeof(chunkitem)));
    assert(tmp != nullptr && "tmp != ((void *)0)");
    tmp->id = id;
    tmp->next = nullptr;
    hex2binary(hex, HASH_HEX_SIZE, tmp->hash);
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

void doneSendingData(bt_config_t *config, bt_peer_t *peer) {
    if (peer->sending_lastacked >= PACKETS_PER_CHUNK) {
        memcpy(peer->sending_done_hashes[peer->sending_done_count % SENDING_DONE_KEPT],
               peer->sending_hash, HASH_SIZE);
        if (peer->sending_done_count < INT_MAX) peer->sending_done_count++;
    }
    transport_profile(config)->end(peer);
    peer->sending_active = 0;
    timelist_free(peer->sending_unacked);
    peer->sending_unacked = nullptr;
    free(peer->sending_data);
    peer->sending_data = nullptr;
    config->tx_chunks++;
    if (config->max_tx_chunks > 0 && config->tx_chunks >= config->max_tx_chunks) {
        progress_end_line(config);
        printf("******** tolvane exiting after %d connections, as specified by -x flag ******** \n",
               config->max_tx_chunks);
        fflush(stdout);
        exit(10);
    }
}

void releaseReceivingConnection(bt_peer_t *peer) {
    peer->receiving_active = 0;
    peer->receiving_sentget = 0;
    timelist_free(peer->receiving_outoforder);
    peer->receiving_outoforder = nullptr;
    free(peer->receiving_data);
    peer->receiving_data = nullptr;
    peer->receiving_chunk = nullptr;
    peer->receiving_lastseq = -1;
}

// What the peers' records keep only for the running download: the last chunk buffers (kept to
// recognise late DATA) and the hash-check failures.
static void forget_download_state(bt_config_t *config) {
    for (bt_peer_t *p = config->peers; p; p = p->next) {
        free(p->receiving_prev_data);
        p->receiving_prev_data = nullptr;
        failurelist_free(p->receiving_failures);
        p->receiving_failures = nullptr;
    }
    config->retry_due_time = 0;
}

// -x n ends the peer once its own download has ended, whether complete or aborted.
[[noreturn]] static void exit_after_download(bt_config_t *config) {
    printf("********* tolvane exiting after %d connections, as specified by -x flag ***********\n",
           config->max_tx_chunks);
    fflush(stdout);
    exit(10);
}

void abortDownload(bt_config_t *config, double now) {
    progress_download_ended(config, false, now);
    fprintf(stderr, "Error: download of %s aborted: %s\n", config->output_file, strerror(errno));
    for (bt_peer_t *p = config->peers; p; p = p->next) {
        if (p->receiving_chunk) releaseReceivingConnection(p);
    }
    forget_download_state(config);
    chunkindex_end_download(config);
    chunklist_free(config->to_fetch_list);
    config->to_fetch_list = nullptr;
    if (config->output_handle) fclose(config->output_handle);
    config->output_handle = nullptr;
    config->download_in_progress = 0;
    progress_free(config);
    if (config->max_tx_chunks > 0) exit_after_download(config);
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

void completeDownload(bt_config_t *config, double now) {
    schedule_policy(config)->download_finishing(config);
    config->download_in_progress = 0;
    forget_download_state(config);
    chunkindex_end_download(config);
    int closed = fclose(config->output_handle);
    config->output_handle = nullptr;
    progress_download_ended(config, closed == 0, now);
    if (closed != 0) {
        fprintf(stderr, "Error: could not close output file %s: %s\n", config->output_file,
                strerror(errno));
        return;
    }
    config->downloads_completed++;
    printf("GOT %s \n", config->output_file);
    fflush(stdout);
    if (config->max_tx_chunks > 0) exit_after_download(config);
}

// The scheduling policy is told of a verified chunk written from peer, and the peers it names
// are told the chunk is here.
static void announce_written(bt_config_t *config, bt_peer_t *peer, const chunkitem *chunk,
                             int len, double now) {
    const schedule_policy_t *policy = schedule_policy(config);
    policy->chunk_written(config, peer, chunk, len);
    chunkitem one = *chunk;
    one.next = nullptr;
    for (bt_peer_t *p = config->peers; p; p = p->next) {
        if (p->id != config->identity && policy->tell_of_chunk(config, p, chunk, now))
            sendIHave(config, &one, &p->addr);
    }
}

// The chunk buffer of an ended connection stays with the peer record until the next one ends, so
// that late DATA of this chunk can be told apart from the next chunk's.
static void retire_receiving_buffer(bt_peer_t *peer) {
    free(peer->receiving_prev_data);
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
        timelist_free(p->receiving_outoforder);
        p->receiving_outoforder = nullptr;
        p->receiving_active = 0;
        p->receiving_sentget = 0;
        p->receiving_lastseq = -1;
        // What that peer still sends of its copy (an upload that may only just have begun) is
        // told apart from the next chunk asked of it by the whole chunk's bytes, not by the few
        // this connection took.
        if (peer->receiving_prev_data)
            memcpy(p->receiving_data, peer->receiving_prev_data, CHUNK_SIZE);
        retire_receiving_buffer(p);
    }
}

// A complete chunk from peer failed its hash check. Every failure counts, whatever bytes it
// brought: after MAX_HASH_FAILURES the peer is asked for the chunk only while no other holder is
// left (mayAskPeerForChunk), so a peer that sends a differently damaged copy each time cannot
// keep the chunk from a good holder. Wrong bytes that come back the same (the same digest) are
// the peer's own: it is not asked again before a pause that doubles with every failure, so other
// holders go first. Bytes that differ from the last failure's were damaged on the way: where no
// other holder is left, asking again at once is the only way to the chunk.
static void note_hash_failure(bt_config_t *config, bt_peer_t *peer, const chunkitem *chunk,
                              const uint8_t digest[HASH_SIZE], double now) {
    failitem *f = failurelist_note(&peer->receiving_failures, chunk->hash);
    bool repeated = memcmp(f->last_digest, digest, HASH_SIZE) == 0;
    memcpy(f->last_digest, digest, HASH_SIZE);
    if (f->failures < INT_MAX) f->failures++;
    if (f->failures > 1 && !repeated) {
        debug_log(DEBUG_ERRS, "chunk %d from peer %d damaged on the way (%d failures) \n",
                  chunk->id, peer->id, f->failures);
        f->retry_after = 0;
        return;
    }
    int doublings =
        f->failures - 1 < HASH_RETRY_MAX_DOUBLINGS ? f->failures - 1 : HASH_RETRY_MAX_DOUBLINGS;
    double pause = HASH_RETRY_PAUSE_S * static_cast<double>(1 << doublings);
    f->retry_after = now + pause;
    if (config->retry_due_time == 0 || f->retry_after < config->retry_due_time)
        config->retry_due_time = f->retry_after;
    fprintf(stderr,
            "chunk %d from peer %d failed its hash check (%d time%s); not asked of it for %.0f s\n",
            chunk->id, peer->id, f->failures, f->failures == 1 ? "" : "s", pause);
}

void chunkReceiveFinished(bt_config_t *config, bt_peer_t *peer, double now) {
    debug_log(DEBUG_ALL, "Finished downloading chunk \n");
    peer->receiving_active = 0;
    timelist_free(peer->receiving_outoforder);
    peer->receiving_outoforder = nullptr;

    chunkitem *chunk = peer->receiving_chunk;
    if (peer->receiving_offset == CHUNK_SIZE) noteChunkReceived(peer, now);
    uint8_t digest[HASH_SIZE];
    int len = verified_length(peer, chunk->hash, chunk->id == config->last_chunk_id, digest);
    if (len < 0) {
        debug_log(DEBUG_ERRS, "Hash check failed for chunk  trashing the data \n");
        // A stalled connection's partial chunk fails too; only a complete one says something
        // about the peer's copy.
        if (peer->receiving_offset == CHUNK_SIZE) {
            progress_hash_failed(config);
            note_hash_failure(config, peer, chunk, digest, now);
        }
        retire_receiving_buffer(peer);
        tryAllGetRequests(config, now);
        return;
    }
    debug_log(DEBUG_WHOHAS, "Successfully Downloaded: ");
    chunklist_print_single(chunk, DEBUG_WHOHAS);
    if (!write_chunk(config, chunk, peer->receiving_data, len)) {
        abortDownload(config, now);
        return;
    }
    progress_chunk_written(config, peer, len);
    long long end = static_cast<long long>(chunk->id) * CHUNK_SIZE + len;
    if (end > config->output_end) config->output_end = end;
    announce_written(config, peer, chunk, len, now);
    retire_receiving_buffer(peer);
    releaseOtherFetchers(config, peer, chunk);
    // Exactly the node written: a request may name the same bytes at several places.
    fetchlist_remove(config, chunk);
    if (!config->to_fetch_list) {
        completeDownload(config, now);
        return;
    }
    tryAllGetRequests(config, now);
}

// ---- releasing a configuration ---------------------------------------------------------------

void releaseConfiguration(bt_config_t *config) {
    chunkindex_free(config);
    bt_peer_t *p = config->peers;
    while (p) {
        bt_peer_t *next = p->next;
        timelist_free(p->sending_unacked);
        timelist_free(p->receiving_outoforder);
        free(p->sending_data);
        free(p->receiving_data);
        free(p->receiving_prev_data);
        free(p->sending_adaptive);
        failurelist_free(p->receiving_failures);
        swarm_peer_free(p);
        free(p);
        p = next;
    }
    config->peers = nullptr;
    chunklist_free(config->mychunks);
    chunklist_free(config->masterchunks);
    chunklist_free(config->to_fetch_list);
    config->mychunks = config->masterchunks = config->to_fetch_list = nullptr;
    store_free(config);
    while (serve_option_t *option = config->serve_options) {
        config->serve_options = option->next;
        free(option);
    }
    if (config->output_handle) fclose(config->output_handle);
    config->output_handle = nullptr;
    config->download_in_progress = 0;
    progress_free(config);
}
