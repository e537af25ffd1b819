// The outbox: DATA and ACK packets of one pass of the event loop, kept in order and handed to the
// shim together (vexlo_sendbatch: one system call, runs to one peer as one GSO buffer) instead of
// one send each. Outside a pass (the loop's set-up, tests calling handlers) every packet is sent
// at once. A packet is sent whatever follows it; held ones only wait, in their order, and leave
// before any datagram sent around the outbox. One outbox per process, as there is one socket.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "engine/common.h"
#include "shim/vexlo.h"

constexpr int OUTBOX_MAX = VEXLO_SEND_MAX;  // packets held at most; a full outbox is sent

// From now on packets wait in the outbox until outbox_flush or outbox_release.
void outbox_hold();
// Sends what is held and sends every later packet at once again.
void outbox_release(int sock);
// The packet hdr (its HEADER_SIZE bytes are copied) followed by the body_len bytes at body (not
// copied: they must stay as they are until the packet has left; nullptr when body_len is 0),
// for `to`: held, or sent at once when the outbox is not held. A send that fails is reported
// under DEBUG_ERRS ("Error Sending Data" or "Error Sending Ack", by the packet's type).
void outbox_add(int sock, const header *hdr, const uint8_t *body, size_t body_len,
                const struct sockaddr_in *to);
// Sends what is held now, the hold going on: before a datagram that goes around the outbox, and
// before bytes a held packet points at are given back.
void outbox_flush(int sock);
// Packets held now.
int outbox_held();
// Forgets what is held, unsent: the configuration whose buffers it points at is going away.
void outbox_discard();
