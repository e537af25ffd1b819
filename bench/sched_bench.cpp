// sched_bench: the downloader's bookkeeping per chunk event, at any number of chunks. One
// process runs the engine of a downloading peer (peer 1) against listed peers that are sockets
// nobody reads: peer 2 announces every chunk, peers 3.. a random half each (a fixed seed). It
// times, on a pinned clock:
//   ihave_us  one IHAVE of 74 hashes taken (handleDatagram: records them, may send a GET)
//   event_us  one chunk ended (chunkReceiveFinished: checked, written to /dev/null, taken off
//             the request, and the next chunk chosen and asked for every free peer)
// for every chunk count of --chunks, in the designed mode and with --swarm, --runs times each,
// and prints per count the medians over the runs and their ratio to the first count's figures
// of the same invocation. No chunk bytes are hashed: each chunk's hash is that of 512 KiB of
// zeros with its number in the last block, whose SHA-1 state is handed over as if the chunk had
// arrived, so only the bookkeeping and the per-chunk work of the engine itself count.
//   sched_bench [--chunks 512,8192,40960] [--holders 4] [--events 200] [--runs 3]
//               [--budget 20] [--modes designed,swarm] [--dir /tmp/p2p-bench/sched]
// A case that takes longer than --budget seconds for its IHAVEs or its events stops early
// (after at least 3 events) and says how many it timed (ihaves=, events=; the fewest of its
// runs).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "config/bt_parse.h"
#include "engine/common.h"
#include "engine/create.h"
#include "engine/peer.h"
#include "engine/process.h"
#include "engine/util.h"
#include "support/chunk.h"
#include "support/sha.h"

namespace {

struct Options {
    std::vector<int> chunks{512, 8192, 40960};
    int holders = 4;
    int events = 200;
    int runs = 3;
    double budget_s = 20;
    std::vector<std::string> modes{"designed", "swarm"};
    std::string dir = "/tmp/p2p-bench/sched";
};

// The figures of one run of one case.
struct Figures {
    double ihave_us;  // median per IHAVE packet
    int ihaves;       // IHAVE packets taken (fewer than all when the budget ran out)
    double event_us;  // median per chunk event
    int events;       // chunk events timed
};

double clock_s() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A UDP socket on 127.0.0.1 that nobody reads; its port in *port (host order).
int open_sink(uint16_t *port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        perror("sched_bench: socket on 127.0.0.1");
        exit(1);
    }
    *port = ntohs(a.sin_port);
    return fd;
}

// ---- the request -----------------------------------------------------------------------------

// The SHA-1 state of each chunk before its digest, and the digests.
struct Chunks {
    std::vector<SHA1Context> states;
    std::vector<std::string> hashes;  // raw
};

Chunks make_chunks(int n) {
    Chunks c;
    std::vector<uint8_t> zeros(CHUNK_SIZE - 64, 0);
    SHA1Context base;
    SHA1Init(&base);
    SHA1Update(&base, zeros.data(), static_cast<uint32_t>(zeros.size()));
    for (int i = 0; i < n; i++) {
        uint8_t last[64] = {};
        memcpy(last + 56, &i, sizeof i);
        SHA1Context s = base;
        SHA1Update(&s, last, sizeof last);
        c.states.push_back(s);
        SHA1Context done = s;
        uint8_t digest[HASH_SIZE];
        SHA1Final(&done, digest);
        c.hashes.emplace_back(reinterpret_cast<char *>(digest), HASH_SIZE);
    }
    return c;
}

std::string write_hash_list(const Options &o, const Chunks &c) {
    std::string path = o.dir + "/request-" + std::to_string(c.hashes.size()) + ".chunks";
    FILE *f = fopen(path.c_str(), "w");
    if (!f) {
        perror(path.c_str());
        exit(1);
    }
    for (size_t i = 0; i < c.hashes.size(); i++) {
        char hex[HASH_HEX_SIZE + 1];
        binary2hex(reinterpret_cast<const uint8_t *>(c.hashes[i].data()), HASH_SIZE, hex);
        fprintf(f, "%zu %s\n", i, hex);
    }
    fclose(f);
    return path;
}

// ---- one run ---------------------------------------------------------------------------------

struct Run {
    bt_config_t config;
    std::vector<int> sinks;
    double now = 1000.0;  // the engine's pinned clock, moved on by a millisecond an event
};

void add_peer(bt_config_t *config, short id, uint16_t port) {
    auto *p = static_cast<bt_peer_t *>(calloc(1, sizeof(bt_peer_t)));
    p->id = id;
    p->addr.sin_family = AF_INET;
    p->addr.sin_port = htons(port);
    p->addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    p->next = config->peers;
    config->peers = p;
}

void start_run(Run *r, const Options &o, bool swarm) {
    bt_init(&r->config, 0, nullptr);
    r->config.identity = 1;
    r->config.max_tx_chunks = -1;
    r->config.swarm = swarm ? 1 : 0;
    r->config.swarm_rng = 7;
    for (int id = 1; id <= o.holders + 1; id++) {
        uint16_t port;
        r->sinks.push_back(open_sink(&port));
        add_peer(&r->config, static_cast<short>(id), port);
    }
    r->config.sock = r->sinks[0];
}

void end_run(Run *r) {
    releaseConfiguration(&r->config);
    for (int fd : r->sinks) close(fd);
}

bt_peer_t *peer_of(Run *r, int id) {
    for (bt_peer_t *p = r->config.peers; p; p = p->next)
        if (p->id == id) return p;
    return nullptr;
}

// An IHAVE of the given hashes from peer id, as received.
void deliver_ihave(Run *r, int id, const std::vector<const std::string *> &hashes) {
    alignas(header) uint8_t buf[MAX_PACKET_SIZE] = {};
    auto *h = reinterpret_cast<header *>(buf);
    int len = HEADER_SIZE + CONTROL_PREFIX + HASH_SIZE * static_cast<int>(hashes.size());
    h->magic = htons(PACKET_MAGIC);
    h->version = PACKET_VERSION;
    h->type = PKT_IHAVE;
    h->h_len = htons(HEADER_SIZE);
    h->p_len = htons(static_cast<uint16_t>(len));
    buf[HEADER_SIZE] = static_cast<uint8_t>(hashes.size());
    for (size_t i = 0; i < hashes.size(); i++)
        memcpy(buf + HEADER_SIZE + CONTROL_PREFIX + HASH_SIZE * i, hashes[i]->data(), HASH_SIZE);
    struct sockaddr_in from = peer_of(r, id)->addr;
    handleDatagram(&r->config, h, len, &from, r->now);
}

// Every holder announces its chunks, 74 a packet; the median time of a packet, and in *count
// how many were taken.
double announce_all(Run *r, const Options &o, const Chunks &c, std::mt19937 *rng, int *count) {
    std::vector<double> times;
    *count = 0;
    double began = clock_s();
    for (int id = 2; id <= o.holders + 1; id++) {
        std::vector<const std::string *> batch;
        for (const std::string &h : c.hashes) {
            if (id != 2 && (*rng)() % 2) continue;
            batch.push_back(&h);
            if (batch.size() < MAX_CONTROL_HASHES && &h != &c.hashes.back()) continue;
            double t = clock_s();
            deliver_ihave(r, id, batch);
            times.push_back(clock_s() - t);
            ++*count;
            batch.clear();
            if (clock_s() - began > o.budget_s) return median(times) * 1e6;
        }
    }
    return median(times) * 1e6;
}

// The chunk the connection from p fetches arrives whole; the time of its end.
double end_chunk(Run *r, bt_peer_t *p, const Chunks &c) {
    int index = p->receiving_chunk->id;
    p->receiving_active = 1;
    p->receiving_sentget = 0;
    p->receiving_offset = CHUNK_SIZE;
    p->receiving_lastseq = PACKETS_PER_CHUNK;
    p->receiving_sha = c.states[static_cast<size_t>(index)];
    r->now += 0.001;
    double t = clock_s();
    chunkReceiveFinished(&r->config, p, r->now);
    return clock_s() - t;
}

// Chunk events in turn over the connections that run, until --events or the budget.
std::vector<double> end_chunks(Run *r, const Options &o, const Chunks &c) {
    std::vector<double> times;
    double began = clock_s();
    bt_peer_t *p = r->config.peers;
    for (int guard = 0; static_cast<int>(times.size()) < o.events && guard < 100 * o.events;
         guard++) {
        if (!r->config.download_in_progress) break;
        p = p && p->next ? p->next : r->config.peers;
        if (!p->receiving_chunk) continue;
        times.push_back(end_chunk(r, p, c));
        if (times.size() >= 3 && clock_s() - began > o.budget_s) break;
    }
    return times;
}

Figures one_run(const Options &o, const Chunks &c, const std::string &list, bool swarm,
                uint32_t seed) {
    Run r;
    start_run(&r, o, swarm);
    if (peer_start_download(&r.config, list.c_str(), "/dev/null", r.now) != 0) {
        fprintf(stderr, "sched_bench: the download did not start\n");
        exit(1);
    }
    std::mt19937 rng(seed);
    Figures f{};
    f.ihave_us = announce_all(&r, o, c, &rng, &f.ihaves);
    std::vector<double> events = end_chunks(&r, o, c);
    f.event_us = median(events) * 1e6;
    f.events = static_cast<int>(events.size());
    end_run(&r);
    return f;
}

// ---- options and the table -------------------------------------------------------------------

std::vector<std::string> split(const char *text) {
    std::vector<std::string> parts;
    std::string s = text;
    for (size_t at = 0; at <= s.size();) {
        size_t comma = s.find(',', at);
        if (comma == std::string::npos) comma = s.size();
        if (comma > at) parts.push_back(s.substr(at, comma - at));
        at = comma + 1;
    }
    return parts;
}

[[noreturn]] void usage() {
    fprintf(stderr,
            "usage: sched_bench [--chunks 512,8192,40960] [--holders 4] [--events 200] "
            "[--runs 3] [--budget 20] [--modes designed,swarm] [--dir DIR]\n");
    exit(2);
}

int whole(const char *text, int lo, int hi) {
    char *end;
    long v = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || v < lo || v > hi) usage();
    return static_cast<int>(v);
}

Options parse(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (i + 1 >= argc) usage();
        const char *v = argv[++i];
        if (a == "--chunks") {
            o.chunks.clear();
            for (const std::string &s : split(v)) o.chunks.push_back(whole(s.c_str(), 1, 1 << 21));
        } else if (a == "--holders") {
            o.holders = whole(v, 1, 64);
        } else if (a == "--events") {
            o.events = whole(v, 1, 1 << 20);
        } else if (a == "--runs") {
            o.runs = whole(v, 1, 100);
        } else if (a == "--budget") {
            o.budget_s = whole(v, 1, 100000);
        } else if (a == "--modes") {
            o.modes = split(v);
        } else if (a == "--dir") {
            o.dir = v;
        } else {
            usage();
        }
    }
    if (o.chunks.empty()) usage();
    return o;
}

}  // namespace

int main(int argc, char **argv) {
    Options o = parse(argc, argv);
    std::string mkdir = "mkdir -p '" + o.dir + "'";
    if (system(mkdir.c_str()) != 0) return 1;
    for (const std::string &mode : o.modes) {
        double ref_ihave = 0, ref_event = 0;
        for (int n : o.chunks) {
            Chunks c = make_chunks(n);
            std::string list = write_hash_list(o, c);
            std::vector<double> ihave, event;
            int events = 0, ihaves = 0;
            for (int run = 0; run < o.runs; run++) {
                Figures f = one_run(o, c, list, mode == "swarm", static_cast<uint32_t>(run + 1));
                ihave.push_back(f.ihave_us);
                event.push_back(f.event_us);
                events = std::min(events == 0 ? f.events : events, f.events);
                ihaves = std::min(ihaves == 0 ? f.ihaves : ihaves, f.ihaves);
            }
            double mi = median(ihave), me = median(event);
            if (ref_event == 0) ref_ihave = mi, ref_event = me;
            printf("sched_bench: mode=%s chunks=%d holders=%d runs=%d ihaves=%d events=%d "
                   "ihave_us=%.1f event_us=%.1f ihave_ratio=%.2f event_ratio=%.2f\n",
                   mode.c_str(), n, o.holders, o.runs, ihaves, events, mi, me, mi / ref_ihave,
                   me / ref_event);
            fflush(stdout);
        }
    }
    return 0;
}
