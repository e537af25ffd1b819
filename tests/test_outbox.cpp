// The outbox: held packets leave in their order, before anything sent around it. What batching
// changes for the receiving and the sending side of a transfer is tested in test_transfer.
#include "engine/outbox.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/debug.h"
#include "engine/create.h"
#include "engine_fixture.h"

using ef::Engine;
using ef::packet;
using ef::Packet;

namespace {

header header_of(const std::string &bytes) {
    return ef::parse_header(bytes);
}

// Each test leaves the outbox as it found it: empty and not held.
struct OutboxTest : testing::Test {
    void TearDown() override {
        outbox_discard();
        outbox_release(-1);
        debug = 0;
    }
};

TEST_F(OutboxTest, HeldPacketsLeaveInOrderBeforeAnythingSentAroundIt) {
    Engine e(2);
    header ack1 = header_of(packet(PKT_ACK, "", 0, 1));
    header ack2 = header_of(packet(PKT_ACK, "", 0, 2));
    std::string body(DATA_PAYLOAD, 'd');
    header data = header_of(packet(PKT_DATA, body, 7));

    /* not held: each leaves at once */
    auto to2 = e.addr_of(2), to3 = e.addr_of(3);
    outbox_add(e.config.sock, &ack1, nullptr, 0, &to2);
    EXPECT_EQ(outbox_held(), 0);
    EXPECT_EQ(e.sock_of(2).recv_all(0.1), std::vector<std::string>{packet(PKT_ACK, "", 0, 1)});

    /* held: nothing leaves until a packet goes around the outbox, which comes after them */
    outbox_hold();
    outbox_add(e.config.sock, &ack1, nullptr, 0, &to2);
    outbox_add(e.config.sock, &data, ef::u8(body), body.size(), &to2);
    outbox_add(e.config.sock, &ack2, nullptr, 0, &to3);
    EXPECT_EQ(outbox_held(), 3);
    EXPECT_FALSE(e.sock_of(2).recv(0.05));
    Packet get(packet(PKT_GET, ef::hash_of(1)));
    sendPacketTo(&e.config, get.hdr(), &to2);
    EXPECT_EQ(e.sock_of(2).recv_all(0.1),
              (std::vector<std::string>{packet(PKT_ACK, "", 0, 1), packet(PKT_DATA, body, 7),
                                        packet(PKT_GET, ef::hash_of(1))}));
    EXPECT_EQ(e.sock_of(3).recv_all(0.1), std::vector<std::string>{packet(PKT_ACK, "", 0, 2)});

    /* a send that fails is reported, and those after it still leave */
    sockaddr_in nowhere = to2;
    nowhere.sin_family = AF_INET6;
    debug = DEBUG_ERRS;
    testing::internal::CaptureStderr();
    outbox_add(e.config.sock, &ack1, nullptr, 0, &nowhere);
    outbox_add(e.config.sock, &ack2, nullptr, 0, &to2);
    outbox_release(e.config.sock);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error Sending Ack \n");
    EXPECT_EQ(e.sock_of(2).recv_all(0.1), std::vector<std::string>{packet(PKT_ACK, "", 0, 2)});
}

}  // namespace
