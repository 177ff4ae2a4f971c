// Title, play, result screen and the title demo, driven frame by frame.
#include "logic_fixture.hpp"

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "vaz/single_pi.hpp"

namespace logic_test {
namespace {

using Flow = frames;

// Frame n is the n-th call of update_tasks.run() after the start-up spawned
// titleready. Group 0 holds two events:
//   A: tick 0, angle 0, speed 2 (velocity exactly (2, 0));
//   B: tick 150, angle float(pi)/2, speed 4 (velocity (-1.7e-7, 4): the x
//      drift rounds away at 220, so B stays on x = 220).
// The ship is never steered during the first run and stays at (220, 220).
//
//   1-3   titleready counts its blind updates (frames 1, 2, 3).
//   4     Space pressed: game, myship, smile, bullet_ctor spawned; titleready gone.
//   5     constructor clock 0 fires A from (220, 220).
//   115   A's tracer reaches 220 + 2*110 = 440: incoming bullet born at 438.
//   155   clock 150 fires B; the group is exhausted: outi, constructor gone.
//         A's incoming bullet (live since 115) keeps play going.
//   210   B's tracer reaches 220 + 4*55 = 440: incoming bullet born at 436.
//   217-223  A at x = 438 - 2j (j = 102..108: 234..222) grazes: score 1..7.
//   224   A at 220 hits: hits 1, smile replaced by bombed.
//   261-263  B at y = 436 - 4j (j = 51..53: 232, 228, 224) grazes: score 8..10.
//   264   B at 220 hits: hits 2, bombed count restarts. Play has not ended:
//         the end test ran before the contact check removed B.
//   265   no constructor, no incoming bullet: finished, gameover (delay 1).
//   324   delay 60; Space pressed here is lost and, held, not pressed in 325.
//   327   Return pressed: result left, titleready spawned and updated (1).
//   330   Left pressed (fourth titleready update): second run starts.
//   331   the ship moves to 219 first; A fires from (219, 220).
//   384   bombed (restarted in 264) reaches 120; its smile finds the pool full.
// The music (stream 7 here) is rewound and started with each run and stopped
// when the result screen is left.
TEST_F(Flow, CompleteRunFromTitleThroughResultBackToTitle) {
    music_stream = 7;
    const std::vector<std::string> start_music{"set_position 7 0", "play 7 0"};
    std::vector<std::string> music_calls;
    fill_group(0, {{0, 0.0f, 2.0f}, {150, vaz::single_pi() / 2.0f, 4.0f}});
    at_title(1);
    ASSERT_EQ(live<gt::titleready>(), 1);
    EXPECT_EQ(first<gt::titleready>().frames, 3);
    EXPECT_EQ(playback_calls(), music_calls);

    press(SDLK_SPACE);  // 4
    music_calls = start_music;
    EXPECT_EQ(playback_calls(), music_calls);
    EXPECT_EQ(live<gt::titleready>(), 0);
    EXPECT_EQ(live<gt::game>(), 1);
    EXPECT_EQ(live<gt::myship>(), 1);
    EXPECT_EQ(live<gt::smile>(), 1);
    ASSERT_EQ(live<gt::bullet_ctor>(), 1);
    EXPECT_EQ(first<gt::bullet_ctor>().group, 0);
    EXPECT_EQ(live<gt::bullet_b>(), 0);

    step();  // 5
    ASSERT_EQ(live<gt::bullet_b>(), 1);
    EXPECT_EQ(first<gt::bullet_b>().vx, 2.0f);
    EXPECT_EQ(first<gt::bullet_b>().vy, 0.0f);

    run_to(114);
    EXPECT_EQ(live<gt::bullet_r>(), 0);
    step();
    ASSERT_EQ(live<gt::bullet_r>(), 1);
    EXPECT_EQ(first<gt::bullet_r>().x, 438.0f);

    run_to(154);
    EXPECT_EQ(live<gt::bullet_ctor>(), 1);
    EXPECT_EQ(live<gt::outi>(), 0);
    step();
    EXPECT_EQ(live<gt::bullet_ctor>(), 0);
    EXPECT_EQ(live<gt::outi>(), 1);
    EXPECT_EQ(live<gt::bullet_b>(), 1);
    EXPECT_FALSE(first<gt::game>().finished);

    run_to(210);
    EXPECT_EQ(live<gt::bullet_b>(), 0);
    EXPECT_EQ(live<gt::bullet_r>(), 2);

    gt::game& run = first<gt::game>();
    run_to(216);
    EXPECT_EQ(run.score, 0);
    run_to(223);
    EXPECT_EQ(run.score, 7);
    EXPECT_EQ(run.hits, 0);
    step();
    EXPECT_EQ(run.hits, 1);
    EXPECT_EQ(live<gt::bullet_r>(), 1);
    EXPECT_EQ(live<gt::smile>(), 0);
    EXPECT_EQ(live<gt::bombed>(), 1);
    EXPECT_EQ(live<gt::blood>(), 5);

    run_to(263);
    EXPECT_EQ(run.score, 10);
    step();
    EXPECT_EQ(run.hits, 2);
    EXPECT_EQ(live<gt::bullet_r>(), 0);
    EXPECT_FALSE(run.finished);
    EXPECT_EQ(live<gt::gameover>(), 0);
    EXPECT_EQ(first<gt::bombed>().frames, 0);

    step();  // 265
    EXPECT_TRUE(run.finished);
    ASSERT_EQ(live<gt::gameover>(), 1);
    EXPECT_EQ(first<gt::gameover>().delay, 1);
    EXPECT_EQ(first<gt::myship>().gauge, 10);

    run_to(323);
    keys[SDLK_SPACE] = 1;
    step();  // 324
    EXPECT_EQ(first<gt::gameover>().delay, 60);
    step();  // 325: still held
    keys[SDLK_SPACE] = 0;
    step();  // 326
    EXPECT_EQ(live<gt::gameover>(), 1);

    EXPECT_EQ(playback_calls(), music_calls);  // the music plays on through the result
    press(SDLK_RETURN);  // 327
    music_calls.push_back("stop 7");
    EXPECT_EQ(playback_calls(), music_calls);
    EXPECT_EQ(live<gt::gameover>(), 0);
    EXPECT_EQ(live<gt::game>(), 0);
    EXPECT_EQ(live<gt::myship>(), 0);
    EXPECT_EQ(live<gt::outi>(), 0);
    EXPECT_EQ(live<gt::bombed>(), 1);  // left to run out
    ASSERT_EQ(live<gt::titleready>(), 1);
    EXPECT_EQ(first<gt::titleready>().frames, 1);

    run_to(329);
    keys[SDLK_LEFT] = 1;
    step();  // 330
    music_calls.insert(music_calls.end(), start_music.begin(), start_music.end());
    EXPECT_EQ(playback_calls(), music_calls);
    ASSERT_EQ(live<gt::game>(), 1);
    EXPECT_EQ(first<gt::game>().hits, 0);
    EXPECT_EQ(first<gt::game>().score, 0);
    EXPECT_FALSE(first<gt::game>().finished);
    EXPECT_EQ(first<gt::myship>().gauge, 0);
    EXPECT_EQ(live<gt::smile>(), 1);
    ASSERT_EQ(live<gt::bullet_ctor>(), 1);
    EXPECT_EQ(first<gt::bullet_ctor>().clock, 0);

    step();  // 331
    ASSERT_EQ(live<gt::bullet_b>(), 1);
    EXPECT_EQ(first<gt::bullet_b>().x, 219.0f);
    EXPECT_EQ(first<gt::bullet_b>().y, 220.0f);
    keys[SDLK_LEFT] = 0;

    run_to(383);
    EXPECT_EQ(live<gt::bombed>(), 1);
    step();
    EXPECT_EQ(live<gt::bombed>(), 0);
    EXPECT_EQ(live<gt::smile>(), 1);
}

TEST_F(Flow, KeyPressedDuringTheBlindUpdatesIsLost) {
    pattern_group_count = 1;
    update_tasks.spawn<gt::titleready>();
    step();
    keys[SDLK_z] = 1;
    step(2);  // pressed in the second update, held through the third and fourth
    step(3);
    EXPECT_EQ(live<gt::titleready>(), 1);
    EXPECT_EQ(live<gt::game>(), 0);
}

TEST_F(Flow, EveryStartKeyStartsARunAndEscapeDoesNot) {
    const int start_keys[] = {SDLK_SPACE, SDLK_z, SDLK_RETURN, SDLK_UP, SDLK_DOWN, SDLK_LEFT,
                              SDLK_RIGHT, SDLK_a, SDLK_d, SDLK_w, SDLK_s};
    for (int key : start_keys) {
        test_support::kill_all(update_tasks);
        at_title(0);
        press(key);
        EXPECT_EQ(live<gt::game>(), 1) << "key " << key;
        EXPECT_EQ(live<gt::titleready>(), 0) << "key " << key;
    }
    test_support::kill_all(update_tasks);
    at_title(0);
    keys[SDLK_ESCAPE] = 1;
    keys[SDLK_x] = 1;
    step();
    EXPECT_EQ(live<gt::game>(), 0);
}

TEST_F(Flow, ResultScreenTakesOnlySpaceZAndReturn) {
    // An empty group: play ends in the first frame after the start key.
    at_title(1);
    press(SDLK_w);  // 4: start
    step();  // 5: the constructor ends, then the game spawns gameover
    ASSERT_EQ(live<gt::gameover>(), 1);
    EXPECT_EQ(first<gt::gameover>().delay, 1);

    run_to(64);  // delay 60
    for (int key : {SDLK_LEFT, SDLK_x, SDLK_ESCAPE, SDLK_w}) keys[key] = 1;
    step();
    EXPECT_EQ(live<gt::gameover>(), 1);
    keys[SDLK_z] = 1;
    step();
    EXPECT_EQ(live<gt::gameover>(), 0);
    EXPECT_EQ(live<gt::titleready>(), 1);
}

TEST_F(Flow, TwoEmptyGroupsEndPlayInTheFirstFrameWithOneMarker) {
    at_title(2);
    keys[SDLK_RETURN] = 1;
    step();
    EXPECT_EQ(live<gt::bullet_ctor>(), 2);
    step();
    EXPECT_EQ(live<gt::bullet_ctor>(), 0);
    EXPECT_EQ(live<gt::outi>(), 1);
    EXPECT_EQ(live<gt::gameover>(), 1);
}

TEST_F(Flow, EachGroupFeedsTheConstructorSpawnedForIt) {
    fill_group(0, {{0, 0.0f, 2.0f}});
    fill_group(1, {{0, 0.0f, -3.0f}});
    at_title(2);
    keys[SDLK_SPACE] = 1;
    step();
    // Spawned for group 0, then group 1, which heads the list.
    ASSERT_EQ(live<gt::bullet_ctor>(), 2);
    node* n = update_tasks.begin<gt::bullet_ctor>();
    EXPECT_EQ(object_of<gt::bullet_ctor>(n).group, 1);
    EXPECT_EQ(object_of<gt::bullet_ctor>(n->next).group, 0);

    // Group 1's constructor runs first, so group 0's tracer is the newest.
    step();
    ASSERT_EQ(live<gt::bullet_b>(), 2);
    n = update_tasks.begin<gt::bullet_b>();
    EXPECT_EQ(object_of<gt::bullet_b>(n).vx, 2.0f);
    EXPECT_EQ(object_of<gt::bullet_b>(n->next).vx, -3.0f);
}

TEST_F(Flow, TracersInFlightDoNotHoldBackTheEndAndContactsCountAfterIt) {
    gt::game& run = playing();
    tracer(100.0f, 100.0f, 1.0f, 0.0f);
    step();
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(live<gt::gameover>(), 1);
    EXPECT_EQ(live<gt::bullet_b>(), 1);

    // On the result screen a bullet on the ship still hits.
    incoming(220.0f, 220.0f);
    step();
    EXPECT_EQ(run.hits, 1);
}

TEST_F(Flow, DemoFiresBurstsOfSixteenFromTheCentre) {
    update_tasks.spawn<gt::titledemo>();
    std::mt19937 expected = rng;

    step();
    ASSERT_EQ(live<gt::bullet_b>(), 16);
    const double two_pi = 2.0 * 3.141592653589793;
    std::uint32_t offsets[16];
    for (std::uint32_t& r : offsets) r = expected() % 100;
    const int wait = static_cast<int>(expected() % 60) + 10;
    EXPECT_EQ(first<gt::titledemo>().countdown, wait);
    EXPECT_EQ(rng, expected);

    // Newest first: member 15 heads the list.
    int i = 15;
    for (node* n = update_tasks.begin<gt::bullet_b>(); n != update_tasks.end<gt::bullet_b>(); n = n->next, --i) {
        const gt::bullet_b& b = object_of<gt::bullet_b>(n);
        EXPECT_EQ(b.x, 220.0f);
        EXPECT_EQ(b.y, 220.0f);
        const double angle = i * two_pi / 16 + offsets[i] / 100.0 * two_pi / 8;
        EXPECT_NEAR(b.vx, std::cos(angle), 1e-6) << "member " << i;
        EXPECT_NEAR(b.vy, std::sin(angle), 1e-6) << "member " << i;
    }

    // 10 to 69 idle updates, then the next burst.
    step(wait);
    EXPECT_EQ(live<gt::bullet_b>(), 16);
    EXPECT_EQ(first<gt::titledemo>().countdown, 0);
    step();
    EXPECT_EQ(live<gt::bullet_b>(), 32);
    const int next_wait = first<gt::titledemo>().countdown;
    EXPECT_GE(next_wait, 10);
    EXPECT_LE(next_wait, 69);
}

TEST_F(Flow, DemoBurstOnANearlyFullPoolDrawsOnlyForItsTracers) {
    for (int i = 0; i < 1020; ++i) tracer(220.0f, 220.0f, 0.0f, 0.0f);
    update_tasks.spawn<gt::titledemo>();
    std::mt19937 expected = rng;
    step();
    EXPECT_EQ(live<gt::bullet_b>(), 1024);
    expected.discard(4);
    EXPECT_EQ(first<gt::titledemo>().countdown, static_cast<int>(expected() % 60) + 10);
    EXPECT_EQ(rng, expected);
}

}  // namespace
}  // namespace logic_test
