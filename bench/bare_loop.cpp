// bare_loop: the cheapest DATA+ACK exchange the peer's transfer could be, as a yardstick for it.
// One process forks: the child sends N MiB as 1416-byte DATA datagrams (16-byte header, 1400
// payload bytes) with at most 64 unacknowledged, the parent receives them on 127.0.0.1 and answers
// every one with a 16-byte cumulative ACK. Both ends wait in select and use recvfrom/sendto, like
// the peer. There is no loss recovery: an end that hears nothing for 5 seconds gives up.
// Prints one line:
//   bare_loop: bytes=B packets=P seconds=S MBps=R send_cpu_s_per_gib=X recv_cpu_s_per_gib=Y
// (1 MB = 10^6 bytes; CPU seconds are user + system of each end, scaled to 2^30 bytes).
// With --batched both ends go through the shim's batched calls instead, as the peer does: the
// sender hands each window fill to vexlo_sendbatch (one sendmmsg, one UDP GSO buffer per run of
// packets where the kernel segments), the receiver takes what is queued with vexlo_recvsegments
// (recvmmsg, UDP GRO where the kernel coalesces) and sends the ACKs of every datagram it took in
// one vexlo_sendbatch; the line then begins "bare_loop_batched:". --batched-plain batches the same
// way without GSO and GRO (one message per datagram in each sendmmsg and recvmmsg), the line
// beginning "bare_loop_mmsg:". --window sets the DATA packets in flight (64 by default).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <type_traits>

#include "shim/vexlo.h"

// ---- wire layout (the peer's header, DATA and ACK sizes) -----------------------------------

constexpr uint16_t kMagic = 23517;
constexpr uint8_t kVersion = 1;
constexpr uint8_t kTypeData = 3;
constexpr uint8_t kTypeAck = 4;
constexpr int kHeaderBytes = 16;
constexpr int kPayloadBytes = 1400;  // per DATA packet; the last one of the run may be shorter
constexpr int kDataBytes = kHeaderBytes + kPayloadBytes;
constexpr uint32_t kWindowPackets = 64;      // DATA packets in flight unless --window says
constexpr long kMaxWindow = 4096;
constexpr int kStallSeconds = 5;             // silence after which an end gives up
constexpr int kSocketBufferBytes = 4 << 20;  // as the peer sets its socket
constexpr int kChunkPackets = 375;           // a 512 KiB chunk: where payloads are copied to/from
constexpr long kMaxMiB = 1 << 16;            // 64 GiB: sequence numbers stay far below 2^32
constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;

struct header_s {
    uint16_t magic;   // kMagic
    uint8_t version;  // kVersion
    uint8_t type;     // kTypeData or kTypeAck
    uint16_t h_len;   // kHeaderBytes
    uint16_t p_len;   // whole datagram, header included
    uint32_t seq;     // DATA number, from 1
    uint32_t ack;     // highest DATA number received in order
};
static_assert(sizeof(header_s) == kHeaderBytes);
static_assert(std::is_trivially_copyable_v<header_s>);
static_assert(offsetof(header_s, p_len) == 6);
static_assert(offsetof(header_s, seq) == 8);
static_assert(offsetof(header_s, ack) == 12);
static_assert(kDataBytes == 1416);

// Fields in network byte order, as on the wire.
static header_s make_header(uint8_t type, int length, uint32_t seq, uint32_t ack) {
    header_s h;
    h.magic = htons(kMagic);
    h.version = kVersion;
    h.type = type;
    h.h_len = htons(kHeaderBytes);
    h.p_len = htons(static_cast<uint16_t>(length));
    h.seq = htonl(seq);
    h.ack = htonl(ack);
    return h;
}

// The header of a received datagram of got bytes, when it is one of ours of the wanted type.
static bool parse_header(const uint8_t *buf, ssize_t got, uint8_t type, header_s *h) {
    if (got < kHeaderBytes) return false;
    memcpy(h, buf, sizeof *h);
    return ntohs(h->magic) == kMagic && h->version == kVersion && h->type == type &&
           ntohs(h->p_len) == got && ntohs(h->h_len) == kHeaderBytes;
}

// ---- small helpers -------------------------------------------------------------------------

static double now_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

static double cpu_seconds(const rusage &ru) {
    const auto tv = [](const timeval &t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return tv(ru.ru_utime) + tv(ru.ru_stime);
}

// A UDP socket on 127.0.0.1 at a port the system picks; its address goes to *addr. -1 on failure.
static int open_loopback_socket(sockaddr_in *addr) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return -1;
    const int bytes = kSocketBufferBytes;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    memset(addr, 0, sizeof *addr);
    addr->sin_family = AF_INET;
    addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof *addr;
    if (bind(fd, reinterpret_cast<sockaddr *>(addr), sizeof *addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(addr), &len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Waits until fd is readable: 1 when it is, 0 after kStallSeconds of silence, -1 on error.
static int wait_readable(int fd) {
    for (;;) {
        fd_set readfds;
        FD_ZERO(&readfds);
        FD_SET(fd, &readfds);
        timeval timeout = {kStallSeconds, 0};
        const int n = select(fd + 1, &readfds, nullptr, nullptr, &timeout);
        if (n >= 0) return n;
        if (errno != EINTR) return -1;
    }
}

// Payload bytes of DATA packet seq (from 1) in a run of total_bytes.
static int payload_of(uint32_t seq, uint64_t total_bytes) {
    const uint64_t start = static_cast<uint64_t>(seq - 1) * kPayloadBytes;
    const uint64_t left = total_bytes - start;
    return left < kPayloadBytes ? static_cast<int>(left) : kPayloadBytes;
}

// ---- the two ends --------------------------------------------------------------------------

// Sends every DATA packet with at most `window` unacknowledged; 0 once the last is
// acknowledged, 1 after a stall or a socket error.
static int run_sender(int fd, const sockaddr_in &to, uint64_t total_bytes, uint32_t packets,
                      uint32_t window) {
    static uint8_t chunk[kChunkPackets * kPayloadBytes];  // the bytes sent, over and over
    for (size_t i = 0; i < sizeof chunk; i++) chunk[i] = static_cast<uint8_t>(i * 131u);
    uint8_t packet[kDataBytes];
    uint8_t reply[kDataBytes];
    uint32_t next = 1;  // next DATA number to send
    uint32_t acked = 0;
    while (acked < packets) {
        while (next <= packets && next - acked <= window) {
            const int payload = payload_of(next, total_bytes);
            const header_s h = make_header(kTypeData, kHeaderBytes + payload, next, 0);
            memcpy(packet, &h, sizeof h);
            memcpy(packet + kHeaderBytes, chunk + ((next - 1) % kChunkPackets) * kPayloadBytes,
                   static_cast<size_t>(payload));
            const ssize_t sent = sendto(fd, packet, static_cast<size_t>(kHeaderBytes + payload), 0,
                                        reinterpret_cast<const sockaddr *>(&to), sizeof to);
            if (sent < 0 && errno == EINTR) continue;
            if (sent < 0) {
                perror("bare_loop: sender sendto");
                return 1;
            }
            next++;
        }
        const int ready = wait_readable(fd);
        if (ready <= 0) {
            fprintf(stderr, "bare_loop: sender stalled at ACK %u of %u\n", acked, packets);
            return 1;
        }
        const ssize_t got = recvfrom(fd, reply, sizeof reply, 0, nullptr, nullptr);
        header_s h;
        if (!parse_header(reply, got, kTypeAck, &h)) continue;
        const uint32_t ack = ntohl(h.ack);
        if (ack > acked && ack <= packets) acked = ack;
    }
    return 0;
}

// Takes DATA in order and answers each datagram with a cumulative ACK; true once all packets are
// in, false after a stall or a socket error.
static bool run_receiver(int fd, uint32_t packets) {
    static uint8_t chunk[kChunkPackets * kPayloadBytes];  // where in-order payloads land
    uint8_t packet[kDataBytes + 1];  // one spare byte shows an oversized datagram
    uint32_t expected = 1;
    while (expected <= packets) {
        const int ready = wait_readable(fd);
        if (ready <= 0) {
            fprintf(stderr, "bare_loop: receiver stalled at DATA %u of %u\n", expected, packets);
            return false;
        }
        sockaddr_in from;
        socklen_t from_len = sizeof from;
        const ssize_t got =
            recvfrom(fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr *>(&from), &from_len);
        header_s h;
        if (got > kDataBytes || !parse_header(packet, got, kTypeData, &h)) continue;
        if (ntohl(h.seq) == expected) {
            memcpy(chunk + ((expected - 1) % kChunkPackets) * kPayloadBytes, packet + kHeaderBytes,
                   static_cast<size_t>(got - kHeaderBytes));
            expected++;
        }
        const header_s ack = make_header(kTypeAck, kHeaderBytes, 0, expected - 1);
        if (sendto(fd, &ack, sizeof ack, 0, reinterpret_cast<sockaddr *>(&from), from_len) < 0 &&
            errno != EINTR) {
            perror("bare_loop: receiver sendto");
            return false;
        }
    }
    return true;
}


// ---- the two ends, batched -----------------------------------------------------------------

// The highest cumulative ACK among the datagrams queued on fd, taken in one call; acked when
// none is new.
static uint32_t take_acks(int fd, uint32_t acked, uint32_t packets) {
    static vexlo_segment segs[VEXLO_SEGMENTS_MAX];
    const int got = vexlo_recvsegments(fd, segs);
    for (int i = 0; i < got; i++) {
        header_s h;
        if (!parse_header(reinterpret_cast<const uint8_t *>(segs[i].bytes), segs[i].length,
                          kTypeAck, &h))
            continue;
        const uint32_t ack = ntohl(h.ack);
        if (ack > acked && ack <= packets) acked = ack;
    }
    return acked;
}

// As run_sender, each window fill handed to the shim in batches of VEXLO_SEND_MAX: the headers
// built in an array, the payloads sent from the chunk where they lie.
static int run_batched_sender(int fd, const sockaddr_in &to, uint64_t total_bytes,
                              uint32_t packets, uint32_t window) {
    static uint8_t chunk[kChunkPackets * kPayloadBytes];
    for (size_t i = 0; i < sizeof chunk; i++) chunk[i] = static_cast<uint8_t>(i * 131u);
    header_s headers[VEXLO_SEND_MAX];
    vexlo_datagram out[VEXLO_SEND_MAX];
    uint32_t next = 1;
    uint32_t acked = 0;
    while (acked < packets) {
        while (next <= packets && next - acked <= window) {
            int n = 0;
            for (; n < VEXLO_SEND_MAX && next + static_cast<uint32_t>(n) <= packets &&
                   next + static_cast<uint32_t>(n) - acked <= window;
                 n++) {
                const uint32_t seq = next + static_cast<uint32_t>(n);
                const int payload = payload_of(seq, total_bytes);
                headers[n] = make_header(kTypeData, kHeaderBytes + payload, seq, 0);
                out[n] = {&headers[n], kHeaderBytes,
                          chunk + ((seq - 1) % kChunkPackets) * kPayloadBytes,
                          static_cast<size_t>(payload), to};
            }
            const int sent = vexlo_sendbatch(fd, out, n);
            if (sent < n && errno != EINTR) {
                perror("bare_loop: sender vexlo_sendbatch");
                return 1;
            }
            next += static_cast<uint32_t>(sent);
        }
        if (wait_readable(fd) <= 0) {
            fprintf(stderr, "bare_loop: sender stalled at ACK %u of %u\n", acked, packets);
            return 1;
        }
        acked = take_acks(fd, acked, packets);
    }
    return 0;
}

// Sends the ACKs of one receive's datagrams, in their order; false on a socket error.
static bool send_acks(int fd, const uint32_t *acks, const sockaddr_in *to, int n) {
    header_s headers[VEXLO_SEND_MAX];
    vexlo_datagram out[VEXLO_SEND_MAX];
    for (int done = 0; done < n;) {
        int count = n - done < VEXLO_SEND_MAX ? n - done : VEXLO_SEND_MAX;
        for (int i = 0; i < count; i++) {
            headers[i] = make_header(kTypeAck, kHeaderBytes, 0, acks[done + i]);
            out[i] = {&headers[i], kHeaderBytes, nullptr, 0, to[done + i]};
        }
        const int sent = vexlo_sendbatch(fd, out, count);
        if (sent < count && errno != EINTR) {
            perror("bare_loop: receiver vexlo_sendbatch");
            return false;
        }
        done += sent;
    }
    return true;
}

// As run_receiver, taking every queued datagram per wake and answering them in one batch.
static bool run_batched_receiver(int fd, uint32_t packets) {
    static uint8_t chunk[kChunkPackets * kPayloadBytes];
    static vexlo_segment segs[VEXLO_SEGMENTS_MAX];
    static uint32_t acks[VEXLO_SEGMENTS_MAX];
    static sockaddr_in froms[VEXLO_SEGMENTS_MAX];
    uint32_t expected = 1;
    while (expected <= packets) {
        if (wait_readable(fd) <= 0) {
            fprintf(stderr, "bare_loop: receiver stalled at DATA %u of %u\n", expected, packets);
            return false;
        }
        const int got = vexlo_recvsegments(fd, segs);
        int n = 0;
        for (int i = 0; i < got; i++) {
            header_s h;
            const auto *bytes = reinterpret_cast<const uint8_t *>(segs[i].bytes);
            if (segs[i].length > kDataBytes || !parse_header(bytes, segs[i].length, kTypeData, &h))
                continue;
            if (ntohl(h.seq) == expected) {
                memcpy(chunk + ((expected - 1) % kChunkPackets) * kPayloadBytes,
                       bytes + kHeaderBytes, static_cast<size_t>(segs[i].length - kHeaderBytes));
                expected++;
            }
            acks[n] = expected - 1;
            froms[n++] = segs[i].from;
        }
        if (!send_acks(fd, acks, froms, n)) return false;
    }
    return true;
}

// ---- main ----------------------------------------------------------------------------------

// Waits at most kStallSeconds for the child to end; kills it (by pid) when it does not. The
// child's resource use goes to *ru; true when it ended by itself with status 0.
static bool reap_sender(pid_t pid, rusage *ru) {
    int status = 0;
    const double deadline = now_seconds() + kStallSeconds;
    for (;;) {
        const pid_t done = wait4(pid, &status, WNOHANG, ru);
        if (done == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (done < 0 && errno != EINTR) return false;
        if (now_seconds() > deadline) break;
        usleep(10000);
    }
    fprintf(stderr, "bare_loop: sender did not finish; stopping it\n");
    kill(pid, SIGKILL);
    while (wait4(pid, &status, 0, ru) < 0 && errno == EINTR) {
    }
    return false;
}

static void usage(const char *argv0) {
    fprintf(stderr,
            "usage: %s [--mib N] [--window W] [--batched | --batched-plain]   (N MiB to move, 1..%ld, default 256; "
            "W DATA packets in flight, 1..%ld, default %u)\n",
            argv0, kMaxMiB, kMaxWindow, kWindowPackets);
}

// The value of a numeric option in lo..hi; false when it is not one.
static bool parse_number(const char *text, long lo, long hi, long *value) {
    char *end = nullptr;
    errno = 0;
    *value = strtol(text, &end, 10);
    return errno == 0 && *end == '\0' && *value >= lo && *value <= hi;
}

int main(int argc, char **argv) {
    long mib = 256;
    long window = kWindowPackets;
    bool batched = false;
    bool segments = true;  // GSO and GRO where the kernel has them
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--mib") == 0 && i + 1 < argc) {
            if (!parse_number(argv[++i], 1, kMaxMiB, &mib)) {
                usage(argv[0]);
                return 2;
            }
        } else if (strcmp(argv[i], "--window") == 0 && i + 1 < argc) {
            if (!parse_number(argv[++i], 1, kMaxWindow, &window)) {
                usage(argv[0]);
                return 2;
            }
        } else if (strcmp(argv[i], "--batched") == 0) {
            batched = true;
        } else if (strcmp(argv[i], "--batched-plain") == 0) {
            batched = true;
            segments = false;
        } else {
            usage(argv[0]);
            return 2;
        }
    }
    const uint64_t total_bytes = static_cast<uint64_t>(mib) << 20;
    const auto packets = static_cast<uint32_t>((total_bytes + kPayloadBytes - 1) / kPayloadBytes);

    sockaddr_in recv_addr;
    sockaddr_in send_addr;
    const int recv_fd = open_loopback_socket(&recv_addr);
    const int send_fd = open_loopback_socket(&send_addr);
    if (recv_fd < 0 || send_fd < 0) {
        perror("bare_loop: socket on 127.0.0.1");
        return 1;
    }

    giVexloPassNotices = 0;  // the shim's pass-through line per datagram would be the cost measured
    giVexloSegmentation = segments ? 1 : 0;
    if (batched && segments) vexlo_receive_coalesced(recv_fd);  // else, or no UDP_GRO: one by one

    rusage before;
    getrusage(RUSAGE_SELF, &before);
    const double start = now_seconds();
    fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) {
        perror("bare_loop: fork");
        return 1;
    }
    if (pid == 0) {
        close(recv_fd);
        const auto w = static_cast<uint32_t>(window);
        if (batched) {
            if (segments) vexlo_receive_coalesced(send_fd);
            _exit(run_batched_sender(send_fd, recv_addr, total_bytes, packets, w));
        }
        _exit(run_sender(send_fd, recv_addr, total_bytes, packets, w));
    }
    close(send_fd);
    const bool received =
        batched ? run_batched_receiver(recv_fd, packets) : run_receiver(recv_fd, packets);
    const double seconds = now_seconds() - start;
    rusage after;
    getrusage(RUSAGE_SELF, &after);
    if (!received) kill(pid, SIGKILL);  // the sender may still be waiting for ACKs
    rusage sender;
    memset(&sender, 0, sizeof sender);
    const bool sender_ok = reap_sender(pid, &sender);
    close(recv_fd);
    if (!received || !sender_ok) return 1;

    const double per_gib = kGiB / static_cast<double>(total_bytes);
    printf(
        "%s: bytes=%llu packets=%u seconds=%.3f MBps=%.1f send_cpu_s_per_gib=%.3f "
        "recv_cpu_s_per_gib=%.3f\n",
        !batched ? "bare_loop" : (segments ? "bare_loop_batched" : "bare_loop_mmsg"), static_cast<unsigned long long>(total_bytes),
        packets, seconds,
        static_cast<double>(total_bytes) / seconds / 1e6, cpu_seconds(sender) * per_gib,
        (cpu_seconds(after) - cpu_seconds(before)) * per_gib);
    return 0;
}
