// Fuzz target: the header check and the payload of WHOHAS and IHAVE packets. The input is one
// received datagram. A datagram that passes the check must hold every byte its header claims;
// the hashes parsed from it must be exactly the 20-byte groups behind the 4-byte prefix, and
// must come back unchanged from a packet built of them.
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>

#include "engine/chunklist.h"
#include "engine/common.h"
#include "engine/create.h"
#include "engine/process.h"

namespace {

[[noreturn]] void broken(const char *what) {
    fprintf(stderr, "fuzz_control: %s\n", what);
    abort();
}

void require(bool ok, const char *what) {
    if (!ok) broken(what);
}

// Checks that list holds exactly the n hashes at hashes, in order.
void require_hashes(const chunkitem *list, const uint8_t *hashes, int n, const char *what) {
    require(chunklist_length(list) == n, what);
    for (int i = 0; i < n; i++, list = list->next)
        require(memcmp(list->hash, hashes + i * HASH_SIZE, HASH_SIZE) == 0, what);
}

void check_round_trip(const chunkitem *list, uint8_t type) {
    header *built = createControlPacket(list, type);
    int n = chunklist_length(list);
    require(ntohs(built->p_len) == HEADER_SIZE + CONTROL_PREFIX + n * HASH_SIZE,
            "a built control packet of the wrong length");
    require(verifyPacketSanity(built, ntohs(built->p_len)) == 0,
            "a built control packet fails the header check");
    chunkitem *again = parseControlPacket(built);
    const uint8_t *hashes = reinterpret_cast<const uint8_t *>(built) + HEADER_SIZE + CONTROL_PREFIX;
    require_hashes(again, hashes, n, "a built control packet parses to other hashes");
    for (const chunkitem *a = again, *b = list; a && b; a = a->next, b = b->next)
        require(memcmp(a->hash, b->hash, HASH_SIZE) == 0, "hashes changed on the way round");
    chunklist_free(again);
    free(built);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > MAX_PACKET_SIZE) return 0;  // the receive buffer takes no more
    alignas(header) uint8_t buffer[MAX_PACKET_SIZE];
    memcpy(buffer, data, size);
    header *hdr = reinterpret_cast<header *>(buffer);
    if (verifyPacketSanity(hdr, static_cast<int>(size)) != 0) return 0;
    int h_len = ntohs(hdr->h_len);
    int p_len = ntohs(hdr->p_len);
    require(h_len >= HEADER_SIZE && h_len <= p_len && p_len <= static_cast<int>(size),
            "a header that claims bytes the datagram lacks passed the check");
    chunkitem *list = parseControlPacket(hdr);
    int payload = p_len - h_len;
    bool whole = payload > CONTROL_PREFIX && (payload - CONTROL_PREFIX) % HASH_SIZE == 0;
    int n = whole ? (payload - CONTROL_PREFIX) / HASH_SIZE : 0;
    require_hashes(list, buffer + h_len + CONTROL_PREFIX, n,
                   "parsed hashes differ from the payload's 20-byte groups");
    if (list) check_round_trip(list, hdr->type <= PKT_IHAVE ? hdr->type : PKT_WHOHAS);
    chunklist_free(list);
    return 0;
}
