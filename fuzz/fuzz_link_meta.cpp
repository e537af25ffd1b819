// Fuzz target: the input as a link (link_parse) and as a swarm's file list (metadata_decode).
// The link is tried as it is and, so that the fields behind the checksum are reached, made lower
// case with its checksum field appended. A link that parses must be exactly what link_format
// writes for what it parsed, less the whitespace around it and in lower case; a list that
// decodes must encode back to the input.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sodium.h>

#include "frontend/link.h"
#include "frontend/metadata.h"

namespace {

void require(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "fuzz_link_meta: %s\n", what);
        abort();
    }
}

// text, made lower case, followed by "/c=" and its checksum.
std::string with_check(std::string text) {
    text.resize(strlen(text.c_str()));
    for (char &c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    text.erase(0, std::min(text.size(), text.find_first_not_of(" \t\n\r\v\f")));
    uint8_t sum[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(sum, reinterpret_cast<const uint8_t *>(text.data()), text.size());
    uint64_t v = 0;
    for (int i = 0; i < 5; i++) v = v << 8 | sum[i];
    text += "/c=";
    for (int i = 7; i >= 0; i--) text += "abcdefghijklmnopqrstuvwxyz234567"[(v >> (5 * i)) & 31];
    return text;
}

void check_link(std::string text) {
    link_t l;
    char why[512];
    if (link_parse(text.c_str(), &l, why, sizeof why) != 0) {
        require(memchr(why, '\n', strlen(why)) == nullptr, "a reason of more than one line");
        return;
    }
    text.resize(strlen(text.c_str()));  // what the parser saw: up to the first NUL
    size_t first = text.find_first_not_of(" \t\n\r\v\f");
    size_t last = text.find_last_not_of(" \t\n\r\v\f");
    std::string core = text.substr(first, last - first + 1);
    for (char &c : core) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    require(link_format(l) == core, "a parsed link is not what link_format writes for it");
}

void check_metadata(const uint8_t *data, size_t size) {
    metadata_t m;
    char why[512];
    if (metadata_decode(data, size, &m, why, sizeof why) != 0) {
        require(memchr(why, '\n', strlen(why)) == nullptr, "a reason of more than one line");
        return;
    }
    require(metadata_check(m, why, sizeof why) == 0, "a decoded list fails metadata_check");
    std::vector<uint8_t> again = metadata_encode(m);
    require(again.size() == size && memcmp(again.data(), data, size) == 0,
            "a decoded list does not encode back to its bytes");
    for (const meta_file_t &f : m.files) {
        std::string list = metadata_hash_list(f);
        require(static_cast<size_t>(std::count(list.begin(), list.end(), '\n')) == f.chunks.size(),
                "a hash list without one line per chunk");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    check_link(text);
    check_link(with_check(text));
    check_metadata(data, size);
    return 0;
}
