// netsim's queues without sockets and with time pinned: the FIFO arithmetic alone, then the router
// taking datagrams through a sender's uplink, its link and a receiver's downlink. Copies that come
// due are read from the send batch; flushing it on a router with no socket only counts them.

#include "netsim/queue.h"
#include "netsim/router.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int64_t T0 = 10 * NS_PER_S;
constexpr uint16_t RECEIVER = 5000;

struct Router {
    std::unique_ptr<router_s> r = std::make_unique<router_s>();
    std::deque<std::string> buffers;  // receive buffers stay until their copies are flushed
};

Router make_router(const std::string &rules) {
    Router t;
    std::string why;
    EXPECT_TRUE(parse_rules(rules.data(), rules.size(), "rules", &t.r->rules, &why)) << why;
    return t;
}

// A DATA datagram of 1000 bytes in all from 127.0.0.1:src to 127.0.0.1:dst, read at `at`.
void send(Router &t, uint16_t src, uint16_t dst, uint32_t seq, int64_t at) {
    std::string d(1000, 'x');
    uint32_t words[3] = {htonl(1), htonl(INADDR_LOOPBACK), htonl(INADDR_LOOPBACK)};
    uint16_t ports[2] = {htons(src), htons(dst)};
    memcpy(&d[0], words, sizeof words);
    memcpy(&d[12], ports, sizeof ports);
    header h{htons(PACKET_MAGIC), PACKET_VERSION, PKT_DATA, htons(16), htons(984), htonl(seq), 0};
    memcpy(&d[16], &h, sizeof h);
    t.buffers.push_back(d);
    sockaddr_in from{};
    route_datagram(t.r.get(), reinterpret_cast<uint8_t *>(&t.buffers.back()[0]), d.size(), from,
                   at);
}

// The sequence numbers of the copies that leave at `now`, in order.
std::vector<uint32_t> leaving(Router &t, int64_t now) {
    release_due(t.r.get(), now);
    std::vector<uint32_t> seqs;
    for (unsigned i = 0; i < t.r->tx_count; i++) seqs.push_back(t.r->tx[i].info.seq);
    flush_sends(t.r.get(), now);
    return seqs;
}

const node_s &node(const Router &t, uint16_t port) {
    std::string name = "127.0.0.1:" + std::to_string(port);
    for (const node_s &n : t.r->nodes)
        if (name == n.text) return n;
    ADD_FAILURE() << "no node " << name;
    return t.r->nodes.front();
}

}  // namespace

TEST(NetsimQueue, TailDropsAtTheLimitAndAveragesItsDelayOverTime) {
    fifo_s q;
    int64_t depart = 0;
    const double rate = 10000;  // 1000 bytes take 0.1 s
    /* an idle queue takes a datagram larger than its limit */
    ASSERT_TRUE(fifo_admit(&q, rate, 3000, 5000, 0, &depart));
    EXPECT_EQ(depart, NS_PER_S / 2);
    EXPECT_EQ(q.peak_bytes, 5000u);
    /* behind a backlog, exactly the limit fits and one byte more does not */
    int64_t t = NS_PER_S;
    ASSERT_TRUE(fifo_admit(&q, rate, 3000, 1000, t, &depart));
    ASSERT_TRUE(fifo_admit(&q, rate, 3000, 1000, t, &depart));
    ASSERT_TRUE(fifo_admit(&q, rate, 3000, 1000, t, &depart));
    EXPECT_EQ(depart, t + 3 * NS_PER_S / 10);
    EXPECT_FALSE(fifo_admit(&q, rate, 3000, 1, t, &depart));
    EXPECT_EQ(q.busy_until_ns, t + 3 * NS_PER_S / 10);
    /* what has left makes room again */
    EXPECT_EQ(fifo_backlog(q, t + NS_PER_S / 20), 2500u);
    EXPECT_TRUE(fifo_admit(&q, rate, 3000, 500, t + NS_PER_S / 20, &depart));
    EXPECT_FALSE(fifo_admit(&q, rate, 3000, 1, t + NS_PER_S / 20, &depart));

    /* one datagram waits 0.1 s down to 0: 5 ms on average over a second, 75 ms over its first
       half (the part still queued at the end counts too) */
    fifo_s one;
    ASSERT_TRUE(fifo_admit(&one, rate, 3000, 1000, 0, &depart));
    EXPECT_NEAR(fifo_mean_delay_ms(one, 0, NS_PER_S / 20), 75.0, 1e-9);
    EXPECT_NEAR(fifo_mean_delay_ms(one, 0, NS_PER_S), 5.0, 1e-9);
    ASSERT_TRUE(fifo_admit(&one, rate, 3000, 1000, NS_PER_S, &depart));
    EXPECT_NEAR(fifo_mean_delay_ms(one, 0, 2 * NS_PER_S), 5.0, 1e-9);
}

TEST(NetsimQueue, BacklogCountsEachDatagramAtTheRateItWasAdmittedAt) {
    // One link queue, two packet types: DATA at 100 KB/s, ACK at 10 MB/s.
    const double data_rate = 100 * BYTES_PER_KB, ack_rate = 10000 * BYTES_PER_KB;
    const int64_t data_ns = 14160000;  // 1416 bytes at 100 KB/s
    fifo_s q;
    int64_t depart = 0;
    /* two DATA, then an ACK 1 us later sees 2832 bytes less the 0.1 sent since, and fits */
    ASSERT_TRUE(fifo_admit(&q, data_rate, DEFAULT_QUEUE_BYTES, 1416, T0, &depart));
    ASSERT_TRUE(fifo_admit(&q, data_rate, DEFAULT_QUEUE_BYTES, 1416, T0, &depart));
    EXPECT_EQ(q.runs.size(), 1u);  // one rate, one run
    EXPECT_EQ(fifo_backlog(q, T0 + 1000), 2831u);
    ASSERT_TRUE(fifo_admit(&q, ack_rate, DEFAULT_QUEUE_BYTES, 32, T0 + 1000, &depart));
    EXPECT_EQ(depart, T0 + 2 * data_ns + 3200);
    EXPECT_EQ(q.peak_bytes, 2831u + 32);
    /* each run drains at its own rate: the DATA half sent, then the ACK alone, half sent */
    EXPECT_EQ(fifo_backlog(q, T0 + data_ns / 2), 708u + 1416 + 32);
    EXPECT_EQ(fifo_backlog(q, T0 + data_ns), 1416u + 32);
    EXPECT_EQ(fifo_backlog(q, T0 + 2 * data_ns + 1600), 16u);
    EXPECT_EQ(fifo_backlog(q, depart), 0u);
    /* what has left is forgotten at the next admission: the DATA behind the half-sent ACK */
    ASSERT_TRUE(
        fifo_admit(&q, data_rate, DEFAULT_QUEUE_BYTES, 1416, T0 + 2 * data_ns + 1600, &depart));
    EXPECT_EQ(q.runs.size(), 2u);
    ASSERT_TRUE(fifo_admit(&q, ack_rate, DEFAULT_QUEUE_BYTES, 32, T0 + NS_PER_S, &depart));
    EXPECT_EQ(q.runs.size(), 1u);
}

TEST(NetsimQueue, LinksIntoOneNodeShareItsDownlinkRate) {
    // Two senders put five 1000-byte datagrams each at once towards one receiver at 10 KB/s.
    auto left_by = [](const std::string &rules, int64_t at) {
        Router t = make_router(rules);
        for (uint32_t i = 0; i < 5; i++) {
            send(t, 4001, RECEIVER, i, T0);
            send(t, 4002, RECEIVER, 10 + i, T0);
        }
        return leaving(t, at).size();
    };
    const std::string node = "node 127.0.0.1:5000 down=10 queue=100000\n";
    const std::string link = "link * 127.0.0.1:5000 bandwidth=10 queue=100000\n";
    /* the node's downlink serves both links together: one datagram per 0.1 s */
    EXPECT_EQ(left_by(node, T0 + NS_PER_S / 2 - 1), 4u);
    EXPECT_EQ(left_by(node, T0 + NS_PER_S / 2), 5u);
    EXPECT_EQ(left_by(node, T0 + NS_PER_S), 10u);
    /* a link's bandwidth serves each link on its own */
    EXPECT_EQ(left_by(link, T0 + NS_PER_S / 2), 10u);
}

TEST(NetsimQueue, UplinkThenLinkThenDownlink) {
    /* the link's loss meets only what the uplink took, the downlink only what the link passed */
    {
        Router t = make_router(
            "node 127.0.0.1:4001 up=10 queue=3000\nnode 127.0.0.1:5000 down=10\n"
            "link 127.0.0.1:4001 127.0.0.1:5000 loss=1\n");
        for (uint32_t i = 0; i < 5; i++) send(t, 4001, RECEIVER, i, T0);
        EXPECT_EQ(node(t, 4001).up.passed, 3u);
        EXPECT_EQ(node(t, 4001).up.taildrop, 2u);
        const counters_s &c = t.r->links.at(0).c;
        EXPECT_EQ(c.loss, 3u);
        EXPECT_EQ(c.taildrop, 2u);
        EXPECT_EQ(c.dropped, 5u);
        EXPECT_EQ(node(t, RECEIVER).down.passed, 0u);
    }
    /* a copy enters the downlink when it arrives there, after the uplink and the link's delay:
       a later datagram on a link without delay goes first */
    {
        Router t = make_router(
            "node 127.0.0.1:4001 up=10\nnode 127.0.0.1:5000 down=10\n"
            "link 127.0.0.1:4001 127.0.0.1:5000 delay=200\n");
        send(t, 4001, RECEIVER, 1, T0);
        send(t, 4002, RECEIVER, 2, T0 + NS_PER_S / 100);
        EXPECT_TRUE(leaving(t, T0 + NS_PER_S * 11 / 100 - 1).empty());
        EXPECT_EQ(leaving(t, T0 + NS_PER_S * 11 / 100), std::vector<uint32_t>{2});
        EXPECT_TRUE(leaving(t, T0 + NS_PER_S * 4 / 10 - 1).empty());
        EXPECT_EQ(leaving(t, T0 + NS_PER_S * 4 / 10), std::vector<uint32_t>{1});
        EXPECT_EQ(node(t, RECEIVER).down.passed, 2u);
    }
}
