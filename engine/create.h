// Packet building, GET scheduling and sending, and the ends of connections and downloads that
// lead to the next GET.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include "config/bt_parse.h"
#include "engine/common.h"

constexpr int INITIAL_WINDOW = 1;     // packets
constexpr int INITIAL_SSTHRESH = 64;  // packets

// A new heap packet holding every hash of the non-empty list head; the caller sends and frees it.
header *createControlPacket(const chunkitem *head, uint8_t type);
// Sends a WHOHAS for the hashes of list to every other peer, as packets of at most
// MAX_CONTROL_HASHES hashes each, so that every packet fits a receiver's buffer.
void sendWhoHasToPeers(bt_config_t *config, const chunkitem *list, double now);
// Sends a WHOHAS for the hashes of list to `to` alone (a member that joined a running download),
// split likewise.
void sendWhoHasTo(bt_config_t *config, const chunkitem *list, const struct sockaddr_in *to);
// Answers a WHOHAS from `to` with IHAVE packets for the non-empty list of matches, split likewise.
void sendIHave(bt_config_t *config, const chunkitem *matches, const struct sockaddr_in *to);

// Asks the scheduling policy for a chunk of to_fetch_list for the free peer (the designed one:
// the first that nobody is fetching and peer announced), sends peer a GET for it and makes the
// connection requested: receiving_chunk points at the to_fetch_list node
// (not owned), and receiving_data becomes a new CHUNK_SIZE buffer that the peer record owns until
// the chunk ends (chunkReceiveFinished or releaseReceivingConnection).
void tryToGenerateGetRequest(bt_config_t *config, bt_peer_t *peer, double now);
// Sends one GET for item's hash to peer; changes no state.
void sendGetForPeer(bt_config_t *config, bt_peer_t *peer, const chunkitem *item);
// tryToGenerateGetRequest for every peer, in peer-list order.
void tryAllGetRequests(bt_config_t *config, double now);

// Sets a sending connection's start values (and the adaptive state, in that profile); the
// caller has already given peer its sending_data buffer.
void initializeNewSendingConnection(bt_config_t *config, bt_peer_t *peer, double now);
// Sends new DATA packets while the window has room.
void fillWindowForPeer(bt_config_t *config, bt_peer_t *peer, double now);
// Writes DATA packet seq of peer's chunk (sending_data) into packet, which has room for
// HEADER_SIZE + DATA_PAYLOAD bytes; its length, or 0 when the chunk has no packet seq.
int buildDataPacket(const bt_peer_t *peer, int seq, header *packet);
// Queues DATA packet seq of peer's chunk in the outbox, built in place: its header, then its
// payload where it lies in sending_data (a failed send is reported when it leaves). False when
// the chunk has no packet seq.
bool queueDataPacket(bt_config_t *config, const bt_peer_t *peer, int seq);
// Sends up to count new DATA packets from sending_next_seq on in one batch (at most
// VEXLO_SEND_MAX), logged and recorded as outstanding one by one as sendDataForPeer would; a
// packet whose send failed is outstanding too and ends the batch. The packets sent, 0 when the
// chunk has no packet left, -1 after a failed send.
int sendDataBatchForPeer(bt_config_t *config, bt_peer_t *peer, int count, double now);
// vexlo_sendto of the p_len bytes of hdr to `to` on the peer's socket, after what the outbox
// holds.
ssize_t sendPacketTo(bt_config_t *config, const header *hdr, const struct sockaddr_in *to);
// The send's result for one new DATA packet, or 0 when the chunk has no byte left to send.
int sendDataForPeer(bt_config_t *config, bt_peer_t *peer, double now);
// Sends one ACK carrying seq_num to peer, through the outbox; nothing is kept.
void sendAckForPeer(bt_config_t *config, bt_peer_t *peer, int seq_num);
// Ends the sending connection to peer and applies the -x limit (may end the process).
void doneSendingData(bt_config_t *config, bt_peer_t *peer);
// Ends the receiving connection from peer: checks, writes and accounts for the chunk, asks for
// more. verifyAndWriteChunk reports; here a failed check is noted, a written chunk announced and
// taken off the request, the download completed or aborted, and the free peers offered chunks.
void chunkReceiveFinished(bt_config_t *config, bt_peer_t *peer, double now);
// Ends the download whose last chunk is written: closes the output, prints "GOT <file> " (and
// ends the process under -x).
void completeDownload(bt_config_t *config, double now);
// Gives up the running download after its output file failed: every receiving connection is
// released, the request list freed, the file closed, and a new GET may start.
void abortDownload(bt_config_t *config, double now);
// Called after every change of sending_win: a line "<peer id> <ms since start> <window>" in the
// --window-log file, when one was given. The log's time stamp is read from the clock here: it
// records, and nothing is judged by it.
void writeWindowSizeToFile(bt_config_t *config, bt_peer_t *peer);
