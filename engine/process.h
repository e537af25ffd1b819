// Header checks and the handlers of received packets.
#pragma once

#include <netinet/in.h>

#include "config/bt_parse.h"
#include "engine/common.h"

// 0 when the received datagram of total_size bytes carries an acceptable header, -1 otherwise.
int verifyPacketSanity(header *hdr, int total_size);
// A new list of the hashes of a control packet (ids -1) that the caller owns; nullptr when the
// packet holds no hashes or its payload size is wrong.
chunkitem *parseControlPacket(header *hdr);

// Checks the header of a received datagram of `received` bytes (hdr points at them, aligned for a
// header) and hands it to the handler of its type; a bad one is dropped.
void handleDatagram(bt_config_t *config, header *hdr, int received, struct sockaddr_in *from);

void handleWhoHas(bt_config_t *config, header *hdr, struct sockaddr_in *from);
void handleIHave(bt_config_t *config, header *hdr, struct sockaddr_in *from);
void handleGet(bt_config_t *config, header *hdr, struct sockaddr_in *from);
void handleAck(bt_config_t *config, header *hdr, struct sockaddr_in *from);
void handleData(bt_config_t *config, header *hdr, struct sockaddr_in *from, BOOL send_ack);

// Releases every outstanding packet with a sequence number up to sending_lastacked.
void remove_acked(bt_peer_t *peer);
// Takes the held packet that is now next in order, if any, and handles it.
void processOutoforderData(bt_config_t *config, bt_peer_t *peer);
// Releases every held packet that is no longer ahead of receiving_lastseq.
void cleanUpOutoforder(bt_peer_t *peer);
