#include "shim/vexlo.h"

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config/debug.h"
#include "test_support.h"

namespace {

constexpr const char *kPlainLine = "Vexlo not enabled, using normal recvfrom\n";
constexpr unsigned char kGuard = 0xAA;  // fill of caller buffers, to spot bytes the shim wrote

sockaddr_in inet_addr_of(const char *ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_aton(ip, &a.sin_addr);
    a.sin_port = htons(port);
    return a;
}

const sockaddr *as_sa(const sockaddr_in &a) {
    return reinterpret_cast<const sockaddr *>(&a);
}

void put_be(std::string &out, uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; i--) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

// The 16 header bytes as they stand on the wire, built byte by byte.
std::string wire_header(uint32_t id, const char *src, uint16_t sport, const char *dst,
                        uint16_t dport) {
    std::string h;
    put_be(h, id, 4);
    put_be(h, ntohl(inet_addr_of(src, 0).sin_addr.s_addr), 4);
    put_be(h, ntohl(inet_addr_of(dst, 0).sin_addr.s_addr), 4);
    put_be(h, sport, 2);
    put_be(h, dport, 2);
    return h;
}

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 5000) == 1;
}

// What one vexlo_recvfrom call produced. buf is the caller's buffer, size bytes plus a guard.
struct Received {
    int result = 0;
    std::string buf;
    sockaddr_in from{};
    socklen_t len = 0;
    int error = 0;    // errno after the call
    std::string out;  // standard output written during the call
};

Received shim_recv(int fd, size_t size) {
    Received r;
    r.buf.assign(size + 8, static_cast<char>(kGuard));
    fflush(stdout);
    testing::internal::CaptureStdout();
    errno = 0;
    r.result =
        vexlo_recvfrom(fd, r.buf.data(), size, 0, reinterpret_cast<sockaddr *>(&r.from), &r.len);
    r.error = errno;
    r.out = testing::internal::GetCapturedStdout();
    return r;
}

// Each case starts and ends in pass-through mode with no router in the environment.
class VexloTest : public testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        unsetenv("VEXLO_ROUTER");
        giVexloEnabled = 0;
        glNodeID = glSrcAddr = 0;
        gsSrcPort = 0;
        gsVexloRouter = {};
        giVexloPassNotices = -1;
        giVexloSegmentation = 1;
        debug = 0;
    }
    // vexlo_init for node bound to 127.0.0.1:port with VEXLO_ROUTER = router (nullptr: unset).
    static int init(const char *router, long node, uint16_t port, std::string *err = nullptr) {
        if (router) setenv("VEXLO_ROUTER", router, 1);
        const sockaddr_in bound = inet_addr_of("127.0.0.1", port);
        testing::internal::CaptureStderr();
        const int rc = vexlo_init(node, as_sa(bound), sizeof bound);
        const std::string text = testing::internal::GetCapturedStderr();
        if (err) *err = text;
        return rc;
    }
};

TEST_F(VexloTest, InitFailuresStayInPassThrough) {
    const std::string ip_help = "Must be an IP address.  127.0.0.1:port would be a nice format.\n";
    struct Case {
        const char *router;
        int rc;
        std::string err;
    } cases[] = {
        {nullptr, 1, "Returning from vexlo_init: no VEXLO_ROUTER environment set.\n"},
        {"127.0.0.1", -1, "Badly formatted VEXLO_ROUTER:  127.0.0.1\n"},
        {"", -1, "Badly formatted VEXLO_ROUTER:  \n"},
        {"localhost:9000", -1, "Badly formatted VEXLO_ROUTER IP:  localhost\n" + ip_help},
        {":9000", -1, "Badly formatted VEXLO_ROUTER IP:  \n" + ip_help},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.router ? c.router : "(unset)");
        reset();
        std::string err;
        EXPECT_EQ(init(c.router, 3, 1111, &err), c.rc);
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(giVexloEnabled, 0);
    }
}

TEST_F(VexloTest, InitTakesRouterPortAsAtoiLow16Bits) {
    struct Case {
        const char *router;
        uint16_t port;
    } cases[] = {{"127.0.0.1:", 0},
                 {"127.0.0.1:abc", 0},
                 {"127.0.0.1:70000", 4464},
                 {"127.0.0.1:9000:77", 9000},
                 {"10.0.0.9:12x", 12}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.router);
        reset();
        EXPECT_EQ(init(c.router, 3, 1111), 0);
        EXPECT_EQ(giVexloEnabled, 1);
        EXPECT_EQ(gsVexloRouter.sin_family, AF_INET);
        EXPECT_EQ(ntohs(gsVexloRouter.sin_port), c.port);
    }
    EXPECT_EQ(gsVexloRouter.sin_addr.s_addr, htonl(0x0a000009));
}

TEST_F(VexloTest, InitRecordsBoundAddressAndReportsIt) {
    std::string err;
    ASSERT_EQ(init("127.0.0.1:9000", 3, 1111, &err), 0);
    const uint32_t stored = htonl(INADDR_LOOPBACK);  // prints as 0100007f on little-endian hosts
    char local[64];
    snprintf(local, sizeof local, "Vexlo local stuff:  %08x:1111\n", stored);
    EXPECT_EQ(err, std::string(local) +
                       "Vexlo setup complete.  127.0.0.1:9000\nDelete this line after testing.\n");
    EXPECT_EQ(glNodeID, 3);
    EXPECT_EQ(glSrcAddr, static_cast<long>(stored));
    EXPECT_EQ(gsSrcPort, static_cast<short>(htons(1111)));
}

TEST_F(VexloTest, PassThroughSendsAndReceivesUnchanged) {
    ts::UdpSocket a, b;
    ASSERT_EQ(init(nullptr, 1, a.port), 1);
    const sockaddr_in to_b = inet_addr_of("127.0.0.1", b.port);
    const std::string first = ts::random_bytes(20, 1), second = ts::random_bytes(7, 2);
    EXPECT_EQ(vexlo_sendto(a.fd, first.data(), first.size(), 0, as_sa(to_b), sizeof to_b), 20);
    EXPECT_EQ(vexlo_sendto(a.fd, second.data(), second.size(), 0, as_sa(to_b), sizeof to_b), 7);
    for (const std::string *sent : {&first, &second}) {
        ASSERT_TRUE(readable(b.fd));
        Received r = shim_recv(b.fd, 100);
        ASSERT_EQ(r.result, static_cast<int>(sent->size()));
        EXPECT_EQ(r.buf.substr(0, sent->size()), *sent);
        EXPECT_EQ(ntohs(r.from.sin_port), a.port);
        EXPECT_EQ(r.out, kPlainLine);  // one line for every receive call
    }
}

TEST_F(VexloTest, SimulatorSendWrapsDatagramForRouter) {
    ts::UdpSocket router, self, dest;
    const std::string router_env = "127.0.0.1:" + std::to_string(router.port);
    const sockaddr_in to = inet_addr_of("127.0.0.1", dest.port);
    const std::string payload = ts::random_bytes(20, 3);
    struct Case {
        long node;
        uint32_t wire_id;  // low 32 bits of the node id
    } cases[] = {{3, 3}, {-2, 0xfffffffeu}, {0x100000007L, 7}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.node);
        ASSERT_EQ(init(router_env.c_str(), c.node, self.port), 0);
        // A tolen that could not hold the address: the shim reads the destination as IPv4.
        EXPECT_EQ(vexlo_sendto(self.fd, payload.data(), payload.size(), 0, as_sa(to), 3), 20);
        uint16_t from = 0;
        const auto got = router.recv(5.0, &from);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(from, self.port);
        ASSERT_EQ(got->size(), 36u);
        EXPECT_EQ(got->substr(4, 8), std::string("\x7f\x00\x00\x01\x7f\x00\x00\x01", 8));
        EXPECT_EQ(got->substr(0, 16),
                  wire_header(c.wire_id, "127.0.0.1", self.port, "127.0.0.1", dest.port));
        EXPECT_EQ(got->substr(16), payload);
    }
    EXPECT_FALSE(dest.recv(0.0).has_value());  // the destination itself is never contacted
}

TEST_F(VexloTest, SimulatorReceiveReportsSenderFromHeader) {
    ts::UdpSocket router, self;
    ASSERT_EQ(init(("127.0.0.1:" + std::to_string(router.port)).c_str(), 2, self.port), 0);
    const std::string payload = ts::random_bytes(20, 4);
    // ID and destination are someone else's: the receive path ignores them.
    ASSERT_TRUE(
        router.send_to(self.port, wire_header(99, "10.1.2.3", 1111, "10.9.9.9", 1) + payload));
    ASSERT_TRUE(readable(self.fd));
    Received r = shim_recv(self.fd, 100);
    EXPECT_EQ(r.result, 20);
    EXPECT_EQ(r.buf.substr(0, 20), payload);
    EXPECT_EQ(r.buf[20], static_cast<char>(kGuard));
    EXPECT_EQ(r.from.sin_family, AF_INET);
    EXPECT_EQ(r.from.sin_addr.s_addr, inet_addr_of("10.1.2.3", 0).sin_addr.s_addr);
    EXPECT_EQ(ntohs(r.from.sin_port), 1111);
    EXPECT_EQ(r.len, 16u);
    EXPECT_EQ(r.out, "");
}

TEST_F(VexloTest, SimulatorReceiveBoundsShortAndLongDatagrams) {
    ts::UdpSocket router, self;
    ASSERT_EQ(init(("127.0.0.1:" + std::to_string(router.port)).c_str(), 2, self.port), 0);
    const std::string header = wire_header(1, "127.0.0.1", 4242, "127.0.0.1", self.port);
    const std::string guard(28, static_cast<char>(kGuard));

    /* exactly a header: no payload, no message, the sender still reported */
    ASSERT_TRUE(router.send_to(self.port, header));
    ASSERT_TRUE(readable(self.fd));
    Received r = shim_recv(self.fd, 20);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.buf, guard);
    EXPECT_EQ(ntohs(r.from.sin_port), 4242);

    /* shorter than a header: negative length, error line, caller's buffer untouched */
    ASSERT_TRUE(router.send_to(self.port, header.substr(0, 10)));
    ASSERT_TRUE(readable(self.fd));
    r = shim_recv(self.fd, 20);
    EXPECT_EQ(r.result, -6);
    EXPECT_THAT(r.out, testing::MatchesRegex("Error on vexlo_recvfrom\\. errno: [0-9]+ \n"));
    EXPECT_EQ(r.buf, guard);

    /* longer than size + header: cut to size, nothing written past it */
    const std::string payload = ts::random_bytes(50, 5);
    ASSERT_TRUE(router.send_to(self.port, header + payload));
    ASSERT_TRUE(readable(self.fd));
    r = shim_recv(self.fd, 20);
    EXPECT_EQ(r.result, 20);
    EXPECT_EQ(r.buf.substr(0, 20), payload.substr(0, 20));
    EXPECT_EQ(r.buf.substr(20), guard.substr(20));
    EXPECT_EQ(r.out, "");
}

// What vexlo_recvbatch calls took until `want` datagrams had come (or a wait found none), in
// order, with the standard output they wrote.
struct Batch {
    std::vector<std::string> datagrams;  // the bytes each length reported, at most the slot
    std::vector<int> lengths;
    std::vector<sockaddr_in> froms;
    std::string out;
};

Batch shim_recv_batch(int fd, size_t want, size_t slot) {
    std::vector<std::string> slots(VEXLO_BATCH_MAX, std::string(slot, static_cast<char>(kGuard)));
    char *buffers[VEXLO_BATCH_MAX];
    int lengths[VEXLO_BATCH_MAX];
    sockaddr_in froms[VEXLO_BATCH_MAX];
    Batch b;
    fflush(stdout);
    testing::internal::CaptureStdout();
    while (b.lengths.size() < want && readable(fd)) {
        for (size_t i = 0; i < slots.size(); i++) buffers[i] = slots[i].data();
        int got = vexlo_recvbatch(fd, buffers, slot, lengths, froms, VEXLO_BATCH_MAX);
        for (int i = 0; i < got; i++) {
            size_t k = static_cast<size_t>(i);
            b.lengths.push_back(lengths[k]);
            b.froms.push_back(froms[k]);
            b.datagrams.push_back(
                slots[k].substr(0, lengths[k] > 0 ? static_cast<size_t>(lengths[k]) : 0));
        }
    }
    b.out = testing::internal::GetCapturedStdout();
    return b;
}

TEST_F(VexloTest, BatchTakesQueuedDatagramsInOrderAsSingleReceivesWould) {
    ts::UdpSocket router, self;

    /* pass-through: whole datagrams and their senders, one line per datagram */
    ASSERT_EQ(init(nullptr, 2, self.port), 1);
    ASSERT_TRUE(router.send_to(self.port, "one"));
    ASSERT_TRUE(router.send_to(self.port, "second"));
    Batch b = shim_recv_batch(self.fd, 2, 64);
    EXPECT_EQ(b.datagrams, (std::vector<std::string>{"one", "second"}));
    EXPECT_EQ(b.lengths, (std::vector<int>{3, 6}));
    EXPECT_EQ(ntohs(b.froms[1].sin_port), router.port);
    EXPECT_EQ(b.out, std::string(kPlainLine) + kPlainLine);
    /* a front end's limit counts datagrams of batches and single receives alike */
    giVexloPassNotices = 2;
    for (const char *text : {"a", "b", "c"}) ASSERT_TRUE(router.send_to(self.port, text));
    EXPECT_EQ(shim_recv_batch(self.fd, 3, 64).out, std::string(kPlainLine) + kPlainLine);
    ASSERT_TRUE(router.send_to(self.port, "d"));
    ASSERT_TRUE(readable(self.fd));
    EXPECT_EQ(shim_recv(self.fd, 64).out, "");
    giVexloPassNotices = 1;
    ASSERT_TRUE(router.send_to(self.port, "e"));
    ASSERT_TRUE(readable(self.fd));
    EXPECT_EQ(shim_recv(self.fd, 64).out, kPlainLine);
    /* nothing queued: no wait, EAGAIN */
    char *none[1] = {nullptr};
    int length = 0;
    sockaddr_in from{};
    errno = 0;
    EXPECT_EQ(vexlo_recvbatch(self.fd, none, 0, &length, &from, 1), -1);
    EXPECT_EQ(errno, EAGAIN);

    /* simulator mode: header stripped, sender from it; a short datagram is negative with its
       line; a long one is cut to the buffer */
    ASSERT_EQ(init(("127.0.0.1:" + std::to_string(router.port)).c_str(), 2, self.port), 0);
    const std::string header = wire_header(1, "10.1.2.3", 1111, "127.0.0.1", self.port);
    const std::string payload = ts::random_bytes(100, 6);
    ASSERT_TRUE(router.send_to(self.port, header + "abc"));
    ASSERT_TRUE(router.send_to(self.port, header.substr(0, 10)));
    ASSERT_TRUE(router.send_to(self.port, header + payload));
    b = shim_recv_batch(self.fd, 3, 64);
    EXPECT_EQ(b.lengths, (std::vector<int>{3, -6, 64}));
    EXPECT_EQ(b.datagrams[0], "abc");
    EXPECT_EQ(b.datagrams[2], payload.substr(0, 64));
    EXPECT_EQ(b.froms[0].sin_addr.s_addr, inet_addr_of("10.1.2.3", 0).sin_addr.s_addr);
    EXPECT_EQ(ntohs(b.froms[0].sin_port), 1111);
    EXPECT_THAT(b.out, testing::MatchesRegex("Error on vexlo_recvfrom\\. errno: [0-9]+ \n"));
}

TEST_F(VexloTest, SimulatorTakesDatagramsOnlyFromTheRouter) {
    // The stranger shares the router's address, not its port, and sends well-formed headers.
    ts::UdpSocket router, stranger, self;
    ASSERT_EQ(init(("127.0.0.1:" + std::to_string(router.port)).c_str(), 2, self.port), 0);
    auto wrapped = [&](uint16_t src_port, const std::string &payload) {
        return wire_header(1, "127.0.0.1", src_port, "127.0.0.1", self.port) + payload;
    };
    const std::string dropped_line =
        "Vexlo dropped a datagram from 127.0.0.1:" + std::to_string(stranger.port) +
        ": not the router\n";
    char again_line[64];
    snprintf(again_line, sizeof again_line, "Error on vexlo_recvfrom. errno: %d \n", EAGAIN);

    /* single receive: the forgery fails as on an empty socket, named under debug 64; the router's
       datagram queued behind it comes next */
    debug = DEBUG_VEXLO;
    ASSERT_TRUE(stranger.send_to(self.port, wrapped(4001, "forged")));
    ASSERT_TRUE(router.send_to(self.port, wrapped(4002, "real")));
    ASSERT_TRUE(readable(self.fd));
    testing::internal::CaptureStderr();
    Received r = shim_recv(self.fd, 64);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), dropped_line);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.error, EAGAIN);
    EXPECT_EQ(r.out, again_line);
    r = shim_recv(self.fd, 64);
    ASSERT_EQ(r.result, 4);
    EXPECT_EQ(r.buf.substr(0, 4), "real");
    EXPECT_EQ(ntohs(r.from.sin_port), 4002);

    /* batch: the forgeries leave it, the router's datagrams move up in order with their senders;
       a batch of forgeries alone is EAGAIN */
    debug = 0;
    for (uint16_t i = 1; i <= 3; i++) {
        ASSERT_TRUE(router.send_to(self.port, wrapped(i, std::string(i, 'r'))));
        ASSERT_TRUE(stranger.send_to(self.port, wrapped(9, "forged")));
    }
    Batch b = shim_recv_batch(self.fd, 3, 64);
    EXPECT_EQ(b.datagrams, (std::vector<std::string>{"r", "rr", "rrr"}));
    ASSERT_EQ(b.froms.size(), 3u);
    for (uint16_t i = 1; i <= 3; i++) EXPECT_EQ(ntohs(b.froms[i - 1u].sin_port), i);
    EXPECT_EQ(b.out, "");
    ASSERT_TRUE(stranger.send_to(self.port, wrapped(9, "forged")));
    ASSERT_TRUE(readable(self.fd));
    char slot[64];
    char *buffers[1] = {slot};
    int length = 0;
    sockaddr_in from{};
    errno = 0;
    EXPECT_EQ(vexlo_recvbatch(self.fd, buffers, sizeof slot, &length, &from, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
}

TEST_F(VexloTest, DropsAtTheSocketAreCountedByEveryReceivePath) {
    ts::UdpSocket sender, self;
    if (vexlo_count_drops(self.fd) != 0) GTEST_SKIP() << "the kernel reports no drop count";
    EXPECT_EQ(vexlo_socket_drops(), 0);
    struct Path {
        const char *name;
        bool simulator;
        bool batch;
    } paths[] = {{"recvfrom", false, false},
                 {"recvbatch", false, true},
                 {"simulator recvfrom", true, false},
                 {"simulator recvbatch", true, true}};
    long long lost = 0;
    for (const Path &path : paths) {
        SCOPED_TRACE(path.name);
        reset();
        std::string prefix;
        if (path.simulator) {
            ASSERT_EQ(init(("127.0.0.1:" + std::to_string(sender.port)).c_str(), 2, self.port), 0);
            prefix = wire_header(1, "127.0.0.1", sender.port, "127.0.0.1", self.port);
        }
        giVexloPassNotices = 0;
        int flood_lost = ts::overflow_through_shim(sender, self, 64, prefix, path.batch);
        ASSERT_GT(flood_lost, 0);
        lost += flood_lost;
        /* the count is the socket's since it was opened */
        EXPECT_EQ(vexlo_socket_drops(), lost);
    }
}

TEST_F(VexloTest, NonInetDestinationRefusedOnlyInSimulatorMode) {
    ts::UdpSocket router, self;
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(2222);
    v6.sin6_addr = in6addr_loopback;
    const auto *to = reinterpret_cast<const sockaddr *>(&v6);
    const char msg[4] = {1, 2, 3, 4};

    ASSERT_EQ(init(("127.0.0.1:" + std::to_string(router.port)).c_str(), 2, self.port), 0);
    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(vexlo_sendto(self.fd, msg, sizeof msg, 0, to, sizeof v6), -1);
    EXPECT_EQ(errno, ENOTSUP);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "vexlo_sendto:  must specify AF_INET.  FIX YOUR CODE.\n");
    EXPECT_FALSE(router.recv(0.0).has_value());

    /* pass-through: the platform judges the address itself */
    giVexloEnabled = 0;
    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(vexlo_sendto(self.fd, msg, sizeof msg, 0, to, sizeof v6), -1);
    EXPECT_EQ(errno, EAFNOSUPPORT);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(VexloTest, PlatformFailuresKeepTheirErrno) {
    ts::UdpSocket router;
    const sockaddr_in to = inet_addr_of("127.0.0.1", 2222);
    const char msg[4] = {};
    char buf[32];
    sockaddr_in from{};
    socklen_t len = 0;
    char expected[64];
    snprintf(expected, sizeof expected, "Error on vexlo_recvfrom. errno: %d \n", EBADF);

    /* pass-through: results and errno are the platform's own */
    fflush(stdout);
    testing::internal::CaptureStdout();
    EXPECT_EQ(vexlo_recvfrom(-1, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len),
              -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kPlainLine);

    /* simulator mode: a failed send is -1 with the platform's errno; a failed receive adds a line
     */
    ASSERT_EQ(init(("127.0.0.1:" + std::to_string(router.port)).c_str(), 2, 1111), 0);
    errno = 0;
    EXPECT_EQ(vexlo_sendto(-1, msg, sizeof msg, 0, as_sa(to), sizeof to), -1);
    EXPECT_EQ(errno, EBADF);
    fflush(stdout);
    testing::internal::CaptureStdout();
    EXPECT_EQ(vexlo_recvfrom(-1, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len),
              -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
    EXPECT_EQ(len, 16u);
}


// ---- batched send and coalesced receive -------------------------------------------------------

// A batch of datagrams, each "head" + "body" of its own, for vexlo_sendbatch.
struct OutBatch {
    std::vector<std::string> heads, bodies;
    std::vector<vexlo_datagram> d;
    void add(const std::string &head, const std::string &body, const sockaddr_in &to) {
        heads.push_back(head);
        bodies.push_back(body);
        d.push_back({nullptr, 0, nullptr, 0, to});
    }
    // The datagrams, pointing at the strings now that they no longer move.
    const vexlo_datagram *datagrams() {
        for (size_t i = 0; i < d.size(); i++) {
            d[i].head = heads[i].data();
            d[i].head_len = heads[i].size();
            d[i].body = bodies[i].data();
            d[i].body_len = bodies[i].size();
        }
        return d.data();
    }
    int count() const { return static_cast<int>(d.size()); }
    std::string whole(size_t i) const { return heads[i] + bodies[i]; }
};

// Ten DATA-sized datagrams and a short last one to `to`, an ACK-sized one to `other` between
// them: the layout a window fill and the ACKs of a batch make.
OutBatch window_fill(const sockaddr_in &to, const sockaddr_in &other) {
    OutBatch b;
    for (uint32_t i = 0; i < 11; i++) {
        b.add(ts::random_bytes(16, 100 + i), ts::random_bytes(i == 10 ? 688 : 1400, 200 + i), to);
        if (i == 4) b.add(ts::random_bytes(16, 99), "", other);
    }
    return b;
}

std::vector<std::string> expected_at(const OutBatch &b, const sockaddr_in &at) {
    std::vector<std::string> out;
    for (size_t i = 0; i < b.d.size(); i++) {
        if (b.d[i].to.sin_port == at.sin_port) out.push_back(b.whole(i));
    }
    return out;
}

TEST_F(VexloTest, BatchedSendDeliversTheSameDatagramsInOrderWithOrWithoutSegmentation) {
    ts::UdpSocket self, a, b;
    const sockaddr_in to_a = inet_addr_of("127.0.0.1", a.port);
    const sockaddr_in to_b = inet_addr_of("127.0.0.1", b.port);
    for (int segmentation : {1, 0}) {
        SCOPED_TRACE(segmentation);
        giVexloSegmentation = segmentation;
        OutBatch out = window_fill(to_a, to_b);
        EXPECT_EQ(vexlo_sendbatch(self.fd, out.datagrams(), out.count()), out.count());
        EXPECT_EQ(a.recv_all(0.2), expected_at(out, to_a));
        EXPECT_EQ(b.recv_all(0.2), expected_at(out, to_b));
        if (segmentation == 0) {
            EXPECT_FALSE(vexlo_segmenting(self.fd));
        }
    }
}

TEST_F(VexloTest, ARefusedGsoSendGoesOutDatagramByDatagram) {
    ts::UdpSocket self, a;
    const sockaddr_in to_a = inet_addr_of("127.0.0.1", a.port);
    OutBatch out = window_fill(to_a, to_a);
    ASSERT_EQ(vexlo_sendbatch(self.fd, out.datagrams(), out.count()), out.count());
    a.recv_all(0.2);
    if (!vexlo_segmenting(self.fd)) GTEST_SKIP() << "the kernel has no UDP_SEGMENT";
    // Without checksums the kernel refuses to segment (EINVAL) but sends single datagrams.
    int on = 1;
    ASSERT_EQ(setsockopt(self.fd, SOL_SOCKET, SO_NO_CHECK, &on, sizeof on), 0);
    EXPECT_EQ(vexlo_sendbatch(self.fd, out.datagrams(), out.count()), out.count());
    EXPECT_EQ(a.recv_all(0.2), expected_at(out, to_a));
    EXPECT_FALSE(vexlo_segmenting(self.fd));
}

TEST_F(VexloTest, BatchedSendThroughTheRouterWrapsEachDatagramAsASingleSendWould) {
    ts::UdpSocket router, self, a, b;
    ASSERT_EQ(init(("127.0.0.1:" + std::to_string(router.port)).c_str(), 3, self.port), 0);
    const sockaddr_in to_a = inet_addr_of("127.0.0.1", a.port);
    const sockaddr_in to_b = inet_addr_of("127.0.0.1", b.port);
    OutBatch out = window_fill(to_a, to_b);
    std::vector<std::string> singles;
    for (size_t i = 0; i < out.d.size(); i++) {
        const std::string whole = out.whole(i);
        const sockaddr_in &to = out.d[i].to;
        ASSERT_EQ(vexlo_sendto(self.fd, whole.data(), whole.size(), 0, as_sa(to), sizeof to),
                  static_cast<ssize_t>(whole.size()));
    }
    singles = router.recv_all(0.2);
    ASSERT_EQ(singles.size(), out.d.size());
    for (int segmentation : {1, 0}) {
        SCOPED_TRACE(segmentation);
        giVexloSegmentation = segmentation;
        EXPECT_EQ(vexlo_sendbatch(self.fd, out.datagrams(), out.count()), out.count());
        EXPECT_EQ(router.recv_all(0.2), singles);
    }
    EXPECT_FALSE(a.recv(0.0).has_value());
    EXPECT_FALSE(b.recv(0.0).has_value());

    /* a datagram vexlo_sendto would refuse ends the batch there, with its errno and line */
    out.d[3].to.sin_family = AF_INET6;
    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(vexlo_sendbatch(self.fd, out.datagrams(), out.count()), 3);
    EXPECT_EQ(errno, ENOTSUP);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "vexlo_sendto:  must specify AF_INET.  FIX YOUR CODE.\n");
    EXPECT_EQ(router.recv_all(0.2), std::vector<std::string>(singles.begin(), singles.begin() + 3));
}

// "<sender port>:<bytes>" of every segment vexlo_recvsegments hands out until `want` came.
std::vector<std::string> segments_until(int fd, size_t want, std::string *out = nullptr) {
    static vexlo_segment segs[VEXLO_SEGMENTS_MAX];
    std::vector<std::string> got;
    fflush(stdout);
    testing::internal::CaptureStdout();
    while (got.size() < want && readable(fd)) {
        int n = vexlo_recvsegments(fd, segs);
        for (int i = 0; i < n; i++) {
            const vexlo_segment &s = segs[i];
            EXPECT_EQ(reinterpret_cast<uintptr_t>(s.bytes) % 8, 0u);
            got.push_back(std::to_string(ntohs(s.from.sin_port)) + ":" +
                          std::string(s.bytes, s.length > 0 ? static_cast<size_t>(s.length) : 0));
        }
    }
    const std::string text = testing::internal::GetCapturedStdout();
    if (out) *out = text;
    return got;
}

std::vector<std::string> with_port(uint16_t port, const std::vector<std::string> &datagrams) {
    std::vector<std::string> out;
    for (const std::string &d : datagrams) out.push_back(std::to_string(port) + ":" + d);
    return out;
}

TEST_F(VexloTest, CoalescedReceiveHandsOutEachDatagramOfABufferInOrder) {
    ts::UdpSocket sender, self;
    const sockaddr_in to_self = inet_addr_of("127.0.0.1", self.port);
    const bool coalescing = vexlo_receive_coalesced(self.fd) == 0;
    OutBatch out = window_fill(to_self, to_self);
    /* a window fill sent as GSO buffers: each datagram as it was sent, one notice each */
    ASSERT_EQ(vexlo_sendbatch(sender.fd, out.datagrams(), out.count()), out.count());
    std::string notices;
    EXPECT_EQ(segments_until(self.fd, out.d.size(), &notices),
              with_port(sender.port, expected_at(out, to_self)));
    std::string lines;
    for (size_t i = 0; i < out.d.size(); i++) lines += kPlainLine;
    EXPECT_EQ(notices, lines);
    if (!coalescing) GTEST_SKIP() << "the kernel has no UDP_GRO; datagrams came one by one";

    /* through the router: segments not from it leave, the rest name the header's sender */
    ASSERT_EQ(init(("127.0.0.1:" + std::to_string(sender.port)).c_str(), 2, self.port), 0);
    ts::UdpSocket stranger;
    OutBatch wrapped;
    const sockaddr_in from_a = inet_addr_of("127.0.0.1", 4001);
    for (uint32_t i = 0; i < 5; i++)
        wrapped.add(wire_header(1, "127.0.0.1", 4001, "127.0.0.1", self.port),
                    ts::random_bytes(1400, 300 + i), to_self);
    giVexloEnabled = 0;  // the router's own sends are plain
    ASSERT_EQ(vexlo_sendbatch(sender.fd, wrapped.datagrams(), wrapped.count()), 5);
    ASSERT_EQ(vexlo_sendbatch(stranger.fd, wrapped.datagrams(), 2), 2);
    giVexloEnabled = 1;
    std::vector<std::string> bodies(wrapped.bodies.begin(), wrapped.bodies.end());
    EXPECT_EQ(segments_until(self.fd, 5), with_port(ntohs(from_a.sin_port), bodies));
}

}  // namespace
