// netsim's rules: option and rule-file values, rule lines, resolution per link and type, and the
// classification of datagrams. Nothing here touches a socket or ends the process.

#include "netsim/rules.h"

#include "shim/vexlo.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

// ==== parsing values =============================================================================

std::string not_a(const char *value, const char *what) {
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

bool parse_unsigned(const char *text, uint64_t max, uint64_t *out) {
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

bool parse_types(const char *text, unsigned *mask, std::string *why) {
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
bool parse_link(const char *text, rule_s *rule, std::string *why) {
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

// "types" is a scope, not a setting: it limits the whole rule.
bool apply_setting(rule_s *r, const std::string &key, const char *value, std::string *why) {
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

// The settings of a node rule, up=, down= and queue=, in the order of their NODE_SET_* bits.
constexpr const char *NODE_SETTING_NAMES[NODE_SETTING_COUNT] = {"up", "down", "queue"};

static unsigned node_setting_bit(const std::string &name) {
    for (int i = 0; i < NODE_SETTING_COUNT; i++)
        if (name == NODE_SETTING_NAMES[i]) return 1u << i;
    return 0;
}

static bool parse_node_setting(rule_s *r, unsigned bit, const char *value, std::string *why) {
    switch (bit) {
        case NODE_SET_UP:
            return parse_bandwidth(value, &r->node.up, why);
        case NODE_SET_DOWN:
            return parse_bandwidth(value, &r->node.down, why);
        default:
            if (parse_unsigned(value, MAX_QUEUE_BYTES, &r->node.queue_bytes)) return true;
            *why = not_a(value, "a byte count from 0 to 1073741824");
            return false;
    }
}

// One key=value of a rule, in its scope: a node rule takes up, down and queue only, and up and
// down belong to node rules only.
static bool apply_word(rule_s *r, const std::string &word, std::string *why) {
    size_t eq = word.find('=');
    std::string key = word.substr(0, eq);
    const char *value = eq == std::string::npos ? nullptr : word.c_str() + eq + 1;
    if (!value && key != "corrupt-data-only") {
        *why = "'" + word + "' is not key=value";
        return false;
    }
    unsigned node_bit = node_setting_bit(key);
    if (r->scope == SCOPE_NODE && (node_bit == 0 || !value)) {
        *why = "'" + word + "': a node rule takes up, down and queue only";
        return false;
    }
    if (r->scope == SCOPE_LINK && (node_bit == NODE_SET_UP || node_bit == NODE_SET_DOWN)) {
        *why = "'" + word + "': up and down belong to a node rule ('node IP:PORT up=KB/s')";
        return false;
    }
    bool ok = r->scope == SCOPE_NODE ? parse_node_setting(r, node_bit, value, why)
                                     : apply_setting(r, key, value, why);
    if (!ok) {
        *why = key + ": " + *why;
        return false;
    }
    if (r->scope == SCOPE_NODE) r->node_set |= node_bit;
    return true;
}

// One rule line: ["all" | "link SRC DST" | "node ADDR"] then settings as key=value (or a bare
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
    } else if (words[0] == "node") {
        if (words.size() < 2) {
            *why = "'node' needs an address (IP:PORT or *)";
            return false;
        }
        if (!parse_endpoint(words[1], &r->src, why)) return false;
        r->scope = SCOPE_NODE;
        i = 2;
    }
    for (; i < words.size(); i++)
        if (!apply_word(r, words[i], why)) return false;
    if (r->scope == SCOPE_NODE) {
        if (r->node_set == 0) *why = "the node rule sets none of up, down, queue";
        return r->node_set != 0;
    }
    if (r->set == 0) *why = "the rule sets no impairment";
    return r->set != 0;
}

bool parse_node_option(const char *text, rule_s *rule, std::string *why) {
    std::vector<std::string> words = split_words(std::string("node ") + (text ? text : ""));
    rule_s r;
    if (!parse_rule_line(words, &r, why)) return false;
    *rule = r;
    return true;
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

bool parse_rules(const char *text, size_t len, const std::string &name, std::vector<rule_s> *rules,
                 std::string *why) {
    std::vector<rule_s> parsed;
    std::string err;
    size_t at = 0;
    for (size_t line_no = 1; at < len; line_no++) {
        const char *newline = static_cast<const char *>(memchr(text + at, '\n', len - at));
        size_t end = newline ? static_cast<size_t>(newline - text) : len;
        std::string line(text + at, end - at);
        at = end + 1;
        line = line.substr(0, line.find('#'));
        std::vector<std::string> words = split_words(line);
        if (words.empty()) continue;
        rule_s r;
        if (!parse_rule_line(words, &r, &err)) {
            *why = name + ":" + std::to_string(line_no) + ": " + err;
            return false;
        }
        parsed.push_back(r);
    }
    rules->insert(rules->end(), parsed.begin(), parsed.end());
    return true;
}

bool load_rule_file(const std::string &path, std::vector<rule_s> *rules, std::string *why) {
    std::string text, err;
    if (!read_text_file(path.c_str(), &text, &err)) {
        *why = "cannot read " + path + ": " + err;
        return false;
    }
    return parse_rules(text.data(), text.size(), path, rules, why);
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

impair_s resolve_impairments(const std::vector<rule_s> &rules, const link_key_s &k, int type) {
    impair_s out;
    for (int i = 0; i < SETTING_COUNT; i++) {
        unsigned bit = 1u << i;
        const rule_s *best = nullptr;
        for (const rule_s &r : rules) {
            if (r.scope != SCOPE_LINK || !(r.set & bit) || !rule_matches(r, k, type)) continue;
            if (!best || specificity(r) >= specificity(*best)) best = &r;
        }
        if (best) copy_setting(&out, best->v, bit);
    }
    return out;
}

static void copy_node_setting(node_values_s *to, const node_values_s &from, unsigned bit) {
    if (bit == NODE_SET_UP) to->up = from.up;
    if (bit == NODE_SET_DOWN) to->down = from.down;
    if (bit == NODE_SET_QUEUE) to->queue_bytes = from.queue_bytes;
}

static uint64_t default_node_queue(double rate) {
    double bytes =
        rate * static_cast<double>(NODE_QUEUE_DEFAULT_NS) / static_cast<double>(NS_PER_S);
    return std::max(NODE_QUEUE_MIN_BYTES, static_cast<uint64_t>(bytes));
}

access_s resolve_access(const std::vector<rule_s> &rules, uint32_t addr, uint16_t port) {
    node_values_s v;
    unsigned named = 0;
    for (int i = 0; i < NODE_SETTING_COUNT; i++) {
        unsigned bit = 1u << i;
        const rule_s *best = nullptr;
        for (const rule_s &r : rules) {
            if (r.scope != SCOPE_NODE || !(r.node_set & bit)) continue;
            if (!endpoint_matches(r.src, addr, port)) continue;
            if (!best || specificity(r) >= specificity(*best)) best = &r;
        }
        if (!best) continue;
        copy_node_setting(&v, best->node, bit);
        named |= bit;
    }
    bool queue_named = named & NODE_SET_QUEUE;
    access_s a;
    a.up = access_dir_s{v.up, queue_named ? v.queue_bytes : default_node_queue(v.up)};
    a.down = access_dir_s{v.down, queue_named ? v.queue_bytes : default_node_queue(v.down)};
    return a;
}

// ==== datagrams ==================================================================================

bool datagram_link(const uint8_t *buf, size_t len, link_key_s *key) {
    if (len < VEXLO_HEADER_SIZE) return false;
    vexlo_header vh;
    memcpy(&vh, buf, sizeof vh);
    key->src_addr = static_cast<uint32_t>(vh.lSrcAddr);
    key->dst_addr = static_cast<uint32_t>(vh.lDestAddr);
    key->src_port = static_cast<uint16_t>(vh.lSrcPort);
    key->dst_port = static_cast<uint16_t>(vh.lDestPort);
    return true;
}

// The peer header is read only when all 16 of its bytes arrived; anything that is not a version-1
// peer packet of a known type is traffic class "other".
packet_info_s classify_datagram(const uint8_t *buf, size_t len) {
    packet_info_s p;
    if (len < VEXLO_HEADER_SIZE || len - VEXLO_HEADER_SIZE < sizeof(header)) return p;
    header h;
    memcpy(&h, buf + VEXLO_HEADER_SIZE, sizeof h);
    if (ntohs(h.magic) != PACKET_MAGIC || h.version != PACKET_VERSION) return p;
    if (h.type <= PKT_ACK) p.type = h.type;
    p.seq = ntohl(h.seq);
    p.ack = ntohl(h.ack);
    return p;
}
