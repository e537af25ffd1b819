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

TEST(TimeUtil, LengthAndEarliestFollowEveryChange) {
    timeitem *l = nullptr;
    // The length must equal a walk, and the earliest time must never exceed a node's time.
    auto check = [&](const char *step) {
        int n = 0;
        double oldest = 0;
        for (const timeitem *t = l; t; t = t->next, n++) {
            double sent = timeval2double(&t->t);
            if (n == 0 || sent < oldest) oldest = sent;
        }
        EXPECT_EQ(n, timelist_length(l)) << step;
        if (n > 0) {
            EXPECT_LE(timelist_earliest(l), oldest) << step;
        }
        return oldest;
    };
    for (uint32_t s = 1; s <= 5; s++) {
        struct timeval t = {s == 3 ? 5 : 10 + static_cast<time_t>(s), 0};  // 3 sent first
        timelist_add(&l, &t, packet_with_seq(s));
    }
    check("added 5 4 3 2 1");
    EXPECT_DOUBLE_EQ(5.0, timelist_earliest(l));

    /* the first node, then the earliest one from the middle; a refresh makes the bound exact */
    header *pkt = l->hdr;
    timelist_remove(&l, l);
    free(pkt);
    check("removed first");
    timeitem **link = &l->next;  // 4 3 2 1: the link to 3
    pkt = (*link)->hdr;
    timelist_remove_at(&l, link);
    free(pkt);
    EXPECT_EQ(seqs(l), (std::vector<uint32_t>{4, 2, 1}));
    EXPECT_DOUBLE_EQ(check("removed the earliest"), 11.0);
    timelist_refresh_earliest(l);
    EXPECT_DOUBLE_EQ(11.0, timelist_earliest(l));

    /* releases by sequence number, the first node among them */
    struct timeval t = {20, 0};
    timelist_add(&l, &t, packet_with_seq(0));  // 0 4 2 1
    timelist_release_upto(&l, 2);
    EXPECT_EQ(seqs(l), (std::vector<uint32_t>{4}));
    check("released up to 2");
    timelist_release_upto(&l, 9);
    EXPECT_EQ(nullptr, l);
    EXPECT_EQ(0, timelist_length(l));
    EXPECT_EQ(0.0, timelist_earliest(l));
}

TEST(TimeUtil, HeadersKeptInTheNodeAndNodesGivenBackAreTakenAgain) {
    timeitem *list = nullptr;
    header h{};
    h.seq = htonl(7);
    timeval t{5, 0};
    timelist_add_header(&list, &t, &h);
    h.seq = htonl(9);  // the node holds its own copy
    ASSERT_EQ(list->hdr, &list->stored);
    EXPECT_EQ(ntohl(list->hdr->seq), 7u);
    /* released (its header with it, no block of its own), the node is the next one taken */
    timeitem *node = list;
    timelist_release_upto(&list, 7);
    EXPECT_EQ(list, nullptr);
    // A block of a node's size taken meanwhile would be that node, had it gone to the allocator.
    void *other = malloc(sizeof(timeitem));
    timelist_add_header(&list, &t, &h);
    EXPECT_NE(other, static_cast<void *>(node));
    free(other);
    EXPECT_EQ(list, node);
    EXPECT_EQ(ntohl(list->hdr->seq), 9u);
    /* a node holding a heap packet releases it; one holding its header alone does not */
    header *heap = static_cast<header *>(calloc(1, sizeof(header)));
    timelist_add(&list, &t, heap);
    timelist_release_at(&list, &list);
    EXPECT_EQ(list, node);
    timelist_free(list);
}
