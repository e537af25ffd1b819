// The chunk index against the list walks it replaced: on random requests, holder sets, fetches
// and written chunks, the designed peer's choice (the first chunk of the request) and --swarm's
// (the fewest holders, random among equals) must be what a walk of to_fetch_list and of every
// peer's announcements gives, and the index must agree with the lists after every step.
#include "engine/chunkindex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <map>
#include <random>
#include <set>

#include "engine/create.h"
#include "engine/swarm.h"
#include "engine_fixture.h"

using ef::Engine;

namespace {

constexpr double kNow = 500.0;  // the pinned time of every choice

// What the list walks would see: every peer's announcements kept beside the engine's.
struct Model {
    Engine e{5};  // this peer is 1, peers 2..6 are the others
    std::mt19937 rng;
    std::vector<std::string> hashes;  // the distinct hashes of the request
    std::map<int, std::set<std::string>> announced;

    explicit Model(uint32_t seed) : rng(seed) {
        e.config.swarm_rng = seed + 1;
        for (int i = 0; i < 80; i++) hashes.push_back(ef::hash_of(1000 + i));
        std::vector<std::string> request;
        // The first hashes are the likeliest, so that some are asked for at several places.
        for (int i = 0; i < 120; i++)
            request.push_back(hashes[rng() % (i % 3 ? hashes.size() : 20)]);
        ef::fetch(&e.config, request);
        for (int id = 2; id <= 6; id++) {
            unsigned percent = 15u * static_cast<unsigned>(id - 1);  // 15% to 75%
            for (const std::string &h : hashes)
                if (rng() % 100 < percent) announce(id, h);
        }
    }
    std::string hash_of(const chunkitem *c) const {
        return std::string(reinterpret_cast<const char *>(c->hash), HASH_SIZE);
    }
    void announce(int id, const std::string &h) {
        EXPECT_EQ(announced[id].insert(h).second,
                  announcement_add(&e.config, e.peer(id), ef::u8(h)));
    }
    void forget(int id, const std::string &h) {
        announced[id].erase(h);
        announcement_forget(&e.config, e.peer(id), ef::u8(h));
    }
    int holders(const std::string &h) {
        int n = 0;
        for (auto &[id, set] : announced) n += set.count(h) > 0;
        return n;
    }
    chunkitem *node(size_t i) {
        chunkitem *c = e.config.to_fetch_list;
        for (; i > 0 && c; i--) c = c->next;
        return c;
    }
    size_t length() { return static_cast<size_t>(chunklist_length(e.config.to_fetch_list)); }
    void check_consistent() {
        char why[256] = "";
        ASSERT_TRUE(chunkindex_consistent(&e.config, why, sizeof why)) << why;
        ASSERT_EQ(static_cast<int>(length()), fetchlist_remaining(&e.config));
    }
};

// Peer p's hash failure keeps it from the chunk until after kNow.
void pause_after_failure(bt_peer_t *p, const std::string &h) {
    failitem *f = failurelist_note(&p->receiving_failures, ef::u8(h));
    f->failures = 1;
    f->retry_after = kNow + 10;
}

// The fetchers of the chunk's hash, as the --swarm walk counted them; with only_flowing, not
// those whose unanswered GET was sent again.
int fetchers(const bt_config_t *config, const chunkitem *c, bool only_flowing) {
    int n = 0;
    for (const bt_peer_t *p = config->peers; p; p = p->next) {
        if (!p->receiving_chunk || memcmp(p->receiving_chunk->hash, c->hash, HASH_SIZE) != 0)
            continue;
        if (only_flowing && !p->receiving_active && p->receiving_get_resent > 0) continue;
        n++;
    }
    return n;
}

bool paused(const bt_peer_t *p, const chunkitem *c) {
    const failitem *f = failurelist_find(p->receiving_failures, c->hash);
    return f && kNow < f->retry_after;
}

// The designed walk: the first chunk of the request nobody fetches that p announced.
const chunkitem *first_by_walk(Model &m, bt_peer_t *p) {
    for (const chunkitem *c = m.e.config.to_fetch_list; c; c = c->next) {
        if (fetchers(&m.e.config, c, false) == 0 && m.announced[p->id].count(m.hash_of(c)) &&
            !paused(p, c))
            return c;
    }
    return nullptr;
}

// The --swarm walk: every chunk p may fetch with the fewest holders.
std::set<const chunkitem *> rarest_by_walk(Model &m, bt_peer_t *p) {
    std::set<const chunkitem *> best;
    int fewest = INT_MAX;
    for (const chunkitem *c = m.e.config.to_fetch_list; c; c = c->next) {
        if (fetchers(&m.e.config, c, true) > 0 || fetchers(&m.e.config, c, false) >= 2 ||
            !m.announced[p->id].count(m.hash_of(c)) || paused(p, c))
            continue;
        int h = m.holders(m.hash_of(c));
        if (h < fewest) best.clear();
        if (h <= fewest) {
            fewest = h;
            best.insert(c);
        }
    }
    return best;
}

// A random step: announcements come and go, connections start and end, chunks are written.
void random_step(Model &m) {
    int id = 2 + static_cast<int>(m.rng() % 5);
    bt_peer_t *p = m.e.peer(id);
    const std::string &h = m.hashes[m.rng() % m.hashes.size()];
    switch (m.rng() % 6) {
        case 0:
        case 1:
            m.announce(id, h);
            break;
        case 2:
            m.forget(id, h);
            break;
        case 3:
            // Among the first few chunks, so that a chunk often has two fetchers.
            p->receiving_chunk = m.length() ? m.node(m.rng() % std::min<size_t>(m.length(), 8))
                                            : nullptr;
            p->receiving_active = static_cast<int>(m.rng() % 2);
            p->receiving_get_resent = static_cast<int>(m.rng() % 2);
            break;
        case 4:
            p->receiving_chunk = nullptr;
            break;
        default:
            if (chunkitem *c = m.length() ? m.node(m.rng() % m.length()) : nullptr) {
                for (bt_peer_t *q = m.e.config.peers; q; q = q->next)
                    if (q->receiving_chunk == c) q->receiving_chunk = nullptr;
                fetchlist_remove(&m.e.config, c);
            }
            break;
    }
}

}  // namespace

TEST(ChunkIndex, ChoicesAreTheListWalksOnRandomHolderSets) {
    for (uint32_t seed = 1; seed <= 4; seed++) {
        Model m(seed);
        m.e.config.download_in_progress = 1;
        for (int id = 2; id <= 6; id++)
            for (int i = 0; i < 4; i++) pause_after_failure(m.e.peer(id), m.hashes[m.rng() % 20]);
        for (int step = 0; step < 250; step++) {
            random_step(m);
            ASSERT_NO_FATAL_FAILURE(m.check_consistent()) << "seed " << seed << " step " << step;
            for (int id = 2; id <= 6; id++) {
                bt_peer_t *p = m.e.peer(id);
                if (p->receiving_chunk) continue;
                /* designed: exactly the walk's chunk, through the GET it sends */
                const chunkitem *walk = first_by_walk(m, p);
                m.e.config.swarm = 0;
                tryToGenerateGetRequest(&m.e.config, p, kNow);
                ASSERT_EQ(walk, p->receiving_chunk) << "seed " << seed << " step " << step;
                free(p->receiving_data);
                p->receiving_data = nullptr;
                p->receiving_chunk = nullptr;
                /* --swarm: one of the walk's equals (or an end-game copy when it has none) */
                std::set<const chunkitem *> rarest = rarest_by_walk(m, p);
                m.e.config.swarm = 1;
                const chunkitem *chosen = swarm_choose_chunk(&m.e.config, p, kNow);
                if (!rarest.empty()) {
                    ASSERT_TRUE(rarest.count(chosen)) << "seed " << seed << " step " << step;
                } else if (chosen) {
                    ASSERT_GT(fetchers(&m.e.config, chosen, false), 0);
                }
            }
        }
        /* every chunk written: the list and the index are empty together */
        while (m.length()) {
            for (bt_peer_t *q = m.e.config.peers; q; q = q->next) q->receiving_chunk = nullptr;
            fetchlist_remove(&m.e.config, m.node(m.rng() % m.length()));
            ASSERT_NO_FATAL_FAILURE(m.check_consistent());
        }
        EXPECT_EQ(nullptr, m.e.config.to_fetch_list);
        EXPECT_EQ(0, chunkindex_unannounced(&m.e.config));
    }
}

namespace {

// A choice whose usable() refuses the chunks of `blocked`; the one in use is `current`.
struct Choice {
    chunk_choice_t choice;
    std::set<const chunkitem *> blocked;
    uint64_t state = 88172645463325252ull;
    static Choice *current;
    Choice(bt_config_t *config, bt_peer_t *peer) { choice = {usable, draw, config, peer, kNow}; }
    static bool usable(const chunk_choice_t *, const chunkitem *item) {
        return !current->blocked.count(item);
    }
    static uint64_t draw(const chunk_choice_t *) {
        uint64_t &x = current->state;
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    }
    const chunkitem *pick() {
        current = this;
        return chunkindex_rarest_announced(&choice);
    }
    std::map<const chunkitem *, int> draws(int n) {
        std::map<const chunkitem *, int> seen;
        for (int i = 0; i < n; i++) seen[pick()]++;
        return seen;
    }
};
Choice *Choice::current = nullptr;

}  // namespace

TEST(ChunkIndex, RarestFirstTiesEquallyLikelyAndCountsFollowTheAnnouncements) {
    Engine e(3);
    std::vector<std::string> h = {ef::hash_of(1), ef::hash_of(2), ef::hash_of(3), ef::hash_of(4)};
    ef::fetch(&e.config, h);
    chunkitem *a = e.config.to_fetch_list, *b = a->next, *c = b->next, *d = c->next;
    /* peer 2 holds all four; a has 3 holders, d 2, b and c 1 each */
    ef::announce(&e.config, e.peer(2), h);
    ef::announce(&e.config, e.peer(3), {h[0], h[3]});
    ef::announce(&e.config, e.peer(4), {h[0]});
    Choice x(&e.config, e.peer(2));
    auto seen = x.draws(400);
    ASSERT_EQ(2u, seen.size());
    EXPECT_GT(seen[b], 140);
    EXPECT_GT(seen[c], 140);

    /* one of the equals refused: the other, every time */
    x.blocked = {b};
    EXPECT_EQ((std::map<const chunkitem *, int>{{c, 50}}), x.draws(50));
    /* both refused: the next count up */
    x.blocked = {b, c};
    EXPECT_EQ(d, x.pick());
    /* c gains two holders, d loses one: d alone is rarest, then b once it is usable again */
    ef::announce(&e.config, e.peer(3), {h[2]});
    ef::announce(&e.config, e.peer(4), {h[2]});
    announcement_forget(&e.config, e.peer(3), ef::u8(h[3]));
    x.blocked.clear();
    seen = x.draws(200);
    EXPECT_EQ(2u, seen.size());
    EXPECT_GT(seen[b], 60);
    EXPECT_GT(seen[d], 60);
    /* written chunks leave every holder's order: a and c are left, three holders each */
    fetchlist_remove(&e.config, b);
    fetchlist_remove(&e.config, d);
    seen = x.draws(200);
    EXPECT_EQ(2u, seen.size());
    EXPECT_GT(seen[a], 60);
    EXPECT_GT(seen[c], 60);
    /* a peer that announced nothing has nothing to choose */
    Choice none(&e.config, e.peer(4));
    announcements_forget_all(&e.config, e.peer(4));
    EXPECT_EQ(nullptr, none.pick());
    char why[256] = "";
    EXPECT_TRUE(chunkindex_consistent(&e.config, why, sizeof why)) << why;
}

TEST(ChunkIndex, AnnouncementsOutliveADownloadAndOnlyKnownHashesMatter) {
    Engine e(2);
    std::string m = ef::hash_of(7), r = ef::hash_of(8), stray = ef::hash_of(9);
    e.config.masterchunks = ef::list_of({m});
    chunkindex_note_master(&e.config);
    EXPECT_TRUE(chunkindex_matters(&e.config, ef::u8(m)));
    EXPECT_FALSE(chunkindex_matters(&e.config, ef::u8(r)));
    ef::fetch(&e.config, {r, r});
    EXPECT_TRUE(chunkindex_matters(&e.config, ef::u8(r)));
    EXPECT_FALSE(chunkindex_matters(&e.config, ef::u8(stray)));
    /* this peer never counts as a holder of its own */
    EXPECT_FALSE(announcement_add(&e.config, e.peer(1), ef::u8(r)));
    EXPECT_TRUE(announcement_add(&e.config, e.peer(2), ef::u8(r)));
    EXPECT_FALSE(announcement_add(&e.config, e.peer(2), ef::u8(r)));
    EXPECT_EQ(1, announcement_holders(&e.config, ef::u8(r)));
    EXPECT_EQ(2, fetchlist_remaining_of(&e.config, ef::u8(r)));
    /* the first of two equal chunks written: the second is still wanted */
    fetchlist_remove(&e.config, e.config.to_fetch_list);
    EXPECT_TRUE(chunkindex_matters(&e.config, ef::u8(r)));
    EXPECT_EQ(1, fetchlist_position(&e.config, e.config.to_fetch_list));
    fetchlist_remove(&e.config, e.config.to_fetch_list);
    EXPECT_FALSE(chunkindex_matters(&e.config, ef::u8(r)));
    chunkindex_end_download(&e.config);
    /* the announcement stays for the next download of it */
    EXPECT_TRUE(announced_by(&e.config, e.peer(2), ef::u8(r)));
    ef::fetch(&e.config, {m, r});
    EXPECT_EQ(1, chunkindex_unannounced(&e.config));
    char why[256] = "";
    EXPECT_TRUE(chunkindex_consistent(&e.config, why, sizeof why)) << why;
}

TEST(ChunkIndex, AWaitingGetLeavesItsChunkToAnIdleHolderButTwoDoNot) {
    Engine e(4);
    e.config.swarm = 1;
    std::string a = ef::hash_of(1), b = ef::hash_of(2);
    ef::fetch(&e.config, {a, b});
    ef::announce(&e.config, e.peer(5), {a, b});
    for (int id : {2, 3, 4}) ef::announce(&e.config, e.peer(id), {b});
    chunkitem *first = e.config.to_fetch_list;
    /* a is the rarer; a GET for it waiting at peer 3 still leaves it to peer 5 */
    EXPECT_EQ(first, swarm_choose_chunk(&e.config, e.peer(5), kNow));
    bt_peer_t *p3 = e.peer(3), *p4 = e.peer(4);
    p3->receiving_chunk = first;
    p3->receiving_get_resent = 1;
    EXPECT_EQ(first, swarm_choose_chunk(&e.config, e.peer(5), kNow));
    /* two copies asked for already: the next rarest */
    p4->receiving_chunk = first;
    p4->receiving_get_resent = 1;
    EXPECT_EQ(first->next, swarm_choose_chunk(&e.config, e.peer(5), kNow));
    /* one GET answered is enough to leave it alone */
    p4->receiving_chunk = nullptr;
    p3->receiving_active = 1;
    EXPECT_EQ(first->next, swarm_choose_chunk(&e.config, e.peer(5), kNow));
    p3->receiving_chunk = nullptr;
}
