#include "engine/outbox.h"

#include <cstring>

#include "config/debug.h"

static bool holding = false;
static int held = 0;
static header heads[OUTBOX_MAX];  // each held packet's header, copied
static vexlo_datagram datagrams[OUTBOX_MAX];

void outbox_hold() {
    holding = true;
}

int outbox_held() {
    return held;
}

void outbox_discard() {
    held = 0;
}

static void report_failure(const header *hdr) {
    if (hdr->type == PKT_ACK) {
        debug_log(DEBUG_ERRS, "Error Sending Ack \n");
    } else {
        debug_log(DEBUG_ERRS, "Error Sending Data \n");
    }
}

// Sends datagrams[0..n) in order; a datagram that fails is reported and the rest go on, as if
// each had been sent by itself.
static void send_all(int sock, int n) {
    int done = 0;
    while (done < n) {
        int sent = vexlo_sendbatch(sock, datagrams + done, n - done);
        done += sent > 0 ? sent : 0;
        if (done < n) report_failure(&heads[done++]);
    }
}

void outbox_flush(int sock) {
    if (held == 0) return;
    send_all(sock, held);
    held = 0;
}

void outbox_release(int sock) {
    outbox_flush(sock);
    holding = false;
}

void outbox_add(int sock, const header *hdr, const uint8_t *body, size_t body_len,
                const struct sockaddr_in *to) {
    if (held == OUTBOX_MAX) outbox_flush(sock);
    memcpy(&heads[held], hdr, HEADER_SIZE);
    // The header is sent from its copy; datagrams[] points at heads[], which never moves.
    datagrams[held] = {&heads[held], HEADER_SIZE, body, body_len, *to};
    held++;
    if (!holding) outbox_flush(sock);
}
