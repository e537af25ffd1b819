// netsim's router: one link record per direction of traffic, one node record per address:port a
// node rule limits, the way each datagram takes through them, and the schedule and batches that
// carry the surviving copies out of the socket.

#include "netsim/router.h"

#include "shim/vexlo.h"

#include <arpa/inet.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

// ==== constants ==================================================================================

constexpr int SOCKET_BUFFER_BYTES = 8 << 20;      // per direction; bursts of 100k datagrams/s
constexpr size_t MAX_LINKS = 65536;               // link records kept; garbage cannot grow past it
constexpr size_t MAX_PENDING_BYTES = 256u << 20;  // buffer memory held by delayed datagrams
constexpr size_t POOLED_BUFFER_BYTES = 2048;      // a reused buffer holds any peer datagram

// ==== clock and random numbers ===================================================================

int64_t mono_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * NS_PER_S + ts.tv_nsec;
}

static uint64_t splitmix64(uint64_t *x) {
    uint64_t z = (*x += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// xoshiro256** seeded through splitmix64: the same seed gives the same choices on every platform,
// which the standard distributions do not promise.
void rng_seed(xoshiro_s *r, uint64_t seed) {
    for (uint64_t &word : r->s) word = splitmix64(&seed);
}

static uint64_t rotl(uint64_t x, int k) {
    return (x << k) | (x >> (64 - k));
}

static uint64_t rng_next(xoshiro_s *r) {
    uint64_t *s = r->s;
    uint64_t result = rotl(s[1] * 5, 7) * 9;
    uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
}

// Uniform in [0, 1).
static double rng_unit(xoshiro_s *r) {
    return static_cast<double>(rng_next(r) >> 11) * 0x1.0p-53;
}

// Uniform in [0, n); n > 0.
static uint64_t rng_below(xoshiro_s *r, uint64_t n) {
    return rng_next(r) % n;
}

// A draw is taken only for a probability above 0, so settings that are off leave the sequence
// of choices of the others unchanged.
static bool rng_chance(xoshiro_s *r, double p) {
    return p > 0 && (p >= 1 || rng_unit(r) < p);
}

// ==== links and counters =========================================================================

static void format_endpoint(char *out, size_t size, uint32_t addr, uint16_t port) {
    char ip[INET_ADDRSTRLEN] = "?";
    in_addr a{};
    a.s_addr = addr;
    inet_ntop(AF_INET, &a, ip, sizeof ip);
    snprintf(out, size, "%s:%u", ip, static_cast<unsigned>(ntohs(port)));
}

// The index of the node record of addr:port, made on first sight when a node rule limits one of
// its directions; NO_NODE otherwise. Nodes come only with new links, so MAX_LINKS bounds them.
static uint32_t find_node(router_s *r, uint32_t addr, uint16_t port, int64_t now) {
    uint64_t key = (uint64_t{addr} << 16) | port;
    auto it = r->node_index.find(key);
    if (it != r->node_index.end()) return it->second;
    access_s a = resolve_access(r->rules, addr, port);
    uint32_t idx = NO_NODE;
    if (a.up.rate > 0 || a.down.rate > 0) {
        node_s n{};
        format_endpoint(n.text, sizeof n.text, addr, port);
        n.since_ns = now;
        n.up.limit = a.up;
        n.down.limit = a.down;
        idx = static_cast<uint32_t>(r->nodes.size());
        r->nodes.push_back(n);
    }
    r->node_index.emplace(key, idx);
    return idx;
}

// The link record of key, created (with its rules resolved) on first sight; nullptr once
// MAX_LINKS links exist.
static link_s *find_link(router_s *r, const link_key_s &key, int64_t now) {
    if (r->last_link != UINT32_MAX && r->links[r->last_link].key == key)
        return &r->links[r->last_link];
    auto it = r->link_index.find(key);
    if (it != r->link_index.end()) {
        r->last_link = it->second;
        return &r->links[it->second];
    }
    if (r->links.size() >= MAX_LINKS) return nullptr;
    link_s l;
    l.key = key;
    l.dest = sockaddr_in{};
    l.dest.sin_family = AF_INET;
    l.dest.sin_addr.s_addr = key.dst_addr;
    l.dest.sin_port = key.dst_port;
    format_endpoint(l.src_text, sizeof l.src_text, key.src_addr, key.src_port);
    format_endpoint(l.dst_text, sizeof l.dst_text, key.dst_addr, key.dst_port);
    for (int t = 0; t < TYPE_COUNT; t++) l.by_type[t] = resolve_impairments(r->rules, key, t);
    l.src_node = find_node(r, key.src_addr, key.src_port, now);
    l.dst_node = find_node(r, key.dst_addr, key.dst_port, now);
    r->last_link = static_cast<uint32_t>(r->links.size());
    r->link_index.emplace(key, r->last_link);
    r->links.push_back(l);
    return &r->links.back();
}

static void print_link(const link_s &l, int64_t now) {
    const counters_s &c = l.c;
    printf("link %s->%s received=%" PRIu64 " forwarded=%" PRIu64 " dropped=%" PRIu64
           " loss=%" PRIu64 " blackout=%" PRIu64 " taildrop=%" PRIu64 " overflow=%" PRIu64
           " send_errors=%" PRIu64 " duplicated=%" PRIu64 " corrupted=%" PRIu64
           " queued_bytes=%" PRIu64 " peak_queued_bytes=%" PRIu64 "\n",
           l.src_text, l.dst_text, c.received, c.forwarded, c.dropped, c.loss, c.blackout,
           c.taildrop, c.overflow, c.send_errors, c.duplicated, c.corrupted,
           fifo_backlog(l.queue, now), l.queue.peak_bytes);
}

static void print_access(const node_s &n, const char *direction, const access_queue_s &a,
                         int64_t now) {
    if (a.limit.rate <= 0) return;
    printf("node %s %s rate=%g queue=%" PRIu64 " passed=%" PRIu64 " bytes=%" PRIu64
           " taildrop=%" PRIu64 " queued_bytes=%" PRIu64 " peak_queued_bytes=%" PRIu64
           " avg_delay_ms=%.3f\n",
           n.text, direction, a.limit.rate / BYTES_PER_KB, a.limit.queue_bytes, a.passed, a.bytes,
           a.taildrop, fifo_backlog(a.queue, now), a.queue.peak_bytes,
           fifo_mean_delay_ms(a.queue, n.since_ns, now));
}

void print_counters(const router_s *r, int64_t now) {
    printf("netsim counters at %.3f s: received=%" PRIu64 " short=%" PRIu64 " bad_dest=%" PRIu64
           " untracked=%" PRIu64 " pending=%zu\n",
           static_cast<double>(now - r->start_ns) / 1e9, r->received, r->short_dropped, r->bad_dest,
           r->untracked, r->heap.size());
    for (const link_s &l : r->links) print_link(l, now);
    for (const node_s &n : r->nodes) {
        print_access(n, "up", n.up, now);
        print_access(n, "down", n.down, now);
    }
    printf("netsim counters end\n");
    fflush(stdout);
    if (r->trace) fflush(r->trace);
}

// ==== trace ======================================================================================

// node is empty but for the events of a node's uplink or downlink.
static void trace_line(const router_s *r, int64_t now, const char *src, const char *dst,
                       const char *type, const packet_info_s &info, size_t bytes,
                       const char *action, int64_t delay_ns, bool corrupted, const char *node) {
    fprintf(r->trace, "%.6f,%s,%s,%s,%" PRIu32 ",%" PRIu32 ",%zu,%s,%.3f,%d,%s\n",
            static_cast<double>(now - r->start_ns) / 1e9, src, dst, type, info.seq, info.ack, bytes,
            action, static_cast<double>(delay_ns) / 1e6, corrupted ? 1 : 0, node);
}

static void trace_link_event(const router_s *r, int64_t now, const link_s &l,
                             const packet_info_s &info, size_t bytes, const char *action,
                             int64_t delay_ns, bool corrupted, const char *node = "") {
    if (!r->trace) return;
    trace_line(r, now, l.src_text, l.dst_text, TYPE_NAMES[info.type], info, bytes, action, delay_ns,
               corrupted, node);
}

// ==== access links ===============================================================================

// A node's uplink comes before its links' own rules and the receiver's downlink after them, so
// flows from many senders, or to many receivers, meet in one queue whichever link they take.

// The datagram arrives at the node's queue at `at` (in time order); true with *leave set when it
// is taken, false after counting and tracing a tail drop on the link and the node.
static bool pass_access(router_s *r, link_s *l, uint32_t node, bool uplink, const send_s &e,
                        int64_t at, int64_t now, int64_t *leave) {
    node_s &n = r->nodes[node];
    access_queue_s &a = uplink ? n.up : n.down;
    if (!fifo_admit(&a.queue, a.limit.rate, a.limit.queue_bytes, e.len, at, leave)) {
        a.taildrop++;
        l->c.dropped++;
        l->c.taildrop++;
        trace_link_event(r, now, *l, e.info, e.len, uplink ? "drop_uplink" : "drop_downlink", 0,
                         e.corrupted, n.text);
        return false;
    }
    a.passed++;
    a.bytes += e.len;
    trace_link_event(r, now, *l, e.info, e.len, uplink ? "uplink" : "downlink", *leave - at,
                     e.corrupted, n.text);
    return true;
}

static bool limits_up(const router_s *r, const link_s &l) {
    return l.src_node != NO_NODE && r->nodes[l.src_node].up.limit.rate > 0;
}

static bool limits_down(const router_s *r, const link_s &l) {
    return l.dst_node != NO_NODE && r->nodes[l.dst_node].down.limit.rate > 0;
}

// A copy that reached the receiver's downlink at `at`: true with *release moved to when it leaves
// the downlink, false when the downlink dropped it.
static bool enter_downlink(router_s *r, send_s *e, int64_t at, int64_t now, int64_t *release) {
    e->to_downlink = false;
    link_s &l = r->links[e->link];
    return pass_access(r, &l, l.dst_node, false, *e, at, now, release);
}

// ==== sending and the release schedule ===========================================================

static bool heap_after(const pending_s &a, const pending_s &b) {
    return a.release_ns > b.release_ns || (a.release_ns == b.release_ns && a.order > b.order);
}

static void free_slot(router_s *r, uint32_t idx) {
    slot_s &s = r->slots[idx];
    r->pending_bytes -= s.bytes.capacity();
    // Buffers above the pooled size go back to the system so rare giants do not pin memory.
    if (s.bytes.capacity() > POOLED_BUFFER_BYTES) std::vector<uint8_t>().swap(s.bytes);
    r->free_slots.push_back(idx);
}

static void build_message(router_s *r, unsigned i) {
    send_s &e = r->tx[i];
    const uint8_t *bytes = e.slot == NO_SLOT ? e.bytes : r->slots[e.slot].bytes.data();
    r->tx_iov[i].iov_base = const_cast<uint8_t *>(bytes);  // sendmmsg only reads it
    r->tx_iov[i].iov_len = e.len;
    msghdr &m = r->tx_msgs[i].msg_hdr;
    m = msghdr{};
    m.msg_name = &r->links[e.link].dest;
    m.msg_namelen = sizeof(sockaddr_in);
    m.msg_iov = &r->tx_iov[i];
    m.msg_iovlen = 1;
}

static void finish_send(router_s *r, unsigned i, bool sent, int64_t now) {
    const send_s &e = r->tx[i];
    link_s &l = r->links[e.link];
    const char *action = e.is_dup ? "duplicate" : "forward";
    if (sent) {
        l.c.forwarded++;
    } else {
        l.c.send_errors++;
        action = "send_error";
    }
    trace_link_event(r, now, l, e.info, e.len, action, now - e.arrival_ns, e.corrupted);
    if (e.slot != NO_SLOT) free_slot(r, e.slot);
}

// Sends the batch with as few calls as the socket allows; a copy it refuses (full buffer, no
// route) is counted and skipped, and the rest still go.
void flush_sends(router_s *r, int64_t now) {
    unsigned count = r->tx_count;
    r->tx_count = 0;
    for (unsigned i = 0; i < count; i++) build_message(r, i);
    unsigned done = 0;
    while (done < count) {
        int n = sendmmsg(r->fd, r->tx_msgs.data() + done, count - done, MSG_DONTWAIT);
        unsigned sent = n > 0 ? static_cast<unsigned>(n) : 0;
        for (unsigned i = done; i < done + sent; i++) finish_send(r, i, true, now);
        done += sent;
        if (n <= 0) finish_send(r, done++, false, now);
    }
}

static void queue_send(router_s *r, const send_s &e, int64_t now) {
    if (r->tx_count == SEND_BATCH) flush_sends(r, now);
    r->tx[r->tx_count++] = e;
}

// Copies the datagram into a pooled buffer and schedules it; false when the delay buffers are
// full.
static bool schedule_copy(router_s *r, const send_s &e, int64_t release) {
    size_t need = std::max(e.len, POOLED_BUFFER_BYTES);
    if (MAX_PENDING_BYTES - r->pending_bytes < need) return false;
    if (r->free_slots.empty()) {
        r->free_slots.push_back(static_cast<uint32_t>(r->slots.size()));
        r->slots.emplace_back();
    }
    uint32_t idx = r->free_slots.back();
    r->free_slots.pop_back();
    slot_s &s = r->slots[idx];
    s.bytes.reserve(need);
    s.bytes.assign(e.bytes, e.bytes + e.len);
    s.send = e;
    s.send.slot = idx;
    r->pending_bytes += s.bytes.capacity();
    r->heap.push_back(pending_s{release, r->next_order++, idx});
    std::push_heap(r->heap.begin(), r->heap.end(), heap_after);
    return true;
}

// Moves every copy whose time has come into the send batch. A copy that has reached its
// receiver's downlink enters it at its release time, in time order with every other copy bound
// for that node, and waits in the heap again until it has passed (or is dropped there).
void release_due(router_s *r, int64_t now) {
    while (!r->heap.empty() && r->heap.front().release_ns <= now) {
        std::pop_heap(r->heap.begin(), r->heap.end(), heap_after);
        pending_s due = r->heap.back();
        r->heap.pop_back();
        send_s &e = r->slots[due.slot].send;
        int64_t release = due.release_ns;
        if (e.to_downlink && !enter_downlink(r, &e, due.release_ns, now, &release)) {
            free_slot(r, due.slot);
            continue;
        }
        if (release > now) {
            r->heap.push_back(pending_s{release, r->next_order++, due.slot});
            std::push_heap(r->heap.begin(), r->heap.end(), heap_after);
            continue;
        }
        queue_send(r, e, now);
    }
}

// Sends a copy now when it is due, else holds it until its release time (or until it reaches
// the receiver's downlink).
static void dispatch_copy(router_s *r, send_s e, int64_t now, int64_t release) {
    if (e.to_downlink && release <= now && !enter_downlink(r, &e, release, now, &release)) return;
    if (release <= now) return queue_send(r, e, now);
    if (schedule_copy(r, e, release)) return;
    link_s &l = r->links[e.link];
    if (e.is_dup) {
        l.c.send_errors++;  // the original went on; only the extra copy is lost
        trace_link_event(r, now, l, e.info, e.len, "send_error", 0, e.corrupted);
        return;
    }
    l.c.dropped++;
    l.c.overflow++;
    trace_link_event(r, now, l, e.info, e.len, "drop_overflow", 0, e.corrupted);
}

// ==== impairments ================================================================================

// A datagram passes the sender's uplink first, then meets the link's drops (judge: blackout,
// loss, the bandwidth queue), then, if it survives, the changes to its copies (pass_on:
// corruption, duplication, delay and jitter); each copy then passes the receiver's downlink.

// Changes one byte past the encapsulation header (past the peer header of a DATA packet when
// confined to DATA payload); false when there is no such byte.
static bool corrupt_datagram(xoshiro_s *rng, uint8_t *buf, size_t len, const packet_info_s &info,
                             bool data_only) {
    size_t first = VEXLO_HEADER_SIZE;
    if (data_only) {
        if (info.type != TYPE_DATA) return false;
        first += sizeof(header);
    }
    if (len <= first) return false;
    size_t at = first + rng_below(rng, len - first);
    buf[at] ^= static_cast<uint8_t>(1 + rng_below(rng, 255));
    return true;
}

// Loss with its cap on drops in a row: once the cap is reached the next datagram passes.
static bool lose(router_s *r, link_s *l, const impair_s &im) {
    if (im.loss <= 0) return false;
    if (im.max_drops > 0 && l->consecutive_drops >= im.max_drops) {
        l->consecutive_drops = 0;
        return false;
    }
    if (rng_chance(&r->rng, im.loss)) {
        l->consecutive_drops++;
        return true;
    }
    l->consecutive_drops = 0;
    return false;
}

enum drop_reason { KEEP, DROP_BLACKOUT, DROP_LOSS, DROP_QUEUE };

// The link's drops for a datagram that enters it at `at` (after the sender's uplink); *depart is
// when its last byte has left the link's bandwidth queue.
static drop_reason judge(router_s *r, link_s *l, const impair_s &im, size_t len, int64_t at,
                         int64_t *depart) {
    int64_t since_start = at - r->start_ns;
    if (im.blackout_len_ns > 0 && since_start >= im.blackout_start_ns &&
        since_start - im.blackout_start_ns < im.blackout_len_ns)
        return DROP_BLACKOUT;
    if (lose(r, l, im)) return DROP_LOSS;
    if (!fifo_admit(&l->queue, im.bandwidth, im.queue_bytes, len, at, depart)) return DROP_QUEUE;
    return KEEP;
}

static void count_drop(const router_s *r, link_s *l, drop_reason why, const packet_info_s &info,
                       size_t len, int64_t now) {
    const char *action = "drop_loss";
    l->c.dropped++;
    switch (why) {
        case DROP_BLACKOUT:
            l->c.blackout++;
            action = "drop_blackout";
            break;
        case DROP_QUEUE:
            l->c.taildrop++;
            action = "drop_queue";
            break;
        default:
            l->c.loss++;
            break;
    }
    trace_link_event(r, now, *l, info, len, action, 0, false);
}

static int64_t draw_jitter(router_s *r, const impair_s &im) {
    if (im.jitter_ns <= 0) return 0;
    return static_cast<int64_t>(rng_below(&r->rng, static_cast<uint64_t>(im.jitter_ns) + 1));
}

// A datagram that survived the drops: corruption first, so a duplicate is an exact copy of it;
// each copy then gets its own jitter after the common queue and delay.
static void pass_on(router_s *r, link_s *l, const impair_s &im, uint8_t *buf, size_t len,
                    const packet_info_s &info, int64_t now, int64_t depart) {
    bool corrupted = rng_chance(&r->rng, im.corrupt) &&
                     corrupt_datagram(&r->rng, buf, len, info, im.corrupt_data_only);
    if (corrupted) l->c.corrupted++;
    bool dup = rng_chance(&r->rng, im.dup);
    int64_t base = depart + im.delay_ns;
    uint32_t link = static_cast<uint32_t>(l - r->links.data());
    send_s e{buf, NO_SLOT, len, link, info, now, false, corrupted, limits_down(r, *l)};
    dispatch_copy(r, e, now, base + draw_jitter(r, im));
    if (!dup) return;
    l->c.duplicated++;
    e.is_dup = true;
    dispatch_copy(r, e, now, base + draw_jitter(r, im));
}

// ==== datagrams ==================================================================================

// Only loopback destinations with a port are forwarded; the router's own address would make a
// datagram circle through it forever.
static bool destination_ok(const router_s *r, const link_key_s &k) {
    if ((ntohl(k.dst_addr) >> 24) != 127 || k.dst_port == 0) return false;
    return !(ntohl(k.dst_addr) == INADDR_LOOPBACK && ntohs(k.dst_port) == r->port);
}

static void trace_unlinked(const router_s *r, int64_t now, const char *src, const char *dst,
                           size_t len, const char *action) {
    if (!r->trace) return;
    trace_line(r, now, src, dst, "-", packet_info_s{}, len, action, 0, false, "");
}

static void handle_short(router_s *r, const sockaddr_in &from, size_t len, int64_t now) {
    r->short_dropped++;
    if (!r->trace) return;
    char src[24];
    format_endpoint(src, sizeof src, from.sin_addr.s_addr, from.sin_port);
    trace_unlinked(r, now, src, "-", len, "drop_short");
}

static void handle_bad_dest(router_s *r, const link_key_s &k, size_t len, int64_t now) {
    r->bad_dest++;
    if (!r->trace) return;
    char src[24], dst[24];
    format_endpoint(src, sizeof src, k.src_addr, k.src_port);
    format_endpoint(dst, sizeof dst, k.dst_addr, k.dst_port);
    trace_unlinked(r, now, src, dst, len, "drop_dest");
}

void route_datagram(router_s *r, uint8_t *buf, size_t len, const sockaddr_in &from, int64_t now) {
    r->received++;
    link_key_s key;
    if (!datagram_link(buf, len, &key)) return handle_short(r, from, len, now);
    if (!destination_ok(r, key)) return handle_bad_dest(r, key, len, now);
    link_s *l = find_link(r, key, now);
    if (!l) {
        r->untracked++;
        return;
    }
    l->c.received++;
    packet_info_s info = classify_datagram(buf, len);
    const impair_s &im = l->by_type[info.type];
    int64_t enter = now;
    if (limits_up(r, *l)) {
        uint32_t link = static_cast<uint32_t>(l - r->links.data());
        send_s e{buf, NO_SLOT, len, link, info, now, false, false, false};
        if (!pass_access(r, l, l->src_node, true, e, now, now, &enter)) return;
    }
    int64_t depart = enter;
    drop_reason why = judge(r, l, im, len, enter, &depart);
    if (why != KEEP) return count_drop(r, l, why, info, len, now);
    pass_on(r, l, im, buf, len, info, now, depart);
}

// ==== socket =====================================================================================

static void enlarge_buffer(int fd, int force_opt, int opt) {
    int size = SOCKET_BUFFER_BYTES;
    if (setsockopt(fd, SOL_SOCKET, force_opt, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, opt, &size, sizeof size);  // capped by the system maximum
}

int router_open(router_s *r, uint16_t port) {
    r->fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (r->fd < 0) {
        fprintf(stderr, "netsim: cannot create a UDP socket: %s\n", strerror(errno));
        return -1;
    }
    enlarge_buffer(r->fd, SO_RCVBUFFORCE, SO_RCVBUF);
    enlarge_buffer(r->fd, SO_SNDBUFFORCE, SO_SNDBUF);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    socklen_t alen = sizeof a;
    if (bind(r->fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(r->fd, reinterpret_cast<sockaddr *>(&a), &alen) != 0) {
        fprintf(stderr, "netsim: cannot bind 127.0.0.1:%u: %s\n", static_cast<unsigned>(port),
                strerror(errno));
        return -1;
    }
    r->port = ntohs(a.sin_port);
    return 0;
}

// Reads up to RECV_BATCH datagrams in one call, releasing due copies between them so a flood
// does not hold back delayed traffic; the sends go out before the buffers are read into again.
void receive_batch(router_s *r) {
    for (unsigned i = 0; i < RECV_BATCH; i++) {
        r->rx_iov[i].iov_base = r->rx.data() + i * MAX_DATAGRAM;
        r->rx_iov[i].iov_len = MAX_DATAGRAM;
        msghdr &m = r->rx_msgs[i].msg_hdr;
        m = msghdr{};
        m.msg_name = &r->rx_from[i];
        m.msg_namelen = sizeof(sockaddr_in);
        m.msg_iov = &r->rx_iov[i];
        m.msg_iovlen = 1;
    }
    int n = recvmmsg(r->fd, r->rx_msgs.data(), RECV_BATCH, MSG_DONTWAIT, nullptr);
    // n < 0: drained, or an error report that the read has now cleared.
    for (unsigned i = 0; n > 0 && i < static_cast<unsigned>(n); i++) {
        int64_t now = mono_ns();
        release_due(r, now);
        route_datagram(r, r->rx.data() + i * MAX_DATAGRAM, r->rx_msgs[i].msg_len, r->rx_from[i],
                       now);
    }
    flush_sends(r, mono_ns());
}
