#include "shim/vexlo.h"

#include "config/debug.h"
#include "shim/seal.h"

#include <arpa/inet.h>
#include <netinet/udp.h>
#include <sys/uio.h>

#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

long glSrcAddr = 0;
short gsSrcPort = 0;
int giVexloEnabled = 0;
long glNodeID = 0;
struct sockaddr_in gsVexloRouter = {};
int giVexloPassNotices = -1;

// Every address the shim sends to or reports is an IPv4 socket address of this length.
constexpr socklen_t kInetAddrLen = sizeof(struct sockaddr_in);
static_assert(kInetAddrLen == 16);

// ---------------------------------------------------------------------------------------------
// Set-up

// Router port from the text after the colon: atoi's leading number, kept to its low 16 bits,
// so an empty or non-numeric port is 0 and "9000:x" is 9000.
static uint16_t router_port_from_text(const char *text) {
    return static_cast<uint16_t>(static_cast<unsigned int>(atoi(text)) & 0xffffu);
}

// 0 when value names the router as "a.b.c.d:port" and gsVexloRouter now holds it; -1 after
// the message for a malformed value.
static int parse_router(const char *value) {
    const char *colon = strchr(value, ':');
    if (colon == nullptr) {
        fprintf(stderr, "Badly formatted VEXLO_ROUTER:  %s\n", value);
        return -1;
    }
    // Split in a copy: the environment string stays as the user set it.
    const std::string host(value, static_cast<size_t>(colon - value));
    gsVexloRouter.sin_family = AF_INET;
    gsVexloRouter.sin_port = htons(router_port_from_text(colon + 1));
    if (inet_aton(host.c_str(), &gsVexloRouter.sin_addr) == 0) {
        fprintf(stderr, "Badly formatted VEXLO_ROUTER IP:  %s\n", host.c_str());
        fputs("Must be an IP address.  127.0.0.1:port would be a nice format.\n", stderr);
        return -1;
    }
    return 0;
}

int vexlo_init(long lNodeID, const struct sockaddr *addr, socklen_t addrlen) {
    (void)addrlen;  // the bound address is always IPv4; its length says nothing new
    const char *value = getenv("VEXLO_ROUTER");
    if (value == nullptr) {
        fputs("Returning from vexlo_init: no VEXLO_ROUTER environment set.\n", stderr);
        return 1;
    }
    if (parse_router(value) != 0) return -1;
    assert(addr != nullptr);

    struct sockaddr_in bound;
    memcpy(&bound, addr, sizeof bound);
    giVexloEnabled = 1;
    glNodeID = lNodeID;
    glSrcAddr = static_cast<long>(bound.sin_addr.s_addr);
    gsSrcPort = static_cast<short>(bound.sin_port);

    fprintf(stderr, "Vexlo local stuff:  %08x:%d\n",
            static_cast<unsigned int>(bound.sin_addr.s_addr), ntohs(bound.sin_port));
    fprintf(stderr, "Vexlo setup complete.  %s:%d\nDelete this line after testing.\n",
            inet_ntoa(gsVexloRouter.sin_addr), ntohs(gsVexloRouter.sin_port));
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Drops at the receiving socket

static int counted_socket = -1;     // the socket of vexlo_count_drops; -1: no count is kept
static uint32_t counted_drops = 0;  // its drop count as the kernel last reported it

// Room for the one control message the receive calls ask for, aligned as the kernel writes it.
struct drop_control {
    alignas(struct cmsghdr) char bytes[CMSG_SPACE(sizeof(uint32_t))];
};

int vexlo_count_drops(int socket) {
#ifdef SO_RXQ_OVFL
    int on = 1;
    if (setsockopt(socket, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0) {
        counted_socket = socket;
        counted_drops = 0;
        return 0;
    }
#else
    (void)socket;
#endif
    return -1;
}

long long vexlo_socket_drops() {
    return counted_socket < 0 ? -1 : static_cast<long long>(counted_drops);
}

static bool counting(int socket) {
    return counted_socket >= 0 && socket == counted_socket;
}

// Gives msg room for the drop count when socket's drops are counted.
static void ask_for_drops(int socket, struct msghdr *msg, drop_control *control) {
    if (!counting(socket)) return;
    msg->msg_control = control->bytes;
    msg->msg_controllen = sizeof control->bytes;
}

// Keeps the count a received message carries. The kernel attaches it only once the count is
// non-zero, so a message without it leaves the count as it was.
static void take_drops(struct msghdr *msg) {
#ifdef SO_RXQ_OVFL
    if (msg->msg_control == nullptr) return;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(msg); c != nullptr; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL &&
            c->cmsg_len >= CMSG_LEN(sizeof counted_drops))
            memcpy(&counted_drops, CMSG_DATA(c), sizeof counted_drops);
    }
#else
    (void)msg;
#endif
}

// recvfrom by way of recvmsg, so that the drop count comes along with the datagram.
static int recvfrom_counted(int socket, void *buffer, size_t size, int flags, struct sockaddr *addr,
                            socklen_t *lengthPtr) {
    struct iovec part = {buffer, size};
    drop_control control;
    struct msghdr in = {};
    in.msg_name = addr;
    in.msg_namelen = addr != nullptr ? *lengthPtr : 0;
    in.msg_iov = &part;
    in.msg_iovlen = 1;
    ask_for_drops(socket, &in, &control);
    const ssize_t n = recvmsg(socket, &in, flags);
    if (n >= 0) {
        if (addr != nullptr) *lengthPtr = in.msg_namelen;
        take_drops(&in);
    }
    return static_cast<int>(n);
}

// ---------------------------------------------------------------------------------------------
// Send and receive

// The pass-through notice of one received datagram, as many times as giVexloPassNotices allows.
// One line per call is left to stdio's buffering: callers receive in a tight loop.
static void pass_through_notice() {
    if (giVexloPassNotices == 0) return;
    if (giVexloPassNotices > 0) giVexloPassNotices--;
    fputs("Vexlo not enabled, using normal recvfrom\n", stdout);
}

// The header naming this process as sender and dest as destination. The wide fields carry the
// low 32 bits of the long globals; addresses and ports are copied as stored (network order).
static vexlo_header make_header(const struct sockaddr_in &dest) {
    vexlo_header h;
    h.ID = static_cast<int32_t>(htonl(static_cast<uint32_t>(glNodeID)));
    h.lSrcAddr = static_cast<int32_t>(static_cast<uint32_t>(glSrcAddr));
    h.lDestAddr = static_cast<int32_t>(dest.sin_addr.s_addr);
    h.lSrcPort = gsSrcPort;
    h.lDestPort = static_cast<int16_t>(dest.sin_port);
    return h;
}

// A datagram goes out as the header and the caller's bytes gathered by the kernel, and comes in
// scattered into a header and the caller's buffer: no scratch buffer, no copy of the payload.
// Sealed, the bytes pass once more, through the cipher between sealed_bytes and the caller.

// The simulator path: the header and msg gathered into one datagram to the router.
static ssize_t wrapped_sendto(int s, const void *msg, size_t len, int flags,
                              const struct sockaddr *to) {
    // A datagram and its header must be addressable as one length.
    if (len > SIZE_MAX - VEXLO_HEADER_SIZE) {
        errno = ENOMEM;
        return -1;
    }
    // sa_family sits where every platform's layout keeps the family, length byte or not.
    if (to == nullptr || to->sa_family != AF_INET) {
        fputs("vexlo_sendto:  must specify AF_INET.  FIX YOUR CODE.\n", stderr);
        errno = ENOTSUP;
        return -1;
    }
    struct sockaddr_in dest;
    memcpy(&dest, to, sizeof dest);
    vexlo_header h = make_header(dest);
    struct iovec parts[2] = {{&h, VEXLO_HEADER_SIZE}, {const_cast<void *>(msg), len}};
    // The router, not the caller's destination, gets the datagram; tolen describes the latter.
    struct msghdr out = {};
    out.msg_name = &gsVexloRouter;
    out.msg_namelen = kInetAddrLen;
    out.msg_iov = parts;
    out.msg_iovlen = 2;
    const ssize_t sent = sendmsg(s, &out, flags);
    if (sent > 0) return sent - static_cast<ssize_t>(VEXLO_HEADER_SIZE);
    return sent;
}

// Room for one sealed datagram, in and out; the shim and its callers are single-threaded.
static uint8_t sealed_bytes[SEAL_MAX_PLAIN + SEAL_OVERHEAD];

// With a swarm key: the caller's datagram sealed for its destination, then sent as any other
// (through the router in simulator mode, so the router sees sealed bytes only).
static ssize_t sealed_sendto(int s, const void *msg, size_t len, int flags,
                             const struct sockaddr *to, socklen_t tolen) {
    if (to == nullptr || to->sa_family != AF_INET) {
        if (giVexloEnabled) return wrapped_sendto(s, msg, len, flags, to);  // its own refusal
        errno = EAFNOSUPPORT;
        return -1;
    }
    struct sockaddr_in dest;
    memcpy(&dest, to, sizeof dest);
    const ssize_t n = seal_datagram(gpSeal, msg, len, &dest, sealed_bytes, sizeof sealed_bytes);
    if (n < 0) return -1;
    const size_t sealed_len = static_cast<size_t>(n);
    const ssize_t sent = giVexloEnabled ? wrapped_sendto(s, sealed_bytes, sealed_len, flags, to)
                                        : sendto(s, sealed_bytes, sealed_len, flags, to, tolen);
    return sent < 0 ? sent : static_cast<ssize_t>(len);
}

ssize_t vexlo_sendto(int s, const void *msg, size_t len, int flags, const struct sockaddr *to,
                     socklen_t tolen) {
    if (gpSeal) return sealed_sendto(s, msg, len, flags, to, tolen);
    if (!giVexloEnabled) return sendto(s, msg, len, flags, to, tolen);
    return wrapped_sendto(s, msg, len, flags, to);
}

// Reports the sender named in a header to the caller. Only family, port and address are
// written, at the platform's offsets; a length byte, where the layout has one, is left alone.
static void store_source(struct sockaddr *addr, const vexlo_header &h) {
    if (addr == nullptr) return;
    auto *bytes = reinterpret_cast<unsigned char *>(addr);
    const sa_family_t family = AF_INET;
    memcpy(bytes + offsetof(struct sockaddr_in, sin_family), &family, sizeof family);
    memcpy(bytes + offsetof(struct sockaddr_in, sin_port), &h.lSrcPort, sizeof h.lSrcPort);
    memcpy(bytes + offsetof(struct sockaddr_in, sin_addr), &h.lSrcAddr, sizeof h.lSrcAddr);
}

// In simulator mode only the router speaks for the peers: a datagram from anyone else could name
// any sender in its header.
static bool from_router(const struct sockaddr_in &sender, socklen_t len) {
    return len >= kInetAddrLen && sender.sin_family == AF_INET &&
           sender.sin_port == gsVexloRouter.sin_port &&
           sender.sin_addr.s_addr == gsVexloRouter.sin_addr.s_addr;
}

static void report_foreign(const struct sockaddr_in &sender) {
    if (!(debug & DEBUG_VEXLO)) return;  // per datagram: no address formatting unless printed
    debug_log(DEBUG_VEXLO, "Vexlo dropped a datagram from %s:%d: not the router\n",
              inet_ntoa(sender.sin_addr), ntohs(sender.sin_port));
}

// Where a receive lands: the caller's buffer, or with a swarm key sealed_bytes, with room for
// the envelope around a datagram of the caller's size.
static struct iovec landing(void *buffer, size_t size) {
    if (!gpSeal) return {buffer, size};
    size_t room =
        size < sizeof sealed_bytes - SEAL_OVERHEAD ? size + SEAL_OVERHEAD : sizeof sealed_bytes;
    return {sealed_bytes, room};
}

// Opens the n sealed bytes at sealed, which came from `from`, into the caller's buffer: the plain
// length, or -1 with errno EAGAIN when the datagram is dropped (as for one not from the router:
// the caller's loop goes on as on an empty socket).
static int open_sealed(const void *sealed, ssize_t n, const struct sockaddr_in &from, void *buffer,
                       size_t size) {
    const int opened = seal_open(gpSeal, static_cast<const uint8_t *>(sealed),
                                 static_cast<size_t>(n), &from, buffer, size);
    if (opened < 0) errno = EAGAIN;
    return opened;
}

// Pass-through with a swarm key: the datagram as it came, opened.
static int sealed_recvfrom(int socket, void *buffer, size_t size, int flags, struct sockaddr *addr,
                           socklen_t *lengthPtr) {
    struct iovec land = landing(buffer, size);
    struct sockaddr_in from = {};
    socklen_t from_len = kInetAddrLen;
    const int n = recvfrom_counted(socket, land.iov_base, land.iov_len, flags,
                                   reinterpret_cast<struct sockaddr *>(&from), &from_len);
    if (n < 0) return n;
    const int opened = open_sealed(land.iov_base, n, from, buffer, size);
    if (opened >= 0 && addr != nullptr) {
        memcpy(addr, &from, sizeof from);
        *lengthPtr = from_len;
    }
    return opened;
}

int vexlo_recvfrom(int socket, void *buffer, size_t size, int flags, struct sockaddr *addr,
                   socklen_t *lengthPtr) {
    socklen_t unused_len = 0;
    if (lengthPtr == nullptr) lengthPtr = &unused_len;
    *lengthPtr = kInetAddrLen;

    if (!giVexloEnabled) {
        pass_through_notice();
        if (gpSeal) return sealed_recvfrom(socket, buffer, size, flags, addr, lengthPtr);
        if (counting(socket)) return recvfrom_counted(socket, buffer, size, flags, addr, lengthPtr);
        return static_cast<int>(recvfrom(socket, buffer, size, flags, addr, lengthPtr));
    }

    // The router's own address says nothing about the sender; the header does. A datagram
    // shorter than the header stays within h: the caller's buffer is not touched. MSG_TRUNC in
    // the caller's flags makes n the datagram's full length, not what was stored.
    vexlo_header h;
    struct sockaddr_in router = {};
    struct iovec parts[2] = {{&h, VEXLO_HEADER_SIZE}, landing(buffer, size)};
    struct msghdr in = {};
    in.msg_name = &router;
    in.msg_namelen = *lengthPtr;
    in.msg_iov = parts;
    in.msg_iovlen = 2;
    drop_control control;
    ask_for_drops(socket, &in, &control);
    ssize_t n = recvmsg(socket, &in, flags);
    if (n >= 0) take_drops(&in);
    // A datagram from elsewhere is taken off the socket and the call fails as on an empty
    // non-blocking socket: waiting here for the next one could hold the caller's loop.
    if (n >= 0 && !from_router(router, in.msg_namelen)) {
        report_foreign(router);
        errno = EAGAIN;
        n = -1;
    }
    ssize_t result = n;
    if (n > 0) {
        *lengthPtr = in.msg_namelen;
        result = n - static_cast<ssize_t>(VEXLO_HEADER_SIZE);
        if (result >= 0) store_source(addr, h);
    }
    if (result < 0) printf("Error on vexlo_recvfrom. errno: %d \n", errno);
    if (result >= 0 && gpSeal) {
        struct sockaddr_in from = {};
        store_source(reinterpret_cast<struct sockaddr *>(&from), h);
        return open_sealed(parts[1].iov_base, result, from, buffer, size);
    }
    return static_cast<int>(result);
}

// One datagram of a batch: what vexlo_recvfrom would return for the got bytes received, the
// sender taken from the header in simulator mode.
static int batch_result(ssize_t got, const vexlo_header &h, struct sockaddr_in *from) {
    if (!giVexloEnabled) {
        pass_through_notice();
        return static_cast<int>(got);
    }
    ssize_t result = got - static_cast<ssize_t>(VEXLO_HEADER_SIZE);
    if (result >= 0) {
        store_source(reinterpret_cast<struct sockaddr *>(from), h);
    } else {
        printf("Error on vexlo_recvfrom. errno: %d \n", errno);
    }
    return static_cast<int>(result);
}

// Room for the sealed datagrams of one batch, count slots of room bytes each; grown, never
// shrunk, so one allocation serves the whole run.
static uint8_t *batch_landing(size_t count, size_t room) {
    static std::vector<uint8_t> slots;
    if (slots.size() < count * room) slots.resize(count * room);
    return slots.data();
}

int vexlo_recvbatch(int socket, char *const *buffers, size_t size, int *lengths,
                    struct sockaddr_in *froms, int n) {
    if (n > VEXLO_BATCH_MAX) n = VEXLO_BATCH_MAX;
    if (n <= 0) return 0;
    const size_t count = static_cast<size_t>(n);
    vexlo_header headers[VEXLO_BATCH_MAX];
    struct sockaddr_in senders[VEXLO_BATCH_MAX];  // the router, or with a key the plain sender
    struct iovec parts[VEXLO_BATCH_MAX][2];
    struct mmsghdr msgs[VEXLO_BATCH_MAX] = {};
    drop_control controls[VEXLO_BATCH_MAX];
    // In simulator mode each datagram is scattered into its header and the rest, and the
    // router's address is not the sender's; otherwise it lands whole. With a key the rest lands
    // in a slot of its own and is opened into the caller's buffer.
    const bool wrapped = giVexloEnabled != 0;
    const size_t room = landing(nullptr, size).iov_len;
    uint8_t *slots = gpSeal ? batch_landing(count, room) : nullptr;
    for (size_t i = 0; i < count; i++) {
        struct iovec land = gpSeal ? iovec{slots + i * room, room} : iovec{buffers[i], size};
        parts[i][0] = wrapped ? iovec{&headers[i], VEXLO_HEADER_SIZE} : land;
        parts[i][1] = land;
        msgs[i].msg_hdr.msg_name = wrapped || gpSeal ? &senders[i] : &froms[i];
        msgs[i].msg_hdr.msg_namelen = kInetAddrLen;
        msgs[i].msg_hdr.msg_iov = parts[i];
        msgs[i].msg_hdr.msg_iovlen = wrapped ? 2 : 1;
        ask_for_drops(socket, &msgs[i].msg_hdr, &controls[i]);
    }
    const int got = recvmmsg(socket, msgs, static_cast<unsigned int>(count), MSG_DONTWAIT, nullptr);
    if (got <= 0) return got;
    // Datagrams not from the router, or that do not open, leave the batch; those after them
    // move up, in order.
    size_t kept = 0;
    for (size_t k = 0; k < static_cast<size_t>(got); k++) {
        take_drops(&msgs[k].msg_hdr);  // in arrival order: the last count stays
        if (wrapped && !from_router(senders[k], msgs[k].msg_hdr.msg_namelen)) {
            report_foreign(senders[k]);
            continue;
        }
        int len = batch_result(static_cast<ssize_t>(msgs[k].msg_len), headers[k], &froms[kept]);
        if (gpSeal) {
            if (!wrapped) froms[kept] = senders[k];
            if (len >= 0)
                len = open_sealed(parts[k][1].iov_base, len, froms[kept], buffers[kept], size);
            if (len < 0 && !(wrapped && msgs[k].msg_len < VEXLO_HEADER_SIZE)) continue;
        } else if (kept != k && len > 0) {
            memcpy(buffers[kept], buffers[k], static_cast<size_t>(len));
        }
        lengths[kept++] = len;
    }
    if (kept == 0) {  // as vexlo_recvfrom: all were dropped, as if none had been queued
        errno = EAGAIN;
        return -1;
    }
    return static_cast<int>(kept);
}

// ---------------------------------------------------------------------------------------------
// Batched send

int giVexloSegmentation = 1;

// The largest UDP payload over IPv4, and what one GSO buffer may hold: the kernel refuses a
// buffer of more than UDP_MAX_SEGMENTS segments (64 before Linux 6.10).
constexpr size_t kUdpPayloadMax = 65507;
constexpr size_t kGsoSegmentsMax = 64;
// Parts of one message at most: the simulator's header, then head and body, or a sealed slot.
constexpr size_t kPartsPerDatagram = 3;

// GSO on one socket: probed at its first batch, turned off for good by a fallback.
static int gso_socket = -1;
static bool gso_on = false;

// Whether the kernel knows UDP_SEGMENT (Linux 4.18 on): older kernels would ignore the control
// message and send a whole run as one datagram, so it is used only where the option exists.
static bool kernel_segments(int socket) {
#ifdef UDP_SEGMENT
    int size = 0;
    socklen_t len = sizeof size;
    return getsockopt(socket, SOL_UDP, UDP_SEGMENT, &size, &len) == 0;
#else
    (void)socket;
    return false;
#endif
}

static bool segmenting_now(int socket) {
    if (!giVexloSegmentation) return false;
    if (socket != gso_socket) {
        gso_socket = socket;
        gso_on = kernel_segments(socket);
    }
    return gso_on;
}

bool vexlo_segmenting(int socket) {
    return giVexloSegmentation && socket == gso_socket && gso_on;
}

// What the kernel is handed for one datagram of a batch: its parts, its length on the wire and
// the address it goes to (the router in simulator mode).
struct wire_datagram {
    struct iovec parts[kPartsPerDatagram];
    size_t count;   // parts used
    size_t length;  // bytes on the wire
    const struct sockaddr_in *to;
};

// Room for the sealed datagrams of one batch, grown and never shrunk, and the plain bytes of
// one datagram gathered for the cipher.
static std::vector<uint8_t> sealed_batch;
static uint8_t gathered_plain[SEAL_MAX_PLAIN];

// d's datagram sealed into the batch's room at *used; its sealed length, or -1 with errno.
static ssize_t seal_into_batch(const vexlo_datagram &d, size_t *used) {
    const size_t len = d.head_len + d.body_len;
    if (d.head_len > SEAL_MAX_PLAIN || d.body_len > SEAL_MAX_PLAIN - d.head_len) {
        errno = EMSGSIZE;
        return -1;
    }
    if (d.head_len) memcpy(gathered_plain, d.head, d.head_len);
    if (d.body_len) memcpy(gathered_plain + d.head_len, d.body, d.body_len);
    const size_t room = len + SEAL_OVERHEAD;
    if (sealed_batch.size() - *used < room) sealed_batch.resize(*used + room);
    const ssize_t n = seal_datagram(gpSeal, gathered_plain, len, &d.to, sealed_batch.data() + *used,
                                    room);
    if (n >= 0) *used += static_cast<size_t>(n);
    return n;
}

// Fills w for d; header is where the simulator's header goes. False, with errno, when d cannot
// be sent (as vexlo_sendto would refuse it). Sealed bytes stay at an offset into sealed_batch,
// which may still move: sealed_offset gets it, and the part is pointed there once all are sealed.
static bool prepare_datagram(const vexlo_datagram &d, vexlo_header *header, wire_datagram *w,
                             size_t *sealed_used, size_t *sealed_offset) {
    if (d.to.sin_family != AF_INET) {
        if (giVexloEnabled) fputs("vexlo_sendto:  must specify AF_INET.  FIX YOUR CODE.\n", stderr);
        errno = giVexloEnabled ? ENOTSUP : EAFNOSUPPORT;
        return false;
    }
    w->count = 0;
    w->length = 0;
    w->to = giVexloEnabled ? &gsVexloRouter : &d.to;
    if (giVexloEnabled) {
        *header = make_header(d.to);
        w->parts[w->count++] = {header, VEXLO_HEADER_SIZE};
        w->length += VEXLO_HEADER_SIZE;
    }
    if (gpSeal) {
        *sealed_offset = *sealed_used;
        const ssize_t n = seal_into_batch(d, sealed_used);
        if (n < 0) return false;
        w->parts[w->count++] = {nullptr, static_cast<size_t>(n)};
        w->length += static_cast<size_t>(n);
        return true;
    }
    if (d.head_len) w->parts[w->count++] = {const_cast<void *>(d.head), d.head_len};
    if (d.body_len) w->parts[w->count++] = {const_cast<void *>(d.body), d.body_len};
    w->length += d.head_len + d.body_len;
    return true;
}

static bool same_destination(const struct sockaddr_in *a, const struct sockaddr_in *b) {
    return a->sin_addr.s_addr == b->sin_addr.s_addr && a->sin_port == b->sin_port;
}

// How many datagrams from w[first] on, fewer than `left`, make one GSO run: one destination,
// one size but for a shorter last one, within the kernel's limits.
static size_t gso_run_length(const wire_datagram *w, size_t first, size_t left) {
    const size_t size = w[first].length;
    if (size == 0) return 1;
    size_t limit = kUdpPayloadMax / size;
    if (limit > kGsoSegmentsMax) limit = kGsoSegmentsMax;
    if (limit > left) limit = left;
    size_t run = 1;
    while (run < limit && same_destination(w[first + run].to, w[first].to) &&
           w[first + run].length <= size) {
        run++;
        if (w[first + run - 1].length < size) break;  // a shorter one ends the run
    }
    return run;
}

// Room for the control message that gives a GSO run's segment size.
struct segment_control {
    alignas(struct cmsghdr) char bytes[CMSG_SPACE(sizeof(uint16_t))];
};

// One message of the batch: `count` datagrams from w[first] on, as one GSO buffer when more
// than one.
struct batch_message {
    size_t first;
    size_t count;
};

static void set_segment_size(struct msghdr *msg, segment_control *control, size_t size) {
#ifdef UDP_SEGMENT
    msg->msg_control = control->bytes;
    msg->msg_controllen = sizeof control->bytes;
    struct cmsghdr *c = CMSG_FIRSTHDR(msg);
    c->cmsg_level = SOL_UDP;
    c->cmsg_type = UDP_SEGMENT;
    c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
    const auto segment = static_cast<uint16_t>(size);
    memcpy(CMSG_DATA(c), &segment, sizeof segment);
#else
    (void)msg;
    (void)control;
    (void)size;
#endif
}

// Cuts w[0..n) into messages: GSO runs when gso, else one datagram each. The number of messages.
static size_t plan_messages(const wire_datagram *w, size_t n, bool gso, batch_message *out) {
    size_t count = 0;
    for (size_t i = 0; i < n;) {
        const size_t run = gso ? gso_run_length(w, i, n - i) : 1;
        out[count++] = {i, run};
        i += run;
    }
    return count;
}

// Sends the planned messages in order; the number of datagrams that went out, errno set when
// fewer than all. A GSO message the kernel refuses with EIO or EINVAL turns GSO off for socket
// and goes out again as single datagrams.
static size_t send_messages(int s, wire_datagram *w, size_t n, bool gso) {
    batch_message plan[VEXLO_SEND_MAX];
    struct iovec parts[VEXLO_SEND_MAX * kPartsPerDatagram];
    struct mmsghdr msgs[VEXLO_SEND_MAX];
    segment_control controls[VEXLO_SEND_MAX];
    size_t sent = 0;
    while (sent < n) {
        const size_t planned = plan_messages(w + sent, n - sent, gso, plan);
        size_t used = 0;
        for (size_t m = 0; m < planned; m++) {
            msgs[m] = {};
            struct msghdr &h = msgs[m].msg_hdr;
            h.msg_iov = parts + used;
            for (size_t k = 0; k < plan[m].count; k++) {
                const wire_datagram &d = w[sent + plan[m].first + k];
                for (size_t p = 0; p < d.count; p++) parts[used++] = d.parts[p];
            }
            h.msg_iovlen = static_cast<size_t>(parts + used - h.msg_iov);
            h.msg_name = const_cast<struct sockaddr_in *>(w[sent + plan[m].first].to);
            h.msg_namelen = kInetAddrLen;
            if (plan[m].count > 1) set_segment_size(&h, &controls[m], w[sent + plan[m].first].length);
        }
        const int got = sendmmsg(s, msgs, static_cast<unsigned int>(planned), 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (gso && plan[0].count > 1 && (errno == EIO || errno == EINVAL)) {
                debug_log(DEBUG_VEXLO, "Vexlo: the kernel refused a GSO send (%s): sending "
                          "datagram by datagram\n", strerror(errno));
                gso_on = false;
                gso = false;
                continue;
            }
            return sent;
        }
        for (int m = 0; m < got; m++) sent += plan[m].count;
    }
    return sent;
}

int vexlo_sendbatch(int s, const vexlo_datagram *d, int n) {
    if (n > VEXLO_SEND_MAX) n = VEXLO_SEND_MAX;
    if (n <= 0) return 0;
    vexlo_header headers[VEXLO_SEND_MAX];
    wire_datagram w[VEXLO_SEND_MAX];
    size_t sealed_at[VEXLO_SEND_MAX];
    size_t sealed_used = 0;
    size_t ready = 0;
    int refusal = 0;  // errno of the datagram that could not be prepared
    for (; ready < static_cast<size_t>(n); ready++) {
        if (!prepare_datagram(d[ready], &headers[ready], &w[ready], &sealed_used,
                              &sealed_at[ready])) {
            refusal = errno;
            break;
        }
    }
    if (gpSeal) {  // the room has stopped growing: the sealed parts can point into it now
        for (size_t i = 0; i < ready; i++)
            w[i].parts[w[i].count - 1].iov_base = sealed_batch.data() + sealed_at[i];
    }
    const size_t sent = ready ? send_messages(s, w, ready, segmenting_now(s)) : 0;
    if (sent == ready && ready < static_cast<size_t>(n)) errno = refusal;
    return static_cast<int>(sent);
}

// ---------------------------------------------------------------------------------------------
// Coalesced receive

static int coalescing_socket = -1;  // the socket of vexlo_receive_coalesced; -1: none

int vexlo_receive_coalesced(int socket) {
#ifdef UDP_GRO
    int on = 1;
    if (setsockopt(socket, SOL_UDP, UDP_GRO, &on, sizeof on) == 0) {
        coalescing_socket = socket;
        return 0;
    }
#else
    (void)socket;
#endif
    return -1;
}

// Room for the control messages one receive may carry: the drop count and the segment size.
struct receive_control {
    alignas(struct cmsghdr) char bytes[CMSG_SPACE(sizeof(uint32_t)) + CMSG_SPACE(sizeof(int))];
};

// The segment size the kernel gave with a coalesced buffer; 0 when it came as one datagram.
static size_t segment_size_of(struct msghdr *msg) {
#ifdef UDP_GRO
    if (msg->msg_control == nullptr) return 0;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(msg); c != nullptr; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO &&
            c->cmsg_len >= CMSG_LEN(sizeof(int))) {
            int size = 0;
            memcpy(&size, CMSG_DATA(c), sizeof size);
            return size > 0 ? static_cast<size_t>(size) : 0;
        }
    }
#else
    (void)msg;
#endif
    return 0;
}

// Every segment handed out starts at a multiple of this: the peer's packets are read as records
// of 4-byte fields in place. Peer packets, the simulator's header and the envelope all keep it.
constexpr size_t kSegmentAlign = 8;
// Opened datagrams of one call at most: every landed byte, and a block of slack per segment.
constexpr size_t kOpenedBytes = VEXLO_LANDING_BYTES + VEXLO_SEGMENTS_MAX * 2 * kSegmentAlign;

// Where the datagrams land, and where one is opened (sealed) or moved to (landed out of
// alignment) when it cannot be handed out where it landed. Static: pages the traffic never
// reaches are never touched.
alignas(16) static char landing_area[VEXLO_LANDING_BYTES];
alignas(16) static char opened_area[kOpenedBytes];
static size_t opened_used = 0;  // bytes of opened_area handed out by the running call

// Room for len bytes in opened_area; nullptr when the call has used it up (it cannot: the
// landed bytes bound what is opened).
static char *opened_room(size_t len) {
    const size_t blocks = len / kSegmentAlign + 1;
    if (kOpenedBytes - opened_used < blocks * kSegmentAlign) return nullptr;
    char *room = opened_area + opened_used;
    opened_used += blocks * kSegmentAlign;
    return room;
}

// Hands out the datagram of got bytes at bytes, sent as `sender` says (the router in simulator
// mode): into *seg as vexlo_recvbatch would take it; false when it is dropped.
static bool take_segment(char *bytes, size_t got, const struct sockaddr_in &sender,
                         socklen_t sender_len, vexlo_segment *seg) {
    if (giVexloEnabled && !from_router(sender, sender_len)) {
        report_foreign(sender);
        return false;
    }
    vexlo_header h{};
    if (giVexloEnabled && got >= VEXLO_HEADER_SIZE) memcpy(&h, bytes, sizeof h);
    seg->from = sender;
    seg->length = batch_result(static_cast<ssize_t>(got), h, &seg->from);
    seg->bytes = giVexloEnabled && got >= VEXLO_HEADER_SIZE ? bytes + VEXLO_HEADER_SIZE : bytes;
    if (seg->length < 0) return !gpSeal || (giVexloEnabled && got < VEXLO_HEADER_SIZE);
    const size_t len = static_cast<size_t>(seg->length);
    if (gpSeal) {
        char *plain = opened_room(len);
        assert(plain && "opened room");
        seg->length = open_sealed(seg->bytes, seg->length, seg->from, plain, len);
        seg->bytes = plain;
        return seg->length >= 0;
    }
    if (reinterpret_cast<uintptr_t>(seg->bytes) % kSegmentAlign != 0) {
        char *aligned = opened_room(len);
        assert(aligned && "opened room");
        memcpy(aligned, seg->bytes, len);
        seg->bytes = aligned;
    }
    return true;
}

// Cuts the buffer of one receive into its datagrams; the number handed out into segs.
static size_t cut_message(char *bytes, size_t got, size_t segment, const struct sockaddr_in &sender,
                          socklen_t sender_len, vexlo_segment *segs) {
    if (segment == 0 || segment >= got) segment = got > 0 ? got : 1;
    size_t count = 0;
    for (size_t at = 0; at < got || (got == 0 && at == 0); at += segment) {
        if (count == VEXLO_SEGMENTS_PER_MESSAGE) {
            debug_log(DEBUG_VEXLO, "Vexlo dropped %zu bytes of a coalesced buffer: too many "
                      "segments\n", got - at);
            break;
        }
        const size_t len = got - at < segment ? got - at : segment;
        if (take_segment(bytes + at, len, sender, sender_len, &segs[count])) count++;
        if (got == 0) break;
    }
    return count;
}

int vexlo_recvsegments(int socket, vexlo_segment *segs) {
    const bool coalescing = socket == coalescing_socket;
    const size_t messages = coalescing ? VEXLO_GRO_MESSAGES : VEXLO_BATCH_MAX;
    const size_t room = VEXLO_LANDING_BYTES / messages;
    char *land = landing_area;
    struct sockaddr_in senders[VEXLO_BATCH_MAX];
    struct iovec parts[VEXLO_BATCH_MAX];
    struct mmsghdr msgs[VEXLO_BATCH_MAX] = {};
    receive_control controls[VEXLO_BATCH_MAX];
    for (size_t i = 0; i < messages; i++) {
        parts[i] = {land + i * room, room};
        msgs[i].msg_hdr.msg_name = &senders[i];
        msgs[i].msg_hdr.msg_namelen = kInetAddrLen;
        msgs[i].msg_hdr.msg_iov = &parts[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        if (coalescing || counting(socket)) {
            msgs[i].msg_hdr.msg_control = controls[i].bytes;
            msgs[i].msg_hdr.msg_controllen = sizeof controls[i].bytes;
        }
    }
    const int got = recvmmsg(socket, msgs, static_cast<unsigned int>(messages), MSG_DONTWAIT,
                             nullptr);
    if (got <= 0) return got;
    opened_used = 0;
    size_t kept = 0;
    for (size_t k = 0; k < static_cast<size_t>(got); k++) {
        struct msghdr *h = &msgs[k].msg_hdr;
        if (counting(socket)) take_drops(h);
        const size_t segment = coalescing ? segment_size_of(h) : 0;
        kept += cut_message(static_cast<char *>(parts[k].iov_base), msgs[k].msg_len, segment,
                            senders[k], h->msg_namelen, segs + kept);
    }
    if (kept == 0) {
        errno = EAGAIN;
        return -1;
    }
    return static_cast<int>(kept);
}
