// The link's text form: round trips, the RFC 4648 alphabet, and every kind of refused text.
#include "frontend/link.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sodium.h>

#include <cstring>
#include <string>

namespace {

struct sockaddr_in entry(const char *ip, uint16_t port) {
    struct sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, ip, &a.sin_addr);
    a.sin_port = htons(port);
    return a;
}

link_t sample(size_t entries, bool with_key) {
    link_t l{};
    for (size_t i = 0; i < sizeof l.digest; i++) l.digest[i] = static_cast<uint8_t>(i * 37 + 1);
    for (size_t i = 0; i < entries; i++)
        l.entries.push_back(entry("192.0.2.1", static_cast<uint16_t>(41001 + i)));
    l.has_key = with_key;
    for (size_t i = 0; i < sizeof l.key; i++) l.key[i] = static_cast<uint8_t>(255 - i);
    return l;
}

// body followed by its checksum field, computed here independently of the parser.
std::string with_check(const std::string &body) {
    uint8_t sum[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(sum, reinterpret_cast<const uint8_t *>(body.data()), body.size());
    uint64_t v = 0;
    for (int i = 0; i < 5; i++) v = v << 8 | sum[i];
    std::string check;
    for (int i = 7; i >= 0; i--) check += "abcdefghijklmnopqrstuvwxyz234567"[(v >> (5 * i)) & 31];
    return body + "/c=" + check;
}

// The reason link_parse gives for text; "" when it parses.
std::string refusal(const std::string &text) {
    link_t l;
    char why[256] = "";
    return link_parse(text.c_str(), &l, why, sizeof why) == 0 ? "" : why;
}

std::string body_of(const link_t &l) {
    std::string text = link_format(l);
    return text.substr(0, text.rfind("/c="));
}

}  // namespace

TEST(Link, RoundTripsInShellSafeText) {
    for (size_t entries : {size_t{1}, size_t{3}, size_t{16}}) {
        for (bool with_key : {false, true}) {
            link_t l = sample(entries, with_key);
            std::string text = link_format(l);
            EXPECT_EQ(text.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789/=.:,"),
                      std::string::npos) << text;
            EXPECT_EQ(text.rfind("tlv1/d=", 0), 0u) << text;
            EXPECT_EQ(text.find("/k=") != std::string::npos, with_key) << text;
            link_t back;
            char why[256] = "";
            /* pasted with a line end and in upper case */
            std::string pasted = "  " + text + "\r\n";
            for (char &c : pasted) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
            ASSERT_EQ(link_parse(pasted.c_str(), &back, why, sizeof why), 0) << why;
            EXPECT_EQ(memcmp(back.digest, l.digest, sizeof l.digest), 0);
            ASSERT_EQ(back.entries.size(), entries);
            for (size_t i = 0; i < entries; i++) {
                EXPECT_EQ(back.entries[i].sin_addr.s_addr, l.entries[i].sin_addr.s_addr);
                EXPECT_EQ(back.entries[i].sin_port, l.entries[i].sin_port);
            }
            EXPECT_EQ(back.has_key, with_key);
            if (with_key) {
                EXPECT_EQ(memcmp(back.key, l.key, sizeof l.key), 0);
            }
        }
    }
    /* RFC 4648 section 10: BASE32("foobar") = "MZXW6YTBOI" (the zero bytes after it add no bit) */
    link_t l = sample(1, false);
    memset(l.digest, 0, sizeof l.digest);
    memcpy(l.digest, "foobar", 6);
    EXPECT_EQ(link_format(l).substr(0, 7 + 52),
              "tlv1/d=mzxw6ytboi" + std::string(42, 'a'));
    EXPECT_EQ(link_format(l), with_check(body_of(l)));
}

TEST(Link, EveryChangedCharacterAndEveryCutIsCaught) {
    const std::string text = link_format(sample(2, true));
    for (size_t i = 0; i < text.size(); i++) {
        for (char c : {'a', 'q', '7', '0', '9', '.', ':', '/'}) {
            if (tolower(text[i]) == c) continue;
            std::string changed = text;
            changed[i] = c;
            EXPECT_NE(refusal(changed), "") << "position " << i << ": " << changed;
        }
    }
    for (size_t n = 0; n < text.size(); n++)
        EXPECT_NE(refusal(text.substr(0, n)), "") << "cut to " << n;
    EXPECT_NE(refusal(text.substr(0, text.size() - 1)).find("mistyped or cut short"),
              std::string::npos);
    EXPECT_NE(refusal(text.substr(0, text.rfind("/c="))).find("mistyped or cut short"),
              std::string::npos);
}

TEST(Link, RefusesWithTheReason) {
    const std::string body = body_of(sample(1, false));
    const std::string digest = body.substr(7, 52);
    struct {
        std::string text;
        const char *reason;
    } cases[] = {
        {"", "not a tolvane link"},
        {"big.iso.chunks", "not a tolvane link"},
        {"'" + with_check(body) + "'", "not a tolvane link"},
        {with_check(body) + "?x=1", "none a link holds"},
        {with_check("tlv2/d=" + digest + "/p=1.2.3.4:5"), "made by a newer tolvane"},
        {with_check(body + "/x=abc"), "made by a newer tolvane"},
        {with_check(body + "/k=" + digest + "/k=" + digest), "out of place or given twice"},
        {with_check("tlv1/p=1.2.3.4:5"), "no digest"},
        {with_check("tlv1/d=" + digest), "no entry point"},
        {with_check("tlv1/d=" + digest.substr(1) + "/p=1.2.3.4:5"), "52"},
        {with_check("tlv1/d=" + digest.substr(0, 51) + "1/p=1.2.3.4:5"), "not base32"},
        {with_check("tlv1/d=" + digest + "/p=1.2.3:5"), "not an IPv4 address and port"},
        {with_check("tlv1/d=" + digest + "/p=256.2.3.4:5"), "not an IPv4 address and port"},
        {with_check("tlv1/d=" + digest + "/p=01.2.3.4:5"), "not an IPv4 address and port"},
        {with_check("tlv1/d=" + digest + "/p=1.2.3.4"), "not an IPv4 address and port"},
        {with_check("tlv1/d=" + digest + "/p=1.2.3.4:0"), "from 1 to 65535"},
        {with_check("tlv1/d=" + digest + "/p=1.2.3.4:65536"), "from 1 to 65535"},
        {with_check("tlv1/d=" + digest + "/p=0.0.0.0:5"), "no address to reach"},
        {with_check("tlv1/d=" + digest + "/p=1.2.3.4:5,1.2.3.4:5"), "listed twice"},
        {with_check(body_of(sample(16, false)) + ",1.1.1.1:1"), "more than 16 entry points"},
        {"tlv1/" + std::string(LINK_MAX_LEN, 'a'), "too long"},
    };
    for (const auto &c : cases) {
        std::string why = refusal(c.text);
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.text << "\ngave: " << why;
        EXPECT_EQ(why.find('\n'), std::string::npos) << why;
    }
    EXPECT_EQ(refusal(with_check(body)), "");
    EXPECT_TRUE(link_looks_like(" TLV7/anything"));
    EXPECT_FALSE(link_looks_like("tlvx"));
}
