// netsim: the network-simulator router that VEXLO_ROUTER names. Every datagram it receives carries
// the 16-byte encapsulation header; the router forwards the whole datagram, header included, to the
// destination that header names, after imposing loss, delay, jitter, a bandwidth limit with a
// bounded queue, duplication, corruption and blackouts, chosen per link and per packet type.
// One thread: a ppoll loop over one UDP socket and a min-heap of timed releases.

#include "shim/vexlo.h"
#include "engine/common.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

// ==== constants ==================================================================================

constexpr size_t MAX_DATAGRAM = 65536;        // bytes; above any UDP payload over IPv4
constexpr int SOCKET_BUFFER_BYTES = 8 << 20;  // per direction; bursts of 100k datagrams/s
constexpr unsigned RECV_BATCH = 32;           // datagrams per recvmmsg: syscalls dominate the cost
constexpr unsigned SEND_BATCH = 64;           // copies per sendmmsg
constexpr uint32_t NO_SLOT = UINT32_MAX;      // a send whose bytes are still in a receive buffer
constexpr size_t MAX_LINKS = 65536;           // link records kept; garbage cannot grow past it
constexpr size_t MAX_PENDING_BYTES = 256u << 20;  // buffer memory held by delayed datagrams
constexpr size_t POOLED_BUFFER_BYTES = 2048;      // a reused buffer holds any peer datagram
constexpr size_t MAX_CONFIG_BYTES = 1u << 20;     // a rule file is a few lines
constexpr int64_t NS_PER_MS = 1000000;
constexpr int64_t NS_PER_S = 1000000000;
constexpr double MAX_DELAY_MS = 3600000.0;  // one hour; keeps every time sum inside int64
constexpr double MIN_BANDWIDTH_KBPS = 0.1;  // slower links would hold the queue for days
constexpr double MAX_BANDWIDTH_KBPS = 10000000.0;
constexpr double BYTES_PER_KB = 1000.0;
constexpr uint64_t DEFAULT_QUEUE_BYTES = 65536;
constexpr uint64_t MAX_QUEUE_BYTES = 1u << 30;
constexpr uint64_t MAX_CONSECUTIVE_CAP = 1000000000;
constexpr double MAX_BLACKOUT_S = 1000000.0;

// Traffic classes: the five peer packet types, then everything else.
constexpr int TYPE_DATA = PKT_DATA;
constexpr int TYPE_OTHER = 5;
constexpr int TYPE_COUNT = 6;
constexpr unsigned ALL_TYPES = (1u << TYPE_COUNT) - 1;
static_assert(PKT_WHOHAS == 0 && PKT_IHAVE == 1 && PKT_GET == 2 && PKT_ACK == 4);
constexpr const char *TYPE_NAMES[TYPE_COUNT] = {"whohas", "ihave", "get", "data", "ack", "other"};

// One bit per setting of a rule, so that rules name only what they change.
constexpr unsigned SET_LOSS = 1u << 0;
constexpr unsigned SET_MAX_DROPS = 1u << 1;
constexpr unsigned SET_DELAY = 1u << 2;
constexpr unsigned SET_JITTER = 1u << 3;
constexpr unsigned SET_BANDWIDTH = 1u << 4;
constexpr unsigned SET_QUEUE = 1u << 5;
constexpr unsigned SET_DUP = 1u << 6;
constexpr unsigned SET_CORRUPT = 1u << 7;
constexpr unsigned SET_CORRUPT_DATA_ONLY = 1u << 8;
constexpr unsigned SET_BLACKOUT = 1u << 9;
constexpr int SETTING_COUNT = 10;

constexpr const char *USAGE =
    "usage: netsim --port N [--seed N] [--config FILE] [--trace FILE]\n"
    "              [--loss P] [--max-consecutive-drops N] [--delay MS] [--jitter MS]\n"
    "              [--bandwidth KBYTES_PER_S] [--queue BYTES] [--dup P] [--corrupt P]\n"
    "              [--corrupt-data-only] [--blackout S:D] [--types LIST]\n"
    "              [--link SRC_IP:PORT-DST_IP:PORT]\n"
    "Forwards vexlo-encapsulated datagrams received on 127.0.0.1:N to the destination named in\n"
    "their header, imposing the impairments below. --port 0 picks a free port.\n"
    "  --loss P                  drop probability, 0..1\n"
    "  --max-consecutive-drops N at most N loss drops in a row on a link (0: no cap)\n"
    "  --delay MS                one-way delay added to every datagram\n"
    "  --jitter MS               extra delay drawn uniformly from 0..MS (reorders)\n"
    "  --bandwidth KB/S          link rate in 1000-byte units per second (0.1 .. 10000000)\n"
    "  --queue BYTES             backlog allowed behind a limited link (default 65536)\n"
    "  --dup P                   duplication probability\n"
    "  --corrupt P               probability of changing one byte past the 16-byte header\n"
    "  --corrupt-data-only       corrupt only payload bytes of DATA packets\n"
    "  --blackout S:D            drop everything from second S for D seconds after start\n"
    "  --types LIST              the options above apply only to these types: comma list of\n"
    "                            whohas,ihave,get,data,ack,other,all (default all)\n"
    "  --link SRC-DST            the options above apply only to this link (either side may be *)\n"
    "  --config FILE             rules, one per line, e.g. 'all loss=0.02 delay=5' or\n"
    "                            'link 127.0.0.1:4001 127.0.0.1:4002 loss=0.3 types=data'\n"
    "  --seed N                  seed of the random choices (default: from the clock, printed)\n"
    "  --trace FILE              CSV line per datagram: time,src,dst,type,seq,ack,bytes,action,\n"
    "                            delay_ms,corrupted\n"
    "A link rule beats a one-sided rule, which beats an 'all' rule, setting by setting; among\n"
    "equals the later rule wins and the command line comes after the file.\n"
    "SIGUSR1 prints the counters; SIGINT and SIGTERM print them and exit 0.\n";

// ==== records ====================================================================================

namespace {

// The impairments that apply to one datagram; every default imposes nothing.
struct impair_s {
    double loss = 0;                             // drop probability
    uint64_t max_drops = 0;                      // consecutive loss drops allowed; 0 = no cap
    int64_t delay_ns = 0;                        // fixed one-way delay
    int64_t jitter_ns = 0;                       // extra delay, uniform in [0, jitter_ns]
    double bandwidth = 0;                        // bytes per second; 0 = unlimited
    uint64_t queue_bytes = DEFAULT_QUEUE_BYTES;  // backlog limit behind a limited link
    double dup = 0;                              // duplication probability
    double corrupt = 0;                          // corruption probability
    bool corrupt_data_only = false;              // only DATA payload bytes may change
    int64_t blackout_start_ns = 0;               // from netsim start
    int64_t blackout_len_ns = 0;                 // 0 = no blackout
};

// One side of a link as a rule names it; addresses and ports in network byte order.
struct endpoint_s {
    bool any = true;  // "*": matches every address and port
    uint32_t addr = 0;
    uint16_t port = 0;
};

// One line of the rule file, or the command line's impairments.
struct rule_s {
    endpoint_s src;
    endpoint_s dst;
    unsigned types = ALL_TYPES;  // bit per traffic class
    unsigned set = 0;            // SET_* bits of the settings this rule names
    impair_s v;
};

// A direction of traffic as the encapsulation header names it, network byte order.
struct link_key_s {
    uint32_t src_addr;
    uint32_t dst_addr;
    uint16_t src_port;
    uint16_t dst_port;
    bool operator==(const link_key_s &o) const = default;
};

struct link_key_hash {
    size_t operator()(const link_key_s &k) const {
        uint64_t a = (uint64_t{k.src_addr} << 32) | k.dst_addr;
        uint64_t b = (uint64_t{k.src_port} << 16) | k.dst_port;
        return std::hash<uint64_t>{}(a ^ (b * 0x9e3779b97f4a7c15ull));
    }
};

struct counters_s {
    uint64_t received = 0;   // datagrams that arrived for this link
    uint64_t forwarded = 0;  // copies sent, duplicates included
    uint64_t dropped = 0;    // datagrams dropped before sending (the four reasons below)
    uint64_t loss = 0;
    uint64_t blackout = 0;
    uint64_t taildrop = 0;     // bandwidth queue full
    uint64_t overflow = 0;     // the router's delay buffers full
    uint64_t send_errors = 0;  // copies the socket refused
    uint64_t duplicated = 0;   // extra copies made
    uint64_t corrupted = 0;    // datagrams with one byte changed
};

struct link_s {
    link_key_s key;
    sockaddr_in dest;   // where every copy goes
    char src_text[24];  // "a.b.c.d:port"
    char dst_text[24];
    impair_s by_type[TYPE_COUNT];    // the rules resolved once for this link
    int64_t busy_until_ns = 0;       // when the limited link has sent all it admitted
    double last_bandwidth = 0;       // bytes/s of the last datagram queued, for the backlog
    uint64_t consecutive_drops = 0;  // loss drops in a row
    uint64_t peak_queued_bytes = 0;
    counters_s c;
};

// What the router knows of the peer packet behind the encapsulation header.
struct packet_info_s {
    int type = TYPE_OTHER;
    uint32_t seq = 0;
    uint32_t ack = 0;
};

// A copy waiting in the send batch. Its bytes are in a receive buffer (valid until the batch is
// flushed, which happens before the next read) or in a slot, found by index when the batch is
// built because the slot array may move.
struct send_s {
    const uint8_t *bytes;  // receive buffer; unused when slot != NO_SLOT
    uint32_t slot;         // NO_SLOT, or the slot that owns the bytes until sent
    size_t len;
    uint32_t link;
    packet_info_s info;
    int64_t arrival_ns;
    bool is_dup;
    bool corrupted;
};

// A datagram copy waiting for its release time; its buffer is reused once it has been sent.
struct slot_s {
    std::vector<uint8_t> bytes;
    send_s send{};  // what to send; its slot field names this slot
};

struct pending_s {
    int64_t release_ns;
    uint64_t order;  // arrival order: equal release times leave first in, first out
    uint32_t slot;
};

struct xoshiro_s {
    uint64_t s[4];
};

struct router_s {
    int fd = -1;
    uint16_t port = 0;  // host order
    int64_t start_ns = 0;
    xoshiro_s rng{};
    std::vector<rule_s> rules;  // file order, then the command line
    std::vector<link_s> links;  // in order of first appearance
    std::unordered_map<link_key_s, uint32_t, link_key_hash> link_index;
    uint32_t last_link = UINT32_MAX;  // consecutive datagrams mostly share a link
    std::vector<slot_s> slots;
    std::vector<uint32_t> free_slots;
    std::vector<pending_s> heap;  // min-heap on (release_ns, order)
    uint64_t next_order = 0;
    size_t pending_bytes = 0;  // buffer capacity held by pending slots
    FILE *trace = nullptr;     // owned by main
    std::vector<uint8_t> rx = std::vector<uint8_t>(RECV_BATCH * MAX_DATAGRAM);
    std::array<mmsghdr, RECV_BATCH> rx_msgs{};
    std::array<iovec, RECV_BATCH> rx_iov{};
    std::array<sockaddr_in, RECV_BATCH> rx_from{};
    std::array<send_s, SEND_BATCH> tx{};
    std::array<mmsghdr, SEND_BATCH> tx_msgs{};
    std::array<iovec, SEND_BATCH> tx_iov{};
    unsigned tx_count = 0;
    uint64_t received = 0;       // every datagram read
    uint64_t short_dropped = 0;  // shorter than the encapsulation header
    uint64_t bad_dest = 0;       // destination not a loopback address and port
    uint64_t untracked = 0;      // arrived after MAX_LINKS links were known
};

struct options_s {
    bool port_given = false;
    uint16_t port = 0;
    bool seed_given = false;
    uint64_t seed = 0;
    std::string config_path;
    std::string trace_path;
    bool scoped = false;  // --link or --types given
    rule_s cli_rule;
};

}  // namespace

static volatile sig_atomic_t g_stop = 0;
static volatile sig_atomic_t g_dump = 0;

// ==== clock and random numbers ===================================================================

static int64_t mono_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * NS_PER_S + ts.tv_nsec;
}

static uint64_t splitmix64(uint64_t *x) {
    uint64_t z = (*x += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// xoshiro256** seeded through splitmix64: the same seed gives the same choices on every platform,
// which the standard distributions do not promise.
static void rng_seed(xoshiro_s *r, uint64_t seed) {
    for (uint64_t &word : r->s) word = splitmix64(&seed);
}

static uint64_t rotl(uint64_t x, int k) {
    return (x << k) | (x >> (64 - k));
}

static uint64_t rng_next(xoshiro_s *r) {
    uint64_t *s = r->s;
    uint64_t result = rotl(s[1] * 5, 7) * 9;
    uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
}

// Uniform in [0, 1).
static double rng_unit(xoshiro_s *r) {
    return static_cast<double>(rng_next(r) >> 11) * 0x1.0p-53;
}

// Uniform in [0, n); n > 0.
static uint64_t rng_below(xoshiro_s *r, uint64_t n) {
    return rng_next(r) % n;
}

// A draw is taken only for a probability above 0, so settings that are off leave the sequence
// of choices of the others unchanged.
static bool rng_chance(xoshiro_s *r, double p) {
    return p > 0 && (p >= 1 || rng_unit(r) < p);
}

// ==== parsing values =============================================================================

static std::string not_a(const char *value, const char *what) {
    return std::string("'") + (value ? value : "") + "' is not " + what;
}

static bool parse_number(const char *text, double *out) {
    if (!text || !*text || isspace(static_cast<unsigned char>(*text))) return false;
    char *end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

static bool parse_unsigned(const char *text, uint64_t max, uint64_t *out) {
    if (!text || !isdigit(static_cast<unsigned char>(*text))) return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > max) return false;
    *out = v;
    return true;
}

static bool parse_ms(const char *text, int64_t *ns, std::string *why) {
    double ms = 0;
    if (!parse_number(text, &ms) || ms < 0 || ms > MAX_DELAY_MS) {
        *why = not_a(text, "a time in milliseconds from 0 to 3600000");
        return false;
    }
    *ns = static_cast<int64_t>(std::llround(ms * static_cast<double>(NS_PER_MS)));
    return true;
}

static bool parse_probability(const char *text, double *p, std::string *why) {
    if (!parse_number(text, p) || *p < 0 || *p > 1) {
        *why = not_a(text, "a probability from 0 to 1");
        return false;
    }
    return true;
}

static bool parse_bandwidth(const char *text, double *bytes_per_s, std::string *why) {
    double kb = 0;
    if (!parse_number(text, &kb) || kb < MIN_BANDWIDTH_KBPS || kb > MAX_BANDWIDTH_KBPS) {
        *why = not_a(text, "a bandwidth in KB/s from 0.1 to 10000000");
        return false;
    }
    *bytes_per_s = kb * BYTES_PER_KB;
    return true;
}

static bool parse_blackout(const char *text, impair_s *v, std::string *why) {
    *why = not_a(text, "START:DURATION in seconds (duration above 0)");
    const char *colon = text ? strchr(text, ':') : nullptr;
    if (!colon) return false;
    std::string start_text(text, static_cast<size_t>(colon - text));
    double start = 0, len = 0;
    if (!parse_number(start_text.c_str(), &start) || !parse_number(colon + 1, &len)) return false;
    if (start < 0 || start > MAX_BLACKOUT_S || len <= 0 || len > MAX_BLACKOUT_S) return false;
    v->blackout_start_ns = static_cast<int64_t>(std::llround(start * 1e9));
    v->blackout_len_ns = static_cast<int64_t>(std::llround(len * 1e9));
    return true;
}

static bool parse_flag(const char *text, bool *out, std::string *why) {
    std::string t = text ? text : "1";
    if (t == "1" || t == "yes" || t == "true" || t == "on") {
        *out = true;
    } else if (t == "0" || t == "no" || t == "false" || t == "off") {
        *out = false;
    } else {
        *why = not_a(text, "one of 1, 0, yes, no, true, false, on, off");
        return false;
    }
    return true;
}

static bool parse_types(const char *text, unsigned *mask, std::string *why) {
    *mask = 0;
    std::string list = text ? text : "";
    size_t at = 0;
    while (at <= list.size()) {
        size_t comma = std::min(list.find(',', at), list.size());
        std::string name = list.substr(at, comma - at);
        unsigned bit = 0;
        for (int t = 0; t < TYPE_COUNT; t++)
            if (name == TYPE_NAMES[t]) bit = 1u << t;
        if (name == "all") bit = ALL_TYPES;
        if (bit == 0) {
            *why = "'" + name + "' in '" + list +
                   "' is not one of whohas, ihave, get, data, ack, other, all";
            return false;
        }
        *mask |= bit;
        at = comma + 1;
    }
    return true;
}

// "IP:PORT" with a numeric IPv4 address, or "*".
static bool parse_endpoint(const std::string &text, endpoint_s *e, std::string *why) {
    *why = "'" + text + "' is not IP:PORT (a numeric IPv4 address) or *";
    if (text == "*") {
        *e = endpoint_s{};
        return true;
    }
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    std::string ip = text.substr(0, colon);
    uint64_t port = 0;
    in_addr a{};
    if (inet_pton(AF_INET, ip.c_str(), &a) != 1) return false;
    if (!parse_unsigned(text.c_str() + colon + 1, 65535, &port)) return false;
    e->any = false;
    e->addr = a.s_addr;
    e->port = htons(static_cast<uint16_t>(port));
    return true;
}

// "SRC-DST": neither side contains '-', so the one dash separates them.
static bool parse_link(const char *text, rule_s *rule, std::string *why) {
    std::string t = text ? text : "";
    size_t dash = t.find('-');
    if (dash == std::string::npos || t.find('-', dash + 1) != std::string::npos) {
        *why = not_a(text, "SRC_IP:PORT-DST_IP:PORT");
        return false;
    }
    return parse_endpoint(t.substr(0, dash), &rule->src, why) &&
           parse_endpoint(t.substr(dash + 1), &rule->dst, why);
}

// ==== rules ======================================================================================

struct setting_name_s {
    const char *name;  // as option (--name) and in rule files (name=value)
    unsigned bit;
};

constexpr setting_name_s SETTING_NAMES[] = {
    {"loss", SET_LOSS},
    {"max-consecutive-drops", SET_MAX_DROPS},
    {"delay", SET_DELAY},
    {"jitter", SET_JITTER},
    {"bandwidth", SET_BANDWIDTH},
    {"queue", SET_QUEUE},
    {"dup", SET_DUP},
    {"corrupt", SET_CORRUPT},
    {"corrupt-data-only", SET_CORRUPT_DATA_ONLY},
    {"blackout", SET_BLACKOUT},
};
static_assert(std::size(SETTING_NAMES) == SETTING_COUNT);

static unsigned setting_bit(const std::string &name) {
    for (const setting_name_s &s : SETTING_NAMES)
        if (name == s.name) return s.bit;
    return 0;
}

static bool parse_setting(impair_s *v, unsigned bit, const char *value, std::string *why) {
    switch (bit) {
        case SET_LOSS:
            return parse_probability(value, &v->loss, why);
        case SET_DELAY:
            return parse_ms(value, &v->delay_ns, why);
        case SET_JITTER:
            return parse_ms(value, &v->jitter_ns, why);
        case SET_BANDWIDTH:
            return parse_bandwidth(value, &v->bandwidth, why);
        case SET_DUP:
            return parse_probability(value, &v->dup, why);
        case SET_CORRUPT:
            return parse_probability(value, &v->corrupt, why);
        case SET_CORRUPT_DATA_ONLY:
            return parse_flag(value, &v->corrupt_data_only, why);
        case SET_BLACKOUT:
            return parse_blackout(value, v, why);
        case SET_MAX_DROPS:
            if (parse_unsigned(value, MAX_CONSECUTIVE_CAP, &v->max_drops)) return true;
            *why = not_a(value, "a count from 0 to 1000000000");
            return false;
        case SET_QUEUE:
            if (parse_unsigned(value, MAX_QUEUE_BYTES, &v->queue_bytes)) return true;
            *why = not_a(value, "a byte count from 0 to 1073741824");
            return false;
        default:
            return false;
    }
}

// Sets one named setting of a rule, or its types ("types" is a scope, not a setting).
static bool apply_setting(rule_s *r, const std::string &key, const char *value, std::string *why) {
    if (key == "types") return parse_types(value, &r->types, why);
    unsigned bit = setting_bit(key);
    if (bit == 0) {
        *why = "unknown setting";
        return false;
    }
    if (!parse_setting(&r->v, bit, value, why)) return false;
    r->set |= bit;
    return true;
}

static std::vector<std::string> split_words(const std::string &line) {
    std::vector<std::string> words;
    size_t at = 0;
    while ((at = line.find_first_not_of(" \t\r", at)) != std::string::npos) {
        size_t end = std::min(line.find_first_of(" \t\r", at), line.size());
        words.push_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

// One rule line: ["all" | "link SRC DST"] then settings as key=value (or a bare
// corrupt-data-only). A line that starts with a setting applies to all links.
static bool parse_rule_line(const std::vector<std::string> &words, rule_s *r, std::string *why) {
    size_t i = 0;
    if (words[0] == "all") {
        i = 1;
    } else if (words[0] == "link") {
        if (words.size() < 3) {
            *why = "'link' needs a source and a destination (IP:PORT or *)";
            return false;
        }
        if (!parse_endpoint(words[1], &r->src, why) || !parse_endpoint(words[2], &r->dst, why))
            return false;
        i = 3;
    }
    for (; i < words.size(); i++) {
        size_t eq = words[i].find('=');
        std::string key = words[i].substr(0, eq);
        const char *value = eq == std::string::npos ? nullptr : words[i].c_str() + eq + 1;
        if (!value && key != "corrupt-data-only") {
            *why = "'" + words[i] + "' is not key=value";
            return false;
        }
        if (!apply_setting(r, key, value, why)) {
            *why = key + ": " + *why;
            return false;
        }
    }
    if (r->set == 0) *why = "the rule sets no impairment";
    return r->set != 0;
}

static bool read_text_file(const char *path, std::string *out, std::string *why) {
    std::unique_ptr<FILE, decltype(&fclose)> f(fopen(path, "r"), &fclose);
    if (!f) {
        *why = strerror(errno);
        return false;
    }
    char buf[4096];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, f.get())) > 0) {
        if (MAX_CONFIG_BYTES - out->size() < n) {
            *why = "larger than 1 MiB";
            return false;
        }
        out->append(buf, n);
    }
    if (ferror(f.get())) {
        *why = strerror(errno);
        return false;
    }
    return true;
}

// Appends the file's rules in line order; on failure why names the file and line.
static bool load_rule_file(const std::string &path, std::vector<rule_s> *rules, std::string *why) {
    std::string text, err;
    if (!read_text_file(path.c_str(), &text, &err)) {
        *why = "cannot read " + path + ": " + err;
        return false;
    }
    size_t at = 0;
    for (int line_no = 1; at < text.size(); line_no++) {
        size_t end = std::min(text.find('\n', at), text.size());
        std::string line = text.substr(at, end - at);
        at = end + 1;
        line = line.substr(0, line.find('#'));
        std::vector<std::string> words = split_words(line);
        if (words.empty()) continue;
        rule_s r;
        if (!parse_rule_line(words, &r, &err)) {
            *why = path + ":" + std::to_string(line_no) + ": " + err;
            return false;
        }
        rules->push_back(r);
    }
    return true;
}

static bool endpoint_matches(const endpoint_s &e, uint32_t addr, uint16_t port) {
    return e.any || (e.addr == addr && e.port == port);
}

static bool rule_matches(const rule_s &r, const link_key_s &k, int type) {
    return (r.types & (1u << type)) && endpoint_matches(r.src, k.src_addr, k.src_port) &&
           endpoint_matches(r.dst, k.dst_addr, k.dst_port);
}

// A rule naming both ends beats one naming one end, which beats a rule for all links.
static int specificity(const rule_s &r) {
    return (r.src.any ? 0 : 1) + (r.dst.any ? 0 : 1);
}

static void copy_setting(impair_s *to, const impair_s &from, unsigned bit) {
    switch (bit) {
        case SET_LOSS:
            to->loss = from.loss;
            break;
        case SET_MAX_DROPS:
            to->max_drops = from.max_drops;
            break;
        case SET_DELAY:
            to->delay_ns = from.delay_ns;
            break;
        case SET_JITTER:
            to->jitter_ns = from.jitter_ns;
            break;
        case SET_BANDWIDTH:
            to->bandwidth = from.bandwidth;
            break;
        case SET_QUEUE:
            to->queue_bytes = from.queue_bytes;
            break;
        case SET_DUP:
            to->dup = from.dup;
            break;
        case SET_CORRUPT:
            to->corrupt = from.corrupt;
            break;
        case SET_CORRUPT_DATA_ONLY:
            to->corrupt_data_only = from.corrupt_data_only;
            break;
        case SET_BLACKOUT:
            to->blackout_start_ns = from.blackout_start_ns;
            to->blackout_len_ns = from.blackout_len_ns;
            break;
        default:
            break;
    }
}

// Each setting separately comes from the most specific matching rule that names it; among
// rules of equal rank the later one wins.
static impair_s resolve_impairments(const std::vector<rule_s> &rules, const link_key_s &k,
                                    int type) {
    impair_s out;
    for (int i = 0; i < SETTING_COUNT; i++) {
        unsigned bit = 1u << i;
        const rule_s *best = nullptr;
        for (const rule_s &r : rules) {
            if (!(r.set & bit) || !rule_matches(r, k, type)) continue;
            if (!best || specificity(r) >= specificity(*best)) best = &r;
        }
        if (best) copy_setting(&out, best->v, bit);
    }
    return out;
}

// ==== links and counters =========================================================================

static void format_endpoint(char *out, size_t size, uint32_t addr, uint16_t port) {
    char ip[INET_ADDRSTRLEN] = "?";
    in_addr a{};
    a.s_addr = addr;
    inet_ntop(AF_INET, &a, ip, sizeof ip);
    snprintf(out, size, "%s:%u", ip, static_cast<unsigned>(ntohs(port)));
}

// The link record of key, created (with its rules resolved) on first sight; nullptr once
// MAX_LINKS links exist.
static link_s *find_link(router_s *r, const link_key_s &key) {
    if (r->last_link != UINT32_MAX && r->links[r->last_link].key == key)
        return &r->links[r->last_link];
    auto it = r->link_index.find(key);
    if (it != r->link_index.end()) {
        r->last_link = it->second;
        return &r->links[it->second];
    }
    if (r->links.size() >= MAX_LINKS) return nullptr;
    link_s l;
    l.key = key;
    l.dest = sockaddr_in{};
    l.dest.sin_family = AF_INET;
    l.dest.sin_addr.s_addr = key.dst_addr;
    l.dest.sin_port = key.dst_port;
    format_endpoint(l.src_text, sizeof l.src_text, key.src_addr, key.src_port);
    format_endpoint(l.dst_text, sizeof l.dst_text, key.dst_addr, key.dst_port);
    for (int t = 0; t < TYPE_COUNT; t++) l.by_type[t] = resolve_impairments(r->rules, key, t);
    r->last_link = static_cast<uint32_t>(r->links.size());
    r->link_index.emplace(key, r->last_link);
    r->links.push_back(l);
    return &r->links.back();
}

// Bytes still waiting behind a limited link: the work of a FIFO server is known from when it
// will be idle, so no per-datagram departure event is needed.
static uint64_t queued_bytes(const link_s &l, double bandwidth, int64_t now) {
    if (l.busy_until_ns <= now || bandwidth <= 0) return 0;
    double bytes = static_cast<double>(l.busy_until_ns - now) * bandwidth / 1e9;
    return static_cast<uint64_t>(bytes);
}

static void print_link(const link_s &l, int64_t now) {
    const counters_s &c = l.c;
    printf("link %s->%s received=%" PRIu64 " forwarded=%" PRIu64 " dropped=%" PRIu64
           " loss=%" PRIu64 " blackout=%" PRIu64 " taildrop=%" PRIu64 " overflow=%" PRIu64
           " send_errors=%" PRIu64 " duplicated=%" PRIu64 " corrupted=%" PRIu64
           " queued_bytes=%" PRIu64 " peak_queued_bytes=%" PRIu64 "\n",
           l.src_text, l.dst_text, c.received, c.forwarded, c.dropped, c.loss, c.blackout,
           c.taildrop, c.overflow, c.send_errors, c.duplicated, c.corrupted,
           queued_bytes(l, l.last_bandwidth, now), l.peak_queued_bytes);
}

static void print_counters(const router_s *r, int64_t now) {
    printf("netsim counters at %.3f s: received=%" PRIu64 " short=%" PRIu64 " bad_dest=%" PRIu64
           " untracked=%" PRIu64 " pending=%zu\n",
           static_cast<double>(now - r->start_ns) / 1e9, r->received, r->short_dropped, r->bad_dest,
           r->untracked, r->heap.size());
    for (const link_s &l : r->links) print_link(l, now);
    printf("netsim counters end\n");
    fflush(stdout);
    if (r->trace) fflush(r->trace);
}

// ==== trace ======================================================================================

constexpr const char *TRACE_HEADER = "time,src,dst,type,seq,ack,bytes,action,delay_ms,corrupted\n";

static void trace_line(const router_s *r, int64_t now, const char *src, const char *dst,
                       const char *type, const packet_info_s &info, size_t bytes,
                       const char *action, int64_t delay_ns, bool corrupted) {
    fprintf(r->trace, "%.6f,%s,%s,%s,%" PRIu32 ",%" PRIu32 ",%zu,%s,%.3f,%d\n",
            static_cast<double>(now - r->start_ns) / 1e9, src, dst, type, info.seq, info.ack, bytes,
            action, static_cast<double>(delay_ns) / 1e6, corrupted ? 1 : 0);
}

static void trace_link_event(const router_s *r, int64_t now, const link_s &l,
                             const packet_info_s &info, size_t bytes, const char *action,
                             int64_t delay_ns, bool corrupted) {
    if (!r->trace) return;
    trace_line(r, now, l.src_text, l.dst_text, TYPE_NAMES[info.type], info, bytes, action, delay_ns,
               corrupted);
}

// ==== datagrams ==================================================================================

// The peer header is read only when all 16 of its bytes arrived; anything that is not a version-1
// peer packet of a known type is traffic class "other".
static packet_info_s classify(const uint8_t *buf, size_t len) {
    packet_info_s p;
    if (len - VEXLO_HEADER_SIZE < sizeof(header)) return p;
    header h;
    memcpy(&h, buf + VEXLO_HEADER_SIZE, sizeof h);
    if (ntohs(h.magic) != PACKET_MAGIC || h.version != PACKET_VERSION) return p;
    if (h.type <= PKT_ACK) p.type = h.type;
    p.seq = ntohl(h.seq);
    p.ack = ntohl(h.ack);
    return p;
}

static link_key_s key_of(const vexlo_header &vh) {
    link_key_s k;
    k.src_addr = static_cast<uint32_t>(vh.lSrcAddr);
    k.dst_addr = static_cast<uint32_t>(vh.lDestAddr);
    k.src_port = static_cast<uint16_t>(vh.lSrcPort);
    k.dst_port = static_cast<uint16_t>(vh.lDestPort);
    return k;
}

// Only loopback destinations with a port are forwarded; the router's own address would make a
// datagram circle through it forever.
static bool destination_ok(const router_s *r, const link_key_s &k) {
    if ((ntohl(k.dst_addr) >> 24) != 127 || k.dst_port == 0) return false;
    return !(ntohl(k.dst_addr) == INADDR_LOOPBACK && ntohs(k.dst_port) == r->port);
}

// Changes one byte past the encapsulation header (past the peer header of a DATA packet when
// confined to DATA payload); false when there is no such byte.
static bool corrupt_datagram(xoshiro_s *rng, uint8_t *buf, size_t len, const packet_info_s &info,
                             bool data_only) {
    size_t first = VEXLO_HEADER_SIZE;
    if (data_only) {
        if (info.type != TYPE_DATA) return false;
        first += sizeof(header);
    }
    if (len <= first) return false;
    size_t at = first + rng_below(rng, len - first);
    buf[at] ^= static_cast<uint8_t>(1 + rng_below(rng, 255));
    return true;
}

// Loss with its cap on drops in a row: once the cap is reached the next datagram passes.
static bool lose(router_s *r, link_s *l, const impair_s &im) {
    if (im.loss <= 0) return false;
    if (im.max_drops > 0 && l->consecutive_drops >= im.max_drops) {
        l->consecutive_drops = 0;
        return false;
    }
    if (rng_chance(&r->rng, im.loss)) {
        l->consecutive_drops++;
        return true;
    }
    l->consecutive_drops = 0;
    return false;
}

// Admits len bytes to the link's FIFO; *depart is when its last bit has left. False: tail drop.
// A datagram arriving at an idle link is always taken, whatever the queue limit.
static bool admit_to_queue(link_s *l, const impair_s &im, size_t len, int64_t now,
                           int64_t *depart) {
    *depart = now;
    if (im.bandwidth <= 0) return true;
    uint64_t backlog = queued_bytes(*l, im.bandwidth, now);
    if (backlog > 0 && backlog + len > im.queue_bytes) return false;
    double tx_ns = static_cast<double>(len) * 1e9 / im.bandwidth;
    *depart = std::max(now, l->busy_until_ns) + static_cast<int64_t>(tx_ns);
    l->busy_until_ns = *depart;
    l->last_bandwidth = im.bandwidth;
    l->peak_queued_bytes = std::max(l->peak_queued_bytes, backlog + len);
    return true;
}

enum drop_reason { KEEP, DROP_BLACKOUT, DROP_LOSS, DROP_QUEUE };

static drop_reason judge(router_s *r, link_s *l, const impair_s &im, size_t len, int64_t now,
                         int64_t *depart) {
    int64_t since_start = now - r->start_ns;
    if (im.blackout_len_ns > 0 && since_start >= im.blackout_start_ns &&
        since_start - im.blackout_start_ns < im.blackout_len_ns)
        return DROP_BLACKOUT;
    if (lose(r, l, im)) return DROP_LOSS;
    if (!admit_to_queue(l, im, len, now, depart)) return DROP_QUEUE;
    return KEEP;
}

static void count_drop(const router_s *r, link_s *l, drop_reason why, const packet_info_s &info,
                       size_t len, int64_t now) {
    const char *action = "drop_loss";
    l->c.dropped++;
    switch (why) {
        case DROP_BLACKOUT:
            l->c.blackout++;
            action = "drop_blackout";
            break;
        case DROP_QUEUE:
            l->c.taildrop++;
            action = "drop_queue";
            break;
        default:
            l->c.loss++;
            break;
    }
    trace_link_event(r, now, *l, info, len, action, 0, false);
}

// ==== sending and the release schedule ===========================================================

static bool heap_after(const pending_s &a, const pending_s &b) {
    return a.release_ns > b.release_ns || (a.release_ns == b.release_ns && a.order > b.order);
}

static void free_slot(router_s *r, uint32_t idx) {
    slot_s &s = r->slots[idx];
    r->pending_bytes -= s.bytes.capacity();
    // Buffers above the pooled size go back to the system so rare giants do not pin memory.
    if (s.bytes.capacity() > POOLED_BUFFER_BYTES) std::vector<uint8_t>().swap(s.bytes);
    r->free_slots.push_back(idx);
}

static void build_message(router_s *r, unsigned i) {
    send_s &e = r->tx[i];
    const uint8_t *bytes = e.slot == NO_SLOT ? e.bytes : r->slots[e.slot].bytes.data();
    r->tx_iov[i].iov_base = const_cast<uint8_t *>(bytes);  // sendmmsg only reads it
    r->tx_iov[i].iov_len = e.len;
    msghdr &m = r->tx_msgs[i].msg_hdr;
    m = msghdr{};
    m.msg_name = &r->links[e.link].dest;
    m.msg_namelen = sizeof(sockaddr_in);
    m.msg_iov = &r->tx_iov[i];
    m.msg_iovlen = 1;
}

static void finish_send(router_s *r, unsigned i, bool sent, int64_t now) {
    const send_s &e = r->tx[i];
    link_s &l = r->links[e.link];
    const char *action = e.is_dup ? "duplicate" : "forward";
    if (sent) {
        l.c.forwarded++;
    } else {
        l.c.send_errors++;
        action = "send_error";
    }
    trace_link_event(r, now, l, e.info, e.len, action, now - e.arrival_ns, e.corrupted);
    if (e.slot != NO_SLOT) free_slot(r, e.slot);
}

// Sends the batch with as few calls as the socket allows; a copy it refuses (full buffer, no
// route) is counted and skipped, and the rest still go.
static void flush_sends(router_s *r, int64_t now) {
    unsigned count = r->tx_count;
    r->tx_count = 0;
    for (unsigned i = 0; i < count; i++) build_message(r, i);
    unsigned done = 0;
    while (done < count) {
        int n = sendmmsg(r->fd, r->tx_msgs.data() + done, count - done, MSG_DONTWAIT);
        unsigned sent = n > 0 ? static_cast<unsigned>(n) : 0;
        for (unsigned i = done; i < done + sent; i++) finish_send(r, i, true, now);
        done += sent;
        if (n <= 0) finish_send(r, done++, false, now);
    }
}

static void queue_send(router_s *r, const send_s &e, int64_t now) {
    if (r->tx_count == SEND_BATCH) flush_sends(r, now);
    r->tx[r->tx_count++] = e;
}

// Copies the datagram into a pooled buffer and schedules it; false when the delay buffers are
// full.
static bool schedule_copy(router_s *r, const send_s &e, int64_t release) {
    size_t need = std::max(e.len, POOLED_BUFFER_BYTES);
    if (MAX_PENDING_BYTES - r->pending_bytes < need) return false;
    if (r->free_slots.empty()) {
        r->free_slots.push_back(static_cast<uint32_t>(r->slots.size()));
        r->slots.emplace_back();
    }
    uint32_t idx = r->free_slots.back();
    r->free_slots.pop_back();
    slot_s &s = r->slots[idx];
    s.bytes.reserve(need);
    s.bytes.assign(e.bytes, e.bytes + e.len);
    s.send = e;
    s.send.slot = idx;
    r->pending_bytes += s.bytes.capacity();
    r->heap.push_back(pending_s{release, r->next_order++, idx});
    std::push_heap(r->heap.begin(), r->heap.end(), heap_after);
    return true;
}

// Moves every copy whose time has come into the send batch.
static void release_due(router_s *r, int64_t now) {
    while (!r->heap.empty() && r->heap.front().release_ns <= now) {
        std::pop_heap(r->heap.begin(), r->heap.end(), heap_after);
        uint32_t idx = r->heap.back().slot;
        r->heap.pop_back();
        queue_send(r, r->slots[idx].send, now);
    }
}

// Sends a copy now when it is due, else holds it until its release time.
static void dispatch_copy(router_s *r, const send_s &e, int64_t now, int64_t release) {
    if (release <= now) return queue_send(r, e, now);
    if (schedule_copy(r, e, release)) return;
    link_s &l = r->links[e.link];
    if (e.is_dup) {
        l.c.send_errors++;  // the original went on; only the extra copy is lost
        trace_link_event(r, now, l, e.info, e.len, "send_error", 0, e.corrupted);
        return;
    }
    l.c.dropped++;
    l.c.overflow++;
    trace_link_event(r, now, l, e.info, e.len, "drop_overflow", 0, e.corrupted);
}

static int64_t draw_jitter(router_s *r, const impair_s &im) {
    if (im.jitter_ns <= 0) return 0;
    return static_cast<int64_t>(rng_below(&r->rng, static_cast<uint64_t>(im.jitter_ns) + 1));
}

// A datagram that survived the drops: corruption first, so a duplicate is an exact copy of it;
// each copy then gets its own jitter after the common queue and delay.
static void pass_on(router_s *r, link_s *l, const impair_s &im, uint8_t *buf, size_t len,
                    const packet_info_s &info, int64_t now, int64_t depart) {
    bool corrupted = rng_chance(&r->rng, im.corrupt) &&
                     corrupt_datagram(&r->rng, buf, len, info, im.corrupt_data_only);
    if (corrupted) l->c.corrupted++;
    bool dup = rng_chance(&r->rng, im.dup);
    int64_t base = depart + im.delay_ns;
    uint32_t link = static_cast<uint32_t>(l - r->links.data());
    send_s e{buf, NO_SLOT, len, link, info, now, false, corrupted};
    dispatch_copy(r, e, now, base + draw_jitter(r, im));
    if (!dup) return;
    l->c.duplicated++;
    e.is_dup = true;
    dispatch_copy(r, e, now, base + draw_jitter(r, im));
}

static void trace_unlinked(const router_s *r, int64_t now, const char *src, const char *dst,
                           size_t len, const char *action) {
    if (!r->trace) return;
    trace_line(r, now, src, dst, "-", packet_info_s{}, len, action, 0, false);
}

static void handle_short(router_s *r, const sockaddr_in &from, size_t len, int64_t now) {
    r->short_dropped++;
    if (!r->trace) return;
    char src[24];
    format_endpoint(src, sizeof src, from.sin_addr.s_addr, from.sin_port);
    trace_unlinked(r, now, src, "-", len, "drop_short");
}

static void handle_bad_dest(router_s *r, const link_key_s &k, size_t len, int64_t now) {
    r->bad_dest++;
    if (!r->trace) return;
    char src[24], dst[24];
    format_endpoint(src, sizeof src, k.src_addr, k.src_port);
    format_endpoint(dst, sizeof dst, k.dst_addr, k.dst_port);
    trace_unlinked(r, now, src, dst, len, "drop_dest");
}

// One datagram of len bytes in a receive buffer, read at now.
static void handle_datagram(router_s *r, uint8_t *buf, size_t len, const sockaddr_in &from,
                            int64_t now) {
    r->received++;
    if (len < VEXLO_HEADER_SIZE) return handle_short(r, from, len, now);
    vexlo_header vh;
    memcpy(&vh, buf, sizeof vh);
    link_key_s key = key_of(vh);
    if (!destination_ok(r, key)) return handle_bad_dest(r, key, len, now);
    link_s *l = find_link(r, key);
    if (!l) {
        r->untracked++;
        return;
    }
    l->c.received++;
    packet_info_s info = classify(buf, len);
    const impair_s &im = l->by_type[info.type];
    int64_t depart = now;
    drop_reason why = judge(r, l, im, len, now, &depart);
    if (why != KEEP) return count_drop(r, l, why, info, len, now);
    pass_on(r, l, im, buf, len, info, now, depart);
}

// ==== socket and loop ============================================================================

static void enlarge_buffer(int fd, int force_opt, int opt) {
    int size = SOCKET_BUFFER_BYTES;
    if (setsockopt(fd, SOL_SOCKET, force_opt, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, opt, &size, sizeof size);  // capped by the system maximum
}

// Binds 127.0.0.1:port (0 picks one) and stores the real port; -1 with a message on failure.
static int open_socket(router_s *r, uint16_t port) {
    r->fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (r->fd < 0) {
        fprintf(stderr, "netsim: cannot create a UDP socket: %s\n", strerror(errno));
        return -1;
    }
    enlarge_buffer(r->fd, SO_RCVBUFFORCE, SO_RCVBUF);
    enlarge_buffer(r->fd, SO_SNDBUFFORCE, SO_SNDBUF);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    socklen_t alen = sizeof a;
    if (bind(r->fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(r->fd, reinterpret_cast<sockaddr *>(&a), &alen) != 0) {
        fprintf(stderr, "netsim: cannot bind 127.0.0.1:%u: %s\n", static_cast<unsigned>(port),
                strerror(errno));
        return -1;
    }
    r->port = ntohs(a.sin_port);
    return 0;
}

static void on_signal(int sig) {
    if (sig == SIGUSR1)
        g_dump = 1;
    else
        g_stop = 1;
}

// The three signals stay blocked except inside ppoll, so none can slip in between the flag test
// and the wait; *wait_mask receives the mask to wait with.
static void install_signals(sigset_t *wait_mask) {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigset_t block;
    sigemptyset(&block);
    for (int sig : {SIGINT, SIGTERM, SIGUSR1}) {
        sigaction(sig, &sa, nullptr);
        sigaddset(&block, sig);
    }
    sigprocmask(SIG_BLOCK, &block, wait_mask);
    for (int sig : {SIGINT, SIGTERM, SIGUSR1}) sigdelset(wait_mask, sig);
}

// Reads up to RECV_BATCH datagrams in one call, releasing due copies between them so a flood
// does not hold back delayed traffic; the sends go out before the buffers are read into again.
static void receive_batch(router_s *r) {
    for (unsigned i = 0; i < RECV_BATCH; i++) {
        r->rx_iov[i].iov_base = r->rx.data() + i * MAX_DATAGRAM;
        r->rx_iov[i].iov_len = MAX_DATAGRAM;
        msghdr &m = r->rx_msgs[i].msg_hdr;
        m = msghdr{};
        m.msg_name = &r->rx_from[i];
        m.msg_namelen = sizeof(sockaddr_in);
        m.msg_iov = &r->rx_iov[i];
        m.msg_iovlen = 1;
    }
    int n = recvmmsg(r->fd, r->rx_msgs.data(), RECV_BATCH, MSG_DONTWAIT, nullptr);
    // n < 0: drained, or an error report that the read has now cleared.
    for (unsigned i = 0; n > 0 && i < static_cast<unsigned>(n); i++) {
        int64_t now = mono_ns();
        release_due(r, now);
        handle_datagram(r, r->rx.data() + i * MAX_DATAGRAM, r->rx_msgs[i].msg_len, r->rx_from[i],
                        now);
    }
    flush_sends(r, mono_ns());
}

// Runs until SIGINT or SIGTERM; 0 then, 1 when waiting itself fails.
static int run_router(router_s *r, const sigset_t *wait_mask) {
    while (!g_stop) {
        if (g_dump) {
            g_dump = 0;
            print_counters(r, mono_ns());
        }
        int64_t now = mono_ns();
        release_due(r, now);
        flush_sends(r, now);
        timespec ts{};
        timespec *timeout = nullptr;
        if (!r->heap.empty()) {
            int64_t wait = std::max<int64_t>(0, r->heap.front().release_ns - now);
            ts.tv_sec = static_cast<time_t>(wait / NS_PER_S);
            ts.tv_nsec = static_cast<long>(wait % NS_PER_S);
            timeout = &ts;
        }
        pollfd p{r->fd, POLLIN, 0};
        int ready = ppoll(&p, 1, timeout, wait_mask);
        if (ready < 0 && errno != EINTR) {
            fprintf(stderr, "netsim: ppoll failed: %s\n", strerror(errno));
            return 1;
        }
        if (ready > 0) receive_batch(r);
    }
    return 0;
}

// ==== command line ===============================================================================

enum parse_result { PARSE_OK, PARSE_HELP, PARSE_ERROR };

enum option_code {
    OPT_PORT = 1000,
    OPT_SEED,
    OPT_CONFIG,
    OPT_TRACE,
    OPT_TYPES,
    OPT_LINK,
    OPT_HELP,
    OPT_SETTING,  // every impairment option; its name is the setting's name
};

static const struct option LONG_OPTIONS[] = {
    {"port", required_argument, nullptr, OPT_PORT},
    {"seed", required_argument, nullptr, OPT_SEED},
    {"config", required_argument, nullptr, OPT_CONFIG},
    {"trace", required_argument, nullptr, OPT_TRACE},
    {"types", required_argument, nullptr, OPT_TYPES},
    {"link", required_argument, nullptr, OPT_LINK},
    {"help", no_argument, nullptr, OPT_HELP},
    {"loss", required_argument, nullptr, OPT_SETTING},
    {"max-consecutive-drops", required_argument, nullptr, OPT_SETTING},
    {"delay", required_argument, nullptr, OPT_SETTING},
    {"jitter", required_argument, nullptr, OPT_SETTING},
    {"bandwidth", required_argument, nullptr, OPT_SETTING},
    {"queue", required_argument, nullptr, OPT_SETTING},
    {"dup", required_argument, nullptr, OPT_SETTING},
    {"corrupt", required_argument, nullptr, OPT_SETTING},
    {"corrupt-data-only", no_argument, nullptr, OPT_SETTING},
    {"blackout", required_argument, nullptr, OPT_SETTING},
    {nullptr, 0, nullptr, 0},
};

// Applies one recognised option; why is set on a bad value.
static bool apply_option(int code, int index, const char *arg, options_s *o, std::string *why) {
    uint64_t n = 0;
    switch (code) {
        case OPT_PORT:
            if (!parse_unsigned(arg, 65535, &n)) *why = not_a(arg, "a port from 0 to 65535");
            o->port = static_cast<uint16_t>(n), o->port_given = true;
            return why->empty();
        case OPT_SEED:
            if (!parse_unsigned(arg, UINT64_MAX, &o->seed)) *why = not_a(arg, "a seed");
            o->seed_given = true;
            return why->empty();
        case OPT_CONFIG:
            o->config_path = arg;
            return true;
        case OPT_TRACE:
            o->trace_path = arg;
            return true;
        case OPT_TYPES:
            o->scoped = true;
            return parse_types(arg, &o->cli_rule.types, why);
        case OPT_LINK:
            o->scoped = true;
            return parse_link(arg, &o->cli_rule, why);
        default:
            return apply_setting(&o->cli_rule, LONG_OPTIONS[index].name, arg, why);
    }
}

static parse_result parse_command_line(int argc, char **argv, options_s *o) {
    opterr = 0;  // the messages below name the option as it was typed
    int code = 0, index = -1;
    while ((code = getopt_long(argc, argv, ":", LONG_OPTIONS, &index)) != -1) {
        const char *typed = argv[optind - 1];
        std::string why;
        if (code == OPT_HELP) {
            fputs(USAGE, stdout);
            return PARSE_HELP;
        } else if (code == '?' && optopt > 0 && optopt < 256) {
            fprintf(stderr, "netsim: unknown option '-%c'\n", optopt);
        } else if (code == '?') {
            fprintf(stderr, "netsim: unknown option '%s'\n", typed);
        } else if (code == ':') {
            fprintf(stderr, "netsim: option '%s' needs a value\n", typed);
        } else if (!apply_option(code, index, optarg, o, &why)) {
            fprintf(stderr, "netsim: --%s: %s\n", LONG_OPTIONS[index].name, why.c_str());
        } else {
            continue;
        }
        return PARSE_ERROR;
    }
    if (optind < argc) {
        fprintf(stderr, "netsim: unexpected argument '%s'\n", argv[optind]);
        return PARSE_ERROR;
    }
    if (!o->port_given) fprintf(stderr, "netsim: --port is required (0 picks a free port)\n");
    return o->port_given ? PARSE_OK : PARSE_ERROR;
}

// ==== main =======================================================================================

// Rules from the file, then the command line's; false with a message on a bad file.
static bool collect_rules(const options_s &o, std::vector<rule_s> *rules) {
    std::string why;
    if (!o.config_path.empty() && !load_rule_file(o.config_path, rules, &why)) {
        fprintf(stderr, "netsim: %s\n", why.c_str());
        return false;
    }
    if (o.cli_rule.set != 0)
        rules->push_back(o.cli_rule);
    else if (o.scoped)
        fprintf(stderr, "netsim: --link and --types have no effect without an impairment\n");
    return true;
}

int main(int argc, char **argv) {
    options_s opt;
    parse_result pr = parse_command_line(argc, argv, &opt);
    if (pr != PARSE_OK) {
        if (pr == PARSE_ERROR) fprintf(stderr, "Try 'netsim --help'.\n");
        return pr == PARSE_HELP ? 0 : 2;
    }
    auto r = std::make_unique<router_s>();
    if (!collect_rules(opt, &r->rules)) return 2;
    std::unique_ptr<FILE, decltype(&fclose)> trace(nullptr, &fclose);
    if (!opt.trace_path.empty()) {
        trace.reset(fopen(opt.trace_path.c_str(), "w"));
        if (!trace) {
            fprintf(stderr, "netsim: cannot write %s: %s\n", opt.trace_path.c_str(),
                    strerror(errno));
            return 1;
        }
        fputs(TRACE_HEADER, trace.get());
        r->trace = trace.get();
    }
    if (open_socket(r.get(), opt.port) != 0) return 1;
    sigset_t wait_mask;
    install_signals(&wait_mask);
    uint64_t seed =
        opt.seed_given ? opt.seed
                       : static_cast<uint64_t>(mono_ns()) ^ (static_cast<uint64_t>(getpid()) << 32);
    rng_seed(&r->rng, seed);
    fprintf(stderr, "netsim: seed %" PRIu64 "\n", seed);
    r->start_ns = mono_ns();
    printf("netsim listening on 127.0.0.1:%u\n", static_cast<unsigned>(r->port));
    fflush(stdout);
    int status = run_router(r.get(), &wait_mask);
    print_counters(r.get(), mono_ns());
    close(r->fd);
    return status;
}
