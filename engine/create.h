// Packet building, GET scheduling and sending.
#pragma once

#include <netinet/in.h>

#include "config/bt_parse.h"
#include "engine/common.h"

// A new heap packet holding every hash of the non-empty list head; the caller sends and frees it.
header *createControlPacket(const chunkitem *head, uint8_t type);
// Sends a WHOHAS for the hashes of list to every other peer, as packets of at most
// MAX_CONTROL_HASHES hashes each, so that every packet fits a receiver's buffer.
void sendWhoHasToPeers(bt_config_t *config, const chunkitem *list);
// Answers a WHOHAS from `to` with IHAVE packets for the non-empty list of matches, split likewise.
void sendIHave(bt_config_t *config, const chunkitem *matches, const struct sockaddr_in *to);

void tryToGenerateGetRequest(bt_config_t *config, bt_peer_t *peer);
void tryAllGetRequests(bt_config_t *config);
BOOL alreadyDownloadingChunk(bt_config_t *config, const chunkitem *chunk);

void initializeNewSendingConnection(bt_config_t *config, bt_peer_t *peer);
void fillWindowForPeer(bt_config_t *config, bt_peer_t *peer);
// The send's result for one new DATA packet, or 0 when the chunk has no byte left to send.
int sendDataForPeer(bt_config_t *config, bt_peer_t *peer);
void sendAckForPeer(bt_config_t *config, bt_peer_t *peer, int seq_num);
// Called after every change of sending_win; records nothing.
void writeWindowSizeToFile(bt_config_t *config, bt_peer_t *peer);
