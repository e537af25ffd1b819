// The netsim router, run as a process: loopback sockets play the peers and build the
// encapsulated datagrams themselves, so every check looks at exactly what crossed the wire.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr uint8_t WHOHAS = 0;
constexpr uint8_t GET = 2;
constexpr uint8_t DATA = 3;
constexpr uint8_t ACK = 4;
constexpr size_t ENCAP = 16;  // encapsulation header
constexpr size_t PEER = 16;   // peer packet header

template <typename T>
void put(std::string &s, size_t at, T v) {
    memcpy(&s[at], &v, sizeof v);
}

// The 16-byte encapsulation header for addr:src -> addr:dst (ports in host order), then inner.
std::string encap(uint16_t src, uint16_t dst, const std::string &inner,
                  uint32_t dst_addr = INADDR_LOOPBACK) {
    std::string d(ENCAP, '\0');
    put(d, 0, htonl(1));
    put(d, 4, htonl(INADDR_LOOPBACK));
    put(d, 8, htonl(dst_addr));
    put(d, 12, htons(src));
    put(d, 14, htons(dst));
    return d + inner;
}

std::string peer_packet(uint8_t type, uint32_t seq, uint32_t ack, const std::string &payload) {
    std::string p(PEER, '\0');
    put(p, 0, htons(23517));
    p[2] = 1;
    p[3] = static_cast<char>(type);
    put(p, 4, htons(16));
    put(p, 6, htons(static_cast<uint16_t>(PEER + payload.size())));
    put(p, 8, htonl(seq));
    put(p, 12, htonl(ack));
    return p + payload;
}

uint32_t seq_of(const std::string &d) {
    uint32_t v = 0;
    if (d.size() >= ENCAP + PEER) memcpy(&v, d.data() + ENCAP + 8, 4);
    return ntohl(v);
}

double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Netsim {
    ts::Process proc;
    uint16_t port = 0;
};

// Starts netsim on a free port and waits for its ready line.
Netsim start_netsim(const std::vector<std::string> &extra) {
    std::vector<std::string> argv = {ts::bin("netsim"), "--port", "0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    Netsim n{ts::spawn(argv)};
    const std::string ready = "netsim listening on 127.0.0.1:";
    n.proc.wait_until(
        [&] {
            size_t at = n.proc.out.find(ready);
            return at != std::string::npos && n.proc.out.find('\n', at) != std::string::npos;
        },
        10);
    size_t at = n.proc.out.find(ready);
    EXPECT_NE(at, std::string::npos) << "stderr: " << n.proc.err;
    if (at != std::string::npos)
        n.port = static_cast<uint16_t>(atoi(n.proc.out.c_str() + at + ready.size()));
    return n;
}

// Sends each datagram, draining the receiver between sends so no socket buffer overflows.
std::vector<std::string> send_and_collect(const ts::UdpSocket &from, const ts::UdpSocket &to,
                                          uint16_t router, const std::vector<std::string> &dgs,
                                          double quiet_s = 0.3) {
    std::vector<std::string> got;
    for (const std::string &d : dgs) {
        EXPECT_TRUE(from.send_to(router, d));
        while (auto r = to.recv(0)) got.push_back(*r);
    }
    for (const std::string &r : to.recv_all(quiet_s)) got.push_back(r);
    return got;
}

// Waits until the process has closed its output, then collects its status. kill_now on a
// process that has ended only reaps it; one still running after closing its output is killed
// and its status shows it.
bool wait_ended(ts::Process &p, double timeout_s) {
    bool closed = p.wait_until([&] { return p.out_fd < 0 && p.err_fd < 0; }, timeout_s);
    p.kill_now();
    return closed;
}

// SIGTERM, then the final counter report; the process must exit 0.
std::string stop(Netsim &n, int sig = SIGTERM) {
    n.proc.send_signal(sig);
    EXPECT_TRUE(wait_ended(n.proc, 10));
    EXPECT_EQ(n.proc.status, 0) << n.proc.err;
    return n.proc.out;
}

struct Finished {
    int status;
    std::string out;
    std::string err;
};

Finished run_netsim(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {ts::bin("netsim")};
    argv.insert(argv.end(), args.begin(), args.end());
    ts::Process p = ts::spawn(argv);
    p.close_stdin();
    EXPECT_TRUE(wait_ended(p, 10));
    return {p.status, p.out, p.err};
}

// Value of key on the last counter line that starts with line_start.
long counter(const std::string &out, const std::string &line_start, const std::string &key) {
    size_t at = out.rfind("\n" + line_start);
    if (at == std::string::npos) return -1;
    size_t end = out.find('\n', at + 1);
    std::string line = out.substr(at + 1, end - at - 1);
    size_t k = line.find(" " + key + "=");
    return k == std::string::npos ? -1 : atol(line.c_str() + k + key.size() + 2);
}

std::string link_name(uint16_t a, uint16_t b) {
    return "link 127.0.0.1:" + std::to_string(a) + "->127.0.0.1:" + std::to_string(b) + " ";
}

std::vector<std::string> numbered(uint16_t src, uint16_t dst, uint8_t type, int n,
                                  size_t payload = 100) {
    std::vector<std::string> v;
    for (int i = 0; i < n; i++)
        v.push_back(encap(src, dst,
                          peer_packet(type, static_cast<uint32_t>(i), 0,
                                      ts::random_bytes(payload, static_cast<uint32_t>(i)))));
    return v;
}

std::vector<uint32_t> seqs(const std::vector<std::string> &got) {
    std::vector<uint32_t> v;
    for (const std::string &d : got) v.push_back(seq_of(d));
    return v;
}

}  // namespace

TEST(Netsim, ForwardsWholeDatagramToNamedDestination) {
    Netsim n = start_netsim({});
    ts::UdpSocket a, b;
    std::vector<std::string> to_b = {
        encap(a.port, b.port, peer_packet(DATA, 7, 0, "hello")),  // /* peer packet */
        encap(a.port, b.port, ""),                                // /* header only */
        encap(a.port, b.port, "not a peer packet"),               // /* other traffic */
        encap(4321, b.port, ts::random_bytes(9000, 1)),           // /* source from header */
    };
    for (const std::string &d : to_b) {
        ASSERT_TRUE(a.send_to(n.port, d));
        uint16_t from = 0;
        auto got = b.recv(5, &from);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(*got, d);
        EXPECT_EQ(from, n.port);
    }
    /* the reverse direction */
    std::string reply = encap(b.port, a.port, peer_packet(ACK, 0, 7, ""));
    ASSERT_TRUE(b.send_to(n.port, reply));
    EXPECT_EQ(a.recv(5).value_or(""), reply);
    std::string out = stop(n);
    EXPECT_EQ(counter(out, link_name(a.port, b.port), "forwarded"), 3);
    EXPECT_EQ(counter(out, link_name(4321, b.port), "forwarded"), 1);
}

TEST(Netsim, LossRateFollowsProbabilityAndRepeatsWithSeed) {
    auto run_once = [](const std::string &seed, long *reported_loss) {
        Netsim n = start_netsim({"--seed", seed, "--loss", "0.3"});
        ts::UdpSocket a, b;
        auto got = send_and_collect(a, b, n.port, numbered(a.port, b.port, ACK, 2000, 40));
        std::string out = stop(n);
        EXPECT_EQ(counter(out, link_name(a.port, b.port), "received"), 2000);
        EXPECT_EQ(counter(out, link_name(a.port, b.port), "forwarded"), long(got.size()));
        *reported_loss = counter(out, link_name(a.port, b.port), "loss");
        return seqs(got);
    };
    long loss1 = 0, loss2 = 0, loss3 = 0;
    std::vector<uint32_t> first = run_once("42", &loss1);
    std::vector<uint32_t> again = run_once("42", &loss2);
    std::vector<uint32_t> other = run_once("43", &loss3);
    double rate = 1.0 - static_cast<double>(first.size()) / 2000.0;
    EXPECT_GT(rate, 0.26);
    EXPECT_LT(rate, 0.34);
    EXPECT_EQ(loss1, 2000 - long(first.size()));
    EXPECT_EQ(first, again);
    EXPECT_NE(first, other);
}

TEST(Netsim, MaxConsecutiveDropsCapsLossRuns) {
    Netsim n = start_netsim({"--loss", "1", "--max-consecutive-drops", "3"});
    ts::UdpSocket a, b;
    auto got = seqs(send_and_collect(a, b, n.port, numbered(a.port, b.port, DATA, 40)));
    std::vector<uint32_t> want;
    for (uint32_t s = 3; s < 40; s += 4) want.push_back(s);
    EXPECT_EQ(got, want);
}

TEST(Netsim, TypeLimitedLossDropsOnlyData) {
    Netsim n = start_netsim({"--loss", "1", "--types", "data"});
    ts::UdpSocket a, b;
    std::vector<std::string> dgs;
    for (int i = 0; i < 20; i++) {
        dgs.push_back(encap(a.port, b.port, peer_packet(DATA, 100u + unsigned(i), 0, "x")));
        dgs.push_back(encap(a.port, b.port, peer_packet(ACK, 0, unsigned(i), "")));
        dgs.push_back(encap(a.port, b.port, peer_packet(i % 2 ? WHOHAS : GET, 0, 0, "y")));
    }
    dgs.push_back(encap(a.port, b.port, "plain bytes"));
    auto got = send_and_collect(a, b, n.port, dgs);
    ASSERT_EQ(got.size(), 41u);
    for (const std::string &d : got)
        EXPECT_NE(static_cast<uint8_t>(d.size() > 19 ? d[19] : 0), DATA);
    std::string out = stop(n);
    EXPECT_EQ(counter(out, link_name(a.port, b.port), "loss"), 20);
}

TEST(Netsim, LinkRulesOverrideGlobalRulesAndCommandLineComesLast) {
    ts::TempDir dir;
    ts::UdpSocket a, b, c, d;
    auto ep = [](const ts::UdpSocket &s) { return "127.0.0.1:" + std::to_string(s.port); };
    // The link rule comes first: it wins by rank, not by position.
    ts::write_file(dir.file("rules"), "link " + ep(a) + " " + ep(b) +
                                          " loss=0   # a->b is clean\n"
                                          "# drop everything else\n"
                                          "all loss=1\n\n"
                                          "link " +
                                          ep(c) + " " + ep(b) +
                                          " loss=1\n"
                                          "loss=0 types=ack   # ...except acknowledgements\n");
    Netsim n =
        start_netsim({"--config", dir.file("rules"), "--link", ep(c) + "-" + ep(b), "--loss", "0"});
    auto delivered = [&](const ts::UdpSocket &from, const ts::UdpSocket &to, uint8_t type) {
        return send_and_collect(from, to, n.port, numbered(from.port, to.port, type, 10), 0.2)
            .size();
    };
    EXPECT_EQ(delivered(a, b, DATA), 10u);
    /* the command line comes after the file */
    EXPECT_EQ(delivered(c, b, DATA), 10u);
    /* links are directed, and unnamed links keep the global rules */
    EXPECT_EQ(delivered(b, a, DATA), 0u);
    EXPECT_EQ(delivered(d, b, DATA), 0u);
    EXPECT_EQ(delivered(d, b, ACK), 10u);
}

TEST(Netsim, DelayHoldsEachDatagramAtLeastTheDelay) {
    Netsim n = start_netsim({"--delay", "300"});
    ts::UdpSocket a, b;
    for (uint32_t i = 0; i < 3; i++) {
        std::string d = encap(a.port, b.port, peer_packet(DATA, i, 0, "payload"));
        double sent = now_s();
        ASSERT_TRUE(a.send_to(n.port, d));
        auto got = b.recv(5);
        double elapsed = now_s() - sent;
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(*got, d);
        EXPECT_GE(elapsed, 0.3);
    }
}

TEST(Netsim, JitterReordersButLosesNothing) {
    Netsim n = start_netsim({"--seed", "5", "--jitter", "40"});
    ts::UdpSocket a, b;
    auto got = seqs(send_and_collect(a, b, n.port, numbered(a.port, b.port, DATA, 200)));
    ASSERT_EQ(got.size(), 200u);
    EXPECT_FALSE(std::is_sorted(got.begin(), got.end()));
    std::sort(got.begin(), got.end());
    for (uint32_t i = 0; i < 200; i++) EXPECT_EQ(got[i], i);
}

TEST(Netsim, DuplicationDeliversIdenticalSecondCopies) {
    Netsim n = start_netsim({"--dup", "1"});
    ts::UdpSocket a, b;
    auto sent = numbered(a.port, b.port, DATA, 20);
    auto got = send_and_collect(a, b, n.port, sent);
    std::map<std::string, int> copies;
    for (const std::string &d : got) copies[d]++;
    EXPECT_EQ(got.size(), 40u);
    for (const std::string &d : sent) EXPECT_EQ(copies[d], 2);
    std::string out = stop(n);
    EXPECT_EQ(counter(out, link_name(a.port, b.port), "duplicated"), 20);
    EXPECT_EQ(counter(out, link_name(a.port, b.port), "forwarded"), 40);
}

// Positions where got differs from sent; both must have the same length.
static std::vector<size_t> changed_bytes(const std::string &sent, const std::string &got) {
    std::vector<size_t> at;
    EXPECT_EQ(sent.size(), got.size());
    for (size_t i = 0; i < std::min(sent.size(), got.size()); i++)
        if (sent[i] != got[i]) at.push_back(i);
    return at;
}

TEST(Netsim, CorruptionChangesOneByteOutsideProtectedHeaders) {
    /* confined to DATA payload */
    {
        Netsim n = start_netsim({"--corrupt", "1", "--corrupt-data-only"});
        ts::UdpSocket a, b;
        std::vector<std::string> sent = numbered(a.port, b.port, DATA, 20);
        sent.push_back(encap(a.port, b.port, peer_packet(ACK, 0, 3, "")));
        sent.push_back(encap(a.port, b.port, peer_packet(DATA, 99, 0, "")));  // no payload
        sent.push_back(encap(a.port, b.port, peer_packet(WHOHAS, 0, 0, std::string(24, 'h'))));
        for (const std::string &d : sent) {
            ASSERT_TRUE(a.send_to(n.port, d));
            auto got = b.recv(5);
            ASSERT_TRUE(got.has_value());
            std::vector<size_t> diff = changed_bytes(d, *got);
            if (seq_of(d) < 20 && d[19] == DATA) {
                ASSERT_EQ(diff.size(), 1u);
                EXPECT_GE(diff[0], ENCAP + PEER);
            } else {
                EXPECT_TRUE(diff.empty());
            }
        }
        EXPECT_EQ(counter(stop(n), link_name(a.port, b.port), "corrupted"), 20);
    }
    /* anything past the encapsulation header */
    {
        Netsim n = start_netsim({"--corrupt", "1"});
        ts::UdpSocket a, b;
        for (uint32_t i = 0; i < 20; i++) {
            std::string d = encap(a.port, b.port, peer_packet(ACK, 0, i, ""));
            ASSERT_TRUE(a.send_to(n.port, d));
            auto got = b.recv(5);
            ASSERT_TRUE(got.has_value());
            std::vector<size_t> diff = changed_bytes(d, *got);
            ASSERT_EQ(diff.size(), 1u);
            EXPECT_GE(diff[0], ENCAP);
        }
        std::string bare = encap(a.port, b.port, "");
        ASSERT_TRUE(a.send_to(n.port, bare));
        EXPECT_EQ(b.recv(5).value_or("lost"), bare);
    }
}

TEST(Netsim, BandwidthQueueTailDropsABurst) {
    // 10 KB/s: a 1000-byte datagram takes 0.1 s on the link; the queue holds five of them.
    Netsim n = start_netsim({"--bandwidth", "10", "--queue", "5000"});
    ts::UdpSocket a, b;
    auto burst = numbered(a.port, b.port, DATA, 20, 1000 - ENCAP - PEER);
    double start = now_s(), last = start;
    for (const std::string &d : burst) ASSERT_TRUE(a.send_to(n.port, d));
    std::vector<std::string> got;
    while (auto d = b.recv(1.0)) {
        got.push_back(*d);
        last = now_s();
    }
    size_t k = got.size();
    ASSERT_GE(k, 3u);
    ASSERT_LE(k, 8u);
    for (size_t i = 0; i < k; i++) EXPECT_EQ(got[i], burst[i]);  // FIFO, and the tail is dropped
    // The k-th datagram cannot leave before k transmission times have passed.
    EXPECT_GE(last - start, 0.1 * double(k) - 0.001);
    std::string out = stop(n);
    std::string link = link_name(a.port, b.port);
    EXPECT_EQ(counter(out, link, "taildrop"), 20 - long(k));
    EXPECT_EQ(counter(out, link, "dropped"), 20 - long(k));
    EXPECT_LE(counter(out, link, "peak_queued_bytes"), 5000);
    EXPECT_GE(counter(out, link, "peak_queued_bytes"), 1000);
}

TEST(Netsim, BlackoutDropsALinkForItsWindowOnly) {
    ts::UdpSocket a, b, c;
    std::string ab = "127.0.0.1:" + std::to_string(a.port) + "-127.0.0.1:" + std::to_string(b.port);
    Netsim n = start_netsim({"--link", ab, "--blackout", "0:1.5"});
    std::string probe = encap(a.port, b.port, peer_packet(DATA, 1, 0, "during"));
    ASSERT_TRUE(a.send_to(n.port, probe));
    /* other links are untouched */
    std::string other = encap(c.port, b.port, peer_packet(DATA, 2, 0, "other link"));
    ASSERT_TRUE(c.send_to(n.port, other));
    EXPECT_EQ(b.recv(2).value_or(""), other);
    /* the window ends: a later datagram of the same link gets through */
    std::optional<std::string> got;
    for (int tries = 0; tries < 50 && !got; tries++) {
        ASSERT_TRUE(a.send_to(n.port, probe));
        got = b.recv(0.1);
    }
    EXPECT_EQ(got.value_or(""), probe);
    std::string out = stop(n);
    EXPECT_GE(counter(out, link_name(a.port, b.port), "blackout"), 1);
    EXPECT_EQ(counter(out, link_name(c.port, b.port), "blackout"), 0);
}

TEST(Netsim, ShortDatagramsAreCountedAndDropped) {
    Netsim n = start_netsim({});
    ts::UdpSocket a, b;
    for (size_t len : std::vector<size_t>{0, 1, 8, 15})
        ASSERT_TRUE(a.send_to(n.port, std::string(len, '\x7f')));
    std::string good = encap(a.port, b.port, peer_packet(ACK, 0, 1, ""));
    ASSERT_TRUE(a.send_to(n.port, good));
    std::vector<std::string> got = b.recv_all(0.3);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], good);
    std::string out = stop(n);
    EXPECT_EQ(counter(out, "netsim counters at", "short"), 4);
    EXPECT_EQ(counter(out, "netsim counters at", "received"), 5);
}

TEST(Netsim, GarbageNeverStopsIt) {
    ts::UdpSocket a, b, c;
    std::string ab = "127.0.0.1:" + std::to_string(a.port) + "-127.0.0.1:" + std::to_string(b.port);
    Netsim n = start_netsim({"--seed", "9", "--link", ab, "--loss", "0.1", "--dup", "0.5",
                             "--corrupt", "0.5", "--jitter", "3", "--bandwidth", "50000"});
    // Random bytes, but every destination is one of these, so nothing leaves the test.
    struct dest {
        uint32_t addr;
        uint16_t port;
    } dests[] = {{INADDR_LOOPBACK, b.port}, {INADDR_LOOPBACK, n.port}, {0, b.port},
                 {0x0a010203, b.port},      {INADDR_LOOPBACK, 0},      {INADDR_BROADCAST, b.port}};
    int bad = 0;
    for (uint32_t i = 0; i < 600; i++) {
        std::string d = ts::random_bytes(i % 7 == 0 ? i % 16 : (i * 37) % 1600, i);
        if (d.size() >= ENCAP) {
            const dest &to = dests[i % 6];
            d = encap(a.port, to.port, d.substr(ENCAP), to.addr);
            bad += i % 6 == 0 ? 0 : 1;
        }
        ASSERT_TRUE(a.send_to(n.port, d));
        while (b.recv(0)) {
        }
    }
    ASSERT_TRUE(a.send_to(n.port, encap(a.port, b.port, ts::random_bytes(60000, 3))));
    std::string probe = encap(c.port, b.port, peer_packet(DATA, 77, 0, "still alive"));
    ASSERT_TRUE(c.send_to(n.port, probe));
    std::vector<std::string> got = b.recv_all(0.5);
    EXPECT_NE(std::find(got.begin(), got.end(), probe), got.end());
    std::string out = stop(n);
    EXPECT_EQ(counter(out, "netsim counters at", "bad_dest"), bad);
    EXPECT_EQ(counter(out, link_name(c.port, b.port), "forwarded"), 1);
}

TEST(Netsim, PrintsCountersOnSignals) {
    Netsim n = start_netsim({"--loss", "1", "--types", "ack"});
    ts::UdpSocket a, b;
    send_and_collect(a, b, n.port, numbered(a.port, b.port, DATA, 3), 0.2);
    send_and_collect(a, b, n.port, numbered(a.port, b.port, ACK, 2), 0.2);
    /* SIGUSR1 prints and keeps running */
    n.proc.send_signal(SIGUSR1);
    ASSERT_TRUE(n.proc.wait_stdout("netsim counters end\n", 5));
    std::string line = link_name(a.port, b.port) +
                       "received=5 forwarded=3 dropped=2 loss=2 blackout=0 taildrop=0 overflow=0 "
                       "send_errors=0 duplicated=0 corrupted=0 queued_bytes=0 "
                       "peak_queued_bytes=0\n";
    EXPECT_NE(n.proc.out.find(line), std::string::npos) << n.proc.out;
    EXPECT_EQ(send_and_collect(a, b, n.port, numbered(a.port, b.port, DATA, 1), 0.2).size(), 1u);
    /* SIGINT prints the final report and exits 0 */
    std::string out = stop(n, SIGINT);
    EXPECT_EQ(counter(out, link_name(a.port, b.port), "forwarded"), 4);
    EXPECT_EQ(out.substr(out.size() - 20), "netsim counters end\n");
}

TEST(Netsim, TraceHasOneCsvLinePerEvent) {
    ts::TempDir dir;
    Netsim n = start_netsim({"--trace", dir.file("t.csv"), "--loss", "1", "--types", "ack"});
    ts::UdpSocket a, b;
    std::string data = encap(a.port, b.port, peer_packet(DATA, 5, 0, "abcd"));
    std::string ack = encap(b.port, a.port, peer_packet(ACK, 0, 9, ""));
    ASSERT_TRUE(a.send_to(n.port, "short"));
    // Delivery of the DATA proves the short datagram before it was handled too.
    EXPECT_EQ(send_and_collect(a, b, n.port, {data}, 0.2).size(), 1u);
    send_and_collect(b, a, n.port, {ack}, 0.2);
    stop(n);
    std::string csv = ts::read_file(dir.file("t.csv"));
    std::string pa = "127.0.0.1:" + std::to_string(a.port),
                pb = "127.0.0.1:" + std::to_string(b.port);
    EXPECT_EQ(csv.rfind("time,src,dst,type,seq,ack,bytes,action,delay_ms,corrupted,node\n", 0), 0u);
    EXPECT_NE(csv.find("," + pa + "," + pb + ",data,5,0,36,forward,"), std::string::npos) << csv;
    EXPECT_NE(csv.find("," + pb + "," + pa + ",ack,0,9,32,drop_loss,"), std::string::npos) << csv;
    EXPECT_NE(csv.find("," + pa + ",-,-,0,0,5,drop_short,"), std::string::npos) << csv;
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 4);
}

TEST(Netsim, RejectsBadArgumentsWithStatus2) {
    ts::TempDir dir;
    ts::write_file(dir.file("bad"), "all loss=0.1\nlink 127.0.0.1:1 * delay=soon\n");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "--port is required"},
        {{"--port", "0", "--loss", "1.5"}, "--loss: '1.5' is not a probability"},
        {{"--port", "0", "--delay", "-1"}, "--delay: '-1' is not a time"},
        {{"--port", "99999"}, "--port: '99999' is not a port"},
        {{"--port", "0", "--types", "data,bogus"}, "'bogus'"},
        {{"--port", "0", "--link", "127.0.0.1:1"}, "--link:"},
        {{"--port", "0", "--blackout", "3"}, "--blackout:"},
        {{"--port", "0", "--frobnicate"}, "unknown option '--frobnicate'"},
        {{"--port", "0", "--loss"}, "option '--loss' needs a value"},
        {{"--port", "0", "--config", dir.file("none")}, "cannot read"},
        {{"--port", "0", "--config", dir.file("bad")}, dir.file("bad") + ":2: delay: 'soon'"},
        {{"--port", "0", "--node", "127.0.0.1 up=5"}, "--node: '127.0.0.1' is not IP:PORT"},
        {{"--port", "0", "--node", "* down=0"}, "--node: down: '0' is not a bandwidth"},
        {{"--port", "0", "--node", "* bandwidth=5"}, "--node: 'bandwidth=5': a node rule takes"},
    };
    for (const auto &[args, message] : cases) {
        Finished r = run_netsim(args);
        EXPECT_EQ(r.status, 2) << message;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    for (const char *flag : {"--help", "-h"}) {
        Finished help = run_netsim({flag});
        EXPECT_EQ(help.status, 0) << flag;
        EXPECT_EQ(help.out.rfind("usage: netsim --port N", 0), 0u) << flag;
    }
}

TEST(Netsim, NodeDownlinkIsSharedByAllLinksIntoIt) {
    // 20 KB/s into b: twenty 1000-byte datagrams from two senders need a second together, where a
    // per-link limit would pass them in half of it.
    ts::TempDir dir;
    ts::UdpSocket a, c, b;
    std::string node = "127.0.0.1:" + std::to_string(b.port);
    Netsim n = start_netsim({"--node", node + " down=20 queue=100000", "--trace", dir.file("t")});
    auto from_a = numbered(a.port, b.port, DATA, 10, 1000 - ENCAP - PEER);
    auto from_c = numbered(c.port, b.port, DATA, 10, 1000 - ENCAP - PEER);
    double start = now_s();
    for (size_t i = 0; i < 10; i++) {
        ASSERT_TRUE(a.send_to(n.port, from_a[i]));
        ASSERT_TRUE(c.send_to(n.port, from_c[i]));
    }
    size_t got = 0;
    double last = start;
    while (b.recv(1.0)) {
        got++;
        last = now_s();
    }
    EXPECT_EQ(got, 20u);
    EXPECT_GE(last - start, 0.95);
    std::string out = stop(n);
    std::string line = "node " + node + " down ";
    EXPECT_EQ(counter(out, line, "passed"), 20) << out;
    EXPECT_EQ(counter(out, line, "bytes"), 20000);
    EXPECT_EQ(counter(out, line, "taildrop"), 0);
    EXPECT_GE(counter(out, line, "peak_queued_bytes"), 15000);
    EXPECT_EQ(counter(out, link_name(a.port, b.port), "forwarded"), 10);
    /* the trace names the node at each passage of its downlink */
    std::string csv = ts::read_file(dir.file("t"));
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 41);
    EXPECT_NE(csv.find(",data,9,0,1000,downlink,"), std::string::npos) << csv;
    EXPECT_NE(csv.find(",0," + node + "\n"), std::string::npos) << csv;
}
