// client and server run as real programs, directly and through a router played by the test.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_support.h"

namespace {

constexpr const char *kPlainLine = "Vexlo not enabled, using normal recvfrom\n";
constexpr const char *kNoRouterLine =
    "Returning from vexlo_init: no VEXLO_ROUTER environment set.\n";
constexpr const char *kSetupDoneLine = "Delete this line after testing.\n";
constexpr double kWait = 10.0;  // seconds; a bound on waits, never a measure

std::string magic_line(int magic) {
    return "MAGIC: " + std::to_string(magic) + "\n";
}

// VEXLO_ROUTER pointing at router, or nothing to unset it.
std::vector<std::string> router_env(const ts::UdpSocket *router) {
    if (!router) return {};
    return {"VEXLO_ROUTER=127.0.0.1:" + std::to_string(router->port)};
}

// A server on port, started once its shim set-up line shows that the socket is bound.
ts::Process start_server(uint16_t port, const ts::UdpSocket *router = nullptr) {
    ts::Process p = ts::spawn({ts::bin("server"), "2", std::to_string(port)}, router_env(router),
                              "", {"VEXLO_ROUTER"});
    p.wait_stderr(router ? kSetupDoneLine : kNoRouterLine, kWait);
    return p;
}

ts::RunResult run_client(uint16_t my_port, uint16_t to_port, const std::string &magic,
                         const ts::UdpSocket *router = nullptr) {
    return ts::run(
        {ts::bin("client"), "1", std::to_string(my_port), std::to_string(to_port), magic}, "",
        kWait, router_env(router), "", {"VEXLO_ROUTER"});
}

// The client's 116-byte datagram: magic in the first two bytes, zeros after.
std::string demo_datagram(uint16_t magic) {
    std::string d(116, '\0');
    d[0] = static_cast<char>(magic >> 8);
    d[1] = static_cast<char>(magic & 0xff);
    return d;
}

uint16_t be16(const std::string &s, size_t at) {
    return static_cast<uint16_t>((static_cast<unsigned char>(s[at]) << 8) |
                                 static_cast<unsigned char>(s[at + 1]));
}

TEST(ClientServer, DirectDatagramPrintsMagic) {
    const uint16_t server_port = ts::free_udp_port();
    ts::Process server = start_server(server_port);
    ASSERT_EQ(server.err, kNoRouterLine);

    const ts::RunResult client = run_client(ts::free_udp_port(), server_port, "7");
    EXPECT_EQ(client.status, 0);
    EXPECT_EQ(client.out, "Sent MAGIC: 7\n");
    EXPECT_EQ(client.err, kNoRouterLine);
    ASSERT_TRUE(server.wait_stdout(magic_line(7), kWait));
    EXPECT_EQ(server.out, std::string(kPlainLine) + magic_line(7));
}

TEST(ClientServer, ServerPrintsLow16BitsOfEveryDatagram) {
    const uint16_t server_port = ts::free_udp_port();
    ts::Process server = start_server(server_port);
    std::string expected;

    /* the client prints the full number, the server its low 16 bits */
    for (auto [magic, low] : {std::pair{70000, 4464}, std::pair{-1, 65535}}) {
        const ts::RunResult client =
            run_client(ts::free_udp_port(), server_port, std::to_string(magic));
        EXPECT_EQ(client.out, "Sent MAGIC: " + std::to_string(magic) + "\n");
        expected += kPlainLine + magic_line(low);
        ASSERT_TRUE(server.wait_stdout(expected, kWait)) << server.out;
    }

    /* datagrams too short for a magic number print none; the loop goes on with the next */
    ts::UdpSocket sender;
    ASSERT_TRUE(sender.send_to(server_port, "\x01"));
    ASSERT_TRUE(sender.send_to(server_port, ""));
    expected += std::string(kPlainLine) + kPlainLine;
    for (uint16_t magic = 100; magic < 120; magic++) {
        ASSERT_TRUE(sender.send_to(server_port, demo_datagram(magic)));
        expected += kPlainLine + magic_line(magic);
    }
    ASSERT_TRUE(server.wait_stdout(magic_line(119), kWait));
    EXPECT_EQ(server.out, expected);
    EXPECT_FALSE(server.exited);
}

TEST(ClientServer, UsageAndBindFailures) {
    ts::UdpSocket held;

    /* client with three arguments: usage, status 1, nothing sent */
    ts::RunResult r = ts::run(
        {ts::bin("client"), "1", std::to_string(ts::free_udp_port()), std::to_string(held.port)});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "usage: " + ts::bin("client") + " <node id> <my port> <to port> <magic number>\n");
    EXPECT_FALSE(held.recv(0.0).has_value());

    r = ts::run({ts::bin("server"), "2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "usage: " + ts::bin("server") + " <node id> <port>\n");

    /* client on a port in use: the bind assertion aborts it */
    r = run_client(held.port, ts::free_udp_port(), "7");
    EXPECT_EQ(r.status, 128 + SIGABRT);
    EXPECT_THAT(
        r.err,
        testing::HasSubstr(
            "Assertion `bind(fd, (struct sockaddr *) &myaddr, sizeof(myaddr)) >= 0' failed."));
    EXPECT_EQ(r.out, "");

    /* server on a port in use: reported, then it carries on into the shim set-up and its loop */
    ts::Process server = start_server(held.port);
    EXPECT_EQ(server.err, std::string("peer_run could not bind socket: Address already in use\n") +
                              kNoRouterLine);
    EXPECT_FALSE(server.exited);
}

// Receives one encapsulated datagram from the client on client_port and forwards it whole to
// the port its header names. Returns the datagram, empty when none came.
std::string route_one(const ts::UdpSocket &router, uint16_t client_port) {
    uint16_t from = 0;
    const auto got = router.recv(kWait, &from);
    if (!got || got->size() < 16) return {};
    EXPECT_EQ(from, client_port);
    EXPECT_EQ(got->substr(8, 4), std::string("\x7f\x00\x00\x01", 4));  // destination 127.0.0.1
    EXPECT_TRUE(router.send_to(be16(*got, 14), *got));
    return *got;
}

TEST(ClientServer, DatagramTravelsThroughRouter) {
    ts::UdpSocket router;
    const uint16_t server_port = ts::free_udp_port(), client_port = ts::free_udp_port();
    ts::Process server = start_server(server_port, &router);
    char local[64];
    snprintf(local, sizeof local, "Vexlo local stuff:  %08x:%d\n", htonl(INADDR_LOOPBACK),
             server_port);
    EXPECT_EQ(server.err, std::string(local) + "Vexlo setup complete.  127.0.0.1:" +
                              std::to_string(router.port) + "\n" + kSetupDoneLine);

    ts::RunResult client = run_client(client_port, server_port, "7", &router);
    EXPECT_EQ(client.status, 0);
    EXPECT_EQ(client.out, "Sent MAGIC: 7\n");
    const std::string wrapped = route_one(router, client_port);
    ASSERT_EQ(wrapped.size(), 132u);
    const std::string header_start("\x00\x00\x00\x01\x7f\x00\x00\x01\x7f\x00\x00\x01", 12);
    EXPECT_EQ(wrapped.substr(0, 12), header_start);  // node 1 at 127.0.0.1 to 127.0.0.1
    EXPECT_EQ(be16(wrapped, 12), client_port);
    EXPECT_EQ(be16(wrapped, 14), server_port);
    EXPECT_EQ(wrapped.substr(16), demo_datagram(7));
    ASSERT_TRUE(server.wait_stdout(magic_line(7), kWait));
    EXPECT_EQ(server.out, magic_line(7));  // no pass-through line in simulator mode

    /* a datagram from elsewhere than the router is refused with the shim's error line and
       prints no magic: one shorter than the header, and a replay of the client's own */
    ts::UdpSocket stray;
    ASSERT_TRUE(stray.send_to(server_port, std::string(10, '\x05')));
    ASSERT_TRUE(stray.send_to(server_port, wrapped));
    client = run_client(client_port, server_port, "70000", &router);
    EXPECT_EQ(client.out, "Sent MAGIC: 70000\n");
    route_one(router, client_port);
    ASSERT_TRUE(server.wait_stdout(magic_line(4464), kWait));
    EXPECT_THAT(server.out,
                testing::MatchesRegex(
                    "MAGIC: 7\n(Error on vexlo_recvfrom\\. errno: [0-9]+ \n){2}MAGIC: 4464\n"));
}

}  // namespace
