#include "calibrate/click_track.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

using namespace calibrate;

namespace {

const click_plan plan = standard_plan;

std::int64_t ms_to_frames(double ms) { return static_cast<std::int64_t>(ms * plan.rate / 1000.0); }

// One press per click, each at its click plus the given delay in milliseconds.
std::vector<std::int64_t> presses_at(const std::vector<double>& delays_ms) {
    std::vector<std::int64_t> frames;
    for (std::size_t k = 0; k < delays_ms.size(); ++k)
        frames.push_back(click_frame(plan, static_cast<int>(k)) + ms_to_frames(delays_ms[k]));
    return frames;
}

}  // namespace

TEST(ClickTrack, HasAClickOnsetAtEveryClickFrameAndSilenceBetween) {
    EXPECT_EQ(click_frame(plan, 0), 88200);
    EXPECT_EQ(click_frame(plan, 2), 88200 + 2 * 33075);
    EXPECT_EQ(track_frames(plan), click_frame(plan, plan.clicks - 1) + plan.period_frames);
    const std::vector<std::int16_t> s = render_click_track(plan);
    ASSERT_EQ(s.size(), static_cast<std::size_t>(track_frames(plan)) * 2);
    for (int k = 0; k < plan.clicks; ++k) {
        const auto at = static_cast<std::size_t>(click_frame(plan, k)) * 2;
        EXPECT_GT(s[at], 19000) << "click " << k << " starts at full strength";
        EXPECT_EQ(s[at], s[at + 1]) << "both channels";
        EXPECT_EQ(s[at - 2], 0) << "nothing just before click " << k;
        if (k + 1 < plan.clicks) {
            EXPECT_EQ(s[at + static_cast<std::size_t>(plan.period_frames) * 2], s[at]) << "every click is the same";
        }
    }
    EXPECT_EQ(s[static_cast<std::size_t>(click_frame(plan, 3) + plan.period_frames / 2) * 2], 0);
}

TEST(ClickTrack, PressesGoToTheNearestClickWithinHalfAPeriod) {
    const std::int64_t half = plan.period_frames / 2;
    const std::int64_t c0 = click_frame(plan, 0), c5 = click_frame(plan, 5), last = click_frame(plan, plan.clicks - 1);
    const press_matches m = match_presses(plan, {
        c0 - half - 1,          // before the first click's reach
        c0 + ms_to_frames(40),  // click 0, 40 ms late
        c5 - ms_to_frames(100), // click 5, 100 ms early
        c5 + ms_to_frames(10),  // a second press on click 5
        c5 + half + 1,          // past half way: click 6, early
        last + half + 1,        // past the last click's reach
    });
    ASSERT_EQ(m.offsets_ms.size(), 3u);
    EXPECT_NEAR(m.offsets_ms[0], 40.0, 0.05);
    EXPECT_NEAR(m.offsets_ms[1], -100.0, 0.05);
    EXPECT_NEAR(m.offsets_ms[2], -(plan.period_frames - half - 1) * 1000.0 / plan.rate, 0.05);
    EXPECT_EQ(m.unmatched, 3);
}

TEST(ClickTrack, MedianAndInterquartileRange) {
    EXPECT_EQ(median({3, 1, 2}), 2.0);
    EXPECT_EQ(median({4, 1, 3, 2}), 2.5);
    EXPECT_EQ(interquartile_range({8, 1, 2, 3, 4, 5, 6, 7}), 3.5);
    EXPECT_EQ(interquartile_range({5}), 0.0);
}

TEST(ClickTrack, AcceptsSteadyPressesAndRefusesFewOrUnevenOnes) {
    std::vector<double> steady;
    for (int k = 0; k < 20; ++k) steady.push_back(80.0 + (k % 5) * 6.0 - 12.0);  // 68..92 ms
    calibration c = judge(match_presses(plan, presses_at(steady)));
    EXPECT_EQ(c.outcome, verdict::accepted);
    EXPECT_EQ(c.presses, 20);
    EXPECT_EQ(c.offset_ms, 80);

    // A few wild presses (a quarter) move neither the median nor the spread much.
    std::vector<double> with_slips = steady;
    for (int k : {1, 6, 11, 16}) with_slips[static_cast<std::size_t>(k)] = k % 2 ? 300.0 : -300.0;
    c = judge(match_presses(plan, presses_at(with_slips)));
    EXPECT_EQ(c.outcome, verdict::accepted);
    EXPECT_NEAR(c.offset_ms, 80, 6);

    c = judge(match_presses(plan, presses_at(std::vector<double>(steady.begin(), steady.begin() + min_presses - 1))));
    EXPECT_EQ(c.outcome, verdict::too_few);
    EXPECT_EQ(c.presses, min_presses - 1);

    std::vector<double> guessing;
    for (int k = 0; k < 24; ++k) guessing.push_back((k * 7919 % 600) - 300.0);
    c = judge(match_presses(plan, presses_at(guessing)));
    EXPECT_EQ(c.outcome, verdict::too_spread);
    EXPECT_GT(c.spread_ms, max_spread_ms);

    // Presses just inside and just outside the limit of the spread.
    std::vector<double> edge;
    for (int k = 0; k < 20; ++k) edge.push_back(k % 2 ? 29.0 : -29.0);
    EXPECT_EQ(judge(match_presses(plan, presses_at(edge))).outcome, verdict::accepted);
    for (double& d : edge) d = d > 0 ? 31.0 : -31.0;
    EXPECT_EQ(judge(match_presses(plan, presses_at(edge))).outcome, verdict::too_spread);
}

TEST(ClickTrack, TheOffsetIsHeldToTheGamesRange) {
    // Clicks four seconds apart reach further than the game's offset.
    const click_plan slow{44100, 44100, 4 * 44100, 20};
    std::vector<std::int64_t> late;
    for (int k = 0; k < 20; ++k) late.push_back(click_frame(slow, k) + 44100 * 7 / 10);
    const calibration c = judge(match_presses(slow, late));
    EXPECT_EQ(c.outcome, verdict::accepted);
    EXPECT_EQ(c.offset_ms, 500);
}
