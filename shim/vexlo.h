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

// Asks the kernel to tell, with each datagram socket receives, how many datagrams it has dropped
// on that socket for want of buffer room (Linux's SO_RXQ_OVFL); vexlo_recvfrom and
// vexlo_recvbatch then keep the count for vexlo_socket_drops. One socket per process, as the
// shim's other state. 0 when the count is kept; -1 where the platform reports no such count.
int vexlo_count_drops(int socket);
// The datagrams the socket of vexlo_count_drops had dropped when the last datagram received on it
// was queued (a cumulative count, 0 until the kernel first reports one); -1 when no count is kept.
long long vexlo_socket_drops();
