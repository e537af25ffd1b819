// Fuzz target: netsim's rule files and its datagram classification. The first input byte picks
// which: even, the rest is a rule file's text (and, up to its first newline, a --node option);
// odd, the rest is one datagram as netsim receives it. A rule file either parses into rules whose
// resolution, for links and for nodes, stays within its value ranges, or is refused with a message
// and leaves the rules as they were; a datagram is classified without reading past its length.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "netsim/rules.h"

namespace {

void require(bool ok, const char *what) {
    if (ok) return;
    fprintf(stderr, "fuzz_netsim: %s\n", what);
    abort();
}

// Each direction is unlimited, or limited within the rate range with a queue in its range.
void check_access(const access_s &a) {
    for (const access_dir_s &d : {a.up, a.down}) {
        require(d.rate == 0 || (d.rate >= MIN_BANDWIDTH_KBPS * BYTES_PER_KB &&
                                d.rate <= MAX_BANDWIDTH_KBPS * BYTES_PER_KB),
                "a node rate out of range");
        require(d.queue_bytes <= MAX_QUEUE_BYTES, "a node queue out of range");
    }
}

void check_rule_file(const uint8_t *text, size_t len) {
    std::vector<rule_s> rules(1);  // one rule already there, which a refusal must leave alone
    std::string why;
    bool ok = parse_rules(reinterpret_cast<const char *>(text), len, "fuzz", &rules, &why);
    require(ok || (why.rfind("fuzz:", 0) == 0 && rules.size() == 1),
            "a refused rule file changed the rules or gave no message");
    link_key_s key{};
    for (int type = 0; type <= 6; type++) {
        impair_s v = resolve_impairments(rules, key, type);
        require(v.loss >= 0 && v.loss <= 1 && v.dup >= 0 && v.dup <= 1 && v.corrupt >= 0 &&
                    v.corrupt <= 1,
                "a resolved probability outside 0..1");
        require(v.delay_ns >= 0 && v.jitter_ns >= 0 && v.bandwidth >= 0, "a negative setting");
    }
    check_access(resolve_access(rules, key.src_addr, key.src_port));
    for (size_t i = 1; i < rules.size() && i < 8; i++)  // the nodes the first rules name
        check_access(resolve_access(rules, rules[i].src.addr, rules[i].src.port));
}

// The first line of the text as the argument of --node: a node rule, or a message.
void check_node_option(const uint8_t *text, size_t len) {
    const void *newline = memchr(text, '\n', len);
    std::string arg(
        reinterpret_cast<const char *>(text),
        newline ? static_cast<size_t>(static_cast<const uint8_t *>(newline) - text) : len);
    rule_s r;
    std::string why;
    if (parse_node_option(arg.c_str(), &r, &why)) {
        require(r.scope == SCOPE_NODE && r.node_set != 0 && r.set == 0, "--node made no node rule");
    } else {
        require(!why.empty(), "a refused --node gave no message");
    }
}

void check_datagram(const uint8_t *data, size_t len) {
    // An exact-size heap copy, so that a read past the end is caught by the address sanitizer.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[len ? len : 1]);
    if (len) memcpy(copy.get(), data, len);
    link_key_s key{};
    datagram_link(copy.get(), len, &key);
    classify_datagram(copy.get(), len);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    if (data[0] % 2 == 0) {
        check_rule_file(data + 1, size - 1);
        check_node_option(data + 1, size - 1);
    } else {
        check_datagram(data + 1, size - 1);
    }
    return 0;
}
