#include "engine/process.h"

#include <arpa/inet.h>

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "config/debug.h"
#include "engine/chunkindex.h"
#include "engine/chunkbuf.h"
#include "engine/chunklist.h"
#include "engine/create.h"
#include "engine/heldset.h"
#include "engine/membership.h"
#include "engine/reliable.h"
#include "engine/store.h"
#include "engine/schedule.h"
#include "engine/time_util.h"
#include "engine/transport.h"
#include "engine/util.h"

// ---- header checks and control payloads ------------------------------------------------------

static const uint8_t *payload_of(const header *hdr) {
    return reinterpret_cast<const uint8_t *>(hdr) + ntohs(hdr->h_len);
}

static int payload_length(const header *hdr) {
    return static_cast<int>(ntohs(hdr->p_len)) - static_cast<int>(ntohs(hdr->h_len));
}

// The designed checks, with the highest type that passes: PKT_MAX_TYPE for the designed peer,
// PKT_MAX_OPEN_TYPE for an open member.
static int check_header(header *hdr, int total_size, uint8_t max_type) {
    debug_log(DEBUG_ALL, "verifying packet sanity \n");
    // Nothing of a header may be read before it is known to have arrived whole.
    if (total_size < HEADER_SIZE) {
        debug_log(DEBUG_ERRS, "Hdr Error: datagram of %d bytes is shorter than a header\n",
                  total_size);
        return -1;
    }
    uint16_t magic = ntohs(hdr->magic);
    if (magic != PACKET_MAGIC) {
        debug_log(DEBUG_ERRS, "Hdr Error: Bad Magic (got %d ). Dumping Header Bytes:\n", magic);
        dumpBytes(reinterpret_cast<const char *>(hdr), HEADER_SIZE);
        return -1;
    }
    if (hdr->version != PACKET_VERSION) {
        debug_log(DEBUG_ERRS, "Hdr Error: Bad Version\n");
        return -1;
    }
    if (hdr->type > max_type) {
        debug_log(DEBUG_ERRS, "Hdr Error: Invalid Type: %d \n", hdr->type);
        return -1;
    }
    uint16_t h_len = ntohs(hdr->h_len);
    uint16_t p_len = ntohs(hdr->p_len);
    if (h_len < HEADER_SIZE) {
        debug_log(DEBUG_ERRS, "Hdr Error: Header can't have length %d \n", h_len);
        return -1;
    }
    if (h_len > p_len) {
        debug_log(DEBUG_ERRS, "Hdr Error: Header size is larger than packet size!\n");
        return -1;
    }
    // Handlers read up to p_len: a datagram must hold every byte its header claims.
    if (p_len > total_size) {
        debug_log(DEBUG_ERRS, "Hdr Error: packet length %d is larger than the %d bytes received\n",
                  p_len, total_size);
        return -1;
    }
    return 0;
}

int verifyPacketSanity(header *hdr, int total_size) {
    return check_header(hdr, total_size, PKT_MAX_TYPE);
}

chunkitem *parseControlPacket(header *hdr) {
    int d = payload_length(hdr);
    if ((d - CONTROL_PREFIX) % HASH_SIZE != 0) {
        debug_log(DEBUG_ERRS, "Control Packet data size - 4 is not a multiple of HASH_SIZE!\n");
        return nullptr;
    }
    int n = (d - CONTROL_PREFIX) / HASH_SIZE;
    const uint8_t *hashes = payload_of(hdr) + CONTROL_PREFIX;
    chunkitem *head = nullptr;
    chunkitem **tail = &head;
    for (int i = 0; i < n; i++) {
        chunkitem *item = static_cast<chunkitem *>(malloc(sizeof(chunkitem)));
        assert(item && "tmp");
        memcpy(item->hash, hashes + i * HASH_SIZE, HASH_SIZE);
        item->id = -1;
        item->next = nullptr;
        *tail = item;
        tail = &item->next;
    }
    return head;
}

// The peer record of a datagram's sender, or nullptr (logged) when the sender is not listed. A
// listed sender has been heard from now. An open member admits unknown senders instead, while its
// table has room.
static bt_peer_t *known_sender(bt_config_t *config, struct sockaddr_in *from, const char *what,
                               double now) {
    if (config->open_membership) {
        bt_peer_t *member = membership_admit(config, from, now);
        if (!member)
            debug_log(DEBUG_ERRS, "dropping %s from %s:%d: the membership table is full \n", what,
                      inet_ntoa(from->sin_addr), ntohs(from->sin_port));
        return member;
    }
    bt_peer_t *peer = getPeerFromSockinfo(config, from);
    if (!peer) {
        debug_log(DEBUG_ERRS, "dropping %s from unknown sender %s:%d \n", what,
                  inet_ntoa(from->sin_addr), ntohs(from->sin_port));
        if (config->unlisted_sender) config->unlisted_sender(config, from, what);
        return nullptr;
    }
    peer->heard_time = now;
    return peer;
}

// ---- dispatch --------------------------------------------------------------------------------

void handleDatagram(bt_config_t *config, header *hdr, int received, struct sockaddr_in *from,
                    double now) {
    uint8_t max_type = config->open_membership ? PKT_MAX_OPEN_TYPE : PKT_MAX_TYPE;
    if (check_header(hdr, received, max_type) != 0) {
        debug_log(DEBUG_ERRS, "Bad packet header. Discarding... \n");
        return;
    }
    debug_log(DEBUG_ALL, "got valid packet type = %d total size = %d \n", hdr->type,
              ntohs(hdr->p_len));
    switch (hdr->type) {
        case PKT_WHOHAS:
            handleWhoHas(config, hdr, from, now);
            break;
        case PKT_IHAVE:
            handleIHave(config, hdr, from, now);
            break;
        case PKT_GET:
            handleGet(config, hdr, from, now);
            break;
        case PKT_DATA:
            handleData(config, hdr, from, 1, now);
            break;
        case PKT_ACK:
            handleAck(config, hdr, from, now);
            break;
        case PKT_PEX:  // only an open member's header check lets 6 and 7 through
            handlePeerExchange(config, hdr, from, now);
            break;
        case PKT_META:
            handleMetaPacket(config, hdr, from, now);
            break;
        default:
            fprintf(stderr, "received unknown type = %d \n", hdr->type);
            break;
    }
}

// ---- discovery -------------------------------------------------------------------------------

void handleWhoHas(bt_config_t *config, header *hdr, struct sockaddr_in *from, double now) {
    // Answered from any address, as designed; an open member also takes the asker in.
    if (config->open_membership) membership_admit(config, from, now);
    chunkitem *requests = parseControlPacket(hdr);
    debug_log(DEBUG_WHOHAS, "Peer %d received WHO_HAS with %d hashes \n", config->identity,
              chunklist_length(requests));
    chunklist_print(requests, DEBUG_WHOHAS);
    chunkitem *matches = store_findin(config, requests);
    debug_log(DEBUG_WHOHAS, "found %d matches: \n", chunklist_length(matches));
    chunklist_print(matches, DEBUG_WHOHAS);
    if (matches) sendIHave(config, matches, from);
    schedule_policy(config)->note_whohas(config, from, requests, now);
    chunklist_free(requests);
    chunklist_free(matches);
}

// Records the announced hashes that matter (the master list or the running request names them)
// and that the peer has not announced before, so a flood of IHAVEs can neither grow what is kept
// beyond the hashes this peer knows nor repeat one. Releases replies.
static void record_announcements(bt_config_t *config, bt_peer_t *peer, chunkitem *replies) {
    for (const chunkitem *item = replies; item; item = item->next) {
        if (chunkindex_matters(config, item->hash)) announcement_add(config, peer, item->hash);
    }
    chunklist_free(replies);
}

void handleIHave(bt_config_t *config, header *hdr, struct sockaddr_in *from, double now) {
    chunkitem *replies = parseControlPacket(hdr);
    debug_log(DEBUG_WHOHAS, "Peer %d received I_HAVE with %d hashes \n", config->identity,
              chunklist_length(replies));
    chunklist_print(replies, DEBUG_WHOHAS);
    bt_peer_t *peer = known_sender(config, from, "IHAVE", now);
    if (!peer) {
        chunklist_free(replies);
        return;
    }
    record_announcements(config, peer, replies);
    tryToGenerateGetRequest(config, peer, now);
}

// ---- upload side -----------------------------------------------------------------------------

static bool acknowledged_whole(const bt_peer_t *peer, const uint8_t *hash) {
    int kept =
        peer->sending_done_count < SENDING_DONE_KEPT ? peer->sending_done_count : SENDING_DONE_KEPT;
    for (int i = 0; i < kept; i++) {
        if (memcmp(hash, peer->sending_done_hashes[i], HASH_SIZE) == 0) return true;
    }
    return false;
}

// A peer fetches one chunk at a time from another: a GET for a chunk it acknowledged whole,
// coming while an upload of another chunk to it runs and gets ACKs (or has just started), is a
// late copy of an earlier GET (duplicated or delayed on the way). Served, it would end the
// upload the peer is receiving. A peer that wants the chunk again (its hash check failed) asks
// once nothing runs, and one that gave up the running upload stops acknowledging it.
static bool late_copy_of_a_finished_get(const bt_peer_t *peer, const uint8_t *hash, double now) {
    if (!peer->sending_active || memcmp(hash, peer->sending_hash, HASH_SIZE) == 0) return false;
    return now - peer->sending_last_ack_time < LATE_GET_ACK_WINDOW_S &&
           acknowledged_whole(peer, hash);
}

void handleGet(bt_config_t *config, header *hdr, struct sockaddr_in *from, double now) {
    bt_peer_t *peer = known_sender(config, from, "GET", now);
    if (!peer) return;
    if (payload_length(hdr) < HASH_SIZE) {
        debug_log(DEBUG_ERRS, "dropping GET with a payload of %d bytes from peer %d \n",
                  payload_length(hdr), peer->id);
        return;
    }
    if (late_copy_of_a_finished_get(peer, payload_of(hdr), now)) {
        debug_log(DEBUG_ERRS,
                  "GET from peer %d for the chunk it acknowledged whole: a late copy \n", peer->id);
        return;
    }
    const schedule_policy_t *policy = schedule_policy(config);
    if (policy->get_repeated(peer, payload_of(hdr))) {
        debug_log(DEBUG_ERRS, "GET from peer %d repeated before its first ACK: upload goes on \n",
                  peer->id);
        return;
    }
    if (policy->get_late(peer, payload_of(hdr), now)) {
        debug_log(DEBUG_ERRS,
                  "GET from peer %d for another chunk while it takes its upload: a late copy \n",
                  peer->id);
        return;
    }
    // A new GET from a peer being served means it has all it wants of that upload (its last ACK
    // may have been lost): the upload ends, whether the new GET is served or waits.
    endUploadForNewGet(config, peer);
    if (!policy->may_serve(config, peer, payload_of(hdr), now)) {
        debug_log(DEBUG_ERRS, "GET from peer %d waits for an upload slot \n", peer->id);
        return;
    }
    serveGet(config, peer, payload_of(hdr), now);
}

void endUploadForNewGet(bt_config_t *config, bt_peer_t *peer) {
    if (!peer->sending_active) return;
    debug_log(DEBUG_ERRS,
              "Peer %d sent GET reqeust when we think we're not finished.  Start new "
              "download... \n",
              peer->id);
    doneSendingData(config, peer);
}

void serveGet(bt_config_t *config, bt_peer_t *peer, const uint8_t *hash, double now) {
    endUploadForNewGet(config, peer);
    chunkitem wanted{};
    memcpy(wanted.hash, hash, HASH_SIZE);
    wanted.id = -1;
    store_entry_t *entry = store_find(config, wanted.hash);
    if (!entry) {
        debug_log(DEBUG_ERRS, "Recieved GET for chunk we don't have: \n");
        chunklist_print(&wanted, DEBUG_ERRS);
        return;
    }
    chunkitem match = wanted;
    match.id = entry->index;
    debug_log(DEBUG_WHOHAS, "Peer %d received GET from peer %d:  \n", config->identity, peer->id);
    chunklist_print_single(&match, DEBUG_WHOHAS);
    debug_log(DEBUG_WHOHAS, "Data Transfer May take a few minutes\n");

    uint8_t *data = chunkbuf_take();
    if (entry->uploads < INT_MAX) entry->uploads++;
    if (!store_read(config, entry, data)) {
        chunkbuf_give(data);
        return;
    }
    peer->sending_data = data;  // the connection owns the chunk copy until doneSendingData
    peer->sending_repeat = memcmp(peer->sending_hash, hash, HASH_SIZE) == 0;
    memcpy(peer->sending_hash, hash, HASH_SIZE);
    initializeNewSendingConnection(config, peer, now);
    fillWindowForPeer(config, peer, now);
}

void serveWaitingGets(bt_config_t *config, double now) {
    const schedule_policy_t *policy = schedule_policy(config);
    // A chunk that could not be read starts nothing; its wait is over all the same.
    while (bt_peer_t *p = policy->next_waiting(config, now))
        serveGet(config, p, p->swarm->wait_hash, now);
}

void handleAck(bt_config_t *config, header *hdr, struct sockaddr_in *from, double now) {
    bt_peer_t *peer = known_sender(config, from, "ACK", now);
    if (!peer) return;
    if (!peer->sending_active) {
        debug_log(DEBUG_ERRS,
                  "ignoring ack from peer %d  because we have no active sending connection with "
                  "them \n",
                  peer->id);
        return;
    }
    int just_acked = static_cast<int>(ntohl(hdr->ack));
    debug_log(DEBUG_SEQ, "Received ack = %d \n", just_acked);
    // No chunk has acknowledgement numbers outside 0..375; such a number would only derail the
    // window arithmetic.
    if (just_acked < 0 || just_acked > PACKETS_PER_CHUNK) {
        debug_log(DEBUG_ERRS, "dropping ack = %d from peer %d: out of range \n", just_acked,
                  peer->id);
        return;
    }
    // An ACK carries no chunk: one above anything this connection has sent is a late ACK of the
    // previous chunk to the same peer, overtaken by the GET that started this one. Unless that
    // chunk is this one (a repeated GET restarted it): the receiver then acknowledges what it
    // kept of the earlier connection, and the sender goes on after it.
    if (just_acked > peer->sending_highest_seq) {
        if (!peer->sending_repeat) {
            debug_log(DEBUG_ERRS,
                      "dropping ack = %d from peer %d: above seq %d, the highest sent \n",
                      just_acked, peer->id, peer->sending_highest_seq);
            return;
        }
        peer->sending_highest_seq = just_acked;
    }
    peer->sending_last_ack_time = now;
    transport_profile(config)->take_ack(config, peer, just_acked, now);
}

// ---- download side ---------------------------------------------------------------------------

// True when the packet is byte for byte the packet of the same number of the previous chunk
// from this peer: a late copy of it (duplicated or delayed) that must not be spliced into this
// chunk. Should the new chunk really hold the same bytes there, the sender resends it in order.
static bool copy_of_previous_chunk(const bt_peer_t *peer, const header *hdr, int seq_num) {
    if (!peer->receiving_prev_data) return false;
    size_t offset = static_cast<size_t>(seq_num - 1) * DATA_PAYLOAD;
    return memcmp(peer->receiving_prev_data + offset, payload_of(hdr),
                  static_cast<size_t>(payload_length(hdr))) == 0;
}

// A first DATA equal to the previous chunk's first packet from this peer, while another chunk
// was asked for, comes from a late copy of the previous chunk's GET that restarted that upload:
// taken, it would begin the new chunk with the old one's packets. It is dropped and the GET sent
// again, which replaces that upload. Should the new chunk really begin with the same bytes, its
// first packet is taken after MAX_FIRST_DATA_DROPS such drops.
static bool late_first_packet_of_previous_chunk(bt_peer_t *peer, const header *hdr) {
    if (peer->receiving_first_dropped >= MAX_FIRST_DATA_DROPS || !peer->receiving_prev_data)
        return false;
    if (memcmp(peer->receiving_prev_hash, peer->receiving_chunk->hash, HASH_SIZE) == 0)
        return false;
    if (!copy_of_previous_chunk(peer, hdr, 1)) return false;
    peer->receiving_first_dropped++;
    return true;
}

// Holds a packet that is not next in order. Only sequence numbers a chunk can have, each at most
// once, so what a connection holds stays bounded. A packet ahead of the gap is written at its
// place in the chunk buffer at once; one taken already (come again) is only marked, and never
// replaces the bytes taken in order.
static void hold_out_of_order(bt_peer_t *peer, const header *hdr, int seq_num) {
    if (heldset_has(&peer->receiving_held, seq_num)) return;
    if (copy_of_previous_chunk(peer, hdr, seq_num)) {
        debug_log(DEBUG_ERRS,
                  "dropping DATA seq = %d from peer %d: a late copy from its last chunk \n",
                  seq_num, peer->id);
        return;
    }
    if (seq_num > peer->receiving_lastseq)  // fits_chunk_layout: its bytes fit its place
        memcpy(peer->receiving_data + dataPayloadOffset(seq_num), payload_of(hdr),
               static_cast<size_t>(payload_length(hdr)));
    heldset_add(&peer->receiving_held, seq_num);
}

// Copies an in-order payload into the chunk buffer; bytes that would run past it are dropped.
// The chunk is hashed as its bytes arrive, so that its check costs nothing between chunks.
static void take_in_order(bt_peer_t *peer, const header *hdr) {
    int len = payload_length(hdr);
    int room = CHUNK_SIZE - peer->receiving_offset;
    int copy = len < room ? len : (room > 0 ? room : 0);
    if (copy > 0) {
        memcpy(peer->receiving_data + peer->receiving_offset, payload_of(hdr),
               static_cast<size_t>(copy));
        SHA1Update(&peer->receiving_sha, payload_of(hdr), static_cast<uint32_t>(copy));
    }
    if (peer->receiving_offset <= INT_MAX - MAX_PACKET_SIZE) peer->receiving_offset += len;
}

// Takes the held packet seq, the next in order, where it lies in the chunk buffer.
static void take_held(bt_peer_t *peer, int seq) {
    heldset_remove(&peer->receiving_held, seq);
    int len = dataPayloadLength(seq);
    SHA1Update(&peer->receiving_sha, peer->receiving_data + peer->receiving_offset,
               static_cast<uint32_t>(len));
    peer->receiving_offset += len;
}

// Under debug 8, the packets still held ahead of the gap, highest first, with where they lie.
static void print_held(const bt_peer_t *peer) {
    debug_log(DEBUG_LOSS, "still out-of-order: \n");
    if (!(debug & DEBUG_LOSS) || !peer->receiving_data) return;
    for (int seq = PACKETS_PER_CHUNK; seq > peer->receiving_lastseq && seq >= 1; seq--) {
        if (!heldset_has(&peer->receiving_held, seq)) continue;
        const uint8_t *at = peer->receiving_data + dataPayloadOffset(seq);
        fprintf(stderr, "sent = %f  seq = %d (%lx)\n", 0.0, seq,
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(at)));
    }
}

// Packets 1..374 carry DATA_PAYLOAD bytes and packet 375 the rest of the chunk; anything else
// would push the reassembly offset past the chunk's end, where it could never complete.
static bool fits_chunk_layout(const header *hdr, int seq_num) {
    if (seq_num < 1 || seq_num > PACKETS_PER_CHUNK) return false;
    int expected = seq_num == PACKETS_PER_CHUNK ? LAST_PACKET_PAYLOAD : DATA_PAYLOAD;
    return payload_length(hdr) == expected;
}

// The first DATA of a requested connection makes it active: it must be packet 1, and not the
// previous chunk's first packet come late. False when the packet is not taken.
static bool start_receiving(bt_config_t *config, bt_peer_t *peer, const header *hdr, int seq_num,
                            double now) {
    if (!(peer->receiving_sentget && seq_num == 1)) {
        debug_log(DEBUG_ERRS,
                  "ignoring data from peer %d  because we have no active receiving "
                  "connection with them \n",
                  peer->id);
        schedule_policy(config)->stray_data(peer, now);
        return false;
    }
    if (late_first_packet_of_previous_chunk(peer, hdr)) {
        debug_log(DEBUG_ERRS,
                  "dropping DATA seq = 1 from peer %d: the first packet of its last chunk; "
                  "asking again \n",
                  peer->id);
        sendGetForPeer(config, peer, peer->receiving_chunk);
        return false;
    }
    noteGetAnswered(peer, now);
    peer->receiving_active = 1;
    peer->receiving_sentget = 0;
    peer->receiving_lastseq = 0;
    return true;
}

// Takes the next packet in order, then whatever held packets follow it.
static void take_next(bt_config_t *config, bt_peer_t *peer, const header *hdr, double now) {
    // The stall check measures progress: repeated or stray packets must not keep a connection
    // that delivers nothing alive.
    peer->receiving_last_action_time = now;
    peer->receiving_lastseq++;
    take_in_order(peer, hdr);
    processOutoforderData(config, peer, now);
    cleanUpOutoforder(peer);
    print_held(peer);
}

static void acknowledge(bt_config_t *config, bt_peer_t *peer, int seq_num, BOOL send_ack) {
    if (!send_ack) {
        debug_log(DEBUG_SEQ, "Not sending ack for %d, b/c it is old data \n", seq_num);
    } else if (peer->receiving_lastseq >= 0) {
        // -1 here means a nested call finished the chunk and a new GET went to this peer
        // already: there is nothing of the new chunk to acknowledge.
        sendAckForPeer(config, peer, peer->receiving_lastseq);
    }
    debug_log(DEBUG_ALL, "have received %d total bytes of this chunk \n", peer->receiving_offset);
}

// A nested call may have finished the chunk already; it is finished exactly once.
static void finish_if_complete(bt_config_t *config, bt_peer_t *peer, double now) {
    if (!peer->receiving_active) return;
    if (peer->receiving_offset == CHUNK_SIZE) {
        chunkReceiveFinished(config, peer, now);
    } else if (peer->receiving_offset > CHUNK_SIZE) {
        debug_log(DEBUG_ERRS,
                  "Oops, we were sent too much data expected %d bytes, but got %d bytes\n",
                  CHUNK_SIZE, peer->receiving_offset);
    }
}

void handleData(bt_config_t *config, header *hdr, struct sockaddr_in *from, BOOL send_ack,
                double now) {
    bt_peer_t *peer = known_sender(config, from, "DATA", now);
    if (!peer) return;
    int seq_num = static_cast<int>(ntohl(hdr->seq));
    if (!fits_chunk_layout(hdr, seq_num)) {
        debug_log(DEBUG_ERRS,
                  "dropping DATA seq = %d of %d bytes from peer %d: not a packet of a chunk \n",
                  seq_num, payload_length(hdr), peer->id);
        return;
    }
    if (!peer->receiving_active && !start_receiving(config, peer, hdr, seq_num, now)) return;
    debug_log(DEBUG_SEQ, "Received seq = %d \n", seq_num);
    if (seq_num != peer->receiving_lastseq + 1) {
        hold_out_of_order(peer, hdr, seq_num);
        sendAckForPeer(config, peer, peer->receiving_lastseq);
        return;
    }
    take_next(config, peer, hdr, now);
    acknowledge(config, peer, seq_num, send_ack);
    finish_if_complete(config, peer, now);
}

// The held packets that close up behind the one just taken are taken as if each were handled
// again in turn, nested in the handling of the packet before it: first every step up to its own
// following packet, innermost last, then the steps after it, innermost first. So the messages,
// the single ACK of the arrival and the end of the chunk come as in that nesting. Releasing the
// packets that came again after they were taken waits for the outermost call: nothing between
// reads them.
void processOutoforderData(bt_config_t *config, bt_peer_t *peer, double now) {
    int first = peer->receiving_lastseq + 1;
    int seq = first;
    for (; heldset_has(&peer->receiving_held, seq); seq++) {
        debug_log(DEBUG_LOSS, "Using out-of-order seq = %d \n", seq);
        debug_log(DEBUG_SEQ, "Received seq = %d \n", seq);
        peer->receiving_last_action_time = now;
        peer->receiving_lastseq++;
        take_held(peer, seq);
    }
    while (--seq >= first) {
        print_held(peer);
        acknowledge(config, peer, seq, 0);
        finish_if_complete(config, peer, now);
    }
}

void cleanUpOutoforder(bt_peer_t *peer) {
    heldset_release_upto(&peer->receiving_held, peer->receiving_lastseq);
}
