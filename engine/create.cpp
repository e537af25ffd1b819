#include "engine/create.h"

#include <arpa/inet.h>

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/debug.h"
#include "engine/chunkindex.h"
#include "engine/chunkbuf.h"
#include "engine/chunklist.h"
#include "engine/outbox.h"
#include "engine/progress.h"
#include "engine/schedule.h"
#include "engine/time_util.h"
#include "engine/transport.h"
#include "engine/util.h"
#include "shim/vexlo.h"

// ---- headers and control packets -------------------------------------------------------------

static void fill_header(header *hdr, uint8_t type, int p_len, uint32_t seq, uint32_t ack) {
    hdr->magic = htons(PACKET_MAGIC);
    hdr->version = PACKET_VERSION;
    hdr->type = type;
    hdr->h_len = htons(HEADER_SIZE);
    hdr->p_len = htons(static_cast<uint16_t>(p_len));  // wire field: kept to 16 bits
    hdr->seq = htonl(seq);
    hdr->ack = htonl(ack);
}

// A control packet holding the first n hashes of the list starting at first.
static header *buildControlPacket(const chunkitem *first, int n, uint8_t type) {
    debug_log(DEBUG_WHOHAS, "creating Control packet of type %d with %d chunks \n", type, n);
    size_t payload = static_cast<size_t>(CONTROL_PREFIX + HASH_SIZE * n);
    header *hdr = static_cast<header *>(malloc(HEADER_SIZE + payload));
    assert(hdr && "packet");
    fill_header(hdr, type, HEADER_SIZE + CONTROL_PREFIX + HASH_SIZE * n, 0, 0);
    uint8_t *body = reinterpret_cast<uint8_t *>(hdr) + HEADER_SIZE;
    memset(body, 0x0A, payload);        // the three padding bytes keep 0x0A
    body[0] = static_cast<uint8_t>(n);  // count byte: low 8 bits only; receivers use p_len
    for (int i = 0; i < n && first; i++, first = first->next) {
        memcpy(body + CONTROL_PREFIX + HASH_SIZE * i, first->hash, HASH_SIZE);
    }
    return hdr;
}

header *createControlPacket(const chunkitem *head, uint8_t type) {
    assert(head && "head");
    return buildControlPacket(head, chunklist_length(head), type);
}

static int packet_length(const header *hdr) {
    return ntohs(hdr->p_len);
}

// The node MAX_CONTROL_HASHES further on, and in *n how many nodes were passed.
static const chunkitem *next_slice(const chunkitem *first, int *n) {
    *n = 0;
    while (first && *n < MAX_CONTROL_HASHES) {
        first = first->next;
        ++*n;
    }
    return first;
}

ssize_t sendPacketTo(bt_config_t *config, const header *hdr, const struct sockaddr_in *to) {
    outbox_flush(config->sock);  // the packets held before this one leave before it
    return vexlo_sendto(config->sock, hdr, static_cast<size_t>(packet_length(hdr)), 0,
                        reinterpret_cast<const struct sockaddr *>(to), sizeof *to);
}

void sendWhoHasToPeers(bt_config_t *config, const chunkitem *list, double now) {
    const chunkitem *slice = list;
    while (slice) {
        int n = 0;
        const chunkitem *rest = next_slice(slice, &n);
        header *packet = buildControlPacket(slice, n, PKT_WHOHAS);
        debug_log(DEBUG_ALL, "created WHOHAS packet of total size = %d \n", packet_length(packet));
        for (bt_peer_t *p = config->peers; p; p = p->next) {
            if (p->id == config->identity) continue;
            debug_log(DEBUG_ALL, "sending WHOHAS to peer: id = %d addr = %s port = %d \n", p->id,
                      inet_ntoa(p->addr.sin_addr), ntohs(p->addr.sin_port));
            if (sendPacketTo(config, packet, &p->addr) < 0)
                debug_log(DEBUG_ERRS, "Error sending WHOHAS \n");
        }
        free(packet);
        slice = rest;
    }
    config->last_whohas_time = now;
}

void sendIHave(bt_config_t *config, const chunkitem *matches, const struct sockaddr_in *to) {
    const chunkitem *slice = matches;
    while (slice) {
        int n = 0;
        const chunkitem *rest = next_slice(slice, &n);
        header *reply = buildControlPacket(slice, n, PKT_IHAVE);
        debug_log(DEBUG_WHOHAS, "Peer %d Sending IHAVE of size %d to %s:%d\n", config->identity,
                  packet_length(reply), inet_ntoa(to->sin_addr), ntohs(to->sin_port));
        if (sendPacketTo(config, reply, to) < 0) debug_log(DEBUG_ERRS, "error sending IHAVE \n");
        free(reply);
        slice = rest;
    }
}

void sendWhoHasTo(bt_config_t *config, const chunkitem *list, const struct sockaddr_in *to) {
    const chunkitem *slice = list;
    while (slice) {
        int n = 0;
        const chunkitem *rest = next_slice(slice, &n);
        header *packet = buildControlPacket(slice, n, PKT_WHOHAS);
        if (sendPacketTo(config, packet, to) < 0) debug_log(DEBUG_ERRS, "Error sending WHOHAS \n");
        free(packet);
        slice = rest;
    }
}

// ---- GET scheduling --------------------------------------------------------------------------

// The chunk the scheduling policy gives the free peer.
static chunkitem *choose_chunk_for(bt_config_t *config, bt_peer_t *peer, double now) {
    return schedule_policy(config)->choose_chunk(config, peer, now);
}

void sendGetForPeer(bt_config_t *config, bt_peer_t *peer, const chunkitem *item) {
    alignas(header) uint8_t buffer[GET_PACKET_SIZE];
    header *packet = reinterpret_cast<header *>(buffer);
    fill_header(packet, PKT_GET, GET_PACKET_SIZE, 0, 0);
    memcpy(buffer + HEADER_SIZE, item->hash, HASH_SIZE);
    if (sendPacketTo(config, packet, &peer->addr) < 0)
        debug_log(DEBUG_ERRS, "Error Sending GET \n");
}

void tryToGenerateGetRequest(bt_config_t *config, bt_peer_t *peer, double now) {
    if (peer->id == config->identity) return;
    if (peer->receiving_chunk) {
        debug_log(DEBUG_ALL, "We're already downloading from peer %d \n", peer->id);
        return;
    }
    debug_log(DEBUG_ALL, "No current download from peer %d \n", peer->id);
    chunkitem *item = choose_chunk_for(config, peer, now);
    if (!item) {
        debug_log(DEBUG_WHOHAS, "Peer %d couldn't find any chunks needed from peer %d\n",
                  config->identity, peer->id);
        return;
    }
    debug_log(DEBUG_WHOHAS, "Peer %d sending GET to peer %s : %d for: \n", config->identity,
              inet_ntoa(peer->addr.sin_addr), ntohs(peer->addr.sin_port));
    chunklist_print_single(item, DEBUG_WHOHAS);
    debug_log(DEBUG_WHOHAS, "Data Transfer May take a few minutes\n");
    sendGetForPeer(config, peer, item);
    // Requested whatever the send returned: an unanswered GET is given up by the reliability scan.
    peer->receiving_sentget = 1;
    peer->receiving_lastseq = -1;
    peer->receiving_chunk = item;  // a node of to_fetch_list, not a copy
    peer->receiving_offset = 0;
    peer->receiving_data = chunkbuf_take();
    memset(peer->receiving_data, RECEIVE_FILL_BYTE, CHUNK_SIZE);
    heldset_clear(&peer->receiving_held);
    SHA1Init(&peer->receiving_sha);
    peer->receiving_get_time = now;
    peer->receiving_get_resent = 0;
    peer->receiving_first_dropped = 0;
}

void tryAllGetRequests(bt_config_t *config, double now) {
    for (bt_peer_t *p = config->peers; p; p = p->next) tryToGenerateGetRequest(config, p, now);
}

// ---- the sending connection ------------------------------------------------------------------

void writeWindowSizeToFile(bt_config_t *config, bt_peer_t *peer) {
    if (!config->graphfile_out) return;
    long long ms = static_cast<long long>((now_seconds() - config->start_time_mono) * 1000.0);
    fprintf(config->graphfile_out, "%d %lld %d\n", peer->id, ms, peer->sending_win);
}

void initializeNewSendingConnection(bt_config_t *config, bt_peer_t *peer, double now) {
    peer->sending_win = INITIAL_WINDOW;
    peer->sending_lastacked = 0;
    peer->sending_next_seq = 1;
    peer->sending_active = 1;
    peer->sending_next_aimd_increase = 0;
    peer->sending_dupack_count = 0;
    peer->sending_successive_timeouts = 0;
    peer->sending_min_dupack = 0;
    peer->sending_ssthreash = INITIAL_SSTHRESH;
    peer->sending_highest_seq = 0;
    peer->sending_last_ack_time = now;
    // The profile may start from a window it carried; it logs the window it starts with.
    transport_profile(config)->start(config, peer, now);
}

// The payload of DATA packet seq (1..PACKETS_PER_CHUNK): its offset in the chunk and its length.
static int data_offset(int seq) {
    return (seq - 1) * DATA_PAYLOAD;
}

static int data_length(int seq) {
    int left = CHUNK_SIZE - data_offset(seq);
    return left < DATA_PAYLOAD ? left : DATA_PAYLOAD;
}

static void fill_data_header(header *hdr, int seq) {
    fill_header(hdr, PKT_DATA, HEADER_SIZE + data_length(seq), static_cast<uint32_t>(seq), 0);
}

static void log_data_packet(const bt_peer_t *peer, int seq) {
    if (debug & DEBUG_ALL) {  // per packet: no address formatting unless it is printed
        debug_log(DEBUG_ALL, "Sending data of size = %d to peer %s : %d with offset = %d \n",
                  data_length(seq), inet_ntoa(peer->addr.sin_addr), ntohs(peer->addr.sin_port),
                  data_offset(seq));
    }
}

int buildDataPacket(const bt_peer_t *peer, int seq, header *packet) {
    if (seq < 1 || seq > PACKETS_PER_CHUNK) return 0;
    fill_data_header(packet, seq);
    memcpy(reinterpret_cast<uint8_t *>(packet) + HEADER_SIZE, peer->sending_data + data_offset(seq),
           static_cast<size_t>(data_length(seq)));
    log_data_packet(peer, seq);
    return HEADER_SIZE + data_length(seq);
}

bool queueDataPacket(bt_config_t *config, const bt_peer_t *peer, int seq) {
    if (seq < 1 || seq > PACKETS_PER_CHUNK) return false;
    header hdr;
    fill_data_header(&hdr, seq);
    log_data_packet(peer, seq);
    outbox_add(config->sock, &hdr, peer->sending_data + data_offset(seq),
               static_cast<size_t>(data_length(seq)), &peer->addr);
    return true;
}

// Notes DATA packet seq as sent (new or again) and outstanding: the header alone is kept, with
// the time; a lost packet is rebuilt from the chunk buffer, never resent from the stored copy.
static void record_sent_data(bt_config_t *config, bt_peer_t *peer, const header *hdr, double now) {
    if (peer->sending_next_seq <= peer->sending_highest_seq) config->retransmissions++;
    if (peer->sending_next_seq > peer->sending_highest_seq)
        peer->sending_highest_seq = peer->sending_next_seq;
    peer->sending_next_seq++;
    struct timeval sent_at;
    double2timeval(now, &sent_at);
    timelist_add_header(&peer->sending_unacked, &sent_at, hdr);
}

int sendDataBatchForPeer(bt_config_t *config, bt_peer_t *peer, int count, double now) {
    header heads[VEXLO_SEND_MAX];
    vexlo_datagram out[VEXLO_SEND_MAX];
    int n = 0;
    for (int seq = peer->sending_next_seq;
         n < count && n < VEXLO_SEND_MAX && seq >= 1 && seq <= PACKETS_PER_CHUNK; n++, seq++) {
        fill_data_header(&heads[n], seq);
        out[n] = {&heads[n], HEADER_SIZE, peer->sending_data + data_offset(seq),
                  static_cast<size_t>(data_length(seq)), peer->addr};
    }
    if (n == 0) return 0;
    outbox_flush(config->sock);  // what was held leaves first
    int sent = vexlo_sendbatch(config->sock, out, n);
    if (sent < 0) sent = 0;
    // Each packet is logged and recorded as the designed one-by-one loop does it; a failed one is
    // outstanding all the same, and ends the fill.
    int recorded = sent < n ? sent + 1 : n;
    for (int i = 0; i < recorded; i++) {
        int seq = peer->sending_next_seq;
        debug_log(DEBUG_ALL, "send seq = %d with %d / %d packet outstanding\n", seq,
                  timelist_length(peer->sending_unacked), peer->sending_win);
        log_data_packet(peer, seq);
        debug_log(DEBUG_SEQ | DEBUG_ALL, "Sending seq = %d \n", seq);
        if (i == sent) debug_log(DEBUG_ERRS, "Error Sending Data \n");
        record_sent_data(config, peer, &heads[i], now);
    }
    return sent == n ? n : -1;
}

int sendDataForPeer(bt_config_t *config, bt_peer_t *peer, double now) {
    if (peer->sending_next_seq < 1 || peer->sending_next_seq > PACKETS_PER_CHUNK) return 0;
    int packet_len = HEADER_SIZE + data_length(peer->sending_next_seq);
    return sendDataBatchForPeer(config, peer, 1, now) < 0 ? -1 : packet_len;
}

void fillWindowForPeer(bt_config_t *config, bt_peer_t *peer, double now) {
    transport_profile(config)->fill(config, peer, now);
}

void sendAckForPeer(bt_config_t *config, bt_peer_t *peer, int seq_num) {
    debug_log(DEBUG_SEQ | DEBUG_ALL, "Sending ACK %d \n", seq_num);
    header packet;
    fill_header(&packet, PKT_ACK, HEADER_SIZE, 0, static_cast<uint32_t>(seq_num));
    outbox_add(config->sock, &packet, nullptr, 0, &peer->addr);
}

// ---- ends of connections and downloads -------------------------------------------------------

void doneSendingData(bt_config_t *config, bt_peer_t *peer) {
    if (peer->sending_lastacked >= PACKETS_PER_CHUNK) {
        memcpy(peer->sending_done_hashes[peer->sending_done_count % SENDING_DONE_KEPT],
               peer->sending_hash, HASH_SIZE);
        if (peer->sending_done_count < INT_MAX) peer->sending_done_count++;
    }
    transport_profile(config)->end(peer);
    outbox_flush(config->sock);  // held packets point into the chunk buffer given back below
    peer->sending_active = 0;
    timelist_free(peer->sending_unacked);
    peer->sending_unacked = nullptr;
    chunkbuf_give(peer->sending_data);
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

// What the peers' records keep only for the running download: the last chunk buffers (kept to
// recognise late DATA) and the hash-check failures.
static void forget_download_state(bt_config_t *config) {
    for (bt_peer_t *p = config->peers; p; p = p->next) {
        chunkbuf_give(p->receiving_prev_data);
        p->receiving_prev_data = nullptr;
        failurelist_free(p->receiving_failures);
        p->receiving_failures = nullptr;
    }
    config->retry_due_time = 0;
}

// -x n ends the peer once its own download has ended, whether complete or aborted.
[[noreturn]] static void exit_after_download(bt_config_t *config) {
    outbox_flush(config->sock);  // the last chunk's ACKs
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
    chunkitem *chunk = peer->receiving_chunk;
    // A stalled connection's partial chunk fails too; only a complete one says something about
    // the peer's copy.
    bool whole = peer->receiving_offset == CHUNK_SIZE;
    uint8_t digest[HASH_SIZE];
    int len;
    int outcome = verifyAndWriteChunk(config, peer, now, &len, digest);
    if (outcome == CHUNK_UNWRITTEN) {
        abortDownload(config, now);
        return;
    }
    if (outcome == CHUNK_MISMATCH) {
        if (whole) {
            progress_hash_failed(config);
            note_hash_failure(config, peer, chunk, digest, now);
        }
        retireReceivingBuffer(peer);
        tryAllGetRequests(config, now);
        return;
    }
    progress_chunk_written(config, peer, len);
    announce_written(config, peer, chunk, len, now);
    retireReceivingBuffer(peer);
    releaseOtherFetchers(config, peer, chunk);
    // Exactly the node written: a request may name the same bytes at several places.
    fetchlist_remove(config, chunk);
    if (!config->to_fetch_list) {
        completeDownload(config, now);
        return;
    }
    tryAllGetRequests(config, now);
}
