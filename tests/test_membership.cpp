#include "engine/membership.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <set>

#include "config/debug.h"
#include "engine/process.h"
#include "engine_fixture.h"

using ef::control_payload;
using ef::Engine;
using ef::hash_of;
using ef::packet;
using ef::Packet;

namespace {

struct sockaddr_in loopback_at(uint16_t port, uint32_t host = INADDR_LOOPBACK) {
    struct sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(host);
    a.sin_port = htons(port);
    return a;
}

// A member's address on 127.0.0.2, where no socket of the test (this peer's own among them) is.
struct sockaddr_in synthetic(uint16_t port) {
    return loopback_at(port, INADDR_LOOPBACK + 1);
}

// An engine of peer 1 with peers 2..n+1 listed, started as an open member.
struct OpenEngine : Engine {
    explicit OpenEngine(int n_listed = 0) : Engine(n_listed) {
        config.open_membership = 1;
        struct sockaddr_in self_addr = loopback_at(self.port);
        membership_start(&config, &self_addr);
    }
    membership_t *m() { return config.membership; }
    bt_peer_t *at(const struct sockaddr_in &a) {
        for (bt_peer_t *p = config.peers; p; p = p->next)
            if (p->addr.sin_addr.s_addr == a.sin_addr.s_addr && p->addr.sin_port == a.sin_port)
                return p;
        return nullptr;
    }
    void deliver(const std::string &bytes, struct sockaddr_in from, double now) {
        Packet p(bytes);
        handleDatagram(&config, p.hdr(), static_cast<int>(bytes.size()), &from, now);
    }
};

// A peer exchange body naming the ports on 127.0.0.1 (count given apart, to lie with it).
std::string pex_payload(const std::vector<uint16_t> &ports, int count = -1) {
    std::string body(1, static_cast<char>(count < 0 ? static_cast<int>(ports.size()) : count));
    for (uint16_t port : ports) {
        uint32_t a = htonl(INADDR_LOOPBACK);
        uint16_t p = htons(port);
        body.append(reinterpret_cast<const char *>(&a), 4);
        body.append(reinterpret_cast<const char *>(&p), 2);
    }
    return body;
}

std::set<uint16_t> ports_in(const std::string &bytes) {
    Packet p(bytes);
    struct sockaddr_in got[PEX_MAX_ENTRIES];
    int n = pex_parse(p.hdr(), got);
    std::set<uint16_t> ports;
    for (int i = 0; i < n; i++) ports.insert(ntohs(got[i].sin_port));
    return ports;
}

std::string built_for(OpenEngine &e, bt_peer_t *to, double now) {
    uint8_t buffer[HEADER_SIZE + sizeof(pex_body_t)];
    int len = pex_build(&e.config, to, now, buffer);
    return std::string(reinterpret_cast<char *>(buffer), static_cast<size_t>(len));
}

}  // namespace

TEST(Membership, TheTableIsBoundedAndAStaleMemberMakesRoom) {
    OpenEngine e;
    struct sockaddr_in first = synthetic(20000);
    ASSERT_NE(nullptr, membership_admit(&e.config, &first, 50.0));
    for (int i = 1; i < MEMBER_TABLE_MAX; i++) {
        struct sockaddr_in a = synthetic(static_cast<uint16_t>(20000 + i));
        ASSERT_NE(nullptr, membership_admit(&e.config, &a, 55.0)) << i;
    }
    /* the 513th while every member was heard within PEX_FRESH_S: refused */
    struct sockaddr_in extra = synthetic(30000);
    EXPECT_EQ(nullptr, membership_admit(&e.config, &extra, 60.0));
    EXPECT_EQ(MEMBER_TABLE_MAX, e.m()->table_count);
    /* once the first is stale it makes room, and only it */
    EXPECT_NE(nullptr, membership_admit(&e.config, &extra, 50.0 + PEX_FRESH_S + 1));
    EXPECT_EQ(nullptr, e.at(first));
    EXPECT_NE(nullptr, e.at(synthetic(20001)));
    EXPECT_EQ(MEMBER_TABLE_MAX, e.m()->table_count);
    /* ids are unique and never this peer's */
    std::set<int> ids;
    for (bt_peer_t *p = e.config.peers; p; p = p->next)
        if (p->member) ids.insert(p->id);  // the members, not this peer's own record
    EXPECT_EQ(static_cast<size_t>(MEMBER_TABLE_MAX), ids.size());
    EXPECT_EQ(0u, ids.count(e.config.identity));
}

TEST(Membership, ASilentMemberIsForgottenMidDownloadAndRejoinsWhenItReturns) {
    OpenEngine e;
    ts::UdpSocket xs, ys;
    struct sockaddr_in x = loopback_at(xs.port), y = loopback_at(ys.port);
    ef::fetch(&e.config, {hash_of(1), hash_of(2)});
    e.config.download_in_progress = 1;
    bt_peer_t *xp = membership_admit(&e.config, &x, 100.0);
    bt_peer_t *yp = membership_admit(&e.config, &y, 100.0);
    ef::announce(&e.config, xp, {hash_of(1), hash_of(2)});
    ef::announce(&e.config, yp, {hash_of(2)});
    /* a member admitted during a download is greeted and asked for its chunks at once */
    membership_tick(&e.config, 100.0);
    auto greeting = xs.recv(2.0);
    ASSERT_TRUE(greeting);
    EXPECT_EQ(PKT_PEX, ef::parse_header(*greeting).type);
    auto whohas = xs.recv(2.0);
    ASSERT_TRUE(whohas);
    EXPECT_EQ(packet(PKT_WHOHAS, control_payload({hash_of(1), hash_of(2)})), *whohas);

    /* silence: y, with an upload running, stays; x goes with its announcements */
    yp->sending_active = 1;
    double later = 100.0 + MEMBER_SILENT_S + 1;
    membership_tick(&e.config, later);
    EXPECT_EQ(nullptr, e.at(x));
    EXPECT_EQ(yp, e.at(y));
    EXPECT_EQ(0, announcement_holders(&e.config, ef::u8(hash_of(1))));
    EXPECT_EQ(1, announcement_holders(&e.config, ef::u8(hash_of(2))));
    char why[128];
    EXPECT_TRUE(chunkindex_consistent(&e.config, why, sizeof why)) << why;
    yp->sending_active = 0;

    /* x restarted: its next datagram makes it a member again, greeted anew */
    while (xs.recv(0.05)) {
    }
    e.deliver(packet(PKT_PEX, pex_payload({})), x, later + 1);
    ASSERT_NE(nullptr, e.at(x));
    membership_tick(&e.config, later + 1);
    auto again = xs.recv(2.0);
    ASSERT_TRUE(again);
    EXPECT_EQ(PKT_PEX, ef::parse_header(*again).type);
}

TEST(Membership, PeerExchangeParsingRefusesWhatDoesNotAddUp) {
    auto parse = [](const std::string &payload) {
        Packet p(packet(PKT_PEX, payload));
        struct sockaddr_in got[PEX_MAX_ENTRIES];
        return pex_parse(p.hdr(), got);
    };
    EXPECT_EQ(2, parse(pex_payload({41001, 41002})));
    EXPECT_EQ(0, parse(pex_payload({})));
    EXPECT_EQ(-1, parse(""));                                  /* no count */
    EXPECT_EQ(-1, parse(pex_payload({41001, 41002}).substr(0, 12)));  /* cut in an entry */
    EXPECT_EQ(-1, parse(pex_payload({41001}, 2)));               /* count beyond the bytes */
    std::vector<uint16_t> many(PEX_MAX_ENTRIES + 1, 41001);
    EXPECT_EQ(-1, parse(pex_payload(many)));                     /* too many entries */
    EXPECT_EQ(1, parse(pex_payload({41001, 41002}, 1)));         /* bytes beyond: ignored */
}

TEST(Membership, PeerExchangeListsFreshMembersOnlyNeverTheReceiverAndRotates) {
    OpenEngine e;
    struct sockaddr_in a = synthetic(40001), b = synthetic(40002), old = synthetic(40003);
    bt_peer_t *ap = membership_admit(&e.config, &a, 100.0);
    membership_admit(&e.config, &b, 100.0);
    membership_admit(&e.config, &old, 100.0 - PEX_FRESH_S - 1);
    EXPECT_EQ((std::set<uint16_t>{40002}), ports_in(built_for(e, ap, 100.0)));
    EXPECT_EQ(2, membership_live_count(&e.config, 100.0));

    /* 30 more: two messages to a cover all 31 others */
    for (uint16_t i = 0; i < 30; i++) {
        struct sockaddr_in n = synthetic(static_cast<uint16_t>(40100 + i));
        membership_admit(&e.config, &n, 100.0);
    }
    std::set<uint16_t> first = ports_in(built_for(e, ap, 100.0));
    std::set<uint16_t> second = ports_in(built_for(e, ap, 100.0));
    EXPECT_EQ(static_cast<size_t>(PEX_MAX_ENTRIES), first.size());
    std::set<uint16_t> both = first;
    both.insert(second.begin(), second.end());
    EXPECT_EQ(31u, both.size());
    EXPECT_EQ(0u, both.count(40001));
    EXPECT_EQ(0u, both.count(40003));
}

TEST(Membership, EverySendStaysWithinTheBudget) {
    OpenEngine e;
    for (uint16_t i = 0; i < 200; i++) {
        struct sockaddr_in n = synthetic(static_cast<uint16_t>(41000 + i));
        membership_admit(&e.config, &n, 100.0);
    }
    membership_tick(&e.config, 100.0);
    EXPECT_EQ(static_cast<long long>(MEMBER_SEND_BURST), e.m()->sends);
    double next = membership_next_deadline(&e.config);
    EXPECT_GT(next, 100.0);  // no spinning while the budget is spent
    membership_tick(&e.config, 100.5);
    EXPECT_LE(e.m()->sends, static_cast<long long>(MEMBER_SEND_BURST + 0.5 * MEMBER_SENDS_PER_S));
    EXPECT_GT(e.m()->sends, static_cast<long long>(MEMBER_SEND_BURST));
    /* a peer exchange is answered once per PEX_INTERVAL_S at most */
    for (int t = 0; t < 20; t++) membership_tick(&e.config, 110.0 + t);
    ts::UdpSocket s;
    struct sockaddr_in from = loopback_at(s.port);
    e.deliver(packet(PKT_PEX, pex_payload({})), from, 140.0);
    membership_tick(&e.config, 140.0);  // the greeting
    for (int i = 0; i < 5; i++) e.deliver(packet(PKT_PEX, pex_payload({})), from, 140.5);
    EXPECT_EQ(1u, s.recv_all(0.2).size());
    e.deliver(packet(PKT_PEX, pex_payload({})), from, 140.0 + PEX_INTERVAL_S);
    EXPECT_EQ(1u, s.recv_all(0.2).size());
}

TEST(Membership, CandidatesAreBoundedAndEachContactedOnce) {
    OpenEngine e;
    ts::UdpSocket candidate;
    struct sockaddr_in from = synthetic(42000);
    for (int round = 0; round < 4; round++) {
        std::vector<uint16_t> ports;
        for (int i = 0; i < PEX_MAX_ENTRIES; i++)
            ports.push_back(static_cast<uint16_t>(43000 + round * PEX_MAX_ENTRIES + i));
        if (round == 0) ports[0] = candidate.port;
        e.deliver(packet(PKT_PEX, pex_payload(ports)), from, 100.0);
    }
    EXPECT_EQ(CANDIDATES_MAX, e.m()->candidate_count);
    for (int t = 0; t < 4; t++) membership_tick(&e.config, 100.0 + t);
    std::vector<std::string> got = candidate.recv_all(0.2);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(packet(PKT_PEX, pex_payload({})), got[0]);  /* one small datagram */
    /* named again within CANDIDATE_TTL_S: not contacted again */
    e.deliver(packet(PKT_PEX, pex_payload({candidate.port})), from, 105.0);
    membership_tick(&e.config, 105.0);
    EXPECT_TRUE(candidate.recv_all(0.2).empty());
    /* its answer makes it a member, no longer a candidate */
    e.deliver(packet(PKT_PEX, pex_payload({})), loopback_at(candidate.port), 106.0);
    EXPECT_NE(nullptr, e.at(loopback_at(candidate.port)));
    EXPECT_EQ(CANDIDATES_MAX - 1, e.m()->candidate_count);
}

TEST(Membership, TypesSixAndSevenAreDroppedAtTheHeaderCheckWithoutOpen) {
    for (uint8_t type : {PKT_PEX, PKT_META}) {
        Engine e(1);
        unsigned saved = debug;
        debug = DEBUG_ERRS;
        testing::internal::CaptureStderr();
        struct sockaddr_in from = e.addr_of(2);
        Packet p(packet(type, pex_payload({41001})));
        handleDatagram(&e.config, p.hdr(), static_cast<int>(p.size), &from, 100.0);
        std::string err = testing::internal::GetCapturedStderr();
        debug = saved;
        EXPECT_NE(std::string::npos, err.find("Hdr Error: Invalid Type: " +
                                              std::to_string(type) + " \n"));
        EXPECT_NE(std::string::npos, err.find("Bad packet header. Discarding... \n"));
        EXPECT_EQ(nullptr, e.config.membership);
    }
    /* an open member still calls type 5 unknown */
    OpenEngine o;
    testing::internal::CaptureStderr();
    o.deliver(packet(5), synthetic(42001), 100.0);
    EXPECT_EQ("received unknown type = 5 \n", testing::internal::GetCapturedStderr());
}

TEST(Membership, AMetadataHeadIsAskedForServedAndChecked) {
    OpenEngine server, getter;
    uint8_t digest[META_DIGEST_SIZE];
    memset(digest, 7, sizeof digest);
    uint8_t pieces[3][HASH_SIZE];
    memset(pieces, 9, sizeof pieces);
    EXPECT_FALSE(membership_set_metadata(&server.config, digest, 2 * META_PIECE_BYTES, pieces, 3));
    ASSERT_TRUE(membership_set_metadata(&server.config, digest, 2 * META_PIECE_BYTES + 1, pieces, 3));
    struct sockaddr_in server_addr = loopback_at(server.self.port);
    membership_add_entry(&getter.config, &server_addr);
    membership_want_metadata(&getter.config, digest);
    membership_tick(&getter.config, 100.0);
    EXPECT_EQ(nullptr, membership_metadata_head(&getter.config));
    /* the getter's datagrams reach the server, and the server's answers the getter */
    uint16_t from_port = 0;
    bool asked = false;
    while (auto d = server.self.recv(0.3, &from_port)) {
        asked |= ef::parse_header(*d).type == PKT_META;
        server.deliver(*d, loopback_at(from_port), 100.0);
    }
    EXPECT_TRUE(asked);
    while (auto d = getter.self.recv(0.3, &from_port)) getter.deliver(*d, loopback_at(from_port), 100.0);
    const meta_head_t *head = membership_metadata_head(&getter.config);
    ASSERT_NE(nullptr, head);
    EXPECT_EQ(2u * META_PIECE_BYTES + 1, head->length);
    EXPECT_EQ(3, head->count);
    EXPECT_EQ(0, memcmp(head->pieces, pieces, sizeof pieces));

    /* a head whose length and piece count disagree is dropped */
    OpenEngine other;
    membership_want_metadata(&other.config, digest);
    std::string bad(1, static_cast<char>(META_HEAD));
    bad.append(reinterpret_cast<char *>(digest), META_DIGEST_SIZE);
    bad += std::string("\x00\x10\x00\x01\x00\x02", 6) + std::string(2 * HASH_SIZE, 'p');
    other.deliver(packet(PKT_META, bad), synthetic(44000), 100.0);
    EXPECT_EQ(nullptr, membership_metadata_head(&other.config));
}

TEST(Membership, EntryPointsThatNeverAnswerAreNamed) {
    Engine e(0);
    e.config.open_membership = 1;
    struct sockaddr_in a = synthetic(45001), b = synthetic(45002);
    membership_add_entry(&e.config, &a);
    membership_add_entry(&e.config, &b);
    EXPECT_EQ(nullptr, membership_admit(&e.config, &b, 99.0));  // nobody before the start
    struct sockaddr_in self_addr = loopback_at(e.self.port);
    membership_start(&e.config, &self_addr);
    membership_admit(&e.config, &b, 100.0);
    char text[64];
    EXPECT_EQ(1, membership_describe_silence(&e.config, text, sizeof text));
    EXPECT_STREQ("127.0.0.2:45001", text);
}

TEST(Membership, AnEntryPointNeverHeardFromIsGreetedAgainSoonerThanAKeepAlive) {
    Engine e(0);
    e.config.open_membership = 1;
    ts::UdpSocket entry;
    struct sockaddr_in entry_addr = loopback_at(entry.port);
    membership_add_entry(&e.config, &entry_addr);
    struct sockaddr_in self_addr = loopback_at(e.self.port);
    membership_start(&e.config, &self_addr);
    auto greetings_at = [&](double now) {
        membership_tick(&e.config, now);
        return entry.recv_all(0.05).size();
    };
    EXPECT_EQ(1u, greetings_at(100.0));
    EXPECT_EQ(0u, greetings_at(100.0 + MEMBER_GREET_RETRY_S - 0.01));
    EXPECT_EQ(1u, greetings_at(100.0 + MEMBER_GREET_RETRY_S));
    EXPECT_EQ(0u, greetings_at(100.0 + 3 * MEMBER_GREET_RETRY_S - 0.01));  /* the gap doubled */
    EXPECT_EQ(1u, greetings_at(100.0 + 3 * MEMBER_GREET_RETRY_S));
    /* once it answered, keep-alives only */
    membership_admit(&e.config, &entry_addr, 102.0);
    EXPECT_EQ(0u, greetings_at(102.0 + MEMBER_KEEPALIVE_S - 1));
    EXPECT_EQ(1u, greetings_at(100.0 + 3 * MEMBER_GREET_RETRY_S + MEMBER_KEEPALIVE_S));
}

// Three real peers on 127.0.0.1: the second and third know only the first; the third learns of
// the second through the first's peer exchange and fetches the chunk only the second holds.
static void learn_and_fetch(const std::vector<std::string> &common) {
    ts::TempDir dir;
    std::string data = ts::random_bytes(2 * CHUNK_SIZE, 11);
    ts::write_file(dir.file("data.bin"), data);
    std::string hash0 = ts::reference_sha1_hex(data.substr(0, CHUNK_SIZE));
    std::string hash1 = ts::reference_sha1_hex(data.substr(CHUNK_SIZE));
    ts::write_file(dir.file("master.chunks"), "File: " + dir.file("data.bin") + "\nChunks:\n0 " +
                                                  hash0 + "\n1 " + hash1 + "\n");
    ts::write_file(dir.file("a.chunks"), "0 " + hash0 + "\n");
    ts::write_file(dir.file("b.chunks"), "1 " + hash1 + "\n");
    ts::write_file(dir.file("none.chunks"), "");
    ts::write_file(dir.file("want.chunks"), "0 " + hash1 + "\n");
    ts::write_file(dir.file("k.key"), std::string(64, 'a') + "\n");
    chmod(dir.file("k.key").c_str(), 0600);
    std::string entry = "127.0.0.1:" + std::to_string(ts::free_udp_port());
    auto start = [&](const std::vector<std::string> &extra, const std::string &has) {
        std::vector<std::string> argv = {ts::bin("peer"), "--open", "-c", dir.file(has), "-f",
                                         dir.file("master.chunks")};
        argv.insert(argv.end(), extra.begin(), extra.end());
        for (const std::string &arg : common) argv.push_back(arg == "KEY" ? dir.file("k.key") : arg);
        return ts::spawn(argv, {}, dir.path);
    };
    ts::Process a = start({"--port", entry.substr(entry.find(':') + 1)}, "a.chunks");
    ts::Process b = start({"--port", "0", "--entry", entry}, "b.chunks");
    ASSERT_TRUE(b.wait_stderr("vexlo_init", 5.0));
    ts::Process c = start({"--port", "0", "--entry", entry, "-x", "1"}, "none.chunks");
    ASSERT_TRUE(c.wait_stderr("vexlo_init", 5.0));
    double t0 = ts::monotonic_now();
    // The third may ask before it knows the second; the rediscovery round asks again.
    c.write_stdin("GET want.chunks out.bin\n");
    ASSERT_TRUE(c.wait_stdout("GOT out.bin", 20.0)) << c.err;
    EXPECT_TRUE(c.wait_exit(5.0));
    EXPECT_EQ(10, c.status);
    EXPECT_EQ(data.substr(CHUNK_SIZE), ts::read_file(dir.file("out.bin")));
    printf("fetched through peer exchange in %.2f s\n", ts::monotonic_now() - t0);
}

TEST(Membership, APeerLearnsAnotherThroughPeerExchangeAndFetchesFromIt) {
    learn_and_fetch({});
}

TEST(Membership, SealedMembersBoundToTheirAddressesDoTheSame) {
    learn_and_fetch({"--key", "KEY"});
}

TEST(Membership, OptionsThatNeedOpenOrContradictAListAreRefused) {
    ts::TempDir dir;
    struct {
        std::vector<std::string> args;
        const char *message;
    } cases[] = {
        {{"--entry", "127.0.0.1:4000"}, "bt_parse error:  --entry needs --open\n"},
        {{"--open", "--entry", "127.0.0.1"}, "bt_parse error:  --entry takes ADDRESS:PORT"},
        {{"--open", "--entry", "host:4000"}, "--entry takes an IPv4 address, not 'host'"},
        {{"--open", "--port", "70000"}, "--port takes a number from 0 to 65535, not '70000'"},
        {{"--open", "--port", "0", "-p", "x.map"}, "--port is for a peer without a peer list"},
    };
    for (auto &c : cases) {
        std::vector<std::string> argv = {ts::bin("peer"), "-c", "x", "-f", "y"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        ts::RunResult r = ts::run(argv, "", 5.0, {}, dir.path);
        EXPECT_EQ(255, r.status) << c.message;
        EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
    }
}
