// A configuration record with real peer records whose addresses are test-owned UDP sockets, so
// that engine functions can be driven directly and their packets read back.
#pragma once

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/bt_parse.h"
#include "engine/adaptive.h"
#include "engine/chunkindex.h"
#include "engine/chunklist.h"
#include "engine/common.h"
#include "engine/create.h"
#include "engine/peer.h"
#include "engine/time_util.h"
#include "engine/util.h"
#include "support/chunk.h"
#include "test_support.h"

namespace ef {

// A packet header (and optional payload) as wire bytes.
inline std::string packet(uint8_t type, const std::string &payload = "", uint32_t seq = 0,
                          uint32_t ack = 0, uint16_t h_len = HEADER_SIZE) {
    std::string bytes(h_len, '\0');
    header h{};
    h.magic = htons(PACKET_MAGIC);
    h.version = PACKET_VERSION;
    h.type = type;
    h.h_len = htons(h_len);
    h.p_len = htons(static_cast<uint16_t>(h_len + payload.size()));
    h.seq = htonl(seq);
    h.ack = htonl(ack);
    memcpy(bytes.data(), &h, sizeof h);
    return bytes + payload;
}

inline header parse_header(const std::string &bytes) {
    header h{};
    memcpy(&h, bytes.data(), sizeof h);
    return h;
}

inline std::string hash_of(int n) {
    std::string h(HASH_SIZE, '\0');
    for (int i = 0; i < HASH_SIZE; i++) h[static_cast<size_t>(i)] = static_cast<char>(n * 31 + i);
    return h;
}

// The payload of a WHOHAS or IHAVE: count byte, three 0x0A padding bytes, the hashes.
inline std::string control_payload(const std::vector<std::string> &hashes) {
    std::string p = {static_cast<char>(hashes.size()), 0x0A, 0x0A, 0x0A};
    for (auto &h : hashes) p += h;
    return p;
}

// The raw 20-byte SHA-1 of bytes.
inline std::string sha_raw(const std::string &bytes) {
    uint8_t h[HASH_SIZE];
    shahash(reinterpret_cast<const uint8_t *>(bytes.data()), static_cast<int>(bytes.size()), h);
    return std::string(reinterpret_cast<char *>(h), HASH_SIZE);
}

inline const uint8_t *u8(const std::string &s) {
    return reinterpret_cast<const uint8_t *>(s.data());
}

// A list of the given hashes with ids 0, 1, 2, ... in that order.
inline chunkitem *list_of(const std::vector<std::string> &hashes) {
    chunkitem *head = nullptr;
    for (size_t i = hashes.size(); i-- > 0;)
        chunklist_add(&head, u8(hashes[i]), static_cast<int>(i));
    return head;
}

// The list becomes the request of the running download (owned by config), indexed as a GET
// would have it.
inline void fetch(bt_config_t *config, chunkitem *list) {
    chunkindex_end_download(config);
    chunklist_free(config->to_fetch_list);
    config->to_fetch_list = list;
    chunkindex_start_download(config);
}
// The same for the hashes, with ids 0, 1, 2, ...
inline void fetch(bt_config_t *config, const std::vector<std::string> &hashes) {
    fetch(config, list_of(hashes));
}
// The running download's list was changed by hand: it is indexed again as it is now.
inline void reindex(bt_config_t *config) {
    chunkindex_end_download(config);
    chunkindex_start_download(config);
}

// Peer announced the hashes, as its IHAVE would have it.
inline void announce(bt_config_t *config, bt_peer_t *peer, const std::vector<std::string> &hashes) {
    for (const std::string &h : hashes) announcement_add(config, peer, u8(h));
}

// Heap copy of wire bytes, aligned for a header, as handlers expect a received buffer.
struct Packet {
    std::unique_ptr<uint64_t[]> storage;
    size_t size;
    explicit Packet(const std::string &bytes)
        : storage(new uint64_t[(bytes.size() + 7) / 8 + 1]()), size(bytes.size()) {
        memcpy(storage.get(), bytes.data(), bytes.size());
    }
    header *hdr() { return reinterpret_cast<header *>(storage.get()); }
};

struct Engine {
    bt_config_t config{};
    ts::UdpSocket self;
    std::vector<std::unique_ptr<ts::UdpSocket>> remote;  // remote[i] stands in for peer id i+2

    // This peer is id 1; peers 2..n_remote+1 listen on test sockets. The list runs in reverse
    // order of ids, as a peer list read from a file in id order would.
    explicit Engine(int n_remote) {
        bt_init(&config, 0, nullptr);
        config.identity = 1;
        config.max_tx_chunks = -1;
        config.sock = self.fd;
        add_peer(1, self.port);
        for (int i = 0; i < n_remote; i++) {
            remote.push_back(std::make_unique<ts::UdpSocket>());
            add_peer(static_cast<short>(i + 2), remote.back()->port);
        }
    }

    ~Engine() { releaseConfiguration(&config); }

    void add_peer(short id, uint16_t port) {
        bt_peer_t *p = static_cast<bt_peer_t *>(calloc(1, sizeof(bt_peer_t)));
        p->id = id;
        p->addr.sin_family = AF_INET;
        p->addr.sin_port = htons(port);
        p->addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        p->next = config.peers;
        config.peers = p;
    }

    bt_peer_t *peer(int id) {
        for (bt_peer_t *p = config.peers; p; p = p->next)
            if (p->id == id) return p;
        return nullptr;
    }
    ts::UdpSocket &sock_of(int id) { return *remote[static_cast<size_t>(id - 2)]; }
    struct sockaddr_in addr_of(int id) {
        return peer(id)->addr;
    }
};

}  // namespace ef
