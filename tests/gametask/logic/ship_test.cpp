// The ship under the keys, its bomb, and the contact check run by the game task.
#include "logic_fixture.hpp"

namespace logic_test {
namespace {

using Ship = frames;

TEST_F(Ship, OneKeyMovesOnePixelAndSetsTheFacing) {
    gt::myship& s = spawn<gt::myship>();
    keys[SDLK_d] = 1;
    step();
    EXPECT_EQ(s.x, 221.0f);
    EXPECT_EQ(s.y, 220.0f);
    EXPECT_EQ(s.facing, 1);
    EXPECT_EQ(s.walk, 1);

    // Left with A held as well is still one "left", not double speed.
    keys[SDLK_d] = 0;
    keys[SDLK_LEFT] = keys[SDLK_a] = 1;
    step();
    EXPECT_EQ(s.x, 220.0f);
    EXPECT_EQ(s.facing, 0);
}

TEST_F(Ship, FacingRulesForSecondAndThirdKeys) {
    gt::myship& s = spawn<gt::myship>();
    // From rest, left and up together: diagonal move, the horizontal key decides.
    keys[SDLK_LEFT] = keys[SDLK_UP] = 1;
    step();
    EXPECT_EQ(s.x, 219.0f);
    EXPECT_EQ(s.y, 219.0f);
    EXPECT_EQ(s.facing, 0);

    // Left released: up is the only key and turns the ship.
    keys[SDLK_LEFT] = 0;
    step();
    EXPECT_EQ(s.facing, 2);
    // Right joins: the facing stays.
    keys[SDLK_RIGHT] = 1;
    step();
    EXPECT_EQ(s.x, 220.0f);
    EXPECT_EQ(s.y, 217.0f);
    EXPECT_EQ(s.facing, 2);

    // Left and right cancel on their axis; up still moves.
    keys[SDLK_LEFT] = 1;
    keys[SDLK_UP] = 0;
    step();
    EXPECT_EQ(s.x, 220.0f);
    EXPECT_EQ(s.y, 217.0f);
    EXPECT_EQ(s.facing_locked, 1);

    // Three keys freeze the ship and unlock the facing.
    keys[SDLK_w] = 1;
    step();
    EXPECT_EQ(s.x, 220.0f);
    EXPECT_EQ(s.y, 217.0f);
    EXPECT_EQ(s.facing_locked, 0);
    EXPECT_EQ(s.walk, 5);
}

TEST_F(Ship, WalkCyclesOneToEightAndStopsAtRest) {
    gt::myship& s = spawn<gt::myship>();
    keys[SDLK_s] = 1;
    const int expected[] = {1, 2, 3, 4, 5, 6, 7, 8, 1, 2};
    for (int w : expected) {
        step();
        EXPECT_EQ(s.walk, w);
    }
    keys[SDLK_s] = 0;
    step();
    EXPECT_EQ(s.walk, 0);
    EXPECT_EQ(s.facing_locked, 0);
    EXPECT_EQ(s.facing, 3);
}

TEST_F(Ship, StopsExactlyOnTheLimits) {
    gt::myship& s = spawn<gt::myship>();
    s.x = 1.0f;
    s.y = 439.0f;
    keys[SDLK_LEFT] = keys[SDLK_DOWN] = 1;
    step(3);
    EXPECT_EQ(s.x, 0.0f);
    EXPECT_EQ(s.y, 440.0f);
    EXPECT_EQ(s.walk, 3);  // pushing against the edge keeps walking
}

TEST_F(Ship, BombNeedsAFullStockOfGauge) {
    gt::myship& s = spawn<gt::myship>();
    s.gauge = 2199;
    keys[SDLK_SPACE] = 1;
    step();
    EXPECT_EQ(s.bomb, 0);
    EXPECT_EQ(s.gauge, 2199);
    EXPECT_EQ(take_effect_cues(), 0u);

    // The held key is not pressed again until released.
    s.gauge = 2200;
    step();
    EXPECT_EQ(s.bomb, 0);
    keys[SDLK_SPACE] = 0;
    step();
    keys[SDLK_SPACE] = 1;
    step();
    EXPECT_EQ(s.bomb, 1);
    EXPECT_EQ(s.gauge, 0);
    EXPECT_EQ(take_effect_cues(), cue(effect::bomb));
    step();
    EXPECT_EQ(take_effect_cues(), 0u) << "the bomb sounds as it starts, not while it runs";
}

TEST_F(Ship, FullGaugeFiresSixteenBombsInARow) {
    gt::myship& s = spawn<gt::myship>();
    s.gauge = 35200;
    // A bomb started in update k ends in update k+39, where the next may start.
    for (int bomb = 0; bomb < 16; ++bomb) {
        press(SDLK_SPACE);  // k
        ASSERT_EQ(s.bomb, 1) << "bomb " << bomb;
        step(36);
        // A press while the bomb runs is not remembered.
        press(SDLK_SPACE);  // k+37
        EXPECT_EQ(s.bomb, 38);
        step();  // k+38
        EXPECT_EQ(s.bomb, 39);
    }
    EXPECT_EQ(s.gauge, 0);
    keys[SDLK_SPACE] = 1;
    step();
    EXPECT_EQ(s.bomb, 0);
}

TEST_F(Ship, BombCatchesNormalBulletsInItsBoxForThirtyEightUpdates) {
    gt::myship& s = spawn<gt::myship>();
    s.gauge = 2200;
    gt::bullet_r& corner = incoming(235.0f, 205.0f);
    gt::bullet_r& opposite = incoming(205.0f, 235.0f);
    gt::bullet_r& outside = incoming(235.5f, 220.0f);
    corner.chain = 3;  // left from an earlier chain: a bomb starts a new one
    gt::bullet_r& spent = incoming(220.0f, 225.0f);
    spent.state = -80;
    keys[SDLK_SPACE] = 1;
    step();  // update k: the bomb starts but catches nothing yet
    EXPECT_EQ(s.bomb, 1);
    EXPECT_EQ(corner.state, 0);

    step();  // k+1
    EXPECT_EQ(corner.state, 1);
    EXPECT_EQ(corner.chain, 0);
    EXPECT_EQ(opposite.state, 1);
    EXPECT_EQ(outside.state, 0);
    EXPECT_EQ(spent.state, -78);  // only counted on, not caught

    step(36);  // through k+37
    gt::bullet_r& late = incoming(220.0f, 220.0f);
    late.chain = 2;
    step();  // k+38, timer 39: still catching
    EXPECT_EQ(late.state, 1);
    EXPECT_EQ(late.chain, 0);
    gt::bullet_r& too_late = incoming(220.0f, 220.0f);
    step();  // k+39: the timer reaches 40 and the bomb is over
    EXPECT_EQ(s.bomb, 0);
    EXPECT_EQ(too_late.state, 0);
}

class Contact : public frames {
protected:
    void SetUp() override {
        frames::SetUp();
        run = &playing();
        ship = &first<gt::myship>();
        // Far from the ship, it keeps play from ending while the tests run.
        incoming(400.0f, 400.0f);
    }
    gt::game* run = nullptr;
    gt::myship* ship = nullptr;
};

TEST_F(Contact, BulletOnePixelAwayHits) {
    incoming(221.0f, 219.0f).state = 5;  // caught in a chain: hits all the same
    step();
    EXPECT_EQ(run->hits, 1);
    EXPECT_EQ(take_effect_cues(), cue(effect::hit));
    EXPECT_EQ(run->score, 0);  // a hit is not also a graze
    EXPECT_EQ(live<gt::bullet_r>(), 1);
    EXPECT_EQ(live<gt::bullet_echo>(), 0);
    ASSERT_EQ(live<gt::blood>(), 5);
    EXPECT_EQ(first<gt::blood>().x, 220.0f);
    EXPECT_EQ(first<gt::blood>().y, 220.0f);
    EXPECT_EQ(live<gt::smile>(), 0);
    ASSERT_EQ(live<gt::bombed>(), 1);
    EXPECT_EQ(first<gt::bombed>().frames, 0);

    // The box's other two edges.
    incoming(219.0f, 221.0f);
    step();
    EXPECT_EQ(run->hits, 2);
}

TEST_F(Contact, GrazeBoxIsThirtyOneWideWithEdgesIncluded) {
    // 1.5 away on one axis: no hit, a graze, and a spark where the bullet is.
    incoming(221.5f, 219.0f);
    step();
    EXPECT_EQ(run->hits, 0);
    EXPECT_EQ(run->score, 1);
    EXPECT_EQ(take_effect_cues(), cue(effect::graze));
    EXPECT_EQ(ship->gauge, 1);
    ASSERT_EQ(live<gt::spark>(), 1);
    EXPECT_EQ(first<gt::spark>().x, 221.5f);
    EXPECT_EQ(first<gt::spark>().y, 219.0f);
    test_support::kill_all_of<gt::bullet_r>(update_tasks);

    incoming(400.0f, 400.0f);
    incoming(235.0f, 205.0f);  // 15 away on both axes, one corner
    incoming(205.0f, 235.0f);  // and the opposite one
    incoming(204.5f, 220.0f);  // 15.5 away
    incoming(220.0f, 235.5f);  // 15.5 away
    step();
    EXPECT_EQ(run->score, 3);
    EXPECT_EQ(ship->gauge, 3);
    EXPECT_EQ(live<gt::spark>(), 3);

    // A bullet that stays in the box grazes once per frame.
    step(3);
    EXPECT_EQ(run->score, 9);
    EXPECT_EQ(run->hits, 0);
}

TEST_F(Contact, GaugeSaturatesWhileScoreCounts) {
    ship->gauge = 35199;
    incoming(230.0f, 220.0f);
    step(3);
    EXPECT_EQ(ship->gauge, 35200);
    EXPECT_EQ(run->score, 3);
}

TEST_F(Contact, NearlyFullBloodPoolShortensTheSpray) {
    for (int i = 0; i < 1021; ++i) {
        gt::blood& b = spawn<gt::blood>();
        b.x = 220.0f;
        b.y = 100.0f;
    }
    incoming(220.0f, 220.0f);
    step();
    EXPECT_EQ(run->hits, 1);
    EXPECT_EQ(live<gt::blood>(), 1024);
}

TEST_F(Contact, TwoHitsHundredUpdatesApartKeepTheHurtFace220Updates) {
    incoming(220.0f, 220.0f);
    step();  // hit in frame 1: the face shows from this frame's drawing on
    ASSERT_EQ(live<gt::bombed>(), 1);
    run_to(100);
    incoming(220.0f, 220.0f);
    step();  // frame 101: the second hit restarts the count
    EXPECT_EQ(run->hits, 2);
    EXPECT_EQ(first<gt::bombed>().frames, 0);
    EXPECT_EQ(live<gt::smile>(), 0);

    // 120 updates after the second hit (frame 221) the smile returns:
    // the hurt face was live after frames 1..220, 220 in all.
    run_to(220);
    EXPECT_EQ(live<gt::bombed>(), 1);
    EXPECT_EQ(live<gt::smile>(), 0);
    step();
    EXPECT_EQ(live<gt::bombed>(), 0);
    EXPECT_EQ(live<gt::smile>(), 1);
}

}  // namespace
}  // namespace logic_test
