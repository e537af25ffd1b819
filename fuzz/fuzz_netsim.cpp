// Fuzz target: netsim's rule files and its datagram classification. The first input byte picks
// which: even, the rest is a rule file's text; odd, the rest is one datagram as netsim receives
// it. A rule file either parses into rules whose resolution stays within its value ranges, or is
// refused with a message and leaves the rules as they were; a datagram is classified without
// reading past its length.
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
    } else {
        check_datagram(data + 1, size - 1);
    }
    return 0;
}
