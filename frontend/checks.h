// The checks the front end makes before anything starts: the peer list read strictly, the
// address this peer binds, and the files it reads and writes. Each failure is one line naming the
// file (and the line, where one is at fault), written into the caller's why buffer.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "engine/common.h"

constexpr int FRONT_MAX_ID = 32767;  // ids are the peer's 16-bit signed identities, 0 excluded

// This peer's line of the peer list.
struct listed_peer_s {
    int line;             // line number in the peer list, from 1
    struct in_addr addr;  // the address listed
    uint16_t port;        // host byte order
};
typedef struct listed_peer_s listed_peer_t;

// Reads the peer list at path the way the peer does ("<id> <host> <port>" per line, "#" in the
// first column a comment, blank lines skipped) but refuses what the peer would take silently: a
// line without exactly three fields, an id that is not a whole number from 1 to FRONT_MAX_ID, a
// host that is no IPv4 address and does not resolve, a port that is not a whole number from 1 to
// 65535, an id or address:port listed twice. It must name own_id, and, with need_others, at least
// one other peer. 0 with own_id's line in *own; -1 with the reason in why.
int check_peer_list(const char *path, int own_id, bool need_others, listed_peer_t *own, char *why,
                    size_t why_size);
// The address to bind: the listed one, unless bind names another. Only the listed address or
// 0.0.0.0 is allowed, since the others send to the listed address and take datagrams only from
// it. Then the address and port are bound once, to see that they can be. 0 with the address in
// *bound; -1 with the reason in why.
int check_bind(const char *list_path, int own_id, const listed_peer_t *own,
               const struct in_addr *bind, struct in_addr *bound, char *why, size_t why_size);
// An output file path: an existing one must be a regular file this process may read and write;
// a new one needs a folder it may create files in. 0, or -1 with the reason in why.
int check_output_file(const char *path, char *why, size_t why_size);
// Whether a and b name the same existing file; false when either is nullptr (not given).
bool same_file(const char *a, const char *b);
// 0 when path fits the engine's name fields (at most BT_FILENAME_LEN - 1 characters), else -1
// with the reason in why; what names it ("the output file") opens the message.
int check_path_length(const char *what, const char *path, char *why, size_t why_size);
// Whether the file system of the output file at path has room for a copy at least
// min_final_bytes long: beyond the blocks the file already holds, that many bytes must be free
// (where statvfs tells). 0, or -1 with the reason in why.
int check_output_room(const char *path, long long min_final_bytes, char *why, size_t why_size);

// What an existing output file holds of a hash list.
enum out_content {
    OUT_EMPTY,     // missing or empty: nothing to keep, nothing to lose
    OUT_A_CHUNK,   // at least one chunk of the list, at its place: a copy to resume
    OUT_NO_CHUNK,  // bytes, none of them a chunk of the list: something else
    OUT_STOPPED,   // stop() asked to end the reading
    OUT_UNREADABLE
};
// Reads the output file at path chunk by chunk in list order until one matches the list, checking
// stop() between chunks; its length in *size.
out_content existing_out_content(const char *path, const chunkitem *list, bool (*stop)(),
                                 long long *size);
