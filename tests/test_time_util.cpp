#include "engine/time_util.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>

static header *packet_with_seq(uint32_t seq) {
    header *h = static_cast<header *>(calloc(1, sizeof(header)));
    h->seq = htonl(seq);
    return h;
}

static std::vector<uint32_t> seqs(const timeitem *l) {
    std::vector<uint32_t> v;
    for (; l; l = l->next) v.push_back(ntohl(l->hdr->seq));
    return v;
}

TEST(TimeUtil, Timeval2Double) {
    struct timeval t = {5, 250000};
    EXPECT_DOUBLE_EQ(5.25, timeval2double(&t));
}

TEST(TimeUtil, AddPutsNewestFirstAndNullTimeIsZero) {
    timeitem *l = nullptr;
    for (uint32_t s = 1; s <= 3; s++) timelist_add(&l, nullptr, packet_with_seq(s));
    EXPECT_EQ(seqs(l), (std::vector<uint32_t>{3, 2, 1}));
    EXPECT_DOUBLE_EQ(0.0, timeval2double(&l->t));
    struct timeval t = {7, 5};
    timelist_add(&l, &t, packet_with_seq(4));
    EXPECT_EQ(7, l->t.tv_sec);
    EXPECT_EQ(4, timelist_length(l));
    timelist_free(l);
}

TEST(TimeUtil, RemoveUnlinksByIdentityAndKeepsThePacket) {
    timeitem *l = nullptr;
    for (uint32_t s = 1; s <= 4; s++) timelist_add(&l, nullptr, packet_with_seq(s));  // 4 3 2 1
    struct {
        const char *label;
        timeitem *node;
        std::vector<uint32_t> left;
    } steps[] = {
        {"first", l, {3, 2, 1}},
        {"middle", l->next->next, {3, 1}},
        {"last", l->next->next->next, {3}},
    };
    for (auto &s : steps) {
        header *pkt = s.node->hdr;
        timelist_remove(&l, s.node);
        EXPECT_EQ(seqs(l), s.left) << s.label;
        EXPECT_NE(0u, ntohl(pkt->seq)) << s.label;  // the packet is still valid
        free(pkt);
    }
    /* a node that is not in the list changes nothing */
    timeitem stranger{};
    stranger.hdr = packet_with_seq(9);
    timelist_remove(&l, &stranger);
    EXPECT_EQ(seqs(l), (std::vector<uint32_t>{3}));
    free(stranger.hdr);
    timeitem *empty = nullptr;
    timelist_remove(&empty, l);
    EXPECT_EQ(nullptr, empty);
    timelist_free(l);
}
