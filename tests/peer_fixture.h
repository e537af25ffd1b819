// Runs real `peer` processes in a temporary folder: peer lists, hash files and a generated data
// file, with test-owned UDP sockets or other peers on the other side.
#pragma once

#include <arpa/inet.h>

#include <csignal>
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

}  // namespace pf
