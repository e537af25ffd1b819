#include "engine/membership.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <sys/socket.h>

#include <cassert>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "config/debug.h"
#include "engine/chunkbuf.h"
#include "engine/chunkindex.h"
#include "engine/chunklist.h"
#include "engine/create.h"
#include "engine/schedule.h"
#include "engine/time_util.h"

// Every record by address and port, so that a datagram finds its sender in one lookup however
// many members there are.
struct member_index_s {
    std::unordered_map<uint64_t, bt_peer_t *> by_addr;
};

// ---- small helpers ---------------------------------------------------------------------------

// 0.0.0.0 is taken as 127.0.0.1, as getPeerFromSockinfo takes it.
static uint32_t host_order_addr(const struct sockaddr_in *a) {
    uint32_t host = ntohl(a->sin_addr.s_addr);
    return host == INADDR_ANY ? INADDR_LOOPBACK : host;
}

static uint64_t addr_key(const struct sockaddr_in *a) {
    return (static_cast<uint64_t>(host_order_addr(a)) << 16) | ntohs(a->sin_port);
}

static const char *addr_text(const struct sockaddr_in *a, char *text, size_t size) {
    char dotted[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a->sin_addr, dotted, sizeof dotted);
    snprintf(text, size, "%s:%d", dotted, ntohs(a->sin_port));
    return text;
}

static membership_t *membership_of(bt_config_t *config) {
    if (!config->membership) {
        auto *m = static_cast<membership_t *>(calloc(1, sizeof(membership_t)));
        assert(m && "membership");
        m->index = new member_index_s;
        m->id_cursor = 1;
        m->tokens = MEMBER_SEND_BURST;
        config->membership = m;
    }
    return config->membership;
}

static bool running(const bt_config_t *config) {
    return config->open_membership && config->membership && config->membership->started;
}

static bool is_self_record(const bt_config_t *config, const bt_peer_t *peer) {
    return peer->id == config->identity;
}

static bool without_connection(const bt_peer_t *peer) {
    return !peer->receiving_chunk && !peer->sending_active;
}

static bool heard_recently(const bt_peer_t *peer, double now) {
    return peer->heard_time > 0 && now - peer->heard_time <= PEX_FRESH_S;
}

// The tick has work at t (or sooner than it thought).
static void wake_at(membership_t *m, double t) {
    if (m->next_due == 0 || t < m->next_due) m->next_due = t;
}

// A due time before any time the loop reads (0 means none).
constexpr double DUE_AT_ONCE = 1e-9;

static void fold(double *due, double t) {
    if (t != 0 && (*due == 0 || t < *due)) *due = t;
}

// ---- the send budget -------------------------------------------------------------------------

static void top_up(membership_t *m, double now) {
    if (now > m->token_time) {
        m->tokens += (now - m->token_time) * MEMBER_SENDS_PER_S;
        if (m->tokens > MEMBER_SEND_BURST) m->tokens = MEMBER_SEND_BURST;
        m->token_time = now;
    }
}

static bool take_token(membership_t *m, double now) {
    top_up(m, now);
    if (m->tokens < 1) return false;
    m->tokens -= 1;
    m->sends++;
    return true;
}

// When the next token is there.
static double token_ready(const membership_t *m) {
    return m->token_time + (1 - m->tokens) / MEMBER_SENDS_PER_S;
}

// ---- ids -------------------------------------------------------------------------------------

static bool id_taken(const membership_t *m, int id) {
    int b = id + 32768;
    return (m->ids_taken[b / 64] >> (b % 64)) & 1;
}

static void set_id(membership_t *m, int id, bool taken) {
    int b = id + 32768;
    uint64_t bit = UINT64_C(1) << (b % 64);
    if (taken) {
        m->ids_taken[b / 64] |= bit;
    } else {
        m->ids_taken[b / 64] &= ~bit;
    }
}

// A positive id no record has, taken; 0 when all are. Freed ids come back once the search has
// gone round, so a forgotten member's id is not soon another's.
static short next_free_id(membership_t *m) {
    for (int tries = 0; tries < 32767; tries++) {
        int id = m->id_cursor;
        m->id_cursor = id == 32767 ? 1 : id + 1;
        if (!id_taken(m, id)) {
            set_id(m, id, true);
            return static_cast<short>(id);
        }
    }
    return 0;
}

// ---- this peer's own addresses ---------------------------------------------------------------

// Bound to one address, that one; bound to 0.0.0.0, every IPv4 address of the host's interfaces:
// an address a peer exchange names at this peer's port may be any of them.
static void note_self_addresses(membership_t *m, const struct sockaddr_in *bound) {
    m->self_port = bound->sin_port;
    m->self_count = 0;
    if (bound->sin_addr.s_addr != htonl(INADDR_ANY)) {
        m->self_addrs[m->self_count++] = bound->sin_addr;
        return;
    }
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (struct ifaddrs *i = list; i && m->self_count < MEMBER_SELF_ADDRS_MAX; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
            m->self_addrs[m->self_count++] =
                reinterpret_cast<const struct sockaddr_in *>(i->ifa_addr)->sin_addr;
        }
        freeifaddrs(list);
    }
    if (m->self_count == 0) m->self_addrs[m->self_count++].s_addr = htonl(INADDR_LOOPBACK);
}

static bool is_self_address(const membership_t *m, const struct sockaddr_in *a) {
    if (a->sin_port != m->self_port) return false;
    for (int i = 0; i < m->self_count; i++) {
        if (ntohl(m->self_addrs[i].s_addr) == host_order_addr(a)) return true;
    }
    return false;
}

// ---- records ---------------------------------------------------------------------------------

static void make_member(bt_peer_t *peer, int kind) {
    auto *member = static_cast<member_t *>(calloc(1, sizeof(member_t)));
    assert(member && "member record");
    member->kind = kind;
    peer->member = member;
}

static bt_peer_t *find_record(const membership_t *m, const struct sockaddr_in *a) {
    auto at = m->index->by_addr.find(addr_key(a));
    return at == m->index->by_addr.end() ? nullptr : at->second;
}

// A new record of the table at the head of config->peers; nullptr when no id is free.
static bt_peer_t *new_record(bt_config_t *config, const struct sockaddr_in *addr, int kind) {
    membership_t *m = config->membership;
    short id = next_free_id(m);
    if (id == 0) return nullptr;
    auto *peer = static_cast<bt_peer_t *>(calloc(1, sizeof(bt_peer_t)));
    assert(peer && "peer record");
    peer->id = id;
    peer->addr.sin_family = AF_INET;
    peer->addr.sin_addr = addr->sin_addr;
    peer->addr.sin_port = addr->sin_port;
    make_member(peer, kind);
    peer->next = config->peers;
    config->peers = peer;
    m->index->by_addr[addr_key(addr)] = peer;
    m->table_count++;
    wake_at(m, DUE_AT_ONCE);  // greeted at the next tick
    return peer;
}

void peer_record_free(bt_config_t *config, bt_peer_t *peer) {
    chunkindex_forget_peer(config, peer);
    timelist_free(peer->sending_unacked);
    chunkbuf_give(peer->sending_data);
    chunkbuf_give(peer->receiving_data);
    chunkbuf_give(peer->receiving_prev_data);
    free(peer->sending_adaptive);
    failurelist_free(peer->receiving_failures);
    swarm_peer_free(peer);
    free(peer->member);
    free(peer);
}

// Takes a record of the table out of config->peers (through link, which points at it) and
// releases it.
static void drop_record(bt_config_t *config, bt_peer_t **link) {
    membership_t *m = config->membership;
    bt_peer_t *peer = *link;
    *link = peer->next;
    auto at = m->index->by_addr.find(addr_key(&peer->addr));
    if (at != m->index->by_addr.end() && at->second == peer) m->index->by_addr.erase(at);
    set_id(m, peer->id, false);
    m->table_count--;
    debug_log(DEBUG_WHOHAS, "member %d forgotten \n", peer->id);
    peer_record_free(config, peer);
}

static bool forgettable(const bt_peer_t *peer) {
    return peer->member && peer->member->kind == MEMBER_LEARNED && without_connection(peer);
}

// Makes room in a full table: the learned member without a connection heard from longest ago,
// when that is longer than PEX_FRESH_S. Whether one went.
static bool evict_stale(bt_config_t *config, double now) {
    bt_peer_t **stalest = nullptr;
    for (bt_peer_t **link = &config->peers; *link; link = &(*link)->next) {
        const bt_peer_t *p = *link;
        if (!forgettable(p) || heard_recently(p, now)) continue;
        if (!stalest || p->heard_time < (*stalest)->heard_time) stalest = link;
    }
    if (!stalest) return false;
    drop_record(config, stalest);
    return true;
}

static void forget_silent(bt_config_t *config, double now) {
    bt_peer_t **link = &config->peers;
    while (*link) {
        if (forgettable(*link) && now - (*link)->heard_time > MEMBER_SILENT_S) {
            drop_record(config, link);
        } else {
            link = &(*link)->next;
        }
    }
}

static void drop_candidate_at(membership_t *m, int i) {
    m->candidates[i] = m->candidates[--m->candidate_count];
}

static int candidate_of(const membership_t *m, const struct sockaddr_in *a) {
    for (int i = 0; i < m->candidate_count; i++) {
        if (addr_key(&m->candidates[i].addr) == addr_key(a)) return i;
    }
    return -1;
}

// ---- start-up --------------------------------------------------------------------------------

static void add_entry_record(bt_config_t *config, const struct sockaddr_in *entry) {
    membership_t *m = config->membership;
    if (find_record(m, entry) || is_self_address(m, entry)) return;  // listed, twice, or this peer
    if (m->table_count >= MEMBER_TABLE_MAX) return;
    new_record(config, entry, MEMBER_ENTRY);
}

bool membership_add_entry(bt_config_t *config, const struct sockaddr_in *entry) {
    membership_t *m = membership_of(config);
    if (m->started) {
        add_entry_record(config, entry);
        return true;
    }
    if (m->entry_count == MEMBER_MAX_ENTRIES) return false;
    m->entries[m->entry_count++] = *entry;
    return true;
}

void membership_start(bt_config_t *config, const struct sockaddr_in *bound) {
    membership_t *m = membership_of(config);
    if (m->started) return;
    for (const bt_peer_t *p = config->peers; p; p = p->next) set_id(m, p->id, true);
    if (config->identity == 0) {
        config->identity = next_free_id(m);
    } else {
        set_id(m, config->identity, true);
    }
    note_self_addresses(m, bound);
    // The first record from the head answers for its address, as getPeerFromSockinfo finds it.
    for (bt_peer_t *p = config->peers; p; p = p->next) {
        m->index->by_addr.emplace(addr_key(&p->addr), p);
        if (!is_self_record(config, p)) make_member(p, MEMBER_LISTED);
    }
    m->started = 1;
    for (int i = 0; i < m->entry_count; i++) add_entry_record(config, &m->entries[i]);
    wake_at(m, DUE_AT_ONCE);  // the first tick greets the peer list and the entry points
}

// ---- admission -------------------------------------------------------------------------------

bt_peer_t *membership_admit(bt_config_t *config, const struct sockaddr_in *from, double now) {
    membership_t *m = membership_of(config);
    if (!m->started) return nullptr;
    bt_peer_t *peer = find_record(m, from);
    if (!peer) {
        if (is_self_address(m, from)) return nullptr;
        if (m->table_count >= MEMBER_TABLE_MAX && !evict_stale(config, now)) return nullptr;
        peer = new_record(config, from, MEMBER_LEARNED);
        if (!peer) return nullptr;
        int c = candidate_of(m, from);
        if (c >= 0) drop_candidate_at(m, c);
        char text[32];
        debug_log(DEBUG_WHOHAS, "member %d joins from %s \n", peer->id,
                  addr_text(from, text, sizeof text));
    }
    peer->heard_time = now;
    return peer;
}

// ---- peer exchange ---------------------------------------------------------------------------

static void fill_header(uint8_t *buffer, uint8_t type, int p_len) {
    header h{};
    h.magic = htons(PACKET_MAGIC);
    h.version = PACKET_VERSION;
    h.type = type;
    h.h_len = htons(HEADER_SIZE);
    h.p_len = htons(static_cast<uint16_t>(p_len));
    memcpy(buffer, &h, sizeof h);
}

static const uint8_t *body_of(const header *hdr) {
    return reinterpret_cast<const uint8_t *>(hdr) + ntohs(hdr->h_len);
}

static int body_length(const header *hdr) {
    return static_cast<int>(ntohs(hdr->p_len)) - static_cast<int>(ntohs(hdr->h_len));
}

int pex_parse(const header *hdr, struct sockaddr_in *out) {
    int len = body_length(hdr);
    if (len < 1) return -1;
    const uint8_t *body = body_of(hdr);
    int n = body[0];
    if (n > PEX_MAX_ENTRIES) return -1;
    if ((len - 1) / static_cast<int>(sizeof(pex_entry_t)) < n) return -1;
    for (int i = 0; i < n; i++) {
        pex_entry_t e;
        memcpy(&e, body + 1 + i * static_cast<int>(sizeof e), sizeof e);
        memset(&out[i], 0, sizeof out[i]);
        out[i].sin_family = AF_INET;
        memcpy(&out[i].sin_addr.s_addr, e.addr, sizeof e.addr);
        memcpy(&out[i].sin_port, e.port, sizeof e.port);
    }
    return n;
}

static bool listable(const bt_config_t *config, const bt_peer_t *p, const bt_peer_t *to,
                     double now) {
    return p != to && !is_self_record(config, p) && heard_recently(p, now);
}

int pex_build(bt_config_t *config, bt_peer_t *to, double now, uint8_t *buffer) {
    pex_body_t body{};
    int total = 0;
    for (const bt_peer_t *p = config->peers; p; p = p->next) total++;
    int start = to->member && total > 0 ? to->member->pex_cursor % total : 0;
    int last = -1;
    // From the cursor to the end of the table, then from its head up to the cursor.
    for (int round = 0; round < 2; round++) {
        int at = 0;
        for (const bt_peer_t *p = config->peers; p && body.count < PEX_MAX_ENTRIES;
             p = p->next, at++) {
            if ((round == 0) != (at >= start) || !listable(config, p, to, now)) continue;
            pex_entry_t *e = &body.entries[body.count++];
            memcpy(e->addr, &p->addr.sin_addr.s_addr, sizeof e->addr);
            memcpy(e->port, &p->addr.sin_port, sizeof e->port);
            last = at;
        }
    }
    if (to->member && last >= 0) to->member->pex_cursor = last + 1;
    int len = HEADER_SIZE + 1 + body.count * static_cast<int>(sizeof(pex_entry_t));
    fill_header(buffer, PKT_PEX, len);
    memcpy(buffer + HEADER_SIZE, &body, static_cast<size_t>(len - HEADER_SIZE));
    return len;
}

static void send_bytes(bt_config_t *config, const uint8_t *buffer, const struct sockaddr_in *to) {
    if (sendPacketTo(config, reinterpret_cast<const header *>(buffer), to) < 0)
        debug_log(DEBUG_ERRS, "Error sending a membership packet \n");
}

// A peer exchange to the member, when the budget allows; whether it went.
static bool send_pex(bt_config_t *config, bt_peer_t *peer, double now) {
    if (!take_token(config->membership, now)) return false;
    alignas(header) uint8_t buffer[HEADER_SIZE + sizeof(pex_body_t)];
    pex_build(config, peer, now, buffer);
    send_bytes(config, buffer, &peer->addr);
    peer->member->pex_time = now;
    if (peer->heard_time == 0 && peer->member->unheard_sends < INT_MAX)
        peer->member->unheard_sends++;
    return true;
}

// How long after its last peer exchange the member is sent the next: a keep-alive interval,
// shorter while it has never been heard from.
static double pex_gap(const bt_peer_t *peer) {
    if (peer->heard_time != 0) return MEMBER_KEEPALIVE_S;
    double gap = MEMBER_GREET_RETRY_S;
    for (int i = 1; i < peer->member->unheard_sends && gap < MEMBER_KEEPALIVE_S; i++) gap *= 2;
    return gap < MEMBER_KEEPALIVE_S ? gap : MEMBER_KEEPALIVE_S;
}

// A candidate's one datagram: an empty peer exchange, 17 bytes. A member answers it with its own,
// which makes it a member here; a forged list of addresses costs each of them this much at most
// once per CANDIDATE_TTL_S.
static void contact_candidate(bt_config_t *config, member_candidate_t *c) {
    alignas(header) uint8_t buffer[HEADER_SIZE + 1];
    fill_header(buffer, PKT_PEX, HEADER_SIZE + 1);
    buffer[HEADER_SIZE] = 0;
    send_bytes(config, buffer, &c->addr);
    c->contacted = 1;
}

// Neither this network's nor a broadcast or multicast address, nor port 0.
static bool usable_address(const struct sockaddr_in *a) {
    uint32_t host = ntohl(a->sin_addr.s_addr);
    return a->sin_port != 0 && host != INADDR_ANY && host < 0xE0000000u;
}

static void note_candidate(bt_config_t *config, const struct sockaddr_in *a, double now) {
    membership_t *m = config->membership;
    if (!usable_address(a) || is_self_address(m, a) || find_record(m, a)) return;
    if (candidate_of(m, a) >= 0 || m->candidate_count == CANDIDATES_MAX) return;
    member_candidate_t *c = &m->candidates[m->candidate_count++];
    c->addr = *a;
    c->since = now;
    c->contacted = 0;
    wake_at(m, now);
}

void handlePeerExchange(bt_config_t *config, header *hdr, struct sockaddr_in *from, double now) {
    bt_peer_t *peer = membership_admit(config, from, now);
    char text[32];
    if (!peer) {
        debug_log(DEBUG_ERRS, "dropping PEX from %s: the membership table is full \n",
                  addr_text(from, text, sizeof text));
        return;
    }
    if (is_self_record(config, peer) || !peer->member) return;
    struct sockaddr_in named[PEX_MAX_ENTRIES];
    int n = pex_parse(hdr, named);
    if (n < 0) {
        debug_log(DEBUG_ERRS, "dropping PEX of %d bytes from %s: entries cut short or too many \n",
                  ntohs(hdr->p_len), addr_text(from, text, sizeof text));
        return;
    }
    for (int i = 0; i < n; i++) note_candidate(config, &named[i], now);
    // A member that greets us again (restarted, or our answer was lost) hears back.
    if (peer->member->greeted && now - peer->member->pex_time >= PEX_INTERVAL_S)
        send_pex(config, peer, now);
}

// ---- the metadata head -----------------------------------------------------------------------

static uint32_t be32(const uint8_t *b) {
    return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}

static void put_be32(uint8_t *b, uint32_t v) {
    for (int i = 3; i >= 0; i--, v >>= 8) b[i] = static_cast<uint8_t>(v);
}

// Whether length bytes cut into META_PIECE_BYTES pieces make count pieces.
static bool sizes_agree(uint32_t length, int count) {
    if (count < 1 || count > META_MAX_PIECES || length == 0) return false;
    uint64_t pieces = (uint64_t{length} + META_PIECE_BYTES - 1) / META_PIECE_BYTES;
    return pieces == static_cast<uint64_t>(count);
}

static int build_head(const meta_head_t *head, uint8_t *buffer) {
    meta_head_wire_t wire{};
    wire.kind = META_HEAD;
    memcpy(wire.digest, head->digest, META_DIGEST_SIZE);
    put_be32(wire.length, head->length);
    wire.count[0] = static_cast<uint8_t>(head->count >> 8);
    wire.count[1] = static_cast<uint8_t>(head->count);
    memcpy(wire.pieces, head->pieces, static_cast<size_t>(head->count) * HASH_SIZE);
    int len = HEADER_SIZE + META_HEAD_FIXED + head->count * HASH_SIZE;
    fill_header(buffer, PKT_META, len);
    memcpy(buffer + HEADER_SIZE, &wire, static_cast<size_t>(len - HEADER_SIZE));
    return len;
}

static void send_ask(bt_config_t *config, const bt_peer_t *peer) {
    alignas(header) uint8_t buffer[HEADER_SIZE + sizeof(meta_ask_wire_t)];
    meta_ask_wire_t ask;
    ask.kind = META_ASK;
    memcpy(ask.digest, config->membership->wanted_digest, META_DIGEST_SIZE);
    fill_header(buffer, PKT_META, sizeof buffer);
    memcpy(buffer + HEADER_SIZE, &ask, sizeof ask);
    send_bytes(config, buffer, &peer->addr);
}

void handleMetaPacket(bt_config_t *config, header *hdr, struct sockaddr_in *from, double now) {
    if (body_length(hdr) < 1) {
        debug_log(DEBUG_ERRS, "dropping a metadata packet without a body \n");
        return;
    }
    switch (body_of(hdr)[0]) {
        case META_ASK:
            handleMetaAsk(config, hdr, from, now);
            break;
        case META_HEAD:
            handleMetaHead(config, hdr, from, now);
            break;
        default:
            debug_log(DEBUG_ERRS, "dropping a metadata packet of kind %d \n", body_of(hdr)[0]);
            break;
    }
}

void handleMetaAsk(bt_config_t *config, header *hdr, struct sockaddr_in *from, double now) {
    bt_peer_t *peer = membership_admit(config, from, now);
    if (!peer || !peer->member) return;
    membership_t *m = config->membership;
    if (body_length(hdr) < static_cast<int>(sizeof(meta_ask_wire_t))) {
        debug_log(DEBUG_ERRS, "dropping a metadata ASK cut short \n");
        return;
    }
    if (!m->has_metadata || memcmp(body_of(hdr) + 1, m->own_head.digest, META_DIGEST_SIZE) != 0)
        return;
    // A head is 27 times an ASK: one a second per member at most, within the send budget.
    member_t *member = peer->member;
    if (member->head_time != 0 && now - member->head_time < META_ANSWER_INTERVAL_S) return;
    if (!take_token(m, now)) return;
    alignas(header) uint8_t buffer[HEADER_SIZE + sizeof(meta_head_wire_t)];
    build_head(&m->own_head, buffer);
    send_bytes(config, buffer, &peer->addr);
    member->head_time = now;
}

void handleMetaHead(bt_config_t *config, header *hdr, struct sockaddr_in *from, double now) {
    bt_peer_t *peer = membership_admit(config, from, now);
    membership_t *m = config->membership;
    if (!peer || !m->wants_metadata || m->got_metadata) return;
    int len = body_length(hdr);
    const uint8_t *body = body_of(hdr);
    if (len < META_HEAD_FIXED) {
        debug_log(DEBUG_ERRS, "dropping a metadata head cut short \n");
        return;
    }
    if (memcmp(body + 1, m->wanted_digest, META_DIGEST_SIZE) != 0) return;
    uint32_t length = be32(body + 33);
    int count = (body[37] << 8) | body[38];
    if (!sizes_agree(length, count) || (len - META_HEAD_FIXED) / HASH_SIZE < count) {
        debug_log(DEBUG_ERRS, "dropping a metadata head of %u bytes in %d pieces (%d bytes) \n",
                  length, count, len);
        return;
    }
    meta_head_t *got = &m->got_head;
    memcpy(got->digest, m->wanted_digest, META_DIGEST_SIZE);
    got->length = length;
    got->count = count;
    memcpy(got->pieces, body + META_HEAD_FIXED, static_cast<size_t>(count) * HASH_SIZE);
    m->got_metadata = 1;
    debug_log(DEBUG_WHOHAS, "metadata head from member %d: %u bytes in %d pieces \n", peer->id,
              length, count);
}

bool membership_set_metadata(bt_config_t *config, const uint8_t digest[META_DIGEST_SIZE],
                             uint32_t length, const uint8_t (*pieces)[HASH_SIZE], int count) {
    if (!sizes_agree(length, count)) return false;
    membership_t *m = membership_of(config);
    memcpy(m->own_head.digest, digest, META_DIGEST_SIZE);
    m->own_head.length = length;
    m->own_head.count = count;
    memcpy(m->own_head.pieces, pieces, static_cast<size_t>(count) * HASH_SIZE);
    m->has_metadata = 1;
    return true;
}

void membership_want_metadata(bt_config_t *config, const uint8_t digest[META_DIGEST_SIZE]) {
    membership_t *m = membership_of(config);
    memcpy(m->wanted_digest, digest, META_DIGEST_SIZE);
    m->wants_metadata = 1;
    m->got_metadata = 0;
    m->meta_ask_time = 0;
    wake_at(m, DUE_AT_ONCE);
}

const meta_head_t *membership_metadata_head(const bt_config_t *config) {
    const membership_t *m = config->membership;
    return m && m->got_metadata ? &m->got_head : nullptr;
}

// One round of ASKs: up to META_ASKS_PER_ROUND members from where the last round stopped.
static void ask_for_metadata(bt_config_t *config, double now) {
    membership_t *m = config->membership;
    int total = 0;
    for (const bt_peer_t *p = config->peers; p; p = p->next) total++;
    int asked = 0;
    int at = 0;
    int start = total > 0 ? m->meta_cursor % total : 0;
    for (int round = 0; round < 2; round++) {
        at = 0;
        for (const bt_peer_t *p = config->peers; p && asked < META_ASKS_PER_ROUND;
             p = p->next, at++) {
            if ((round == 0) != (at >= start) || is_self_record(config, p)) continue;
            if (!take_token(m, now)) return;
            send_ask(config, p);
            asked++;
            m->meta_cursor = at + 1;
        }
    }
}

// ---- the tick --------------------------------------------------------------------------------

// The member's first peer exchange, and the running download's WHOHAS when it joined during it.
static bool greet(bt_config_t *config, bt_peer_t *peer, double now) {
    if (!send_pex(config, peer, now)) return false;
    peer->member->greeted = 1;
    if (peer->member->kind == MEMBER_LEARNED && config->download_in_progress &&
        config->to_fetch_list)
        sendWhoHasTo(config, config->to_fetch_list, &peer->addr);
    return true;
}

// Greetings and keep-alives; the time of the next one due.
static double send_peer_exchanges(bt_config_t *config, double now) {
    membership_t *m = config->membership;
    double due = 0;
    for (bt_peer_t *p = config->peers; p; p = p->next) {
        member_t *member = p->member;
        if (!member || is_self_record(config, p)) continue;
        bool sent = true;
        if (!member->greeted) {
            sent = greet(config, p, now);
        } else if (now - member->pex_time >= pex_gap(p)) {
            sent = send_pex(config, p, now);
        }
        fold(&due, sent ? member->pex_time + pex_gap(p) : token_ready(m));
        if (forgettable(p)) fold(&due, p->heard_time + MEMBER_SILENT_S + 0.001);
    }
    return due;
}

// Contacts waiting candidates and forgets those contacted CANDIDATE_TTL_S ago; the time of the
// next such step.
static double serve_candidates(bt_config_t *config, double now) {
    membership_t *m = config->membership;
    double due = 0;
    for (int i = 0; i < m->candidate_count;) {
        member_candidate_t *c = &m->candidates[i];
        if (now - c->since > CANDIDATE_TTL_S) {
            drop_candidate_at(m, i);
            continue;
        }
        if (!c->contacted && take_token(m, now)) contact_candidate(config, c);
        fold(&due, c->contacted ? c->since + CANDIDATE_TTL_S + 0.001 : token_ready(m));
        i++;
    }
    return due;
}

void membership_tick(bt_config_t *config, double now) {
    if (!running(config)) return;
    membership_t *m = config->membership;
    if (m->next_due == 0 || now < m->next_due) return;
    forget_silent(config, now);
    double due = send_peer_exchanges(config, now);
    fold(&due, serve_candidates(config, now));
    if (m->wants_metadata && !m->got_metadata) {
        if (m->meta_ask_time == 0 || now - m->meta_ask_time >= META_ASK_INTERVAL_S) {
            m->meta_ask_time = now;
            ask_for_metadata(config, now);
        }
        fold(&due, m->meta_ask_time + META_ASK_INTERVAL_S);
    }
    m->next_due = due;
}

double membership_next_deadline(const bt_config_t *config) {
    return running(config) ? config->membership->next_due : 0;
}

// ---- what the front end asks -----------------------------------------------------------------

int membership_live_count(const bt_config_t *config, double now) {
    int n = 0;
    for (const bt_peer_t *p = config->peers; p; p = p->next) {
        if (!is_self_record(config, p) && heard_recently(p, now)) n++;
    }
    return n;
}

int membership_describe_silence(const bt_config_t *config, char *text, size_t size) {
    if (size > 0) text[0] = '\0';
    int n = 0;
    size_t used = 0;
    for (const bt_peer_t *p = config->peers; p; p = p->next) {
        if (!p->member || p->member->kind != MEMBER_ENTRY || p->heard_time != 0) continue;
        char one[32];
        addr_text(&p->addr, one, sizeof one);
        if (used < size) {
            int w = snprintf(text + used, size - used, "%s%s", n ? ", " : "", one);
            used += w > 0 ? static_cast<size_t>(w) : 0;
        }
        n++;
    }
    return n;
}

void membership_free(bt_config_t *config) {
    membership_t *m = config->membership;
    if (!m) return;
    delete m->index;
    free(m);
    config->membership = nullptr;
}
