#include "engine/peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/debug.h"
#include "engine/chunklist.h"
#include "engine/create.h"
#include "engine/input_buffer.h"
#include "engine/process.h"
#include "engine/reliable.h"
#include "engine/util.h"
#include "shim/vexlo.h"

constexpr int GET_NAME_BUF = 128;             // each name of a GET line is at most 120 characters
constexpr int SOCKET_BUFFER_BYTES = 4 << 20;  // room for the windows of several uploaders at once

// ---- start-up --------------------------------------------------------------------------------

void catch_sig(int sig_num) {
    printf("ouch, got signal %d ! Exiting \n", sig_num);
    fflush(stdout);
    exit(1);
}

int main(int argc, char **argv) {
    signal(SIGINT, catch_sig);
    signal(SIGTERM, catch_sig);
    signal(SIGSEGV, catch_sig);
    signal(SIGBUS, catch_sig);
    // Fully buffered: the receive path writes a line per datagram; lines a user or a script waits
    // for are flushed where they are written.
    static char stdout_buffer[1 << 16];
    setvbuf(stdout, stdout_buffer, _IOFBF, sizeof stdout_buffer);

    bt_config_t config;
    bt_init(&config, argc, argv);
    bt_parse_command_line(&config);
    if (debug & (DEBUG_WINDOW | DEBUG_ALL)) {
        bt_dump_config(&config);
        fflush(stdout);
    }
    peer_run(&config);
}

[[noreturn]] static void fail_setup(const char *what) {
    perror(what);
    exit(-1);
}

static int open_bound_socket(bt_config_t *config, struct sockaddr_in *myaddr) {
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) fail_setup("peer_run could not create socket");
    int bytes = SOCKET_BUFFER_BYTES;
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    memset(myaddr, 0, sizeof *myaddr);
    myaddr->sin_family = AF_INET;
    inet_aton("127.0.0.1", &myaddr->sin_addr);
    myaddr->sin_port = htons(config->myport);
    if (bind(sock, reinterpret_cast<struct sockaddr *>(myaddr), sizeof *myaddr) < 0)
        fail_setup("peer_run could not bind socket");
    return sock;
}

[[noreturn]] void peer_run(bt_config_t *config) {
    struct timeval select_timeout;
    user_iobuf *userbuf = create_userbuf();
    if (!userbuf) fail_setup("peer_run could not allocate userbuf");

    struct sockaddr_in myaddr;
    config->sock = open_bound_socket(config, &myaddr);
    vexlo_init(config->identity, reinterpret_cast<struct sockaddr *>(&myaddr), sizeof myaddr);
    config->masterchunks = readHashesFromFile(config->chunk_file, 1, config);
    config->mychunks = readHashesFromFile(config->has_chunk_file, 0, config);

    bool stdin_open = true;
    fd_set readfds;
    for (;;) {
        FD_ZERO(&readfds);
        if (stdin_open) FD_SET(STDIN_FILENO, &readfds);
        FD_SET(config->sock, &readfds);
        select_timeout.tv_sec = 1;
        select_timeout.tv_usec = 0;
        int nfds = select(config->sock + 1, &readfds, nullptr, nullptr, &select_timeout);
        if (nfds > 0) {
            if (FD_ISSET(config->sock, &readfds)) process_inbound_udp(config);
            if (stdin_open && FD_ISSET(STDIN_FILENO, &readfds)) {
                process_user_input(STDIN_FILENO, userbuf, handle_user_input, config);
                // At its end standard input stays readable for ever: watching it further would
                // spin the loop. The peer keeps serving the others.
                stdin_open = !userbuf->at_eof;
            }
        }
        sendTimedOutPackets(config);
        checkForStalledDownloads(config);
    }
}

// ---- datagrams -------------------------------------------------------------------------------

void process_inbound_udp(bt_config_t *config) {
    alignas(header) char buffer[MAX_PACKET_SIZE];
    struct sockaddr_in from;
    socklen_t fromlen = sizeof from;
    int received = vexlo_recvfrom(config->sock, buffer, sizeof buffer, 0,
                                  reinterpret_cast<struct sockaddr *>(&from), &fromlen);
    if (received <= 0) return;
    if (debug & DEBUG_ALL) {  // per datagram: no address formatting unless it is printed
        debug_log(DEBUG_ALL, "Incoming message (size = %d) from %s:%d\n", received,
                  inet_ntoa(from.sin_addr), ntohs(from.sin_port));
    }
    header *hdr = reinterpret_cast<header *>(buffer);
    if (verifyPacketSanity(hdr, received) != 0) {
        debug_log(DEBUG_ERRS, "Bad packet header. Discarding... \n");
        return;
    }
    debug_log(DEBUG_ALL, "got valid packet type = %d total size = %d \n", hdr->type,
              ntohs(hdr->p_len));
    switch (hdr->type) {
        case PKT_WHOHAS:
            handleWhoHas(config, hdr, &from);
            break;
        case PKT_IHAVE:
            handleIHave(config, hdr, &from);
            break;
        case PKT_GET:
            handleGet(config, hdr, &from);
            break;
        case PKT_DATA:
            handleData(config, hdr, &from, 1);
            break;
        case PKT_ACK:
            handleAck(config, hdr, &from);
            break;
        default:
            printf("received unknown type = %d \n", hdr->type);
            break;
    }
}

// ---- the GET command -------------------------------------------------------------------------

void handle_user_input(char *line, void *cbdata) {
    char chunkf[GET_NAME_BUF];
    char outf[GET_NAME_BUF];
    memset(chunkf, 0, sizeof chunkf);
    memset(outf, 0, sizeof outf);
    if (sscanf(line, "GET %120s %120s", chunkf, outf) <= 0) return;
    if (outf[0] == '\0') return;
    process_get(chunkf, outf, static_cast<bt_config_t *>(cbdata));
}

void process_get(char *chunkfile, char *outputfile, bt_config_t *config) {
    debug_log(DEBUG_WHOHAS, "Handling user GET for (%s, %s)\n", chunkfile, outputfile);
    chunkitem *list = readHashesFromFile(chunkfile, 0, config);
    debug_log(DEBUG_WHOHAS, "user requested the following %d chunks: \n", chunklist_length(list));
    chunklist_print(list, DEBUG_WHOHAS);
    if (config->download_in_progress) {
        fprintf(stderr, "Error: you already have a download in progress!\n");
        chunklist_free(list);
        return;
    }
    // A WHOHAS needs at least one hash: a request without any is refused before it starts.
    if (!list) {
        fprintf(stderr, "Error: GET refused: %s cannot be read or holds no chunk hashes\n",
                chunkfile);
        return;
    }
    FILE *out = fopen(outputfile, "w");
    if (!out) {
        fprintf(stderr, "Error: GET refused: cannot create output file %s: %s\n", outputfile,
                strerror(errno));
        chunklist_free(list);
        return;
    }
    config->to_fetch_list = list;  // the configuration owns the request list from now on
    snprintf(config->output_file, sizeof config->output_file, "%s", outputfile);
    config->output_handle = out;
    config->download_in_progress = 1;
    sendWhoHasToPeers(config, list);
}
