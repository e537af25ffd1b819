// Header checks and the handlers of received packets.
#pragma once

#include <netinet/in.h>

#include "config/bt_parse.h"
#include "engine/common.h"

// A GET for the chunk a peer acknowledged whole is taken for a late copy of its earlier GET while
// an upload of another chunk to that peer runs and had an ACK (or its start) this recently;
// seconds.
constexpr double LATE_GET_ACK_WINDOW_S = 1.0;
// First DATA packets equal to the previous chunk's first one that a downloader drops per GET
// before it takes one as the new chunk's.
constexpr int MAX_FIRST_DATA_DROPS = 3;

// 0 when the received datagram of total_size bytes carries an acceptable header, -1 otherwise.
int verifyPacketSanity(header *hdr, int total_size);
// A new list of the hashes of a control packet (ids -1) that the caller owns; nullptr when the
// packet holds no hashes or its payload size is wrong.
chunkitem *parseControlPacket(header *hdr);

// Checks the header of a received datagram of `received` bytes (hdr points at them, aligned for a
// header) and hands it to the handler of its type; a bad one is dropped.
void handleDatagram(bt_config_t *config, header *hdr, int received, struct sockaddr_in *from,
                    double now);

// The handlers of a checked datagram; hdr points into the caller's receive buffer and is not kept
// (handleData writes a packet ahead of a gap at its place in the chunk buffer). A sender outside the peer list is
// dropped, except by handleWhoHas, which answers any address.
// Answers with an IHAVE of the requested hashes this peer holds; silent when it holds none.
void handleWhoHas(bt_config_t *config, header *hdr, struct sockaddr_in *from, double now);
// Records the sender's announcements that matter (announcement_add) and may send it a GET.
void handleIHave(bt_config_t *config, header *hdr, struct sockaddr_in *from, double now);
// Serves a GET: reads the chunk into a new sending_data buffer, which the peer record owns until
// doneSendingData, and starts the sending connection.
void handleGet(bt_config_t *config, header *hdr, struct sockaddr_in *from, double now);
// A GET came from peer while an upload to it runs: that upload ends (counted for -x).
void endUploadForNewGet(bt_config_t *config, bt_peer_t *peer);
// Serves peer's GET for hash at once: ends a running upload to it, reads the chunk from the store
// and starts the sending connection; nothing when this peer cannot serve the chunk.
void serveGet(bt_config_t *config, bt_peer_t *peer, const uint8_t *hash, double now);
// Serves the GETs the scheduling policy held back, longest-waiting first, while it has room for
// them; called on every pass of the loop.
void serveWaitingGets(bt_config_t *config, double now);
// Takes an ACK of the sending connection to the sender: window, release, refill, end.
void handleAck(bt_config_t *config, header *hdr, struct sockaddr_in *from, double now);
// Takes a DATA packet of the receiving connection from the sender and answers with an ACK when
// send_ack is set; finishes the chunk when it is complete.
void handleData(bt_config_t *config, header *hdr, struct sockaddr_in *from, BOOL send_ack,
                double now);

// Takes the held packets that now follow in order, if any, where they lie in the chunk buffer,
// with the messages and the end of the chunk of handling each again in turn.
void processOutoforderData(bt_config_t *config, bt_peer_t *peer, double now);
// Releases every held packet that is no longer ahead of receiving_lastseq.
void cleanUpOutoforder(bt_peer_t *peer);
