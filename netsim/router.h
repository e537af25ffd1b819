// netsim's router: the link and node records, the way of each datagram (the sender's uplink, the
// link's impairments: blackout, loss, bandwidth queue, corruption, duplication, delay and jitter,
// then the receiver's downlink), the schedule of delayed copies and the batched reads and sends
// on its one UDP socket.
#pragma once

#include "netsim/queue.h"
#include "netsim/rules.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <cstdio>
#include <functional>
#include <unordered_map>
#include <vector>

// ==== constants ==================================================================================

constexpr size_t MAX_DATAGRAM = 65536;    // bytes; above any UDP payload over IPv4
constexpr unsigned RECV_BATCH = 32;       // datagrams per recvmmsg: syscalls dominate the cost
constexpr unsigned SEND_BATCH = 64;       // copies per sendmmsg
constexpr uint32_t NO_SLOT = UINT32_MAX;  // a send whose bytes are still in a receive buffer
constexpr uint32_t NO_NODE = UINT32_MAX;  // an end of a link whose node no node rule limits
constexpr const char *TRACE_HEADER =
    "time,src,dst,type,seq,ack,bytes,action,delay_ms,corrupted,node\n";

// ==== records ====================================================================================

// Hashes a link key for the router's index of links.
struct link_key_hash {
    size_t operator()(const link_key_s &k) const {
        uint64_t a = (uint64_t{k.src_addr} << 32) | k.dst_addr;
        uint64_t b = (uint64_t{k.src_port} << 16) | k.dst_port;
        return std::hash<uint64_t>{}(a ^ (b * 0x9e3779b97f4a7c15ull));
    }
};

// What happened to the traffic of one link since start.
struct counters_s {
    uint64_t received = 0;   // datagrams that arrived for this link
    uint64_t forwarded = 0;  // copies sent, duplicates included
    uint64_t dropped = 0;    // datagrams dropped before sending (the four reasons below)
    uint64_t loss = 0;
    uint64_t blackout = 0;
    uint64_t taildrop = 0;     // a queue on the way full: the link's, an uplink or a downlink
    uint64_t overflow = 0;     // the router's delay buffers full
    uint64_t send_errors = 0;  // copies the socket refused
    uint64_t duplicated = 0;   // extra copies made
    uint64_t corrupted = 0;    // datagrams with one byte changed
};

// One direction of traffic, created on its first datagram; owned by router_s::links.
struct link_s {
    link_key_s key;
    sockaddr_in dest;   // where every copy goes
    char src_text[24];  // "a.b.c.d:port"
    char dst_text[24];
    impair_s by_type[TYPE_COUNT];    // the rules resolved once for this link
    fifo_s queue;                    // the bandwidth limit's queue
    uint64_t consecutive_drops = 0;  // loss drops in a row
    uint32_t src_node = NO_NODE;     // index in router_s::nodes of the sender, if limited
    uint32_t dst_node = NO_NODE;     // and of the receiver
    counters_s c;
};

// One direction of a node's access link: its rate and queue, and what passed it since start.
struct access_queue_s {
    access_dir_s limit;  // rate 0: this direction is not limited
    fifo_s queue;
    uint64_t passed = 0;    // datagrams (and copies) that went through
    uint64_t bytes = 0;     // their bytes
    uint64_t taildrop = 0;  // datagrams the full queue refused
};

// An address:port that a node rule gives an access link, created with the first link that has it
// at one end; owned by router_s::nodes.
struct node_s {
    char text[24];     // "a.b.c.d:port"
    int64_t since_ns;  // when it was first seen: the start of its time averages
    access_queue_s up;
    access_queue_s down;
};

// A copy waiting in the send batch. Its bytes are in a receive buffer (valid until the batch is
// flushed, which happens before the next read) or in a slot, found by index when the batch is
// built because the slot array may move.
struct send_s {
    const uint8_t *bytes;  // receive buffer; unused when slot != NO_SLOT
    uint32_t slot;         // NO_SLOT, or the slot that owns the bytes until sent
    size_t len;
    uint32_t link;
    packet_info_s info;
    int64_t arrival_ns;
    bool is_dup;
    bool corrupted;
    bool to_downlink;  // the receiver's downlink is still ahead of it
};

// A datagram copy waiting for its release time; its buffer is reused once it has been sent.
struct slot_s {
    std::vector<uint8_t> bytes;
    send_s send{};  // what to send; its slot field names this slot
};

// An entry of the release heap: a slot and when it may leave.
struct pending_s {
    int64_t release_ns;
    uint64_t order;  // arrival order: equal release times leave first in, first out
    uint32_t slot;
};

// The state of the xoshiro256** generator.
struct xoshiro_s {
    uint64_t s[4];
};

// The whole router: socket, rules, links, delayed copies, batches and global counters. main
// owns it; it owns everything in it except the trace file.
struct router_s {
    int fd = -1;
    uint16_t port = 0;  // host order
    int64_t start_ns = 0;
    xoshiro_s rng{};
    std::vector<rule_s> rules;  // file order, then the command line
    std::vector<link_s> links;  // in order of first appearance
    std::unordered_map<link_key_s, uint32_t, link_key_hash> link_index;
    uint32_t last_link = UINT32_MAX;                    // consecutive datagrams mostly share a link
    std::vector<node_s> nodes;                          // in order of first appearance
    std::unordered_map<uint64_t, uint32_t> node_index;  // address and port -> node or NO_NODE
    std::vector<slot_s> slots;
    std::vector<uint32_t> free_slots;
    std::vector<pending_s> heap;  // min-heap on (release_ns, order)
    uint64_t next_order = 0;
    size_t pending_bytes = 0;  // buffer capacity held by pending slots
    FILE *trace = nullptr;     // owned by main
    std::vector<uint8_t> rx = std::vector<uint8_t>(RECV_BATCH * MAX_DATAGRAM);
    std::array<mmsghdr, RECV_BATCH> rx_msgs{};
    std::array<iovec, RECV_BATCH> rx_iov{};
    std::array<sockaddr_in, RECV_BATCH> rx_from{};
    std::array<send_s, SEND_BATCH> tx{};
    std::array<mmsghdr, SEND_BATCH> tx_msgs{};
    std::array<iovec, SEND_BATCH> tx_iov{};
    unsigned tx_count = 0;
    uint64_t received = 0;       // every datagram read
    uint64_t short_dropped = 0;  // shorter than the encapsulation header
    uint64_t bad_dest = 0;       // destination not a loopback address and port
    uint64_t untracked = 0;      // arrived after MAX_LINKS links were known
};

// ==== functions ==================================================================================

// The monotonic clock in nanoseconds; every time the router compares comes from it.
int64_t mono_ns();

// Seeds r's generator; the same seed gives the same choices on every platform.
void rng_seed(xoshiro_s *r, uint64_t seed);

// 0 with r->fd bound to 127.0.0.1:port (0 picks one) and r->port set; -1 with a message printed.
// The socket is r's; the caller closes r->fd.
int router_open(router_s *r, uint16_t port);

// Prints the router's counters and each link's on standard output, then flushes it and the trace.
void print_counters(const router_s *r, int64_t now);

// Moves every delayed copy due at now into the send batch (sending full batches on the way).
void release_due(router_s *r, int64_t now);

// Sends the batch, counting and tracing each copy as sent or refused; the batch is empty after.
void flush_sends(router_s *r, int64_t now);

// Takes one datagram of len bytes in a receive buffer, read at now from `from`, on its way: it is
// dropped, put in the send batch or scheduled. The bytes may be changed (corruption) and must stay
// until the batch is flushed.
void route_datagram(router_s *r, uint8_t *buf, size_t len, const sockaddr_in &from, int64_t now);

// Reads the datagrams waiting on r->fd (one batch), routes each and sends what is due.
void receive_batch(router_s *r);
