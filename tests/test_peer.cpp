// The peer program as a process: start-up, the GET command, discovery and the header check,
// talked to from test-owned UDP sockets.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "engine_fixture.h"
#include "peer_fixture.h"

using ef::control_payload;
using ef::packet;

namespace {

// Peer 1 under test; ids 2 and 3 are test sockets. Peer 1 holds chunks 1 and 3 of `data`.
struct OnePeer {
    pf::Swarm swarm;
    pf::DataSet data{4 * 1000, 11};  // four tiny "chunks" are enough for discovery
    ts::UdpSocket s2, s3;
    ts::Process *peer = nullptr;

    explicit OnePeer(const std::vector<std::string> &extra = {}) {
        // Hashes of four distinct byte ranges stand in for chunks here.
        data.hashes.clear();
        for (int i = 0; i < 4; i++)
            data.hashes.push_back(
                ef::sha_raw(data.bytes.substr(static_cast<size_t>(i) * 1000, 1000)));
        swarm.write_peer_list({1, 2, 3}, {{2, s2.port}, {3, s3.port}});
        swarm.write_master(data);
        peer = &swarm.start(1, data.lines({1, 3}), extra);
        // The peer is ready once it answers: poll with a WHOHAS for a held chunk.
        for (int i = 0; i < 100; i++) {
            s2.send_to(port(), packet(PKT_WHOHAS, control_payload({data.hashes[1]})));
            if (s2.recv(0.05)) break;
        }
        s2.recv_all(0.1);
    }
    uint16_t port() { return swarm.ports[1]; }
    void type(const std::string &line) { peer->write_stdin(line); }
};

}  // namespace

TEST(PeerProcess, AnswersWhoHasWithHeldHashesInRequestOrder) {
    OnePeer t;
    auto &h = t.data.hashes;
    t.s3.send_to(t.port(), packet(PKT_WHOHAS, control_payload({h[3], h[0], h[1]})));
    auto reply = t.s3.recv(3.0);
    ASSERT_TRUE(reply);
    EXPECT_EQ(packet(PKT_IHAVE, control_payload({h[3], h[1]})), *reply);

    /* none held: no answer */
    t.s3.send_to(t.port(), packet(PKT_WHOHAS, control_payload({h[0], h[2]})));
    EXPECT_FALSE(t.s3.recv(0.5));

    /* an unlisted sender is answered too, at its own address */
    ts::UdpSocket stranger;
    stranger.send_to(t.port(), packet(PKT_WHOHAS, control_payload({h[1]})));
    auto r = stranger.recv(3.0);
    ASSERT_TRUE(r);
    EXPECT_EQ(packet(PKT_IHAVE, control_payload({h[1]})), *r);
}

TEST(PeerProcess, GetLineSendsWhoHasToEveryOtherPeerThenOneGetPerIHave) {
    OnePeer t({"-d", "2"});
    auto &h = t.data.hashes;
    ts::write_file(t.swarm.path("want.chunks"), t.data.lines({0, 2}));
    t.type("GET want.chunks out.dat\n");
    std::string who = packet(PKT_WHOHAS, control_payload({h[0], h[2]}));
    auto at2 = t.s2.recv(3.0);
    auto at3 = t.s3.recv(3.0);
    ASSERT_TRUE(at2);
    ASSERT_TRUE(at3);
    EXPECT_EQ(who, *at2);
    EXPECT_EQ(who, *at3);
    // Never to itself: it would have answered its own WHOHAS.
    EXPECT_EQ(std::string::npos, t.peer->err.find("received WHO_HAS"));

    /* an IHAVE leads to exactly one GET, for the first wanted chunk announced */
    t.s3.send_to(t.port(), packet(PKT_IHAVE, control_payload({h[2], h[0]})));
    auto get = t.s3.recv(3.0);
    ASSERT_TRUE(get);
    EXPECT_EQ(packet(PKT_GET, h[0]), *get);
    EXPECT_FALSE(t.s3.recv(0.5));

    /* the second announcer gets the other chunk */
    t.s2.send_to(t.port(), packet(PKT_IHAVE, control_payload({h[0], h[2]})));
    auto get2 = t.s2.recv(3.0);
    ASSERT_TRUE(get2);
    EXPECT_EQ(packet(PKT_GET, h[2]), *get2);

    /* a second GET is refused while one runs */
    t.type("GET want.chunks other.dat\n");
    EXPECT_TRUE(t.peer->wait_stderr("Error: you already have a download in progress!\n", 3.0));
}

TEST(PeerProcess, GetLinesThatAreNotCommandsAndRefusedRequests) {
    OnePeer t;
    ts::write_file(t.swarm.path("empty.chunks"), "");
    ts::write_file(t.swarm.path("want.chunks"), t.data.lines({0}));
    /* ignored without a message */
    t.type("get want.chunks out.dat\n GET want.chunks out.dat\nGET want.chunks\n\n");
    /* refused, and a later GET still accepted */
    t.type("GET missing.chunks out.dat\n");
    EXPECT_TRUE(t.peer->wait_stderr("missing.chunks cannot be read or holds no chunk hashes", 3.0));
    t.type("GET empty.chunks out.dat\n");
    EXPECT_TRUE(t.peer->wait_stderr("empty.chunks cannot be read or holds no chunk hashes", 3.0));
    t.type("GET want.chunks no/such/dir/out.dat\n");
    EXPECT_TRUE(t.peer->wait_stderr(
        "cannot create output file no/such/dir/out.dat: No such file or directory", 3.0));
    /* names longer than 120 characters are refused, not cut into a name never typed */
    std::string long_name(125, 'n');
    t.type("GET " + long_name + " out.dat\nGET want.chunks " + long_name + "\n");
    EXPECT_TRUE(t.peer->wait_until(
        [&] {
            std::string needle = "a file name is longer than 120 characters";
            size_t first = t.peer->err.find(needle);
            return first != std::string::npos &&
                   t.peer->err.find(needle, first + 1) != std::string::npos;
        },
        3.0));
    EXPECT_NE(0, access(t.swarm.path(long_name.substr(120)).c_str(), F_OK));
    /* the peer's own files are never a download's output */
    std::string data_before = ts::read_file(t.swarm.path("data.bin"));
    t.type(
        "GET want.chunks data.bin\nGET want.chunks master.chunks\nGET want.chunks want.chunks\n");
    EXPECT_TRUE(t.peer->wait_stderr("output file want.chunks is this peer's own file", 3.0));
    EXPECT_TRUE(t.peer->wait_stderr("output file master.chunks is this peer's own file", 3.0));
    EXPECT_NE(std::string::npos, t.peer->err.find("output file data.bin is this peer's own file"));
    EXPECT_EQ(data_before, ts::read_file(t.swarm.path("data.bin")));
    EXPECT_FALSE(t.s2.recv(0.3));        // nothing was sent so far
    t.type("GETwant.chunks out.dat\n");  // the blank in the format may match nothing
    auto who = t.s2.recv(3.0);
    ASSERT_TRUE(who);
    EXPECT_EQ(PKT_WHOHAS, ef::parse_header(*who).type);
    EXPECT_EQ(std::string::npos, t.peer->err.find("already have a download"));
}

TEST(PeerProcess, AGetOfChunksAtTheirPlacesInALargerFileHasNoWarning) {
    OnePeer t;
    std::string hex = pf::hex_of(t.data.hashes[0]);
    /* chunks at their places in a larger file are the usual case: no word */
    ts::write_file(t.swarm.path("near.chunks"), "2047 " + hex + "\n");
    t.type("GET near.chunks near.dat\n");
    ASSERT_TRUE(t.s2.recv(3.0));  // its WHOHAS, sent after any warning
    EXPECT_FALSE(t.peer->wait_stderr("Warning", 0.5));
}

TEST(PeerProcess, AGetOfAFarChunkIsFetchedAsAskedWithAWarning) {
    OnePeer t;
    ts::write_file(t.swarm.path("far.chunks"),
                   "1000000000 " + pf::hex_of(t.data.hashes[0]) + "\n");
    t.type("GET far.chunks far.dat\n");
    EXPECT_TRUE(t.peer->wait_stderr("Warning: far.chunks names 1 chunk, the furthest at index "
                                    "1000000000: far.dat will be 524288000524288 bytes long, "
                                    "most of it holes\n",
                                    3.0));
    auto who = t.s2.recv(3.0);
    ASSERT_TRUE(who);
    EXPECT_EQ(PKT_WHOHAS, ef::parse_header(*who).type);
}

TEST(PeerProcess, BadHeadersAreDroppedAndTypeFiveReported) {
    OnePeer t({"-d", "1"});
    std::string bad_magic = packet(PKT_WHOHAS, control_payload({t.data.hashes[1]}));
    bad_magic[0] = '\x12';
    bad_magic[1] = '\x34';
    std::string bad_version = packet(PKT_WHOHAS, control_payload({t.data.hashes[1]}));
    bad_version[2] = 2;
    std::string cut = packet(PKT_WHOHAS, control_payload({t.data.hashes[1]})).substr(0, 30);
    for (auto &b : {bad_magic, bad_version, cut, std::string("tiny")}) t.s2.send_to(t.port(), b);
    t.s2.send_to(t.port(), packet(5));
    EXPECT_FALSE(t.s2.recv(0.5));  // none of them answered
    EXPECT_TRUE(t.peer->wait_stderr("Hdr Error: Bad Version\n", 3.0));
    EXPECT_TRUE(t.peer->wait_stderr("larger than the 30 bytes received", 3.0));
    t.peer->send_signal(SIGTERM);
    ASSERT_TRUE(t.peer->wait_exit(5.0));
    EXPECT_EQ(1, t.peer->status);
    const std::string &out = t.peer->out;
    EXPECT_NE(std::string::npos,
              out.find("byte 0 = 12 \nbyte 1 = 34 \nbyte 2 = 1 \nbyte 3 = 0 \n"));
    EXPECT_NE(std::string::npos, out.find("byte 15 = 0 \n"));
    // Unmarked, and not one of the messages named for standard output: standard error.
    EXPECT_NE(std::string::npos, t.peer->err.find("received unknown type = 5 \n"));
    EXPECT_EQ(std::string::npos, out.find("unknown type"));
    EXPECT_NE(std::string::npos, out.find("ouch, got signal 15 ! Exiting \n"));
    EXPECT_NE(std::string::npos, t.peer->err.find("Bad packet header. Discarding... \n"));
}

TEST(PeerProcess, StartupFailures) {
    pf::Swarm s;
    s.write_peer_list({1, 2});
    ts::write_file(s.path("h"), "");
    std::string nodes = s.path("nodes.map");
    struct {
        const char *label;
        std::vector<std::string> args;
        int status;
        const char *message;
    } cases[] = {
        {"no peer list",
         {"-p", s.path("absent.map"), "-c", "h", "-f", "h", "-i", "1"},
         255,
         "absent.map"},
        {"identity not listed",
         {"-p", nodes, "-c", "h", "-f", "h", "-i", "7"},
         255,
         "bt_parse error:  No peer information for myself (id 7)!\n"},
        {"no identity",
         {"-p", nodes, "-c", "h", "-f", "h"},
         255,
         "bt_parse error:  Node identity must not be zero!\n"},
        {"bad option", {"-p", nodes, "-q"}, 255, "usage:  peer"},
        {"help", {"-h"}, 0, "-i <identity>     Which peer # am I?\n"},
    };
    for (auto &c : cases) {
        std::vector<std::string> argv = {ts::bin("peer")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = ts::run(argv, "", 10.0, {}, s.dir.path);
        EXPECT_EQ(c.status, r.status) << c.label;
        EXPECT_NE(std::string::npos, r.err.find(c.message)) << c.label << ": " << r.err;
    }
    /* the port is taken */
    ts::UdpSocket taken;
    s.write_peer_list({1}, {{1, taken.port}});
    auto r = ts::run({ts::bin("peer"), "-p", nodes, "-c", "h", "-f", "h", "-i", "1"}, "", 10.0, {},
                     s.dir.path);
    EXPECT_EQ(255, r.status);
    EXPECT_NE(std::string::npos,
              r.err.find("peer_run could not bind socket: Address already in use"));
}

TEST(PeerProcess, ConfigurationDumpUnderDebug16) {
    pf::Swarm s;
    s.write_peer_list({1, 2});
    ts::write_file(s.path("h"), "");
    std::string nodes = s.path("nodes.map");
    ts::Process p = ts::spawn(
        {ts::bin("peer"), "-p", nodes, "-c", "h", "-f", "h", "-i", "2", "-d", "16", "-m", "3"}, {},
        s.dir.path, {"VEXLO_ROUTER"});
    ASSERT_TRUE(p.wait_stdout("  peer 1: 127.0.0.1:" + std::to_string(s.ports[1]) + "\n", 5.0))
        << p.out;
    std::string expected =
        "VX-902 PROJECT 2 PEER\n\nchunk-file:     h\nhas-chunk-file: h\nmax-conn:       3\n"
        "peer-identity:  2\npeer-list-file: " +
        nodes + "\n" + "  peer 2: 127.0.0.1:" + std::to_string(s.ports[2]) + "\n" +
        "  peer 1: 127.0.0.1:" + std::to_string(s.ports[1]) + "\n";
    EXPECT_EQ(expected, p.out);
    p.send_signal(SIGINT);
    ASSERT_TRUE(p.wait_exit(5.0));
    EXPECT_EQ(1, p.status);
    EXPECT_NE(std::string::npos, p.out.find("ouch, got signal 2 ! Exiting \n"));
}

namespace {

// User plus system CPU seconds a process has used so far, from /proc.
double cpu_seconds(pid_t pid) {
    std::string stat = ts::read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t pos = stat.rfind(')');
    std::istringstream fields(stat.substr(pos + 2));
    std::string skip;
    for (int i = 0; i < 11; i++) fields >> skip;  // state .. cmajflt
    double utime = 0, stime = 0;
    fields >> utime >> stime;
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

TEST(PeerProcess, StartedWithStandardStreamsClosedServesItsSocketOnly) {
    // With descriptor 0 closed the socket would get it, and datagrams would be read as input.
    pf::Swarm swarm;
    pf::DataSet data{3 * CHUNK_SIZE / 2, 5};
    ts::UdpSocket s2;
    swarm.write_peer_list({1, 2}, {{2, s2.port}});
    swarm.write_master(data);
    ts::write_file(swarm.path("has1.chunks"), data.lines());
    std::string cmd =
        ts::bin("peer") + " -p nodes.map -c has1.chunks -f master.chunks -i 1 <&- >&- 2>&-";
    ts::Process p =
        ts::spawn({"/bin/sh", "-c", "exec " + cmd}, {}, swarm.dir.path, {"VEXLO_ROUTER"});
    std::string who = packet(PKT_WHOHAS, control_payload({data.hashes[1]}));
    std::optional<std::string> ready;
    for (int tries = 0; tries < 200 && !ready; tries++) {
        s2.send_to(swarm.ports[1], who);
        ready = s2.recv(0.05);
    }
    ASSERT_TRUE(ready);
    s2.recv_all(0.1);
    /* every WHOHAS is answered: none is taken for a line of input */
    for (int i = 0; i < 6; i++) {
        s2.send_to(swarm.ports[1], who);
        EXPECT_TRUE(s2.recv(2.0)) << "WHOHAS " << i << " unanswered";
    }
    EXPECT_FALSE(p.exited);
}

TEST(PeerProcess, KeepsServingQuietlyAfterStandardInputEnds) {
    OnePeer t;
    t.peer->close_stdin();
    double before = cpu_seconds(t.peer->pid);
    // A peer that kept watching its finished input would spin: a whole core for this second.
    t.peer->wait_until([] { return false; }, 1.0);
    EXPECT_LT(cpu_seconds(t.peer->pid) - before, 0.5);
    t.s2.send_to(t.port(), packet(PKT_WHOHAS, control_payload({t.data.hashes[3]})));
    auto reply = t.s2.recv(3.0);
    ASSERT_TRUE(reply);
    EXPECT_EQ(packet(PKT_IHAVE, control_payload({t.data.hashes[3]})), *reply);
}
