// Runs real `peer` processes in a temporary folder: peer lists, hash files and a generated data
// file, with test-owned UDP sockets or other peers on the other side, directly or through the
// netsim router.
#pragma once

#include <arpa/inet.h>

#include <csignal>
#include <cstring>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/common.h"
#include "engine_fixture.h"
#include "support/chunk.h"
#include "test_support.h"

namespace pf {

inline std::string hex_of(const std::string &raw) {
    char hex[HASH_HEX_SIZE + 1];
    binary2hex(reinterpret_cast<const uint8_t *>(raw.data()), static_cast<int>(raw.size()), hex);
    return hex;
}

// A data file cut into chunks, with the hash-file lines of its chunks.
struct DataSet {
    std::string bytes;
    std::vector<std::string> hashes;  // raw, one per chunk

    DataSet(size_t size, uint32_t seed) : bytes(ts::random_bytes(size, seed)) {
        for (size_t off = 0; off < size; off += CHUNK_SIZE)
            hashes.push_back(ef::sha_raw(bytes.substr(off, CHUNK_SIZE)));
    }
    // "<id> <hex>\n" for the given chunk ids (all when empty).
    std::string lines(const std::vector<int> &ids = {}) const {
        std::string s;
        if (ids.empty()) {
            for (size_t i = 0; i < hashes.size(); i++)
                s += std::to_string(i) + " " + hex_of(hashes[i]) + "\n";
        } else {
            for (int i : ids)
                s += std::to_string(i) + " " + hex_of(hashes[static_cast<size_t>(i)]) + "\n";
        }
        return s;
    }
};

// The files of one swarm in a temporary folder and the peers started on them.
struct Swarm {
    ts::TempDir dir;
    std::map<int, uint16_t> ports;  // id -> UDP port
    std::map<int, ts::Process> peers;

    std::string path(const std::string &name) const { return dir.file(name); }

    // Writes nodes.map with the given ids on fresh ports (and extra lines from `extra`).
    void write_peer_list(const std::vector<int> &ids, const std::map<int, uint16_t> &fixed = {}) {
        std::string text;
        for (int id : ids) {
            auto it = fixed.find(id);
            ports[id] = it != fixed.end() ? it->second : ts::free_udp_port();
            text += std::to_string(id) + " 127.0.0.1 " + std::to_string(ports[id]) + "\n";
        }
        ts::write_file(path("nodes.map"), text);
    }

    void write_master(const DataSet &data) {
        ts::write_file(path("data.bin"), data.bytes);
        ts::write_file(path("master.chunks"),
                       "File: " + path("data.bin") + "\nChunks:\n" + data.lines());
    }

    // Starts peer `id` holding the chunk lines `has`; extra arguments follow. A `wrapper` (a
    // program path and its arguments, such as "ip netns exec NS") runs the peer.
    ts::Process &start(int id, const std::string &has, const std::vector<std::string> &extra = {},
                       const std::vector<std::string> &env = {},
                       const std::vector<std::string> &wrapper = {}) {
        std::string has_file = path("has" + std::to_string(id) + ".chunks");
        ts::write_file(has_file, has);
        std::vector<std::string> argv = wrapper;
        std::vector<std::string> peer = {ts::bin("peer"),   "-p", path("nodes.map"),     "-c",
                                         has_file,          "-f", path("master.chunks"), "-i",
                                         std::to_string(id)};
        argv.insert(argv.end(), peer.begin(), peer.end());
        argv.insert(argv.end(), extra.begin(), extra.end());
        peers.emplace(id, ts::spawn(argv, env, dir.path, {"VEXLO_ROUTER"}));
        ts::Process &p = peers.at(id);
        // The shim reports its mode right after the socket is bound: from then on the peer
        // receives, so no WHOHAS sent to it is lost.
        p.wait_until([&] { return p.err.find("exlo") != std::string::npos || p.exited; }, 10.0);
        return p;
    }

    // Drains every peer's output (a peer whose pipe is full would block) until pred() holds or
    // timeout_s passes; returns pred().
    bool wait_for(const std::function<bool()> &pred, double timeout_s) {
        double deadline = ts::monotonic_now() + timeout_s;
        while (ts::monotonic_now() < deadline) {
            if (pred()) return true;
            for (auto &[id, p] : peers) p.pump(0.002);
        }
        return pred();
    }

    // Stops every peer by its pid (the destructors would too) and collects what they wrote.
    void stop_all() {
        for (auto &[id, p] : peers) p.send_signal(SIGTERM);
        for (auto &[id, p] : peers) {
            if (!p.wait_exit(5.0)) p.kill_now();
        }
    }
};

// ---- through the router ----------------------------------------------------------------------

// Starts netsim with the given impairments and seed; returns its port (0 when it did not come up).
inline uint16_t start_netsim(ts::Process &proc, const std::vector<std::string> &args,
                             uint64_t seed = 11) {
    std::vector<std::string> argv = {ts::bin("netsim"), "--port", "0", "--seed",
                                     std::to_string(seed)};
    argv.insert(argv.end(), args.begin(), args.end());
    proc = ts::spawn(argv);
    const std::string ready = "netsim listening on 127.0.0.1:";
    if (!proc.wait_stdout(ready, 10.0)) return 0;
    return static_cast<uint16_t>(std::stoi(proc.out.substr(proc.out.find(ready) + ready.size())));
}

// The environment that sends a peer's datagrams through a router on the given port.
inline std::vector<std::string> via_router(uint16_t port) {
    return {"VEXLO_ROUTER=127.0.0.1:" + std::to_string(port)};
}

// A packet as the shim sends it to the router: the 16-byte encapsulation header naming sender
// (id, port on 127.0.0.1) and destination, then the packet.
inline std::string encapsulated(int from_id, uint16_t from_port, uint16_t to_port,
                                const std::string &packet) {
    uint8_t head[16];
    uint32_t id = htonl(static_cast<uint32_t>(from_id));
    uint32_t loopback = htonl(INADDR_LOOPBACK);
    uint16_t src = htons(from_port), dst = htons(to_port);
    memcpy(head, &id, 4);
    memcpy(head + 4, &loopback, 4);
    memcpy(head + 8, &loopback, 4);
    memcpy(head + 12, &src, 2);
    memcpy(head + 14, &dst, 2);
    return std::string(reinterpret_cast<char *>(head), sizeof head) + packet;
}

// Uploaders 2..n+1 each hold an overlapping two thirds of the chunks (one uploader: all of them);
// peer 1 downloads them all. Every peer gets peer_args and env. True when the download completed
// byte-exact within timeout_s.
inline bool run_swarm(Swarm &s, const DataSet &data, int uploaders,
                      const std::vector<std::string> &env,
                      const std::vector<std::string> &peer_args = {}, double timeout_s = 180.0) {
    int chunks = static_cast<int>(data.hashes.size());
    std::vector<int> ids = {1};
    for (int u = 0; u < uploaders; u++) ids.push_back(u + 2);
    s.write_peer_list(ids);
    s.write_master(data);
    for (int u = 0; u < uploaders; u++) {
        std::vector<int> held;
        for (int c = 0; c < chunks; c++)
            if (c % uploaders != u) held.push_back(c);
        if (uploaders == 1) held.clear();
        s.start(u + 2, data.lines(held), peer_args, env);
    }
    std::vector<std::string> down_args = {"-d", "1"};
    down_args.insert(down_args.end(), peer_args.begin(), peer_args.end());
    ts::Process &down = s.start(1, "", down_args, env);
    ts::write_file(s.path("want.chunks"), data.lines());
    down.write_stdin("GET want.chunks out.bin\n");
    bool done =
        s.wait_for([&] { return down.out.find("GOT out.bin \n") != std::string::npos; }, timeout_s);
    s.stop_all();
    return done && ts::read_file(s.path("out.bin")) == data.bytes;
}

}  // namespace pf
