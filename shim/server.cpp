// server: waits on a UDP port of 127.0.0.1 and prints the magic number of every datagram the
// shim hands it, until it is killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shim/vexlo.h"

// Bytes taken of each datagram; the rest of a longer one is discarded by the receive.
constexpr size_t kReceiveSize = 100;

// Blocks until fd is readable; false when select failed or was interrupted.
static bool wait_readable(int fd) {
    fd_set readfds;
    FD_ZERO(&readfds);
    FD_SET(fd, &readfds);
    return select(fd + 1, &readfds, nullptr, nullptr, nullptr) > 0;
}

// Receives one datagram and prints its magic number. A receive that fails or yields fewer
// than the two magic bytes prints nothing: the buffer would hold no datagram's bytes.
static void serve_one(int fd) {
    unsigned char buf[kReceiveSize];
    struct sockaddr_in from;
    socklen_t fromlen = sizeof from;
    const int n = vexlo_recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<struct sockaddr *>(&from),
                                 &fromlen);
    if (n < 2) return;
    uint16_t wire_magic;
    memcpy(&wire_magic, buf, sizeof wire_magic);
    printf("MAGIC: %d\n", ntohs(wire_magic));
    fflush(stdout);
}

int main(int argc, char **argv) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0 || fd >= FD_SETSIZE) {
        perror("server could not create socket");
        return -1;
    }
    if (argc < 3) {
        printf("usage: %s <node id> <port>\n", argv[0]);
        exit(1);
    }

    struct sockaddr_in myaddr;
    memset(&myaddr, 0, sizeof myaddr);
    myaddr.sin_family = AF_INET;
    inet_aton("127.0.0.1", &myaddr.sin_addr);
    myaddr.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
    // A failed bind is reported and survived: the loop then waits on the unbound socket.
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&myaddr), sizeof myaddr) < 0)
        perror("peer_run could not bind socket");
    vexlo_init(atoi(argv[1]), reinterpret_cast<struct sockaddr *>(&myaddr), sizeof myaddr);

    for (;;) {
        if (wait_readable(fd)) serve_one(fd);
    }
}
