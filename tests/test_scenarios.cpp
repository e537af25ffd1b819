// Swarms of real peers through the netsim router, with fixed seeds: lossy, delayed, reordered
// and broken paths, uploaders that die, serve wrong bytes or lie, and a downloader flooded with
// announcements. Every scenario is bounded, checks the copy byte for byte where one completes,
// and prints its time as "scenario <name>/<profile>: <seconds> s". Each runs once per transport
// profile of kProfiles.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <ostream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "peer_fixture.h"

namespace {

// A way of running the peers: the arguments every peer of a scenario gets.
struct Profile {
    const char *name;
    std::vector<std::string> peer_args;
};

// How a profile shows in test listings.
void PrintTo(const Profile &profile, std::ostream *os) {
    *os << profile.name;
}

const std::vector<Profile> kProfiles = {
    {"classic", {}},
    {"adaptive", {"--transport", "adaptive"}},
};

constexpr double kTimeout = 120.0;  // seconds a download may take before it counts as hung

size_t count_of(const std::string &haystack, const std::string &needle) {
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + 1))
        n++;
    return n;
}

// The resident memory of a process in KiB, from /proc; -1 when it cannot be read.
long resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kib = -1;
            status >> kib;
            return kib;
        }
    }
    return -1;
}

std::string got_line(const std::string &out) {
    return "GOT " + out + " \n";
}

// "<id> <hex>" lines asking for the given chunks of data at output positions 0, 1, ...
std::string request_of(const pf::DataSet &data, const std::vector<int> &chunks) {
    std::string text;
    for (size_t i = 0; i < chunks.size(); i++)
        text += std::to_string(i) + " " + pf::hex_of(data.hashes[static_cast<size_t>(chunks[i])]) +
                "\n";
    return text;
}

std::string chunk_bytes(const pf::DataSet &data, int chunk) {
    return data.bytes.substr(static_cast<size_t>(chunk) * CHUNK_SIZE, CHUNK_SIZE);
}

const char kHashFailure[] = "failed its hash check";

// The largest window of a --window-log file ("<peer id> <ms> <window>" lines); 0 when empty.
int peak_window(const std::string &log) {
    std::istringstream lines(log);
    int id = 0, window = 0, peak = 0;
    long long ms = 0;
    while (lines >> id >> ms >> window) peak = std::max(peak, window);
    return peak;
}

// For each of `peers` peers, a random `held` of `chunks` chunk numbers, drawn from `seed` and
// drawn again from the next seed until every chunk has a holder.
std::vector<std::vector<int>> random_holdings(int peers, int chunks, int held, uint32_t seed) {
    for (;; seed++) {
        std::mt19937 rng(seed);
        std::vector<std::vector<int>> holdings;
        std::set<int> covered;
        for (int p = 0; p < peers; p++) {
            std::vector<int> all;
            for (int c = 0; c < chunks; c++) all.push_back(c);
            std::shuffle(all.begin(), all.end(), rng);
            all.resize(static_cast<size_t>(held));
            std::sort(all.begin(), all.end());
            covered.insert(all.begin(), all.end());
            holdings.push_back(all);
        }
        if (static_cast<int>(covered.size()) == chunks) return holdings;
    }
}

}  // namespace

class Scenario : public testing::TestWithParam<Profile> {
protected:
    double started = ts::monotonic_now();
    ts::Process router;  // declared before the swarm: its peers are stopped first
    uint16_t router_port = 0;
    pf::Swarm swarm;

    void TearDown() override {
        swarm.stop_all();
        router.send_signal(SIGTERM);
        router.wait_exit(5.0);
        const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
        printf("scenario %s: %.1f s\n", info->name(), ts::monotonic_now() - started);
        fflush(stdout);
    }

    // Starts the router with the given impairments; the test fails when it does not come up.
    void start_router(const std::vector<std::string> &args) {
        router_port = pf::start_netsim(router, args);
        ASSERT_NE(0, router_port) << router.err;
    }
    std::vector<std::string> env() const { return pf::via_router(router_port); }
    std::vector<std::string> args(const std::vector<std::string> &more = {}) const {
        std::vector<std::string> a = GetParam().peer_args;
        a.insert(a.end(), more.begin(), more.end());
        return a;
    }
    ts::Process &start_peer(int id, const std::string &has,
                            const std::vector<std::string> &more = {}) {
        return swarm.start(id, has, args(more), env());
    }
    std::string address(int id) { return "127.0.0.1:" + std::to_string(swarm.ports.at(id)); }
    // Whether the peers run the designed (classic) profile.
    bool designed() const { return std::string(GetParam().name) == "classic"; }

    // Types the GET of request (hash-file lines) into the downloader; true once it printed GOT.
    bool get(ts::Process &down, const std::string &request, const std::string &out,
             double timeout_s = kTimeout) {
        ts::write_file(swarm.path(out + ".chunks"), request);
        down.write_stdin("GET " + out + ".chunks " + out + "\n");
        return swarm.wait_for(
                   [&] { return down.out.find(got_line(out)) != std::string::npos || down.exited; },
                   timeout_s) &&
               down.out.find(got_line(out)) != std::string::npos;
    }
    std::string output(const std::string &out) { return ts::read_file(swarm.path(out)); }
    // Waits for the GOT line of out from a GET typed before; true once it is printed.
    bool get_seen(ts::Process &down, const std::string &out, double timeout_s) {
        return swarm.wait_for([&] { return down.out.find(got_line(out)) != std::string::npos; },
                              timeout_s);
    }

    // Passes time while every peer's output is drained.
    void pass(double seconds) {
        swarm.wait_for([] { return false; }, seconds);
    }

    // Peer 2 goes silent, in both directions, from second 1 of the router for `seconds`, while
    // peer 3 holds every chunk too. Peer 2's links have 200 ms of delay, so that its chunks take
    // seconds and the blackout falls into one. Returns the downloader.
    ts::Process *blackout_with_second_holder(int seconds, uint32_t seed) {
        pf::DataSet data(8 * CHUNK_SIZE, seed);
        swarm.write_peer_list({1, 2, 3});
        std::string slow = " delay=200 blackout=1:" + std::to_string(seconds) + "\n";
        ts::write_file(swarm.path("rules"), "all delay=20\nlink " + address(2) + " " + address(1) +
                                                slow + "link " + address(1) + " " + address(2) +
                                                slow);
        start_router({"--config", swarm.path("rules")});
        swarm.write_master(data);
        start_peer(2, data.lines());
        start_peer(3, data.lines());
        ts::Process &down = start_peer(1, "");
        bool done = get(down, data.lines(), "out.bin");
        EXPECT_TRUE(done);
        EXPECT_TRUE(done && output("out.bin") == data.bytes);
        return &down;
    }

    // A data file whose chunk `bad` differs from data's in one byte, and a master chunk file that
    // names it with data's hashes: the files of an uploader that serves wrong bytes for that
    // chunk. Returns the -f argument for it.
    std::vector<std::string> serving_wrong_bytes(const pf::DataSet &data, int bad) {
        std::string bytes = data.bytes;
        bytes[static_cast<size_t>(bad) * CHUNK_SIZE + 1000] ^= 0x55;
        ts::write_file(swarm.path("bad.bin"), bytes);
        ts::write_file(swarm.path("bad.master"),
                       "File: " + swarm.path("bad.bin") + "\nChunks:\n" + data.lines());
        return {"-f", swarm.path("bad.master")};
    }
};

// ---- loss, delay, reordering -----------------------------------------------------------------

TEST_P(Scenario, TwoPercentLossWithBurstCap) {
    start_router({"--loss", "0.02", "--max-consecutive-drops", "2"});
    pf::DataSet data(4 * CHUNK_SIZE - 100, 101);
    EXPECT_TRUE(pf::run_swarm(swarm, data, 3, env(), args(), kTimeout));
}

TEST_P(Scenario, TenPercentDataLoss) {
    start_router({"--loss", "0.10", "--types", "data"});
    pf::DataSet data(2 * CHUNK_SIZE, 102);
    EXPECT_TRUE(pf::run_swarm(swarm, data, 3, env(), args(), kTimeout));
}

// One chunk at a time, twenty times, with the same four chunks asked for again and again: old
// announcements and lost WHOHAS, IHAVE or GET packets must never leave a request waiting for ever.
TEST_P(Scenario, ThirtyPercentControlLossOverTwentyGets) {
    start_router({"--loss", "0.30", "--types", "whohas,ihave,get"});
    pf::DataSet data(4 * CHUNK_SIZE, 103);
    swarm.write_peer_list({1, 2, 3});
    swarm.write_master(data);
    start_peer(2, data.lines());
    start_peer(3, data.lines());
    ts::Process &down = start_peer(1, "");
    for (int i = 0; i < 20; i++) {
        std::string out = "out" + std::to_string(i) + ".bin";
        ASSERT_TRUE(get(down, request_of(data, {i % 4}), out, 60.0)) << out;
        EXPECT_TRUE(output(out) == chunk_bytes(data, i % 4)) << out;
    }
}

// Peer 2's connection outlives five seconds of silence; thirty-five are more than the 30-second
// stall limit, and its chunk is then taken from peer 3. The adaptive downloader moves the chunk
// to idle peer 3 within seconds instead, and gives nothing up.
TEST_P(Scenario, FiveSecondBlackoutWithSecondHolder) {
    ts::Process *down = blackout_with_second_holder(5, 104);
    EXPECT_EQ(0u, count_of(down->out, "giving up on peer"));
}

TEST_P(Scenario, ThirtyFiveSecondBlackoutWithSecondHolder) {
    ts::Process *down = blackout_with_second_holder(35, 105);
    EXPECT_EQ(designed() ? 1u : 0u, count_of(down->out, "giving up on peer 2 \n"));
}

// A round trip of 1.5 s is longer than the classic profile's fixed 1-second retransmission
// timeout: every packet is sent again before its ACK can come back, and the window stays at one
// or two packets. The chunk takes minutes (about 280 s measured), but it completes.
TEST_P(Scenario, OneWayDelayOf750Milliseconds) {
    start_router({"--delay", "750"});
    pf::DataSet data(CHUNK_SIZE, 106);
    EXPECT_TRUE(pf::run_swarm(swarm, data, 1, env(), args(), 480));
}

// One uploader holding six chunks: reordering must cost no 30-second stall (late ACKs of one
// chunk were once taken for the next chunk's).
TEST_P(Scenario, JitterOnEveryPacket) {
    start_router({"--jitter", "20"});
    pf::DataSet data(6 * CHUNK_SIZE, 107);
    EXPECT_TRUE(pf::run_swarm(swarm, data, 1, env(), args(), kTimeout));
    EXPECT_EQ(0u, count_of(swarm.peers.at(1).out, "giving up on peer"));
}

TEST_P(Scenario, JitterOnAcksOnly) {
    start_router({"--jitter", "20", "--types", "ack"});
    pf::DataSet data(6 * CHUNK_SIZE, 108);
    EXPECT_TRUE(pf::run_swarm(swarm, data, 1, env(), args(), kTimeout));
    EXPECT_EQ(0u, count_of(swarm.peers.at(1).out, "giving up on peer"));
}

// Late or duplicated DATA of one chunk must not be spliced into the next one from the same
// uploader. (Such a splice is rare here even without the check; its unit test pins it down.)
TEST_P(Scenario, JitterAndDuplication) {
    start_router({"--jitter", "20", "--dup", "0.05"});
    pf::DataSet data(16 * CHUNK_SIZE, 109);
    EXPECT_TRUE(pf::run_swarm(swarm, data, 1, env(), args(), kTimeout));
    std::string err = swarm.peers.at(1).err;
    EXPECT_EQ(0u, count_of(err, kHashFailure)) << err.substr(0, 3000);
}

// ---- the sending side under a misleading receiver or holder -----------------------------------

// A GET sent twice and late (up to 300 ms of jitter) restarts an upload the downloader has partly
// received: its ACKs for packets above the restarted ones must move the upload on, not stall it
// until a timeout gives up. Eight chunks take about 2 s when they do.
TEST_P(Scenario, RepeatedAndLateGets) {
    pf::DataSet data(8 * CHUNK_SIZE, 119);
    swarm.write_peer_list({1, 2});
    ts::write_file(swarm.path("rules"), "all delay=5\nall jitter=300 dup=0.5 types=get\n");
    start_router({"--config", swarm.path("rules")});
    swarm.write_master(data);
    start_peer(2, data.lines());
    ts::Process &down = start_peer(1, "");
    ASSERT_TRUE(get(down, data.lines(), "out.bin", 20.0));
    EXPECT_TRUE(output("out.bin") == data.bytes);
}

// Every ACK arrives twice and the downloader's downlink takes 500 KB/s behind a queue of about
// 35 packets. Duplicates are no sign that packets left the network: the window must not grow on
// them to anywhere near the window's cap of 256.
TEST_P(Scenario, DuplicatedAcksIntoANarrowDownlink) {
    pf::DataSet data(2 * CHUNK_SIZE, 120);
    swarm.write_peer_list({1, 2});
    ts::write_file(swarm.path("rules"),
                   "all delay=5\nall dup=1 types=ack\nnode " + address(1) + " down=500\n");
    start_router({"--config", swarm.path("rules")});
    swarm.write_master(data);
    start_peer(2, data.lines(), {"--window-log", swarm.path("windows.log")});
    ts::Process &down = start_peer(1, "");
    ASSERT_TRUE(get(down, data.lines(), "out.bin", 30.0));
    EXPECT_TRUE(output("out.bin") == data.bytes);
    swarm.stop_all();  // the log is complete once the uploader has exited
    int peak = peak_window(ts::read_file(swarm.path("windows.log")));
    EXPECT_GT(peak, 1);
    EXPECT_LT(peak, 128);
}

// Holder 2 is stopped (SIGSTOP) a second into the download for 14 s; holder 3 holds every chunk
// too. Alone, holder 3 sends the 8 MiB in about 4 s at its 2000 KB/s uplink: with the adaptive
// profile the download must end while holder 2 is still frozen, its chunk taken from holder 3.
TEST_P(Scenario, FrozenHolderBesideASecondHolder) {
    pf::DataSet data(16 * CHUNK_SIZE, 121);
    swarm.write_peer_list({1, 2, 3});
    ts::write_file(swarm.path("rules"), "all delay=5\nnode " + address(2) + " up=2000\nnode " +
                                            address(3) + " up=2000\n");
    start_router({"--config", swarm.path("rules")});
    swarm.write_master(data);
    ts::Process &frozen = start_peer(2, data.lines());
    start_peer(3, data.lines());
    ts::Process &down = start_peer(1, "");
    ts::write_file(swarm.path("out.bin.chunks"), data.lines());
    down.write_stdin("GET out.bin.chunks out.bin\n");
    pass(1.0);
    frozen.send_signal(SIGSTOP);
    bool done = swarm.wait_for(
        [&] { return down.out.find(got_line("out.bin")) != std::string::npos; }, 14.0);
    frozen.send_signal(SIGCONT);
    if (designed()) {
        // The designed profile keeps the chunk with its holder until the stall check: it ends
        // once holder 2 is back.
        ASSERT_TRUE(done || get_seen(down, "out.bin", 30.0));
    } else {
        ASSERT_TRUE(done) << "no GOT within 15 s of the GET";
    }
    EXPECT_TRUE(output("out.bin") == data.bytes);
}

// 24 peers each hold a random 12 of 40 chunks; 4 of them download the whole file at once through
// 1 ms paths. Each download takes a few seconds; none may hang near its end.
TEST_P(Scenario, TwentyFourPeersFourDownloads) {
    constexpr int kPeers = 24;
    constexpr int kChunks = 40;
    constexpr int kDownloads = 4;
    pf::DataSet data(kChunks * CHUNK_SIZE, 122);
    std::vector<int> ids;
    for (int id = 1; id <= kPeers; id++) ids.push_back(id);
    swarm.write_peer_list(ids);
    start_router({"--delay", "1"});
    swarm.write_master(data);
    std::vector<std::vector<int>> holdings = random_holdings(kPeers, kChunks, 12, 122);
    for (int id = 1; id <= kPeers; id++)
        start_peer(id, data.lines(holdings[static_cast<size_t>(id - 1)]));
    ts::write_file(swarm.path("all.chunks"), data.lines());
    for (int id = 1; id <= kDownloads; id++)
        swarm.peers.at(id).write_stdin("GET all.chunks out" + std::to_string(id) + ".bin\n");
    auto got = [&](int id) {
        return swarm.peers.at(id).out.find(got_line("out" + std::to_string(id) + ".bin")) !=
               std::string::npos;
    };
    swarm.wait_for(
        [&] {
            for (int id = 1; id <= kDownloads; id++)
                if (!got(id)) return false;
            return true;
        },
        40.0);
    for (int id = 1; id <= kDownloads; id++) {
        std::string out = "out" + std::to_string(id) + ".bin";
        EXPECT_TRUE(got(id)) << "download of peer " << id << " not done within 40 s";
        EXPECT_TRUE(got(id) && output(out) == data.bytes) << out;
    }
}

// A seed and 12 --swarm downloaders behind 2000 KB/s uplinks and 8000 KB/s downlinks typing the
// same GET at once; each leaves the moment it prints GOT, with GETs of others still waiting on
// it. Every one must finish: a holder that went away stops counting, and the chunks it held are
// asked of the live holders, the seed included. (A chunk a leaver was sending when it left is
// moved at once by the adaptive profile; the classic one waits out its 30 s stall check.)
TEST_P(Scenario, DownloadersThatLeaveAsTheyFinishWhileTheSeedStays) {
    constexpr int kDownloaders = 12;
    pf::DataSet data(8 * CHUNK_SIZE, 131);
    std::vector<int> ids;
    for (int id = 1; id <= kDownloaders + 1; id++) ids.push_back(id);
    swarm.write_peer_list(ids);
    start_router({"--node", "* up=2000 down=8000"});
    swarm.write_master(data);
    start_peer(1, data.lines(), {"--swarm"});
    for (int id = 2; id <= kDownloaders + 1; id++) start_peer(id, "", {"--swarm"});
    ts::write_file(swarm.path("all.chunks"), data.lines());
    auto out_of = [](int id) { return "out" + std::to_string(id) + ".bin"; };
    for (int id = 2; id <= kDownloaders + 1; id++)
        swarm.peers.at(id).write_stdin("GET all.chunks " + out_of(id) + "\n");
    std::set<int> left;
    swarm.wait_for(
        [&] {
            for (int id = 2; id <= kDownloaders + 1; id++) {
                ts::Process &p = swarm.peers.at(id);
                if (left.count(id) || p.out.find(got_line(out_of(id))) == std::string::npos)
                    continue;
                p.kill_now();
                left.insert(id);
            }
            return static_cast<int>(left.size()) == kDownloaders;
        },
        kTimeout);
    for (int id = 2; id <= kDownloaders + 1; id++) {
        EXPECT_TRUE(left.count(id)) << "downloader " << id << " not done within " << kTimeout << " s";
        EXPECT_TRUE(!left.count(id) || output(out_of(id)) == data.bytes) << out_of(id);
    }
}

// ---- uploaders that die or serve wrong bytes -------------------------------------------------

TEST_P(Scenario, UploaderKilledMidChunkWithSecondHolder) {
    start_router({"--delay", "5"});
    pf::DataSet data(6 * CHUNK_SIZE, 110);
    swarm.write_peer_list({1, 2, 3});
    swarm.write_master(data);
    ts::Process &victim = start_peer(2, data.lines(), {"-d", "4"});
    start_peer(3, data.lines());
    ts::Process &down = start_peer(1, "");
    ts::write_file(swarm.path("out.bin.chunks"), data.lines());
    down.write_stdin("GET out.bin.chunks out.bin\n");
    ASSERT_TRUE(swarm.wait_for(
        [&] { return victim.err.find("Sending seq = 100 \n") != std::string::npos; }, 30.0));
    victim.kill_now();
    // The designed profile gives the dead peer's chunk up after the 30 s stall check; the
    // adaptive one moves it to peer 3 once peer 2 has been silent for a second.
    ASSERT_TRUE(
        swarm.wait_for([&] { return down.out.find(got_line("out.bin")) != std::string::npos; },
                       designed() ? kTimeout : 15.0));
    EXPECT_TRUE(output("out.bin") == data.bytes);
    EXPECT_EQ(designed(), down.out.find("giving up on peer 2 \n") != std::string::npos);
}

// Peer 2's copy of chunk 1 is wrong. Peer 3's announcement comes late, so peer 2 is asked first;
// after the failure the chunk is taken from peer 3.
TEST_P(Scenario, BadUploaderBesideAGoodOne) {
    pf::DataSet data(2 * CHUNK_SIZE, 111);
    swarm.write_peer_list({1, 2, 3});
    ts::write_file(swarm.path("rules"),
                   "link " + address(3) + " " + address(1) + " delay=300 types=ihave\n");
    start_router({"--config", swarm.path("rules")});
    swarm.write_master(data);
    start_peer(2, data.lines(), serving_wrong_bytes(data, 1));
    start_peer(3, data.lines());
    ts::Process &down = start_peer(1, "");
    ASSERT_TRUE(get(down, request_of(data, {1}), "out.bin"));
    EXPECT_TRUE(output("out.bin") == chunk_bytes(data, 1));
    EXPECT_EQ(1u, count_of(down.err, "chunk 0 from peer 2 failed its hash check (1 time)"))
        << down.err;
    EXPECT_EQ(1u, count_of(down.err, kHashFailure));
}

// With the wrong copy the only one, the chunk is asked for again after pauses that grow (1, 2, 4
// seconds ...): a handful of attempts in eight seconds, not a tight loop, and the peer goes on.
TEST_P(Scenario, BadUploaderAlone) {
    start_router({});
    pf::DataSet data(2 * CHUNK_SIZE, 112);
    swarm.write_peer_list({1, 2});
    swarm.write_master(data);
    start_peer(2, data.lines(), serving_wrong_bytes(data, 1));
    ts::Process &down = start_peer(1, "");
    ts::write_file(swarm.path("out.bin.chunks"), request_of(data, {1}));
    down.write_stdin("GET out.bin.chunks out.bin\n");
    ASSERT_TRUE(
        swarm.wait_for([&] { return down.err.find(kHashFailure) != std::string::npos; }, 30.0));
    pass(8.0);
    size_t failures = count_of(down.err, kHashFailure);
    EXPECT_GE(failures, 3u) << down.err;
    EXPECT_LE(failures, 5u) << down.err;
    EXPECT_NE(std::string::npos, down.err.find("chunk 0 from peer 2 failed its hash check"));
    EXPECT_EQ(0u, count_of(down.out, "GOT"));
    down.reap();
    EXPECT_FALSE(down.exited);
}

// 80 chunks: the WHOHAS and the IHAVE each take two packets of at most 74 hashes.
TEST_P(Scenario, RequestOfMoreThan74Chunks) {
    start_router({});
    pf::DataSet data(80 * CHUNK_SIZE - 1000, 113);
    EXPECT_TRUE(pf::run_swarm(swarm, data, 1, env(), args(), kTimeout));
}

// ---- stale announcements, floods and lies ----------------------------------------------------

// Peer 2 served chunk 0 once, then died; a new GET for the chunk finds it back half a second
// later, restarted. The old announcement must not keep the request from being asked again.
TEST_P(Scenario, HolderRestartedAfterItsAnnouncement) {
    start_router({});
    pf::DataSet data(CHUNK_SIZE, 114);
    swarm.write_peer_list({1, 2});
    swarm.write_master(data);
    start_peer(2, data.lines());
    ts::Process &down = start_peer(1, "");
    ASSERT_TRUE(get(down, data.lines(), "a.bin", 20.0));
    swarm.peers.at(2).kill_now();
    swarm.peers.erase(2);
    ts::write_file(swarm.path("b.bin.chunks"), data.lines());
    down.write_stdin("GET b.bin.chunks b.bin\n");
    pass(0.5);
    start_peer(2, data.lines());
    ASSERT_TRUE(swarm.wait_for(
        [&] { return down.out.find(got_line("b.bin")) != std::string::npos; }, 15.0));
    EXPECT_TRUE(output("b.bin") == data.bytes);
}

// Listed peer 9 sends 8000 IHAVEs of 74 random hashes each before any download: the downloader
// keeps none of them, and a download afterwards is as quick as ever.
TEST_P(Scenario, IhaveFloodThenADownload) {
    start_router({});
    pf::DataSet data(6 * CHUNK_SIZE, 115);
    ts::UdpSocket fake;
    swarm.write_peer_list({1, 2, 9}, {{9, fake.port}});
    swarm.write_master(data);
    start_peer(2, data.lines());
    // The downloader holds chunk 5 so that a WHOHAS can show when it has read the whole flood.
    ts::Process &down = start_peer(1, data.lines({5}));
    pass(0.2);
    long before = resident_kib(down.pid);
    std::string random = ts::random_bytes(HASH_SIZE * MAX_CONTROL_HASHES * 8000, 116);
    for (int i = 0; i < 8000; i++) {
        std::vector<std::string> hashes;
        for (int h = 0; h < MAX_CONTROL_HASHES; h++)
            hashes.push_back(random.substr(
                static_cast<size_t>((i * MAX_CONTROL_HASHES + h) * HASH_SIZE), HASH_SIZE));
        std::string ihave = ef::packet(PKT_IHAVE, ef::control_payload(hashes));
        fake.send_to(router_port, pf::encapsulated(9, fake.port, swarm.ports.at(1), ihave));
        if (i % 100 == 99) down.pump(0.002);
    }
    std::string who = ef::packet(PKT_WHOHAS, ef::control_payload({data.hashes[5]}));
    fake.send_to(router_port, pf::encapsulated(9, fake.port, swarm.ports.at(1), who));
    ASSERT_TRUE(swarm.wait_for([&] { return fake.recv(0.01).has_value(); }, 30.0));
    long after = resident_kib(down.pid);
    ASSERT_GT(before, 0);
    EXPECT_LT(after - before, 4096) << before << " KiB before the flood, " << after << " after";
    double asked = ts::monotonic_now();
    ASSERT_TRUE(get(down, data.lines(), "out.bin", 5.0));
    printf("download after the flood: %.2f s\n", ts::monotonic_now() - asked);
    EXPECT_TRUE(output("out.bin") == data.bytes);
}

// Listed peer 9 announces every chunk and answers a GET with DATA of 1401-byte payloads, one
// every half second, for ever. Such packets fit no chunk: its GET goes unanswered, is given up,
// and the chunk comes from honest peer 2, whose announcement arrives later.
TEST_P(Scenario, OversizedDataFromAFakePeer) {
    pf::DataSet data(2 * CHUNK_SIZE, 117);
    ts::UdpSocket fake;
    swarm.write_peer_list({1, 2, 9}, {{9, fake.port}});
    ts::write_file(swarm.path("rules"),
                   "link " + address(2) + " " + address(1) + " delay=300 types=ihave\n");
    start_router({"--config", swarm.path("rules")});
    swarm.write_master(data);
    start_peer(2, data.lines());
    ts::Process &down = start_peer(1, "");
    ts::write_file(swarm.path("out.bin.chunks"), data.lines());
    down.write_stdin("GET out.bin.chunks out.bin\n");
    int gets = 0;
    uint32_t seq = 0;
    double next_data = 0;
    auto to_downloader = [&](const std::string &packet) {
        fake.send_to(router_port, pf::encapsulated(9, fake.port, swarm.ports.at(1), packet));
    };
    bool done = swarm.wait_for(
        [&] {
            while (auto d = fake.recv(0.0)) {
                if (d->size() < 16 + HEADER_SIZE) continue;
                header h = ef::parse_header(d->substr(16));
                if (h.type == PKT_WHOHAS)
                    to_downloader(ef::packet(PKT_IHAVE, d->substr(16 + HEADER_SIZE)));
                if (h.type == PKT_GET) gets++;
            }
            if (gets > 0 && ts::monotonic_now() >= next_data) {
                to_downloader(ef::packet(PKT_DATA, std::string(DATA_PAYLOAD + 1, 'x'), ++seq));
                next_data = ts::monotonic_now() + 0.5;
            }
            return down.out.find(got_line("out.bin")) != std::string::npos;
        },
        40.0);
    ASSERT_TRUE(done);
    EXPECT_TRUE(output("out.bin") == data.bytes);
    EXPECT_GE(gets, 1);
}

// Peer 2's master data file is gone when the GET comes: it refuses the GET, says so and keeps
// serving; once the file is back, the GET sent again is served.
TEST_P(Scenario, GetWhileTheMasterDataFileIsMissing) {
    start_router({});
    pf::DataSet data(CHUNK_SIZE, 118);
    swarm.write_peer_list({1, 2});
    swarm.write_master(data);
    ts::Process &up = start_peer(2, data.lines());
    ASSERT_EQ(0, unlink(swarm.path("data.bin").c_str()));
    ts::Process &down = start_peer(1, "");
    ts::write_file(swarm.path("out.bin.chunks"), data.lines());
    down.write_stdin("GET out.bin.chunks out.bin\n");
    ASSERT_TRUE(swarm.wait_for(
        [&] {
            return up.err.find("Error: GET for chunk 0 refused: cannot open master data file") !=
                   std::string::npos;
        },
        10.0));
    up.reap();
    EXPECT_FALSE(up.exited);
    ts::write_file(swarm.path("data.bin"), data.bytes);
    ASSERT_TRUE(swarm.wait_for(
        [&] { return down.out.find(got_line("out.bin")) != std::string::npos; }, 20.0));
    EXPECT_TRUE(output("out.bin") == data.bytes);
}

INSTANTIATE_TEST_SUITE_P(Profiles, Scenario, testing::ValuesIn(kProfiles),
                         [](const testing::TestParamInfo<Profile> &param_info) {
                             return std::string(param_info.param.name);
                         });
