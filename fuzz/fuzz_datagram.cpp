// Fuzz target: received datagrams and the passage of time, through the header check and the
// handlers. Peer 1 serves the two chunks of a small master data file and is downloading them, in
// the other order, from peers 2..4, whose addresses are sockets nobody reads.
//
// The first input byte is the debug mask; then come steps, each opened by an opcode byte:
//   0  a raw datagram: sender, length (2 bytes), its bytes
//   1  time passes by n * 0.25 s (1 byte); the event loop's periodic checks run at the new time
//   2  DATA of a chunk: sender, chunk (0, 1, or 2 for bytes no chunk has), first seq (2 bytes),
//      count (255: a whole chunk), flaw (non-zero: one payload byte changed)
//   3  a control packet: type (WHOHAS, IHAVE, GET), sender, hash count, one selector per hash
//   4  an ACK: sender, number (2 bytes)
//   5  the user types GET: request file (selector), output file (0: out.dat, 1: the master data
//      file, which must be refused)
// Senders: 0 this peer itself, 1..3 peers 2..4, 4 an unlisted port, 5 0.0.0.0 at peer 2's port.
//
// Built as fuzz_datagram_adaptive (FUZZ_ADAPTIVE=1), the peer runs the adaptive transport, and
// the second input byte starts an upload at once: a GET from peer 2 + b % 3 for served chunk
// b / 3 % 2. Two more steps then drive the sender:
//   6  a run of ACKs: sender, first number (2 bytes), count (1 byte, at most 64), pattern (2 bytes:
//      bit i % 16 set moves the number on by one, clear repeats it, a duplicate)
//   7  time passes by n ms (1 byte); the periodic checks run at the new time
//
// Built as fuzz_datagram_swarm (FUZZ_ADAPTIVE=1 and FUZZ_SWARM=1), the peer is tolvane's: the
// adaptive transport with --swarm, so its scheduler runs (rarest first, the end game, upload
// slots, pauses, probes) and so do its announcements and the serving of downloaded chunks. Its
// output starts empty for every input, and its choices among equals from a pinned seed.
//
// Built as fuzz_datagram_open (FUZZ_OPEN=1 beside the swarm build's), the peer is an open member
// (--open) whose peer list is its first members: unlisted senders are admitted, and two more
// steps reach the membership packets:
//   8  a peer exchange: sender, count byte (sent as given), one selector per entry (at most 21):
//      a sink's port, a fresh port of 127.0.0.1, 0.0.0.0, or a multicast address
//   9  a metadata packet: sender, kind, digest (0: the one served, 1: the one wanted, else
//      another), length (4 bytes), piece count (2 bytes), bytes of piece hashes (1 byte, * 20)
// Time steps run the membership tick too; candidates off 127.0.0.0/8 are dropped before it, so
// that nothing leaves the host.
//
// After every step the engine's bounds are checked, the chunk index against the lists it keeps
// beside; at the end the chunks written must equal the data file's, and the harness releases
// everything, so that LeakSanitizer reports only what the engine itself loses.
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/debug.h"
#include "engine/store.h"
#include "engine/chunkindex.h"
#include "engine/chunklist.h"
#include "engine/common.h"
#include "engine/membership.h"
#include "engine/peer.h"
#include "engine/process.h"
#include "engine/reliable.h"
#include "fuzz/fuzz_support.h"
#include "support/chunk.h"

#ifndef FUZZ_ADAPTIVE
#define FUZZ_ADAPTIVE 0
#endif
#ifndef FUZZ_SWARM
#define FUZZ_SWARM 0
#endif
#ifndef FUZZ_OPEN
#define FUZZ_OPEN 0
#endif

namespace {

constexpr bool kAdaptive = FUZZ_ADAPTIVE != 0;
constexpr bool kSwarm = FUZZ_SWARM != 0;
constexpr bool kOpen = FUZZ_OPEN != 0;
constexpr int kSteps = kOpen ? 10 : kAdaptive ? 8 : 6;  // opcodes of the build
constexpr int kMaxAckRun = 64;
constexpr int kMaxSteps = 512;
// DATA packets the steps of one input may build: a few whole chunks, so that no input runs into
// the fuzzer's time limit.
constexpr int kDataBudget = 4 * PACKETS_PER_CHUNK;
constexpr int kServedChunks = 2;
// The data file ends 3000 bytes short of the end of chunk 1. (A failed chunk is checked at every
// length within its trailing run of fill bytes: a long run would make every such input slow.)
constexpr int kLastChunkBytes = CHUNK_SIZE - 3000;
constexpr int kSenders = 6;

// One line of a request file: the output position and which served chunk it names.
struct WantLine {
    int id;
    int chunk;
};

struct World {
    std::string data_path;    // the master data file
    std::string master_path;  // master chunk file
    std::string has_path;     // has-chunk file
    std::string out_path;     // every download's output
    std::vector<std::string> want_paths;
    std::vector<std::vector<WantLine>> wants;
    std::string served[kServedChunks];  // CHUNK_SIZE bytes each, as an uploader streams them
    int real_len[kServedChunks];        // bytes of each chunk in the data file
    uint8_t hash[kServedChunks][HASH_SIZE];
    std::string junk;  // a chunk's worth of bytes no served chunk has
    uint8_t junk_hash[HASH_SIZE];
    std::string scratch;  // CHUNK_SIZE bytes to read the output into, kept for every input
    fz::Sink self;
    fz::Sink remote[3];  // peers 2, 3, 4
    fz::Sink stranger;   // listed nowhere
    off_t data_size;
};

World *world;

std::string hex(const uint8_t *raw) {
    char text[HASH_HEX_SIZE + 1];
    binary2hex(raw, HASH_SIZE, text);
    return text;
}

std::string want_file_text(const std::vector<WantLine> &lines) {
    std::string text;
    for (const WantLine &w : lines)
        text += std::to_string(w.id) + " " + hex(world->hash[w.chunk]) + "\n";
    return text;
}

void make_world() {
    world = new World;
    const std::string &dir = fz::temp_dir();
    std::string data = fz::seeded_bytes(CHUNK_SIZE + kLastChunkBytes, 7);
    world->data_size = static_cast<off_t>(data.size());
    for (int c = 0; c < kServedChunks; c++) {
        world->real_len[c] = c == kServedChunks - 1 ? kLastChunkBytes : CHUNK_SIZE;
        world->served[c] = data.substr(static_cast<size_t>(c) * CHUNK_SIZE, CHUNK_SIZE);
        world->served[c].resize(CHUNK_SIZE, '\x0a');
        shahash(reinterpret_cast<const uint8_t *>(world->served[c].data()), world->real_len[c],
                world->hash[c]);
    }
    world->junk = fz::seeded_bytes(CHUNK_SIZE, 8);
    shahash(reinterpret_cast<const uint8_t *>(world->junk.data()), CHUNK_SIZE, world->junk_hash);

    world->data_path = dir + "/data.bin";
    world->master_path = dir + "/master.chunks";
    world->has_path = dir + "/has.chunks";
    world->out_path = dir + "/out.dat";
    std::string lines = want_file_text({{0, 0}, {1, 1}});
    bool ok =
        fz::write_file(world->data_path, data) &&
        fz::write_file(world->master_path, "File: " + world->data_path + "\nChunks:\n" + lines) &&
        fz::write_file(world->has_path, lines);
    // Output chunk 0 is served chunk 1 (the short one), and the second request names a chunk
    // twice.
    world->wants = {{{0, 1}, {1, 0}}, {{0, 0}, {2, 1}, {1, 0}}};
    for (size_t i = 0; i < world->wants.size(); i++) {
        world->want_paths.push_back(dir + "/want" + std::to_string(i) + ".chunks");
        ok = ok && fz::write_file(world->want_paths.back(), want_file_text(world->wants[i]));
    }
    assert(ok);
    for (const std::string *p : {&world->data_path, &world->master_path, &world->has_path,
                                 &world->out_path, &world->want_paths[0], &world->want_paths[1]})
        fz::remove_at_exit(*p);
    world->self = fz::open_sink();
    for (fz::Sink &s : world->remote) s = fz::open_sink();
    world->stranger = fz::open_sink();
}

[[noreturn]] void broken(const char *what) {
    fprintf(stderr, "fuzz_datagram: %s\n", what);
    abort();
}

void require(bool ok, const char *what) {
    if (!ok) broken(what);
}

// ---- one run ---------------------------------------------------------------------------------

// Where every run's clock starts: a pinned time, so that a run does what it did when it was found.
constexpr double kStartTime = 1000.0;

struct Run {
    bt_config_t config;
    double now;           // seconds; the run's own clock, pinned at its start, moved by time steps
    int want;             // request of the last accepted GET; -1 when none was accepted
    int data_budget;      // DATA packets the remaining steps may still build
};

chunkitem *served_list() {
    chunkitem *head = nullptr;
    for (int c = kServedChunks; c-- > 0;) chunklist_add(&head, world->hash[c], c);
    return head;
}

void user_get(Run *run, int want, bool onto_own_file) {
    char request[BT_FILENAME_LEN];
    char output[BT_FILENAME_LEN];
    snprintf(request, sizeof request, "%s", world->want_paths[static_cast<size_t>(want)].c_str());
    snprintf(output, sizeof output, "%s",
             (onto_own_file ? world->data_path : world->out_path).c_str());
    bool was_running = run->config.download_in_progress;
    peer_start_download(&run->config, request, output, run->now);
    if (!was_running && run->config.download_in_progress) run->want = want;
}

void start_run(Run *run) {
    bt_config_t *config = &run->config;
    bt_init(config, 0, nullptr);
    config->identity = 1;
    config->max_tx_chunks = -1;
    config->transport = kAdaptive ? TRANSPORT_ADAPTIVE : TRANSPORT_CLASSIC;
    config->swarm = kSwarm ? 1 : 0;
    config->swarm_rng = 1;  // the same choices among equals in a reproduction
    // A --swarm download resumes what its output holds: every input starts from an empty one.
    if (kSwarm && truncate(world->out_path.c_str(), 0) != 0 && errno != ENOENT)
        broken("the output file cannot be emptied");
    config->sock = world->self.fd;
    snprintf(config->chunk_data_file, sizeof config->chunk_data_file, "%s",
             world->data_path.c_str());
    snprintf(config->chunk_file, sizeof config->chunk_file, "%s", world->master_path.c_str());
    snprintf(config->has_chunk_file, sizeof config->has_chunk_file, "%s", world->has_path.c_str());
    for (int id = 4; id >= 2; id--)
        fz::add_peer(config, static_cast<short>(id), world->remote[id - 2].port);
    fz::add_peer(config, 1, world->self.port);
    config->mychunks = served_list();
    store_load(config);
    config->masterchunks = served_list();
    chunkindex_note_master(config);
    if (kOpen) {
        config->open_membership = 1;
        struct sockaddr_in bound = fz::loopback(world->self.port);
        membership_start(config, &bound);
        uint8_t digest[META_DIGEST_SIZE];
        memset(digest, 1, sizeof digest);
        membership_set_metadata(config, digest, CHUNK_SIZE + 1, &world->hash[0], 2);
        memset(digest, 2, sizeof digest);
        membership_want_metadata(config, digest);
    }
    run->now = kStartTime;
    run->want = -1;
    run->data_budget = kDataBudget;
    user_get(run, 0, false);
}

struct sockaddr_in sender_address(uint8_t code) {
    switch (code % kSenders) {
        case 0:
            return fz::loopback(world->self.port);
        case 4:
            return fz::loopback(world->stranger.port);
        case 5: {
            struct sockaddr_in any = fz::loopback(world->remote[0].port);
            any.sin_addr.s_addr = htonl(INADDR_ANY);
            return any;
        }
        default:
            return fz::loopback(world->remote[code % kSenders - 1].port);
    }
}

// A received datagram, in a buffer aligned for a header as the receive path has it.
void deliver(Run *run, uint8_t sender, const void *bytes, size_t n) {
    if (n == 0 || n > MAX_PACKET_SIZE) return;
    alignas(header) uint8_t buffer[MAX_PACKET_SIZE];
    memcpy(buffer, bytes, n);
    struct sockaddr_in from = sender_address(sender);
    handleDatagram(&run->config, reinterpret_cast<header *>(buffer), static_cast<int>(n), &from,
                   run->now);
}

std::string packet(uint8_t type, const std::string &payload, uint32_t seq, uint32_t ack) {
    header h{};
    h.magic = htons(PACKET_MAGIC);
    h.version = PACKET_VERSION;
    h.type = type;
    h.h_len = htons(HEADER_SIZE);
    h.p_len = htons(static_cast<uint16_t>(HEADER_SIZE + payload.size()));
    h.seq = htonl(seq);
    h.ack = htonl(ack);
    return std::string(reinterpret_cast<const char *>(&h), sizeof h) + payload;
}

void step_raw(Run *run, fz::Cursor *in) {
    uint8_t sender = fz::take_u8(in);
    size_t want = fz::take_u16(in) % (MAX_PACKET_SIZE + 1);
    size_t got;
    const uint8_t *bytes = fz::take_bytes(in, want, &got);
    deliver(run, sender, bytes, got);
}

// Time passes by the next input byte times unit seconds.
void step_time(Run *run, fz::Cursor *in, double unit) {
    run->now += unit * fz::take_u8(in);
    double now = run->now;
    // What a pass of the loop runs after its datagram.
    bt_config_t *config = &run->config;
    sendTimedOutPacketsAt(config, now);
    checkForStalledDownloads(config, now);
    serveWaitingGets(config, now);
    if (kOpen) {
        membership_t *m = config->membership;
        for (int i = 0; i < m->candidate_count;) {
            if ((ntohl(m->candidates[i].addr.sin_addr.s_addr) >> 24) == 127) {
                i++;
            } else {
                m->candidates[i] = m->candidates[--m->candidate_count];
            }
        }
        membership_tick(config, now);
    }
}

// DATA packet seq of bytes, built in place as the receive path has it: no copy per packet.
void deliver_data(Run *run, uint8_t sender, const std::string &bytes, int seq, int flaw_at) {
    alignas(header) uint8_t buffer[HEADER_SIZE + DATA_PAYLOAD];
    size_t len = seq == PACKETS_PER_CHUNK ? LAST_PACKET_PAYLOAD : DATA_PAYLOAD;
    header h{};
    h.magic = htons(PACKET_MAGIC);
    h.version = PACKET_VERSION;
    h.type = PKT_DATA;
    h.h_len = htons(HEADER_SIZE);
    h.p_len = htons(static_cast<uint16_t>(HEADER_SIZE + len));
    h.seq = htonl(static_cast<uint32_t>(seq));
    memcpy(buffer, &h, sizeof h);
    memcpy(buffer + HEADER_SIZE, bytes.data() + static_cast<size_t>(seq - 1) * DATA_PAYLOAD, len);
    if (flaw_at >= 0) buffer[HEADER_SIZE + static_cast<size_t>(flaw_at) % len] ^= 0x5A;
    struct sockaddr_in from = sender_address(sender);
    handleDatagram(&run->config, reinterpret_cast<header *>(buffer),
                   static_cast<int>(HEADER_SIZE + len), &from, run->now);
}

void step_data(Run *run, fz::Cursor *in) {
    uint8_t sender = fz::take_u8(in);
    int chunk = fz::take_u8(in) % (kServedChunks + 1);
    int first = fz::take_u16(in) % PACKETS_PER_CHUNK + 1;
    uint8_t count_code = fz::take_u8(in);
    int count = count_code == 255 ? PACKETS_PER_CHUNK : count_code + 1;
    uint8_t flaw = fz::take_u8(in);
    const std::string &bytes = chunk < kServedChunks ? world->served[chunk] : world->junk;
    for (int i = 0; i < count && first + i <= PACKETS_PER_CHUNK && run->data_budget > 0; i++) {
        run->data_budget--;
        deliver_data(run, sender, bytes, first + i, flaw && i == flaw % count ? flaw : -1);
    }
}

std::string selected_hash(uint8_t selector) {
    switch (selector % 4) {
        case 0:
        case 1:
            return std::string(reinterpret_cast<const char *>(world->hash[selector % 4]),
                               HASH_SIZE);
        case 2:
            return std::string(reinterpret_cast<const char *>(world->junk_hash), HASH_SIZE);
        default:
            return std::string(HASH_SIZE, static_cast<char>(selector));
    }
}

void step_control(Run *run, fz::Cursor *in) {
    static const uint8_t types[] = {PKT_WHOHAS, PKT_IHAVE, PKT_GET};
    uint8_t type = types[fz::take_u8(in) % 3];
    uint8_t sender = fz::take_u8(in);
    int n = type == PKT_GET ? 1 : fz::take_u8(in) % 5;
    std::string payload;
    if (type != PKT_GET) payload = {static_cast<char>(n), 0x0A, 0x0A, 0x0A};
    for (int i = 0; i < n; i++) payload += selected_hash(fz::take_u8(in));
    std::string p = packet(type, payload, 0, 0);
    deliver(run, sender, p.data(), p.size());
}

void step_ack(Run *run, fz::Cursor *in) {
    uint8_t sender = fz::take_u8(in);
    uint32_t number = fz::take_u16(in) % (PACKETS_PER_CHUNK + 25);
    std::string p = packet(PKT_ACK, "", 0, number);
    deliver(run, sender, p.data(), p.size());
}

void step_ack_run(Run *run, fz::Cursor *in) {
    uint8_t sender = fz::take_u8(in);
    uint32_t number = fz::take_u16(in) % (PACKETS_PER_CHUNK + 25);
    int count = fz::take_u8(in) % kMaxAckRun + 1;
    uint16_t pattern = fz::take_u16(in);
    for (int i = 0; i < count; i++) {
        if ((pattern >> (i % 16)) & 1) number++;
        std::string p = packet(PKT_ACK, "", 0, number);
        deliver(run, sender, p.data(), p.size());
    }
}

uint32_t pex_address(uint8_t selector, uint16_t *port) {
    switch (selector % 4) {
        case 0:
            *port = world->remote[selector / 4 % 3].port;
            return INADDR_LOOPBACK;
        case 1:
            *port = static_cast<uint16_t>(50000 + selector);
            return INADDR_LOOPBACK;
        case 2:
            *port = 4000;
            return INADDR_ANY;
        default:
            *port = 4000;
            return 0xE0000001u;  // multicast
    }
}

void step_pex(Run *run, fz::Cursor *in) {
    uint8_t sender = fz::take_u8(in);
    uint8_t count = fz::take_u8(in);
    std::string body(1, static_cast<char>(count));
    int entries = count % (PEX_MAX_ENTRIES + 2);
    for (int i = 0; i < entries; i++) {
        uint16_t port;
        uint32_t addr = htonl(pex_address(fz::take_u8(in), &port));
        port = htons(port);
        body.append(reinterpret_cast<const char *>(&addr), 4);
        body.append(reinterpret_cast<const char *>(&port), 2);
    }
    std::string p = packet(PKT_PEX, body, 0, 0);
    deliver(run, sender, p.data(), p.size());
}

void step_meta(Run *run, fz::Cursor *in) {
    uint8_t sender = fz::take_u8(in);
    std::string body(1, static_cast<char>(fz::take_u8(in) % 4));
    uint8_t which = fz::take_u8(in) % 3;
    body += std::string(META_DIGEST_SIZE, static_cast<char>(which == 0 ? 1 : which == 1 ? 2 : 3));
    for (int i = 0; i < 6; i++) body += static_cast<char>(fz::take_u8(in));
    size_t got;
    const uint8_t *bytes = fz::take_bytes(in, static_cast<size_t>(fz::take_u8(in)) * HASH_SIZE, &got);
    body.append(reinterpret_cast<const char *>(bytes), got);
    if (body.size() > MAX_PACKET_SIZE - HEADER_SIZE) body.resize(MAX_PACKET_SIZE - HEADER_SIZE);
    std::string p = packet(PKT_META, body, 0, 0);
    deliver(run, sender, p.data(), p.size());
}

// The GET that starts an upload before the steps, in the adaptive build.
void start_upload(Run *run, fz::Cursor *in) {
    uint8_t choice = fz::take_u8(in);
    std::string p = packet(PKT_GET, selected_hash(static_cast<uint8_t>(choice / 3 % 2)), 0, 0);
    deliver(run, static_cast<uint8_t>(1 + choice % 3), p.data(), p.size());
}

void step_user_get(Run *run, fz::Cursor *in) {
    int want = fz::take_u8(in) % static_cast<int>(world->wants.size());
    user_get(run, want, fz::take_u8(in) & 1);
}

// ---- what must hold --------------------------------------------------------------------------

bool in_list(const chunkitem *head, const chunkitem *node) {
    for (; head; head = head->next)
        if (head == node) return true;
    return false;
}

void check_bounds(const bt_config_t *config) {
    require(!config->download_in_progress == !config->output_handle,
            "a running download without its output file, or the reverse");
    for (const bt_peer_t *p = config->peers; p; p = p->next) {
        require(p->receiving_offset >= 0 && p->receiving_offset <= CHUNK_SIZE,
                "receiving offset outside the chunk");
        require(heldset_count(&p->receiving_held) < PACKETS_PER_CHUNK,
                "more held packets than a chunk has");
        require(timelist_length(p->sending_unacked) <= PACKETS_PER_CHUNK,
                "more outstanding packets than a chunk has");
        // Only the served chunks matter to this peer, each remembered once.
        require(announcement_count(p) <= kServedChunks,
                "announcements beyond the hashes that matter");
        require(!p->receiving_chunk || in_list(config->to_fetch_list, p->receiving_chunk),
                "a connection fetching a chunk the request no longer holds");
        require(!p->receiving_chunk == !p->receiving_data,
                "a requested chunk without its buffer, or the reverse");
    }
    if (kOpen) {
        const membership_t *m = config->membership;
        require(m->table_count <= MEMBER_TABLE_MAX && m->candidate_count <= CANDIDATES_MAX,
                "the membership table or its candidates beyond their bounds");
        const meta_head_t *head = membership_metadata_head(config);
        require(!head || (head->count >= 1 && head->count <= META_MAX_PIECES),
                "a metadata head of a piece count out of range");
    }
    char why[256];
    if (!chunkindex_consistent(config, why, sizeof why)) broken(why);
}

// Every chunk the last request no longer lists was written, and holds the data file's bytes.
void check_output(const Run *run) {
    struct stat st;
    require(stat(world->data_path.c_str(), &st) == 0 && st.st_size == world->data_size,
            "the master data file was changed");
    if (run->want < 0) return;
    std::vector<WantLine> written = world->wants[static_cast<size_t>(run->want)];
    for (const chunkitem *c = run->config.to_fetch_list; c; c = c->next) {
        for (size_t i = 0; i < written.size(); i++) {
            if (written[i].id == c->id) {
                written.erase(written.begin() + static_cast<long>(i));
                break;
            }
        }
    }
    if (written.empty()) return;
    FILE *f = fopen(world->out_path.c_str(), "r");
    require(f != nullptr, "the output file is gone");
    std::string &got = world->scratch;
    got.resize(CHUNK_SIZE);
    for (const WantLine &w : written) {
        size_t len = static_cast<size_t>(world->real_len[w.chunk]);
        bool read = fseeko(f, static_cast<off_t>(w.id) * CHUNK_SIZE, SEEK_SET) == 0 &&
                    fread(got.data(), 1, len, f) == len;
        require(read && memcmp(got.data(), world->served[w.chunk].data(), len) == 0,
                "a chunk written with bytes other than the data file's");
    }
    fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!world) make_world();
    fz::Cursor in{data, size};
    debug = fz::take_u8(&in);
    Run run;
    start_run(&run);
    if (kAdaptive) start_upload(&run, &in);
    for (int steps = 0; steps < kMaxSteps && !fz::at_end(in); steps++) {
        switch (fz::take_u8(&in) % kSteps) {
            case 0:
                step_raw(&run, &in);
                break;
            case 1:
                step_time(&run, &in, 0.25);
                break;
            case 2:
                step_data(&run, &in);
                break;
            case 3:
                step_control(&run, &in);
                break;
            case 4:
                step_ack(&run, &in);
                break;
            case 5:
                step_user_get(&run, &in);
                break;
            case 6:
                step_ack_run(&run, &in);
                break;
            case 8:
                step_pex(&run, &in);
                break;
            case 9:
                step_meta(&run, &in);
                break;
            default:
                step_time(&run, &in, 0.001);
                break;
        }
        check_bounds(&run.config);
    }
    check_output(&run);
    fz::free_config(&run.config);
    debug = 0;
    return 0;
}
