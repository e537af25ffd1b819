// client: sends one datagram carrying a magic number through the shim, from its own UDP port
// to another port on 127.0.0.1.
//
// Its failures are assertions whose text names the failing call, so they must fire in every
// build type, release builds included.
#undef NDEBUG
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shim/vexlo.h"

// Header area (whose first two bytes carry the magic) plus the zero body.
constexpr size_t kDatagramSize = 116;

// An IPv4 address record for 127.0.0.1 at port (host order; only its low 16 bits count).
static struct sockaddr_in loopback_addr(int port) {
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    inet_aton("127.0.0.1", &a.sin_addr);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

int main(int argc, char **argv) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    assert(fd >= 0);
    if (argc < 5) {
        printf("usage: %s <node id> <my port> <to port> <magic number>\n", argv[0]);
        exit(1);
    }

    struct sockaddr_in myaddr = loopback_addr(atoi(argv[2]));
    // The expression is written as the assertion message quotes it.
    // clang-format off
    assert(bind(fd, (struct sockaddr *) &myaddr, sizeof(myaddr)) >= 0);
    // clang-format on
    vexlo_init(atoi(argv[1]), reinterpret_cast<struct sockaddr *>(&myaddr), sizeof(myaddr));

    const struct sockaddr_in toaddr = loopback_addr(atoi(argv[3]));
    const int magic = atoi(argv[4]);
    // Only the low 16 bits travel, where the peer's packet header keeps its own magic.
    const uint16_t wire_magic = htons(static_cast<uint16_t>(magic));
    unsigned char datagram[kDatagramSize] = {};
    memcpy(datagram, &wire_magic, sizeof wire_magic);

    // One attempt: the demonstration sends whatever the shim makes of it and never retries.
    vexlo_sendto(fd, datagram, sizeof datagram, 0,
                 reinterpret_cast<const struct sockaddr *>(&toaddr), sizeof(toaddr));
    printf("Sent MAGIC: %d\n", magic);
    return 0;
}
