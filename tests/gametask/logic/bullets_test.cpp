// Tracers, incoming bullets, exit marks and the chain reaction.
#include "logic_fixture.hpp"

namespace logic_test {
namespace {

using Bullets = frames;

TEST_F(Bullets, TracerTurnsIntoIncomingBulletAtTheEdge) {
    tracer(220.0f, 220.0f, 2.0f, 0.0f);

    // After k updates the tracer is at 220 + 2k; 440 is outside, reached at k = 110.
    step(109);
    ASSERT_EQ(live<gt::bullet_b>(), 1);
    EXPECT_EQ(first<gt::bullet_b>().x, 438.0f);
    EXPECT_EQ(live<gt::bullet_r>(), 0);

    step();
    EXPECT_EQ(live<gt::bullet_b>(), 0);
    ASSERT_EQ(live<gt::bullet_r>(), 1);
    const gt::bullet_r& r = first<gt::bullet_r>();
    EXPECT_EQ(r.x, 438.0f);
    EXPECT_EQ(r.y, 220.0f);
    EXPECT_EQ(r.vx, -2.0f);
    EXPECT_EQ(r.state, 0);
    EXPECT_EQ(r.chain, 0);

    step();
    EXPECT_EQ(first<gt::bullet_r>().x, 436.0f);
}

TEST_F(Bullets, TracerAlongAnEdgeComesBackAndLeavesAtOnce) {
    // A ship standing on the left limit fires straight up.
    tracer(0.0f, 220.0f, 0.0f, -1.0f);
    step();
    ASSERT_EQ(live<gt::bullet_r>(), 1);
    EXPECT_EQ(first<gt::bullet_r>().x, 0.0f);
    EXPECT_EQ(first<gt::bullet_r>().y, 220.0f);

    step();
    EXPECT_EQ(live<gt::bullet_r>(), 0);
    ASSERT_EQ(live<gt::bullet_echo>(), 1);
    EXPECT_EQ(first<gt::bullet_echo>().x, 0);
    EXPECT_EQ(first<gt::bullet_echo>().y, 221);
}

TEST_F(Bullets, ExitMarksAreTruncatedAndHeldToTheLimits) {
    incoming(439.7f, 100.9f, 2.0f, 0.0f);   // leaves at 441.7
    incoming(1.5f, 200.0f, -2.0f, 0.0f);    // leaves at -0.5
    incoming(0.5f, 300.0f, -2.0f, 0.0f);    // leaves at -1.5
    incoming(220.0f, 2.0f, 0.0f, -2.0f);    // leaves exactly on the top limit
    step();
    EXPECT_EQ(live<gt::bullet_r>(), 0);
    ASSERT_EQ(live<gt::bullet_echo>(), 4);

    // The bullets ran newest first, so the oldest bullet's mark is the newest.
    node* n = update_tasks.begin<gt::bullet_echo>();
    const auto& right = object_of<gt::bullet_echo>(n);
    const auto& left_near = object_of<gt::bullet_echo>(n = n->next);
    const auto& left_far = object_of<gt::bullet_echo>(n = n->next);
    const auto& top = object_of<gt::bullet_echo>(n->next);
    EXPECT_EQ(right.x, 440);
    EXPECT_EQ(right.y, 100);
    EXPECT_EQ(left_near.x, 0);
    EXPECT_EQ(left_near.y, 200);
    EXPECT_EQ(left_far.x, 0);
    EXPECT_EQ(left_far.y, 300);
    EXPECT_EQ(top.x, 220);
    EXPECT_EQ(top.y, 0);
}

TEST_F(Bullets, LeavingBulletsEndEvenWhenTheNextPoolIsFull) {
    for (int i = 0; i < 1024; ++i) incoming(400.0f, 400.0f);
    tracer(439.0f, 220.0f, 2.0f, 0.0f);
    step();
    EXPECT_EQ(live<gt::bullet_b>(), 0);
    EXPECT_EQ(live<gt::bullet_r>(), 1024);

    test_support::kill_all(update_tasks);
    for (int i = 0; i < 1024; ++i) spawn<gt::bullet_echo>();
    incoming(439.0f, 220.0f, 2.0f, 0.0f);
    step();
    EXPECT_EQ(live<gt::bullet_r>(), 0);
    EXPECT_EQ(live<gt::bullet_echo>(), 1024);
}

TEST_F(Bullets, ExitMarkIsKilledInItsFortyFirstUpdate) {
    spawn<gt::bullet_echo>();
    step(40);
    ASSERT_EQ(live<gt::bullet_echo>(), 1);
    EXPECT_EQ(first<gt::bullet_echo>().countdown, 0);
    step();
    EXPECT_EQ(live<gt::bullet_echo>(), 0);
}

TEST_F(Bullets, ThreeLinkChainScoresOneThenTwo) {
    gt::game& run = spawn<gt::game>();
    // Spawn order r1, r2, r3: they update r3, r2, r1 in every walk.
    gt::bullet_r& r1 = incoming(100.0f, 100.0f);
    gt::bullet_r& r2 = incoming(110.0f, 100.0f);
    gt::bullet_r& r3 = incoming(120.0f, 100.0f);
    r1.state = 1;  // as the bomb leaves it

    // r1 counts 2..8 in frames 1..7 and bursts at 9 in frame 8: r2, 10 pixels
    // away, gets chain 1 (+1). r3, 20 pixels away, is out of reach.
    step(7);
    EXPECT_EQ(r1.state, 8);
    EXPECT_EQ(r2.state, 0);
    EXPECT_EQ(take_effect_cues(), 0u);
    step();
    EXPECT_EQ(take_effect_cues(), cue(effect::chain_burst));
    EXPECT_EQ(r2.state, 1);
    EXPECT_EQ(r2.chain, 1);
    EXPECT_EQ(r3.state, 0);
    EXPECT_EQ(run.score, 1);

    // Frame 9: r1 bursts again at 10 but r2 is no longer normal; frame 10: r1 spent.
    step(2);
    EXPECT_EQ(r1.state, -80);
    EXPECT_EQ(run.score, 1);
    EXPECT_EQ(take_effect_cues(), 0u) << "one sound for a bullet's burst";

    // r2 (1 after frame 8) reaches 9 in frame 16 and triggers r3 with chain 2
    // (+2); r1, 10 pixels from r2 but spent (-74), is left alone.
    step(5);
    EXPECT_EQ(r2.state, 8);
    step();
    EXPECT_EQ(r3.state, 1);
    EXPECT_EQ(r3.chain, 2);
    EXPECT_EQ(r1.state, -74);
    EXPECT_EQ(run.score, 3);

    // r1: -80 in frame 10 back to 0 in frame 90, 90 updates after its trigger.
    run_to(89);
    EXPECT_EQ(r1.state, -1);
    step();
    EXPECT_EQ(r1.state, 0);
    EXPECT_EQ(run.score, 3);
    EXPECT_EQ(live<gt::bullet_r>(), 3);  // the chain never removes a bullet
}

TEST_F(Bullets, BurstBoxIncludesItsEdges) {
    gt::bullet_r& burster = incoming(200.0f, 200.0f);
    gt::bullet_r& corner = incoming(210.0f, 190.0f);
    gt::bullet_r& beyond = incoming(189.5f, 200.0f);
    gt::bullet_r& below = incoming(200.0f, 210.5f);
    gt::bullet_r& other_corner = incoming(190.0f, 210.0f);
    burster.state = 8;
    step();  // no game task is live: the burst scores nowhere
    EXPECT_EQ(burster.state, 9);
    EXPECT_EQ(corner.state, 1);
    EXPECT_EQ(corner.chain, 1);
    EXPECT_EQ(beyond.state, 0);
    EXPECT_EQ(below.state, 0);
    EXPECT_EQ(other_corner.state, 1);
}

TEST_F(Bullets, NeighbourTriggeredAheadInTheWalkCountsItsFuseThatFrame) {
    gt::bullet_r& older = incoming(200.0f, 200.0f);
    gt::bullet_r& newer = incoming(205.0f, 200.0f);  // runs first in each walk
    newer.state = 8;
    step();
    // newer bursts before older runs, so older goes 1 -> 2 in the same frame.
    EXPECT_EQ(older.state, 2);
    EXPECT_EQ(older.chain, 1);
}

}  // namespace
}  // namespace logic_test
