// The deadline arithmetic of frame pacing, driven by a simulated clock, and
// frame_wait itself on the real one.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "shell/frame_pacing.hpp"

namespace {

// A frame loop against a simulated millisecond clock: each frame works for
// some time, then sleeps as told (a sleep may overrun, as SDL_Delay does).
struct simulated_loop {
    std::uint32_t now;
    pacing::state pacer{};
    std::uint64_t frames = 0;
    std::vector<std::uint32_t> delays;

    explicit simulated_loop(std::uint32_t start) : now(start) { end_frame(); }

    std::uint32_t end_frame(std::uint32_t oversleep = 0) {
        const pacing::step st = pacing::end_frame(pacer, now);
        pacer = st.next;
        now += st.delay_ms + (st.delay_ms > 0 ? oversleep : 0);
        delays.push_back(st.delay_ms);
        return st.delay_ms;
    }

    void frame(std::uint32_t work_ms, std::uint32_t oversleep = 0) {
        now += work_ms;
        end_frame(oversleep);
        ++frames;
    }

    // Frames until the clock passes start + ms.
    void run_for(std::uint32_t ms, std::uint32_t work_ms, std::uint32_t oversleep = 0) {
        const std::uint32_t until = now + ms;
        while (static_cast<std::int32_t>(until - now) > 0) frame(work_ms, oversleep);
    }
};

constexpr std::uint32_t hour_ms = 3600u * 1000u;

}  // namespace

TEST(FramePacing, FirstCallAnchorsWithoutSleeping) {
    const pacing::step st = pacing::end_frame(pacing::state{}, 12345);
    EXPECT_EQ(st.delay_ms, 0u);
    EXPECT_TRUE(st.next.anchored);
    EXPECT_EQ(st.next.anchor_ms, 12345u);
    EXPECT_EQ(pacing::end_frame(st.next, 12345 + 4).delay_ms, 12u) << "16 ms frame, 4 of them worked";
}

TEST(FramePacing, EveryFrameEndsOnItsDeadline) {
    simulated_loop loop(5000);
    for (std::uint32_t k = 1; k <= 600; ++k) {
        loop.frame(3 + k % 7);
        ASSERT_EQ(loop.now, 5000 + k * 1000 / 60) << "frame " << k;
    }
}

TEST(FramePacing, HoldsSixtyUpdatesPerSecondOverAnHour) {
    simulated_loop loop(1000);
    loop.run_for(hour_ms, 4);
    EXPECT_EQ(loop.frames, 60u * 3600u);
}

TEST(FramePacing, OversleepingDoesNotAccumulate) {
    simulated_loop loop(1000);
    loop.run_for(hour_ms, 4, 1);  // every sleep a millisecond too long
    EXPECT_EQ(loop.frames, 60u * 3600u);
    // The deadline schedule absorbs the overrun: no frame is ever more than
    // the overrun late.
    const std::uint64_t k = loop.frames;
    EXPECT_LE(loop.now - (1000 + (k / 60) * 1000 + (k % 60) * 1000 / 60), 1u);
}

TEST(FramePacing, RunsAcrossTheTickCounterWrap) {
    simulated_loop loop(0xffffffffu - 5000u);
    loop.run_for(20000, 5);
    EXPECT_EQ(loop.frames, 1200u);
}

TEST(FramePacing, SlowFrameIsCaughtUpBySkippingSleeps) {
    simulated_loop loop(0);
    loop.run_for(1000, 5);
    ASSERT_EQ(loop.frames, 60u);
    ASSERT_EQ(loop.now, 1000u);
    loop.frame(100);  // frame 61 ends at 1100, its deadline was 1016
    int unslept = 0;
    for (;;) {
        loop.frame(5);
        if (loop.delays.back() != 0) break;
        ++unslept;
    }
    // Frames 62 to 68 end at 1105..1135, behind 1033..1133; frame 69 is back
    // on its deadline, 1150.
    EXPECT_EQ(unslept, 7);
    EXPECT_EQ(loop.now, 1150u);
    loop.run_for(2000 - loop.now, 5);
    EXPECT_EQ(loop.frames, 120u) << "no frame lost to the slow one";
}

TEST(FramePacing, QuarterSecondLateStillCatchesUp) {
    simulated_loop loop(0);
    loop.frame(5);
    const pacing::state before = loop.pacer;
    // Frame 2's deadline is 33: 250 ms late still belongs to the schedule.
    const pacing::step at_limit = pacing::end_frame(before, 33 + 250);
    EXPECT_EQ(at_limit.delay_ms, 0u);
    EXPECT_EQ(at_limit.next.anchor_ms, 0u);
    EXPECT_EQ(at_limit.next.frame, 2u);

    const pacing::step past_limit = pacing::end_frame(before, 33 + 251);
    EXPECT_EQ(past_limit.delay_ms, 0u);
    EXPECT_EQ(past_limit.next.anchor_ms, 33u + 251u);
    EXPECT_EQ(past_limit.next.frame, 0u);
}

TEST(FramePacing, LongStallReanchorsInsteadOfRacing) {
    simulated_loop loop(0);
    loop.run_for(1000, 5);
    loop.frame(1000);  // a stall: the window was dragged, the process stopped
    EXPECT_EQ(loop.delays.back(), 0u);
    EXPECT_EQ(loop.pacer.anchor_ms, loop.now);
    const std::uint32_t stall_end = loop.now;
    // The next frames keep the ordinary pace from the end of the stall.
    for (std::uint32_t k = 1; k <= 120; ++k) {
        loop.frame(5);
        ASSERT_EQ(loop.now, stall_end + k * 1000 / 60) << "frame " << k << " after the stall";
    }
}

TEST(FramePacing, OverloadedLoopNeverSleeps) {
    simulated_loop loop(0);
    loop.run_for(10000, 20);  // each frame takes longer than a sixtieth
    EXPECT_EQ(loop.frames, 500u);
    for (std::uint32_t d : loop.delays) ASSERT_EQ(d, 0u);
}

// A pause longer than a stall makes the next call anchor at once; the 30
// frames after it then end 500 ms on, each sleep read off SDL's clock.
TEST(FramePacing, FrameWaitSleepsToTheDeadlinesOnTheRealClock) {
    using namespace std::chrono;
    frame_wait();
    std::this_thread::sleep_for(milliseconds(pacing::stall_limit_ms + 100));
    frame_wait();
    const auto start = steady_clock::now();
    for (int i = 0; i < 30; ++i) frame_wait();
    const auto took = duration_cast<milliseconds>(steady_clock::now() - start).count();
    EXPECT_GE(took, 490);
    EXPECT_LE(took, 700);
}
