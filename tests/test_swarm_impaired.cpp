// Swarms over impaired paths: through the netsim router, through a router of the test's own
// that drops chosen packets, and with an uploader that dies mid-chunk. Every download must
// complete and equal the data file byte for byte.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <signal.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

#include "peer_fixture.h"

namespace {

constexpr double kSwarmTimeout = 180.0;  // seconds a scenario may take before it counts as hung

struct NetsimCase {
    const char *label;
    std::vector<std::string> args;
    int chunks = 4;  // every loss costs a connection about a second: heavy loss gets less data
};

// What gtest prints for a case (test lists, failures): its label, not its bytes.
void PrintTo(const NetsimCase &c, std::ostream *os) {
    *os << '"' << c.label << '"';
}

}  // namespace

class NetsimSwarm : public testing::TestWithParam<NetsimCase> {};

TEST_P(NetsimSwarm, CompletesByteExact) {
    const NetsimCase &c = GetParam();
    ts::Process router;
    uint16_t port = pf::start_netsim(router, c.args);
    ASSERT_NE(0, port) << router.err;
    pf::Swarm s;
    pf::DataSet data(static_cast<size_t>(c.chunks) * CHUNK_SIZE - 100, 31);
    bool ok = pf::run_swarm(s, data, 3, pf::via_router(port), {}, kSwarmTimeout);
    router.send_signal(SIGTERM);
    router.wait_exit(5.0);
    EXPECT_TRUE(ok) << c.label << "\ndownloader:\n"
                    << s.peers.at(1).err.substr(0, 4000) << "\nnetsim:\n"
                    << router.out;
    EXPECT_EQ(0, router.status) << router.err;
}

INSTANTIATE_TEST_SUITE_P(
    Impairments, NetsimSwarm,
    testing::Values(NetsimCase{"2% loss on everything", {"--loss", "0.02"}},
                    NetsimCase{"10% loss on DATA", {"--loss", "0.10", "--types", "data"}, 2},
                    NetsimCase{"30% loss on WHOHAS/IHAVE/GET",
                               {"--loss", "0.30", "--types", "whohas,ihave,get"}},
                    NetsimCase{"1% corruption of DATA payload",
                               {"--corrupt", "0.01", "--corrupt-data-only"}},
                    NetsimCase{"duplication and reordering",
                               {"--dup", "0.05", "--delay", "1", "--jitter", "4"}}),
    [](const testing::TestParamInfo<NetsimCase> &param_info) {
        std::string name;
        for (const char *p = param_info.param.label; *p; p++)
            if (isalnum(static_cast<unsigned char>(*p))) name += *p;
        return name;
    });

namespace {

// A router run by the test: forwards every encapsulated datagram to the destination its header
// names, except those `drop` picks (given the peer packet header behind the 16-byte encapsulation
// header, and the sender's port).
struct DroppingRouter {
    ts::UdpSocket sock;
    std::atomic<bool> stop{false};
    std::function<bool(const header &, uint16_t)> drop;
    std::atomic<int> dropped{0};
    std::thread worker;

    explicit DroppingRouter(std::function<bool(const header &, uint16_t)> pick)
        : drop(std::move(pick)) {
        worker = std::thread([this] { loop(); });
    }
    ~DroppingRouter() {
        stop = true;
        worker.join();
    }
    void loop() {
        while (!stop) {
            auto d = sock.recv(0.05);
            if (!d || d->size() < 16) continue;
            if (d->size() >= 32) {
                header h{};
                memcpy(&h, d->data() + 16, sizeof h);
                uint16_t src_port = 0;
                memcpy(&src_port, d->data() + 12, 2);
                if (drop(h, ntohs(src_port))) {
                    dropped++;
                    continue;
                }
            }
            uint16_t dest_port = 0;
            memcpy(&dest_port, d->data() + 14, 2);
            sock.send_to(ntohs(dest_port), *d);
        }
    }
};

}  // namespace

TEST(ImpairedSwarm, LastDataPacketAndFinalAckDroppedOnceEach) {
    std::atomic<bool> data_dropped{false}, ack_dropped{false};
    DroppingRouter router([&](const header &h, uint16_t) {
        if (h.type == PKT_DATA && ntohl(h.seq) == PACKETS_PER_CHUNK && !data_dropped.exchange(true))
            return true;
        if (h.type == PKT_ACK && ntohl(h.ack) == PACKETS_PER_CHUNK && !ack_dropped.exchange(true))
            return true;
        return false;
    });
    pf::Swarm s;
    pf::DataSet data(2 * CHUNK_SIZE, 41);
    EXPECT_TRUE(pf::run_swarm(s, data, 1, pf::via_router(router.sock.port), {}, kSwarmTimeout));
    EXPECT_EQ(2, router.dropped.load());
}

TEST(ImpairedSwarm, FirstWhoHasAndFirstGetLostAreRecovered) {
    std::atomic<int> whohas_seen{0}, gets_seen{0};
    DroppingRouter router([&](const header &h, uint16_t) {
        if (h.type == PKT_WHOHAS)
            return whohas_seen++ < 1;  // the WHOHAS to one of the two uploaders
        if (h.type == PKT_GET) return gets_seen++ < 1;
        return false;
    });
    pf::Swarm s;
    pf::DataSet data(3 * CHUNK_SIZE, 43);
    EXPECT_TRUE(pf::run_swarm(s, data, 2, pf::via_router(router.sock.port), {}, kSwarmTimeout));
    EXPECT_EQ(2, router.dropped.load());
}

TEST(ImpairedSwarm, UploaderKilledMidChunkIsGivenUp) {
    pf::DataSet data(2 * CHUNK_SIZE, 45);
    pf::Swarm s;
    s.write_peer_list({1, 2, 3});
    const uint16_t victim_port = s.ports.at(3);
    std::atomic<pid_t> victim{0};
    // Peer 3 is killed when its 50th DATA packet passes; from then on nothing of it arrives.
    DroppingRouter router([&](const header &h, uint16_t src_port) {
        if (src_port != victim_port) return false;
        if (h.type == PKT_DATA && ntohl(h.seq) == 50 && victim.load() > 0) {
            kill(victim.exchange(-1), SIGKILL);
        }
        return victim.load() < 0;
    });
    std::vector<std::string> env = pf::via_router(router.sock.port);
    s.write_master(data);
    victim = s.start(3, data.lines(), {}, env).pid;
    s.start(2, data.lines(), {}, env);
    ts::Process &down = s.start(1, "", {}, env);
    ts::write_file(s.path("want.chunks"), data.lines());
    down.write_stdin("GET want.chunks out.bin\n");
    // The stall check waits 30 seconds before it gives peer 3 up.
    ASSERT_TRUE(s.wait_for([&] { return down.out.find("GOT out.bin \n") != std::string::npos; },
                           kSwarmTimeout));
    EXPECT_EQ(-1, victim.load());
    EXPECT_NE(std::string::npos, down.out.find("giving up on peer 3 \n"));
    EXPECT_TRUE(ts::read_file(s.path("out.bin")) == data.bytes);
    s.stop_all();
}
