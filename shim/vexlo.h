// The shim every datagram travels through: plain sendto/recvfrom, or, when VEXLO_ROUTER names a
// network-simulator router, the same datagrams wrapped in a 16-byte header and sent via the router.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

constexpr size_t VEXLO_HEADER_SIZE = 16;
constexpr int VEXLO_BATCH_MAX = 32;  // datagrams one vexlo_recvbatch call takes at most
constexpr int VEXLO_SEND_MAX = 64;   // datagrams one vexlo_sendbatch call takes at most
// vexlo_recvsegments lands datagrams in VEXLO_LANDING_BYTES of its own: VEXLO_GRO_MESSAGES
// receives of up to VEXLO_GRO_ROOM bytes each when the kernel coalesces, else VEXLO_BATCH_MAX
// receives of VEXLO_LANDING_BYTES / VEXLO_BATCH_MAX bytes, longer datagrams being cut there.
constexpr int VEXLO_GRO_MESSAGES = 8;
constexpr size_t VEXLO_GRO_ROOM = 65536;  // more than the largest UDP payload
constexpr size_t VEXLO_LANDING_BYTES = VEXLO_GRO_MESSAGES * VEXLO_GRO_ROOM;
// A coalesced buffer holds at most 128 segments (the kernel's UDP_MAX_SEGMENTS: 64 before Linux
// 6.10, 128 since); segments beyond this room in one buffer are dropped under debug 64.
constexpr int VEXLO_SEGMENTS_PER_MESSAGE = 128;
constexpr int VEXLO_SEGMENTS_MAX = VEXLO_SEGMENTS_PER_MESSAGE * VEXLO_GRO_MESSAGES;

// The encapsulation header; every field in network byte order.
struct vexlo_header_s {
    int32_t ID;         // sender's node id
    int32_t lSrcAddr;   // sender's IPv4 address as bound
    int32_t lDestAddr;  // destination IPv4 address
    int16_t lSrcPort;   // sender's UDP port as bound
    int16_t lDestPort;  // destination UDP port
};
typedef struct vexlo_header_s vexlo_header;

static_assert(sizeof(vexlo_header) == VEXLO_HEADER_SIZE);
static_assert(std::is_trivially_copyable_v<vexlo_header>);
static_assert(offsetof(vexlo_header, ID) == 0);
static_assert(offsetof(vexlo_header, lSrcAddr) == 4);
static_assert(offsetof(vexlo_header, lDestAddr) == 8);
static_assert(offsetof(vexlo_header, lSrcPort) == 12);
static_assert(offsetof(vexlo_header, lDestPort) == 14);

// One datagram of a batched send: head and then body, gathered by the kernel (either may be
// empty), for an IPv4 destination. The bytes stay the caller's.
struct vexlo_datagram_s {
    const void *head;
    size_t head_len;
    const void *body;
    size_t body_len;
    struct sockaddr_in to;
};
typedef struct vexlo_datagram_s vexlo_datagram;

// One datagram a vexlo_recvsegments call took: its bytes lie in the shim's own memory and stay
// valid until the next receive call.
struct vexlo_segment_s {
    char *bytes;
    int length;  // as vexlo_recvfrom would return it
    struct sockaddr_in from;
};
typedef struct vexlo_segment_s vexlo_segment;

// Shim state, written once by vexlo_init.
extern long glSrcAddr;                    // own IPv4 address as bound, network order
extern short gsSrcPort;                   // own UDP port as bound, network order
extern int giVexloEnabled;                // 1 in simulator mode
extern long glNodeID;                     // own node id
extern struct sockaddr_in gsVexloRouter;  // the router, network order
// How many more pass-through notices ("Vexlo not enabled, using normal recvfrom") the receive
// calls print: -1 (the default) one per datagram received, 0 none, n > 0 the next n. A front end
// whose standard output is for results sets it before its first receive.
extern int giVexloPassNotices;
// 1 (the default): vexlo_sendbatch hands runs of equal datagrams to the kernel as one UDP GSO
// buffer where the kernel takes them; 0: never (every datagram a message of its own).
extern int giVexloSegmentation;

// 0 simulator mode on; 1 VEXLO_ROUTER not set; -1 VEXLO_ROUTER malformed (both pass-through).
int vexlo_init(long lNodeID, const struct sockaddr *addr, socklen_t addrlen);
// Bytes of the caller's datagram sent, or -1 with errno set.
ssize_t vexlo_sendto(int s, const void *msg, size_t len, int flags, const struct sockaddr *to,
                     socklen_t tolen);
// Payload bytes received; 0 or less means nothing usable arrived. addr must hold 16 bytes. In
// simulator mode a datagram that did not come from the router's address and port is taken and
// dropped (reported under debug 64): -1 with errno EAGAIN, whether or not the socket blocks.
int vexlo_recvfrom(int socket, void *buffer, size_t size, int flags, struct sockaddr *addr,
                   socklen_t *lengthPtr);
// Takes up to n (at most VEXLO_BATCH_MAX) datagrams already queued on socket, without waiting, in
// one system call: datagram i into buffers[i], which holds size bytes, its result as
// vexlo_recvfrom would return it into lengths[i] and its sender into froms[i]. Standard output
// gets what vexlo_recvfrom writes, once per datagram. In simulator mode datagrams not from the
// router are dropped and the others keep their order from index 0. The number of datagrams kept,
// or -1 with errno set (EAGAIN when none was queued, or none came from the router).
int vexlo_recvbatch(int socket, char *const *buffers, size_t size, int *lengths,
                    struct sockaddr_in *froms, int n);

// Sends d[0..n) (n at most VEXLO_SEND_MAX) in order, each as vexlo_sendto would send it (wrapped
// for the router in simulator mode, sealed with a swarm key), in as few system calls as the
// platform allows: all in one sendmmsg, and each run of consecutive datagrams for one destination
// whose sizes are equal (the last of the run may be shorter) as one UDP GSO buffer that the
// kernel cuts into those same datagrams. A GSO send that fails with EIO or EINVAL turns GSO off
// for the socket and goes out again datagram by datagram. The number of datagrams sent from d[0]
// on; when fewer than n, d[result] failed with errno set and none after it was sent.
int vexlo_sendbatch(int s, const vexlo_datagram *d, int n);
// Whether vexlo_sendbatch now sends GSO buffers on socket: false before its first batch there,
// where the kernel has no UDP_SEGMENT, after a fallback, or with giVexloSegmentation 0.
bool vexlo_segmenting(int socket);

// Asks the kernel to hand socket's datagrams that arrive as one GSO buffer (or that it coalesces)
// to vexlo_recvsegments as one buffer (Linux's UDP_GRO). 0 when on; -1 where the kernel has no
// such option (datagrams then come one by one, as before). One socket per process.
int vexlo_receive_coalesced(int socket);
// Takes the datagrams already queued on socket, without waiting, in one system call (of
// VEXLO_GRO_MESSAGES or VEXLO_BATCH_MAX receives, above), and hands them out into segs (room for
// VEXLO_SEGMENTS_MAX) in arrival order, a coalesced buffer cut at the segment size the kernel
// gives with it. Every segment's bytes start at a multiple of 8 bytes. Each
// datagram is taken as vexlo_recvbatch takes it: standard output gets what vexlo_recvfrom
// writes, once per datagram; in simulator mode those not from the router are dropped; with a
// swarm key each is opened and those that do not open are dropped. The number handed out, or -1
// with errno set (EAGAIN when none was queued or all were dropped).
int vexlo_recvsegments(int socket, vexlo_segment *segs);

// Asks the kernel to tell, with each datagram socket receives, how many datagrams it has dropped
// on that socket for want of buffer room (Linux's SO_RXQ_OVFL); vexlo_recvfrom and
// vexlo_recvbatch then keep the count for vexlo_socket_drops. One socket per process, as the
// shim's other state. 0 when the count is kept; -1 where the platform reports no such count.
int vexlo_count_drops(int socket);
// The datagrams the socket of vexlo_count_drops had dropped when the last datagram received on it
// was queued (a cumulative count, 0 until the kernel first reports one); -1 when no count is kept.
long long vexlo_socket_drops();
