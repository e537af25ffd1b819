// The scheduling seam: the policy --swarm picks, and the decisions each policy returns about an
// unanswered GET, on a pinned clock, before anything is sent or released.
#include "engine/schedule.h"

#include <gtest/gtest.h>

#include "engine/swarm.h"
#include "engine_fixture.h"

using ef::Engine;

namespace {

bool same(const get_decision_t &a, const get_decision_t &b) {
    return a.probe == b.probe && a.resend == b.resend && a.forget == b.forget &&
           a.release == b.release;
}

constexpr get_decision_t kResend = {false, true, FORGET_NONE, false};

// Peer 2 was sent a GET for the first chunk at `at`, unanswered since.
bt_peer_t *asked_at(Engine &e, double at) {
    bt_peer_t *p = e.peer(2);
    p->receiving_chunk = e.config.to_fetch_list;
    p->receiving_sentget = 1;
    p->receiving_get_time = at;
    p->receiving_get_resent = 0;
    return p;
}

// What the caller does with a resend: counted and timed.
void resent(bt_peer_t *p, double now) {
    p->receiving_get_resent++;
    p->receiving_get_time = now;
}

}  // namespace

TEST(Schedule, TheFlagPicksThePolicyAndTheDesignedOneKeepsTheDesign) {
    Engine e(2);
    const schedule_policy_t *designed = schedule_policy(&e.config);
    EXPECT_STREQ("designed", designed->name);
    e.config.swarm = 1;
    EXPECT_STREQ("swarm", schedule_policy(&e.config)->name);
    e.config.swarm = 0;
    std::string a = ef::hash_of(1), b = ef::hash_of(2);
    ef::fetch(&e.config, {a, b});
    ef::announce(&e.config, e.peer(2), {b, a});
    ef::announce(&e.config, e.peer(3), {a});
    /* the first chunk of the list that nobody fetches, however rare */
    EXPECT_EQ(e.config.to_fetch_list, designed->choose_chunk(&e.config, e.peer(2), 10.0));
    e.peer(3)->receiving_chunk = e.config.to_fetch_list;
    EXPECT_EQ(e.config.to_fetch_list->next, designed->choose_chunk(&e.config, e.peer(2), 10.0));
    e.peer(3)->receiving_chunk = nullptr;
    /* the transport's wait as it is; a chunk asked for again only when nobody has it */
    EXPECT_DOUBLE_EQ(5.0, designed->get_wait(e.peer(2), 5.0));
    EXPECT_TRUE(designed->ask_again(false, false));
    EXPECT_FALSE(designed->ask_again(true, false));
    EXPECT_FALSE(designed->ask_again(false, true));
    /* every GET served at once, none held back, no pause, nothing kept of an output file */
    EXPECT_TRUE(designed->may_serve(&e.config, e.peer(2), ef::u8(a), 10.0));
    EXPECT_FALSE(designed->get_repeated(e.peer(2), ef::u8(a)));
    EXPECT_EQ(nullptr, designed->next_waiting(&e.config, 10.0));
    EXPECT_EQ(nullptr, designed->pause_ended(&e.config, 10.0));
    EXPECT_EQ(0, designed->next_deadline(&e.config));
    EXPECT_EQ(nullptr, designed->resume(&e.config));
    EXPECT_FALSE(designed->tell_of_chunk(&e.config, e.peer(2), e.config.to_fetch_list, 10.0));
    /* --swarm waits a few GET-to-DATA times, at least 0.3 s, never more than the transport */
    EXPECT_DOUBLE_EQ(SWARM_GET_WAIT_S, swarm_get_wait(e.peer(2), 5.0));
    e.peer(2)->receiving_get_rtt = 0.5;
    EXPECT_DOUBLE_EQ(1.5, swarm_get_wait(e.peer(2), 5.0));
    EXPECT_DOUBLE_EQ(1.0, swarm_get_wait(e.peer(2), 1.0));
}

TEST(Schedule, DesignedUnansweredGetIsSentAgainUpToTheRetriesThenItsChunkForgotten) {
    Engine e(1);
    ef::fetch(&e.config, {ef::hash_of(1)});
    bt_peer_t *p = asked_at(e, 100.0);
    const schedule_policy_t *designed = schedule_policy(&e.config);
    EXPECT_TRUE(same(kResend, designed->get_unanswered(&e.config, p, 1, 105.1)));
    resent(p, 105.1);
    EXPECT_TRUE(same({false, false, FORGET_CHUNK, true},
                     designed->get_unanswered(&e.config, p, 1, 110.2)));
    /* the adaptive transport allows three resends */
    p->receiving_get_resent = 2;
    EXPECT_TRUE(same(kResend, designed->get_unanswered(&e.config, p, 3, 110.2)));
}

TEST(Schedule, SwarmUnansweredGetProbesASilentPeerPausesABusyOneAndForgetsWhatItNeverServes) {
    Engine e(1);
    e.config.swarm = 1;
    ef::fetch(&e.config, {ef::hash_of(1)});
    const schedule_policy_t *swarm = schedule_policy(&e.config);

    /* silent since the GET: sent again, asked once whether it is there, then taken for gone */
    bt_peer_t *p = asked_at(e, 100.0);
    p->heard_time = 99.0;
    EXPECT_TRUE(same(kResend, swarm->get_unanswered(&e.config, p, 3, 100.4)));
    resent(p, 100.4);
    EXPECT_TRUE(same({true, true, FORGET_NONE, false},
                     swarm->get_unanswered(&e.config, p, 3, 101.1)));
    resent(p, 101.1);
    EXPECT_TRUE(same(kResend, swarm->get_unanswered(&e.config, p, 3, 101.6)));
    resent(p, 101.6);
    EXPECT_TRUE(same({false, false, FORGET_ALL, true},
                     swarm->get_unanswered(&e.config, p, 3, 102.1)));

    /* heard from all along: sent again until the patience runs out, then paused, keeping what
       it announced */
    p = asked_at(e, 200.0);
    p->heard_time = 200.5;
    EXPECT_TRUE(same(kResend, swarm->get_unanswered(&e.config, p, 3, 205.9)));
    resent(p, 205.9);
    double t = 200.0 + SWARM_GET_PATIENCE_S;
    EXPECT_TRUE(same({false, false, FORGET_NONE, true}, swarm->get_unanswered(&e.config, p, 3, t)));
    EXPECT_DOUBLE_EQ(t + SWARM_BUSY_PAUSE_S, p->swarm->busy_until);
    EXPECT_EQ(nullptr, swarm->choose_chunk(&e.config, p, t + 1.0));
    e.config.download_in_progress = 1;
    EXPECT_DOUBLE_EQ(t + SWARM_BUSY_PAUSE_S, swarm->next_deadline(&e.config));
    EXPECT_EQ(nullptr, swarm->pause_ended(&e.config, t + 1.0));
    EXPECT_EQ(p, swarm->pause_ended(&e.config, t + SWARM_BUSY_PAUSE_S));
    EXPECT_EQ(0, p->swarm->busy_until);
    /* a second GET in a row given up: its chunk no longer counts, and the pause doubles */
    p = asked_at(e, 300.0);
    p->heard_time = 300.1;
    t = 300.0 + SWARM_GET_PATIENCE_S;
    EXPECT_TRUE(same({false, false, FORGET_CHUNK, true}, swarm->get_unanswered(&e.config, p, 3, t)));
    EXPECT_DOUBLE_EQ(t + 2 * SWARM_BUSY_PAUSE_S, p->swarm->busy_until);
    p->receiving_chunk = nullptr;
}
