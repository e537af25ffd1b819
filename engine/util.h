// Hash-file reading, sender lookup, byte dumps, and the ends of connections and downloads.
#pragma once

#include <netinet/in.h>

#include "config/bt_parse.h"
#include "engine/common.h"

// A new list in file order that the caller owns (nullptr when the file holds no chunk lines or
// cannot be opened). With is_master_file set, the first line names the master data file (stored
// in config->chunk_data_file) and the second is skipped.
chunkitem *readHashesFromFile(const char *fname, int is_master_file, bt_config_t *config);
// The peer record whose address and port equal *from (0.0.0.0 is taken as 127.0.0.1 and *from is
// rewritten so); nullptr when no peer matches.
bt_peer_t *getPeerFromSockinfo(bt_config_t *config, struct sockaddr_in *from);
// Writes "byte %d = %x \n" per byte to standard output.
void dumpBytes(const char *start, int numBytes);

// Ends the sending connection to peer and applies the -x limit (may end the process).
void doneSendingData(bt_config_t *config, bt_peer_t *peer);
// Ends the receiving connection from peer: checks, writes and accounts for the chunk, asks for
// more.
void chunkReceiveFinished(bt_config_t *config, bt_peer_t *peer, double now);
// Ends the download whose last chunk is written: closes the output, prints "GOT <file> " (and
// ends the process under -x).
void completeDownload(bt_config_t *config, double now);
// The connections other than peer's that fetch the same to_fetch_list node as chunk (a second
// copy asked for at the end of a download) are ended, their bytes dropped: chunk is written.
// Each keeps the written chunk (peer's retired buffer) as its last chunk, so that DATA its peer
// still sends of it is never taken for the next chunk asked of that peer.
void releaseOtherFetchers(bt_config_t *config, const bt_peer_t *peer, const chunkitem *chunk);
// Puts peer's receiving side back to idle: held packets and the buffer released, chunk cleared.
void releaseReceivingConnection(bt_peer_t *peer);
// Releases every peer record with all it owns, the configuration's chunk lists, and closes the
// output file of a running download. For programs and tests that build a configuration and go
// on after it; the peer itself keeps its configuration until the process ends.
void releaseConfiguration(bt_config_t *config);
// Gives up the running download after its output file failed: every receiving connection is
// released, the request list freed, the file closed, and a new GET may start.
void abortDownload(bt_config_t *config, double now);
