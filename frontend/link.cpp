#include "frontend/link.h"

#include <arpa/inet.h>
#include <sodium.h>
#include <strings.h>

#include <cassert>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "frontend/metadata.h"
#include "shim/seal.h"
#include "support/why.h"

static_assert(LINK_DIGEST_BYTES == META_DIGEST_BYTES);
static_assert(LINK_KEY_BYTES == SEAL_KEY_BYTES);

constexpr const char *LINK_PREFIX = "tlv";
constexpr char FIELD_SEP = '/';
constexpr char ENTRY_SEP = ',';
constexpr const char *CHECK_TAG = "/c=";
constexpr const char *B32_ALPHABET = "abcdefghijklmnopqrstuvwxyz234567";  // RFC 4648, section 6

// Characters of a value of n bytes in base32 without padding.
constexpr size_t b32_len(size_t n) {
    return (n * 8 + 4) / 5;
}
static_assert(b32_len(32) == 52 && b32_len(LINK_CHECK_BYTES) == 8);
// The longest link of this version: prefix, digest, 16 entries of "255.255.255.255:65535", key,
// checksum.
static_assert(4 + 3 + b32_len(32) + 3 + LINK_MAX_ENTRIES * 22 - 1 + 3 + b32_len(32) + 3 + 8 <
              LINK_MAX_LEN);

// ---- base32 ----------------------------------------------------------------------------------

static std::string b32_encode(const uint8_t *bytes, size_t n) {
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (size_t i = 0; i < n; i++) {
        acc = (acc << 8 | bytes[i]) & 0xFFFF;
        bits += 8;
        while (bits >= 5) {
            bits -= 5;
            out += B32_ALPHABET[(acc >> bits) & 31];
        }
    }
    if (bits > 0) out += B32_ALPHABET[(acc << (5 - bits)) & 31];
    return out;
}

static int b32_value(char c) {
    if (c >= 'a' && c <= 'z') return c - 'a';
    if (c >= '2' && c <= '7') return c - '2' + 26;
    return -1;
}

// Decodes exactly n bytes from text (lower case); false when text is not their base32 form.
static bool b32_decode(const std::string &text, uint8_t *out, size_t n) {
    if (text.size() != b32_len(n)) return false;
    uint32_t acc = 0;
    int bits = 0;
    size_t got = 0;
    for (char c : text) {
        int v = b32_value(c);
        if (v < 0) return false;
        acc = (acc << 5 | static_cast<uint32_t>(v)) & 0xFFFF;
        bits += 5;
        if (bits >= 8) {
            bits -= 8;
            out[got++] = static_cast<uint8_t>(acc >> bits);
        }
    }
    return (acc & ((1u << bits) - 1)) == 0;  // the padding bits of the last character
}

// ---- formatting ------------------------------------------------------------------------------

static std::string entry_text(const struct sockaddr_in &a) {
    uint32_t ip = ntohl(a.sin_addr.s_addr);
    char text[32];
    snprintf(text, sizeof text, "%u.%u.%u.%u:%u", ip >> 24, (ip >> 16) & 255, (ip >> 8) & 255,
             ip & 255, ntohs(a.sin_port));
    return text;
}

static std::string check_text(const std::string &before) {
    uint8_t sum[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(sum, reinterpret_cast<const uint8_t *>(before.data()), before.size());
    return b32_encode(sum, LINK_CHECK_BYTES);
}

std::string link_format(const link_t &l) {
    assert(!l.entries.empty() && l.entries.size() <= LINK_MAX_ENTRIES);
    std::string text = std::string(LINK_PREFIX) + std::to_string(LINK_VERSION);
    text += "/d=" + b32_encode(l.digest, LINK_DIGEST_BYTES) + "/p=";
    for (size_t i = 0; i < l.entries.size(); i++) {
        assert(l.entries[i].sin_port != 0);
        if (i > 0) text += ENTRY_SEP;
        text += entry_text(l.entries[i]);
    }
    if (l.has_key) text += "/k=" + b32_encode(l.key, LINK_KEY_BYTES);
    return text + CHECK_TAG + check_text(text);
}

// ---- parsing ---------------------------------------------------------------------------------

static bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The characters a link may hold: all of them safe unquoted in a POSIX shell word.
static bool is_link_char(char c) {
    return isalnum(static_cast<unsigned char>(c)) || strchr("/=.:,", c) != nullptr;
}

// A whole number of 1 to max_digits digits without a leading zero, at most max; false otherwise.
static bool parse_decimal(const std::string &s, size_t max_digits, unsigned max, unsigned *out) {
    if (s.empty() || s.size() > max_digits || (s[0] == '0' && s.size() > 1)) return false;
    unsigned v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    *out = v;
    return v <= max;
}

// "a.b.c.d" into a host-order address.
static bool parse_dotted_quad(const std::string &s, uint32_t *ip) {
    uint32_t v = 0;
    size_t from = 0;
    for (int i = 0; i < 4; i++) {
        size_t dot = i < 3 ? s.find('.', from) : s.size();
        unsigned octet;
        if (dot == std::string::npos || !parse_decimal(s.substr(from, dot - from), 3, 255, &octet))
            return false;
        v = v << 8 | octet;
        from = dot + 1;
    }
    *ip = v;
    return true;
}

// One entry point "a.b.c.d:port"; n counts from 1.
static int parse_entry(const std::string &s, size_t n, struct sockaddr_in *a, char *why,
                       size_t why_size) {
    size_t colon = s.find(':');
    uint32_t ip;
    if (colon == std::string::npos || !parse_dotted_quad(s.substr(0, colon), &ip))
        return fail_why(why, why_size, "entry point %zu (%.40s) is not an IPv4 address and port "
                    "(a.b.c.d:port)", n, s.c_str());
    unsigned port = 0;
    std::string port_text = s.substr(colon + 1);
    if (!parse_decimal(port_text, 5, 65535, &port) || port == 0)
        return fail_why(why, why_size, "entry point %zu (%.40s): the port is not a whole number "
                    "from 1 to 65535", n, s.c_str());
    if (ip == 0)
        return fail_why(why, why_size, "entry point %zu (%.40s): 0.0.0.0 is no address to reach", n,
                    s.c_str());
    memset(a, 0, sizeof *a);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(ip);
    a->sin_port = htons(static_cast<uint16_t>(port));
    return 0;
}

static int parse_entries(const std::string &value, link_t *out, char *why, size_t why_size) {
    out->entries.clear();
    size_t from = 0;
    for (size_t n = 1;; n++) {
        size_t sep = value.find(ENTRY_SEP, from);
        size_t end = sep == std::string::npos ? value.size() : sep;
        if (n > LINK_MAX_ENTRIES)
            return fail_why(why, why_size, "more than %zu entry points", LINK_MAX_ENTRIES);
        struct sockaddr_in a;
        if (parse_entry(value.substr(from, end - from), n, &a, why, why_size) != 0) return -1;
        for (const struct sockaddr_in &b : out->entries) {
            if (b.sin_addr.s_addr == a.sin_addr.s_addr && b.sin_port == a.sin_port)
                return fail_why(why, why_size, "entry point %zu (%s) is listed twice", n,
                            entry_text(a).c_str());
        }
        out->entries.push_back(a);
        if (sep == std::string::npos) return 0;
        from = sep + 1;
    }
}

// A 32-byte value of field tag; what names it in a message.
static int parse_bytes32(const std::string &value, const char *what, uint8_t *out, char *why,
                         size_t why_size) {
    if (value.size() != b32_len(32))
        return fail_why(why, why_size, "%s is %zu characters long, not %zu", what, value.size(),
                    b32_len(32));
    if (!b32_decode(value, out, 32))
        return fail_why(why, why_size, "%s is not base32 (a-z, 2-7)", what);
    return 0;
}

// The version after "tlv": the digits up to the first '/'. -1 when there are none.
static long version_of(const std::string &text) {
    size_t at = strlen(LINK_PREFIX);
    size_t end = text.find(FIELD_SEP, at);
    if (end == std::string::npos) end = text.size();
    if (end == at || end - at > 6 || (text[at] == '0' && end - at > 1)) return -1;
    long v = 0;
    for (size_t i = at; i < end; i++) {
        if (text[i] < '0' || text[i] > '9') return -1;
        v = v * 10 + (text[i] - '0');
    }
    return v;
}

// The text before the checksum, once the checksum is found and matches it.
static int check_sum(const std::string &text, std::string *body, char *why, size_t why_size) {
    size_t at = text.rfind(CHECK_TAG);
    if (at == std::string::npos)
        return fail_why(why, why_size, "no checksum at its end: the link was mistyped or cut short");
    *body = text.substr(0, at);
    if (text.substr(at + strlen(CHECK_TAG)) != check_text(*body))
        return fail_why(why, why_size, "its checksum does not match: the link was mistyped or cut "
                    "short");
    return 0;
}

// The fields between the version and the checksum, in their order: d, p, then k if present.
static int parse_fields(const std::string &body, link_t *out, char *why, size_t why_size) {
    static const char order[] = "dpk";
    size_t next = 0;  // index in order of the first tag still allowed
    unsigned seen = 0;  // bit i: the field order[i] was read
    size_t from = body.find(FIELD_SEP);
    out->has_key = false;
    while (from != std::string::npos) {
        size_t end = body.find(FIELD_SEP, from + 1);
        std::string field = body.substr(from + 1, end == std::string::npos ? std::string::npos
                                                                           : end - from - 1);
        from = end;
        const char *known = field.size() >= 2 && field[1] == '=' && field[0] != '\0'
                                ? strchr(order, field[0])
                                : nullptr;
        if (!known)
            return fail_why(why, why_size, "a field this tolvane does not know (%.20s): the link "
                        "was made by a newer tolvane", field.c_str());
        size_t index = static_cast<size_t>(known - order);
        if (index < next)
            return fail_why(why, why_size, "field %c is out of place or given twice", field[0]);
        next = index + 1;
        seen |= 1u << index;
        std::string value = field.substr(2);
        int ok = field[0] == 'd'   ? parse_bytes32(value, "the swarm's digest", out->digest, why, why_size)
                 : field[0] == 'p' ? parse_entries(value, out, why, why_size)
                                   : parse_bytes32(value, "the swarm key", out->key, why, why_size);
        if (ok != 0) return -1;
        if (field[0] == 'k') out->has_key = true;
    }
    if ((seen & 3) != 3)
        return fail_why(why, why_size, "no %s field", seen & 1 ? "entry point (p=)" : "digest (d=)");
    return 0;
}

// The text without surrounding whitespace, made lower case; -1 when it cannot be a link.
static int normalise(const char *text, std::string *out, char *why, size_t why_size) {
    const char *start = text;
    while (is_space(*start)) start++;
    size_t len = strlen(start);
    while (len > 0 && is_space(start[len - 1])) len--;
    if (len > LINK_MAX_LEN)
        return fail_why(why, why_size, "too long for a tolvane link: %zu characters, at most %zu", len,
                    LINK_MAX_LEN);
    if (!link_looks_like(start)) return fail_why(why, why_size, "not a tolvane link (tlv1/...)");
    out->assign(start, len);
    for (size_t i = 0; i < len; i++) {
        char c = (*out)[i];
        if (!is_link_char(c))
            return fail_why(why, why_size, "not a tolvane link: character %zu (0x%02x) is none a "
                        "link holds", i + 1, static_cast<unsigned char>(c));
        (*out)[i] = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return 0;
}

int link_parse(const char *text, link_t *out, char *why, size_t why_size) {
    std::string link;
    if (normalise(text, &link, why, why_size) != 0) return -1;
    long version = version_of(link);
    if (version > LINK_VERSION)
        return fail_why(why, why_size, "a link of version %ld, made by a newer tolvane", version);
    if (version != LINK_VERSION) return fail_why(why, why_size, "not a tolvane link (tlv1/...)");
    std::string body;
    if (check_sum(link, &body, why, why_size) != 0) return -1;
    return parse_fields(body, out, why, why_size);
}

bool link_looks_like(const char *text) {
    while (is_space(*text)) text++;
    return strncasecmp(text, LINK_PREFIX, strlen(LINK_PREFIX)) == 0 &&
           isdigit(static_cast<unsigned char>(text[strlen(LINK_PREFIX)]));
}
