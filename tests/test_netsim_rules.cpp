// netsim's rules unit, without sockets: rule text parsed from memory, errors returned as
// messages, resolution per link and type, and classification of raw (also truncated) datagrams.

#include "netsim/rules.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "shim/vexlo.h"

namespace {

link_key_s link_of(uint16_t src_port, uint16_t dst_port) {
    return link_key_s{htonl(INADDR_LOOPBACK), htonl(INADDR_LOOPBACK), htons(src_port),
                      htons(dst_port)};
}

bool parse(const std::string &text, std::vector<rule_s> *rules, std::string *why) {
    return parse_rules(text.data(), text.size(), "rules.txt", rules, why);
}

// An encapsulated peer packet 4001 -> 4002 of the given type, seq and ack, with payload bytes.
std::string datagram(uint8_t type, uint32_t seq, uint32_t ack, size_t payload) {
    vexlo_header vh{static_cast<int32_t>(htonl(7)), static_cast<int32_t>(htonl(INADDR_LOOPBACK)),
                    static_cast<int32_t>(htonl(INADDR_LOOPBACK)), static_cast<int16_t>(htons(4001)),
                    static_cast<int16_t>(htons(4002))};
    header h{htons(PACKET_MAGIC),
             PACKET_VERSION,
             type,
             htons(16),
             htons(static_cast<uint16_t>(16 + payload)),
             htonl(seq),
             htonl(ack)};
    std::string d(sizeof vh + sizeof h + payload, 'x');
    memcpy(&d[0], &vh, sizeof vh);
    memcpy(&d[sizeof vh], &h, sizeof h);
    return d;
}

// Classifies the first len bytes from a heap block of exactly len bytes, so that the sanitizer
// build catches any read past them.
packet_info_s classify_prefix(const std::string &d, size_t len, bool *has_link) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[len]);
    memcpy(exact.get(), d.data(), len);
    link_key_s key{};
    *has_link = datagram_link(exact.get(), len, &key);
    if (*has_link) {
        EXPECT_EQ(key, link_of(4001, 4002));
    }
    return classify_datagram(exact.get(), len);
}

}  // namespace

TEST(NetsimRules, ParsesAFileAndResolvesSettingBySetting) {
    std::vector<rule_s> rules;
    std::string why;
    ASSERT_TRUE(
        parse("# comment\n\nall loss=0.02 delay=5   # trailing comment\r\n"
              "link 127.0.0.1:4001 127.0.0.1:4002 loss=0.3 types=data\n"
              "link * 127.0.0.1:4002 bandwidth=500 queue=30000 jitter=0.5\n"
              "\tblackout=10:2.5 corrupt=0.01 corrupt-data-only types=data,ack",
              &rules, &why))
        << why;
    ASSERT_EQ(rules.size(), 4u);
    EXPECT_EQ(rules[1].types, 1u << TYPE_DATA);
    EXPECT_TRUE(rules[2].src.any);
    EXPECT_FALSE(rules[2].dst.any);

    /* the link rule wins loss for DATA only; delay still comes from 'all' */
    impair_s data = resolve_impairments(rules, link_of(4001, 4002), TYPE_DATA);
    EXPECT_EQ(data.loss, 0.3);
    EXPECT_EQ(data.delay_ns, 5 * NS_PER_MS);
    EXPECT_EQ(data.jitter_ns, NS_PER_MS / 2);
    EXPECT_EQ(data.bandwidth, 500 * BYTES_PER_KB);
    EXPECT_EQ(data.queue_bytes, 30000u);
    EXPECT_EQ(data.blackout_start_ns, 10 * NS_PER_S);
    EXPECT_EQ(data.blackout_len_ns, 5 * NS_PER_S / 2);
    EXPECT_TRUE(data.corrupt_data_only);
    impair_s ack = resolve_impairments(rules, link_of(4001, 4002), PKT_ACK);
    EXPECT_EQ(ack.loss, 0.02);
    EXPECT_TRUE(ack.corrupt_data_only);

    /* other links and types keep the defaults of what no matching rule names */
    impair_s other = resolve_impairments(rules, link_of(4002, 4001), TYPE_OTHER);
    EXPECT_EQ(other.loss, 0.02);
    EXPECT_EQ(other.bandwidth, 0);
    EXPECT_EQ(other.queue_bytes, DEFAULT_QUEUE_BYTES);
    EXPECT_EQ(other.corrupt, 0);

    /* among equally specific rules the later wins, as the command line's rule does */
    rule_s cli;
    ASSERT_TRUE(apply_setting(&cli, "loss", "0.5", &why));
    ASSERT_TRUE(apply_setting(&cli, "corrupt-data-only", nullptr, &why));
    rules.push_back(cli);
    EXPECT_EQ(resolve_impairments(rules, link_of(4002, 4001), PKT_GET).loss, 0.5);
    EXPECT_EQ(resolve_impairments(rules, link_of(4001, 4002), TYPE_DATA).loss, 0.3);
}

TEST(NetsimRules, RejectsMalformedLinesWithAMessageAndKeepsTheRules) {
    // Each message follows "rules.txt:LINE: ", naming the last line of the text.
    const std::pair<const char *, const char *> cases[] = {
        {"all loss=0.1\ndelay=soon",
         "delay: 'soon' is not a time in milliseconds from 0 to 3600000"},
        {"loss=nan", "loss: 'nan' is not a probability from 0 to 1"},
        {"loss", "'loss' is not key=value"},
        {"speed=3", "speed: unknown setting"},
        {"link * * types=data", "the rule sets no impairment"},
        {"link 127.0.0.1:4001 loss=0.1", "'loss=0.1' is not IP:PORT (a numeric IPv4 address) or *"},
        {"link * 127.0.0.1:65536 loss=0.1",
         "'127.0.0.1:65536' is not IP:PORT (a numeric IPv4 address) or *"},
        {"link", "'link' needs a source and a destination (IP:PORT or *)"},
        {"types=data,voice loss=1",
         "types: 'voice' in 'data,voice' is not one of whohas, ihave, get, data, ack, other, all"},
        {"blackout=5:0", "blackout: '5:0' is not START:DURATION in seconds (duration above 0)"},
        {"queue=-1", "queue: '-1' is not a byte count from 0 to 1073741824"},
        {"bandwidth=0.05", "bandwidth: '0.05' is not a bandwidth in KB/s from 0.1 to 10000000"},
        {"corrupt-data-only=maybe",
         "corrupt-data-only: 'maybe' is not one of 1, 0, yes, no, true, false, on, off"},
        /* node rules */
        {"node 127.0.0.1 up=5", "'127.0.0.1' is not IP:PORT (a numeric IPv4 address) or *"},
        {"node up=5", "'up=5' is not IP:PORT (a numeric IPv4 address) or *"},
        {"node", "'node' needs an address (IP:PORT or *)"},
        {"node *", "the node rule sets none of up, down, queue"},
        {"node * up=0", "up: '0' is not a bandwidth in KB/s from 0.1 to 10000000"},
        {"node * up=10 down=-5", "down: '-5' is not a bandwidth in KB/s from 0.1 to 10000000"},
        {"node * bandwidth=500", "'bandwidth=500': a node rule takes up, down and queue only"},
        {"node * down=5 types=data", "'types=data': a node rule takes up, down and queue only"},
        {"link * 127.0.0.1:1 up=500",
         "'up=500': up and down belong to a node rule ('node IP:PORT up=KB/s')"},
        {"loss=0.1 down=500",
         "'down=500': up and down belong to a node rule ('node IP:PORT up=KB/s')"},
    };
    for (const auto &[text, message] : cases) {
        std::vector<rule_s> rules(1);
        std::string why;
        EXPECT_FALSE(parse(text, &rules, &why)) << text;
        const char *line = strchr(text, '\n') ? "rules.txt:2: " : "rules.txt:1: ";
        EXPECT_EQ(why, line + std::string(message)) << text;
        EXPECT_EQ(rules.size(), 1u) << text;
    }

    /* the command line's --link takes exactly one dash */
    rule_s r;
    std::string why;
    EXPECT_FALSE(parse_link("127.0.0.1:1-127.0.0.1:2-x", &r, &why));
    EXPECT_EQ(why, "'127.0.0.1:1-127.0.0.1:2-x' is not SRC_IP:PORT-DST_IP:PORT");
    EXPECT_TRUE(parse_link("*-127.0.0.1:2", &r, &why));
    EXPECT_TRUE(r.src.any);
    EXPECT_EQ(r.dst.port, htons(2));
}

TEST(NetsimRules, NodeRulesResolvePerNodeAndDirection) {
    std::vector<rule_s> rules;
    std::string why;
    ASSERT_TRUE(
        parse("node * up=2000 down=1000\n"
              "node 127.0.0.1:4001 down=500 queue=20000\n"
              "link * 127.0.0.1:4001 bandwidth=300 queue=9000\n"
              "node 127.0.0.1:4003 up=10\n",
              &rules, &why))
        << why;
    rule_s cli;
    ASSERT_TRUE(parse_node_option("* down=800", &cli, &why)) << why;
    rules.push_back(cli);
    auto access = [&](uint16_t port) {
        return resolve_access(rules, htonl(INADDR_LOOPBACK), htons(port));
    };

    /* the node's own rule beats '*' setting by setting; its queue holds each direction */
    access_s a = access(4001);
    EXPECT_EQ(a.up.rate, 2000 * BYTES_PER_KB);
    EXPECT_EQ(a.down.rate, 500 * BYTES_PER_KB);
    EXPECT_EQ(a.up.queue_bytes, 20000u);
    EXPECT_EQ(a.down.queue_bytes, 20000u);
    /* '*' covers every other node, the later '*' winning; queues default to 100 ms */
    access_s b = access(4002);
    EXPECT_EQ(b.up.rate, 2000 * BYTES_PER_KB);
    EXPECT_EQ(b.down.rate, 800 * BYTES_PER_KB);
    EXPECT_EQ(b.up.queue_bytes, 200000u);
    EXPECT_EQ(b.down.queue_bytes, 80000u);
    /* a slow link still queues three of the largest datagrams */
    EXPECT_EQ(access(4003).up.queue_bytes, NODE_QUEUE_MIN_BYTES);

    /* link and node rules do not mix: the link keeps its own queue, and no node rule limits it */
    impair_s link = resolve_impairments(rules, link_of(4002, 4001), TYPE_DATA);
    EXPECT_EQ(link.bandwidth, 300 * BYTES_PER_KB);
    EXPECT_EQ(link.queue_bytes, 9000u);
    EXPECT_EQ(resolve_impairments(rules, link_of(4001, 4002), TYPE_DATA).bandwidth, 0);
    std::vector<rule_s> links_only(rules.begin() + 2, rules.begin() + 3);
    EXPECT_EQ(resolve_access(links_only, htonl(INADDR_LOOPBACK), htons(4001)).down.rate, 0);

    /* --node takes what a rule line takes after 'node' */
    EXPECT_FALSE(parse_node_option("127.0.0.1:4001 loss=0.5", &cli, &why));
    EXPECT_EQ(why, "'loss=0.5': a node rule takes up, down and queue only");
    EXPECT_FALSE(parse_node_option(nullptr, &cli, &why));
}

TEST(NetsimRules, ClassifiesDatagramsAndTruncatedOnesAsOther) {
    bool has_link = false;
    const std::string data = datagram(PKT_DATA, 17, 0, 100);

    /* whole packets of every peer type carry their type, seq and ack */
    for (uint8_t type = PKT_WHOHAS; type <= PKT_ACK; type++) {
        packet_info_s p = classify_prefix(datagram(type, 17, 9, 0), 32, &has_link);
        EXPECT_TRUE(has_link);
        EXPECT_EQ(p.type, type);
        EXPECT_EQ(p.seq, 17u);
        EXPECT_EQ(p.ack, 9u);
    }
    EXPECT_EQ(classify_prefix(data, data.size(), &has_link).type, TYPE_DATA);

    /* every cut short of a whole peer header is "other"; below 16 bytes there is no link */
    for (size_t len = 0; len < 32; len++) {
        packet_info_s p = classify_prefix(data, len, &has_link);
        EXPECT_EQ(has_link, len >= VEXLO_HEADER_SIZE) << len;
        EXPECT_EQ(p.type, TYPE_OTHER) << len;
        EXPECT_EQ(p.seq, 0u) << len;
    }

    /* a wrong magic or version, or the unhandled type 5, is "other" */
    std::string bad_magic = data, bad_version = data;
    bad_magic[VEXLO_HEADER_SIZE] ^= 1;
    bad_version[VEXLO_HEADER_SIZE + 2] = 2;
    EXPECT_EQ(classify_prefix(bad_magic, bad_magic.size(), &has_link).type, TYPE_OTHER);
    EXPECT_EQ(classify_prefix(bad_version, bad_version.size(), &has_link).type, TYPE_OTHER);
    EXPECT_EQ(classify_prefix(datagram(5, 1, 1, 0), 32, &has_link).type, TYPE_OTHER);
}
