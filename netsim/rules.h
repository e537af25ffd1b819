// netsim's rules: the values of its options and rule files, the rules they form, how the rules
// resolve for one link and packet type or for one node's access link, and which link and packet
// type a datagram belongs to.
// Everything here is pure: no sockets, no clock, no exit; errors come back as a message.
#pragma once

#include "engine/common.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

// ==== constants ==================================================================================

constexpr size_t MAX_CONFIG_BYTES = 1u << 20;  // a rule file is a few lines
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
// A node's queue holds 100 ms of its rate by default, but never fewer than three of the largest
// datagrams (encapsulation header and a full peer packet), so a slow link still takes a burst.
constexpr int64_t NODE_QUEUE_DEFAULT_NS = 100 * NS_PER_MS;
constexpr uint64_t LARGEST_DATAGRAM_BYTES = 16 + MAX_PACKET_SIZE;
constexpr uint64_t NODE_QUEUE_MIN_BYTES = 3 * LARGEST_DATAGRAM_BYTES;

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

// The settings of a node rule: its access link's rates and their queue.
constexpr unsigned NODE_SET_UP = 1u << 0;
constexpr unsigned NODE_SET_DOWN = 1u << 1;
constexpr unsigned NODE_SET_QUEUE = 1u << 2;
constexpr int NODE_SETTING_COUNT = 3;

// ==== records ====================================================================================

// The name of one setting, as option (--name) and in rule files (name=value).
struct setting_name_s {
    const char *name;
    unsigned bit;    // SET_*
    bool has_value;  // false: a flag, bare on the command line
};

// In the order of the settings' bits; the command line has one option per entry, in this order.
constexpr setting_name_s SETTING_NAMES[] = {
    {"loss", SET_LOSS, true},
    {"max-consecutive-drops", SET_MAX_DROPS, true},
    {"delay", SET_DELAY, true},
    {"jitter", SET_JITTER, true},
    {"bandwidth", SET_BANDWIDTH, true},
    {"queue", SET_QUEUE, true},
    {"dup", SET_DUP, true},
    {"corrupt", SET_CORRUPT, true},
    {"corrupt-data-only", SET_CORRUPT_DATA_ONLY, false},
    {"blackout", SET_BLACKOUT, true},
};
static_assert(std::size(SETTING_NAMES) == SETTING_COUNT);
static_assert([] {
    for (int i = 0; i < SETTING_COUNT; i++)
        if (SETTING_NAMES[i].bit != 1u << i) return false;
    return true;
}());

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

// What a rule applies to: the traffic of links, or the access link of nodes.
enum rule_scope : uint8_t { SCOPE_LINK, SCOPE_NODE };

// The values a node rule names; which of them it names is in rule_s::node_set.
struct node_values_s {
    double up = 0;             // bytes per second the node can send
    double down = 0;           // bytes per second the node can receive
    uint64_t queue_bytes = 0;  // backlog allowed in each direction
};

// One line of the rule file, the command line's impairments, or one --node option.
struct rule_s {
    rule_scope scope = SCOPE_LINK;
    endpoint_s src;  // a node rule: the node
    endpoint_s dst;
    unsigned types = ALL_TYPES;  // bit per traffic class
    unsigned set = 0;            // SET_* bits of the settings a link rule names
    impair_s v;
    unsigned node_set = 0;  // NODE_SET_* bits of the settings a node rule names
    node_values_s node;
};

// One direction of a node's access link as the rules resolve it.
struct access_dir_s {
    double rate = 0;           // bytes per second; 0 = unlimited, no queue
    uint64_t queue_bytes = 0;  // backlog allowed
};

// A node's access link: everything it sends waits in up, everything sent to it in down.
struct access_s {
    access_dir_s up;
    access_dir_s down;
};

// A direction of traffic as the encapsulation header names it, network byte order.
struct link_key_s {
    uint32_t src_addr;
    uint32_t dst_addr;
    uint16_t src_port;
    uint16_t dst_port;
    bool operator==(const link_key_s &o) const = default;
};

// What the router knows of the peer packet behind the encapsulation header.
struct packet_info_s {
    int type = TYPE_OTHER;
    uint32_t seq = 0;  // host order
    uint32_t ack = 0;  // host order
};

// ==== functions ==================================================================================

// The message "'value' is not what" for a rejected value; value may be null.
std::string not_a(const char *value, const char *what);

// True with *out set when text is a decimal number from 0 to max; text may be null.
bool parse_unsigned(const char *text, uint64_t max, uint64_t *out);

// True with *mask set from a comma list of type names (or "all"); else false with *why set.
bool parse_types(const char *text, unsigned *mask, std::string *why);

// True with rule->src and rule->dst set from "SRC-DST" (each IP:PORT or *); else false, *why set.
bool parse_link(const char *text, rule_s *rule, std::string *why);

// True when key (a setting name, or "types") and value (null for a bare flag) were stored in
// *rule; else false with *why saying what is wrong with the value.
bool apply_setting(rule_s *rule, const std::string &key, const char *value, std::string *why);

// True with *rule a node rule from "IP:PORT up=KB/s down=KB/s queue=BYTES" (or "*" for every
// node), as --node and a rule file's "node" lines take it; else false with *why set.
bool parse_node_option(const char *text, rule_s *rule, std::string *why);

// True with the rules of text[0..len) appended to *rules in line order; else false with *why
// naming "name:line" and the fault, and *rules as it was. text need not end in a newline or NUL.
bool parse_rules(const char *text, size_t len, const std::string &name, std::vector<rule_s> *rules,
                 std::string *why);

// parse_rules over the file at path (at most MAX_CONFIG_BYTES); false with *why on any fault.
bool load_rule_file(const std::string &path, std::vector<rule_s> *rules, std::string *why);

// The impairments for traffic of the given type on link k: each setting from the most specific
// matching rule that names it, the later among equals; defaults where none does.
impair_s resolve_impairments(const std::vector<rule_s> &rules, const link_key_s &k, int type);

// The access link of the node at addr:port (network byte order): each setting from the most
// specific node rule that names it (the node's own beats "*"), the later among equals; a queue
// no rule names holds NODE_QUEUE_DEFAULT_NS of its direction's rate, at least
// NODE_QUEUE_MIN_BYTES.
access_s resolve_access(const std::vector<rule_s> &rules, uint32_t addr, uint16_t port);

// True with *key set from the encapsulation header of buf[0..len); false when len is shorter.
bool datagram_link(const uint8_t *buf, size_t len, link_key_s *key);

// The type, seq and ack of the peer packet in buf[0..len); TYPE_OTHER (seq and ack 0) when
// there is no whole version-1 peer header behind the encapsulation header. Reads only buf[0..len).
packet_info_s classify_datagram(const uint8_t *buf, size_t len);
