// The deadline arithmetic of frame pacing, driven by a simulated clock, and
// frame_wait itself on the real one.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <thread>
#include <vector>

#include "shell/frame_pacing.hpp"
#include "shell/music_pacing.hpp"

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

// Following the music ------------------------------------------------------

namespace {

namespace mp = music_pacing;

// A frame loop against a simulated output device that is handed one
// 2048-frame buffer at the start of each buffer period and plays it during
// that period. A device may keep a pace of its own (period_us), and its
// readings may say when the last buffer was handed over.
struct music_loop {
    static constexpr std::uint32_t rate = 44100;
    static constexpr std::int64_t buffer = 2048;
    std::int64_t period_us = buffer * 1000000 / rate;
    bool hand_over_times = false;
    std::int64_t now_us = 1000000;
    std::int64_t start_us = 1000000;
    int offset_ms = 0;
    mp::heard_line line{};
    mp::ticks t{};
    std::vector<double> distance_ms;  // tick time minus music time, per frame with an update
    std::int64_t first_update_us = -1;

    explicit music_loop(int offset = 0, std::int64_t period = buffer * 1000000 / rate, bool times = false)
        : period_us(period), hand_over_times(times), offset_ms(offset) {
        line = mp::start_line(now_us, read());
    }

    std::int64_t handed() const { return (now_us - start_us) / period_us + 1; }
    mp::reading read() const {
        const std::int64_t at = hand_over_times ? start_us + (handed() - 1) * period_us : 0;
        return mp::reading{static_cast<std::uint64_t>(handed() * buffer), static_cast<std::uint32_t>(buffer), rate, at};
    }
    // The buffer handed over last plays from its hand-over on.
    double heard_ms() const {
        const std::int64_t into = now_us - start_us - (handed() - 1) * period_us;
        const double frames = static_cast<double>((handed() - 1) * buffer) +
                              std::min(static_cast<double>(buffer), static_cast<double>(into) * rate / 1e6);
        return frames * 1000.0 / rate;
    }
    std::int64_t position() {
        line = mp::observe(line, now_us, read());
        return mp::heard_frames(line, now_us) - mp::offset_frames(offset_ms, rate);
    }

    mp::plan frame(std::int64_t work_us) {
        const mp::plan p = mp::updates_for(t, position(), rate);
        t.done += p.updates;
        if (p.updates > 0) {
            if (first_update_us < 0) first_update_us = now_us;
            const double tick_ms = static_cast<double>(t.done - 1 + t.lag) * 1000.0 / 60.0;
            distance_ms.push_back(tick_ms + offset_ms - heard_ms());
        }
        now_us += work_us;
        now_us += mp::wait_us(t, position(), rate);
        return p;
    }
    void run_for(std::int64_t us) {
        const std::int64_t until = now_us + us;
        while (now_us < until) frame(3000);
    }
    double worst_since(std::size_t from) const {
        double worst = 0;
        for (std::size_t i = from; i < distance_ms.size(); ++i) worst = std::max(worst, std::abs(distance_ms[i]));
        return worst;
    }
};

}  // namespace

TEST(MusicPacing, TicksStayWithinOneFrameOfTheMusicHeard) {
    music_loop loop;
    loop.run_for(1000000);
    const std::size_t settled = loop.distance_ms.size();
    loop.run_for(60 * 1000000);
    EXPECT_LT(loop.worst_since(settled), 1000.0 / 60.0);
    EXPECT_NEAR(static_cast<double>(loop.t.done), 61 * 60.0, 2.0);
}

TEST(MusicPacing, StallIsCaughtUpInOneFrameWithEveryUpdate) {
    music_loop loop;
    loop.run_for(5 * 1000000);
    const std::int64_t before = loop.t.done;
    loop.now_us += 2000000;  // the window stalled, the music played on
    const mp::plan p = loop.frame(3000);
    EXPECT_FALSE(p.reanchored);
    EXPECT_NEAR(static_cast<double>(p.updates), 120.0, 2.0);
    const std::size_t after = loop.distance_ms.size();
    loop.run_for(1000000);
    EXPECT_LT(loop.worst_since(after - 1), 1000.0 / 60.0);
    EXPECT_NEAR(static_cast<double>(loop.t.done - before), 180.0, 3.0);
    EXPECT_EQ(loop.t.lag, 0);
}

// A device a few per mille fast (as a driver that sleeps whole
// milliseconds is) runs ahead of the line during a stall; the first look
// after it comes anywhere up to a buffer after the last hand-over, and only
// the hand-over's own time puts the line back on the music at once.
TEST(MusicPacing, HandOverTimesPlaceTheMusicAfterAStallWhenEverLooked) {
    for (const std::int64_t late_us : {0, 20000, 45000}) {
        music_loop loop(0, 46200, true);
        loop.run_for(5 * 1000000);
        loop.now_us += 2000000;
        loop.now_us += late_us - (loop.now_us - loop.start_us) % loop.period_us;  // into the newest buffer
        loop.frame(3000);
        const std::size_t after = loop.distance_ms.size();
        loop.run_for(1000000);
        // Within the 3 ms a frame works, in which the next tick can come due.
        EXPECT_LT(loop.worst_since(after), 3.0) << late_us << " us into the buffer";
    }
    // Hand-overs from before the line started (the buffers before a pause)
    // say nothing of the music now.
    const mp::heard_line resumed = mp::start_line(10000000, mp::reading{44100, 2048, 44100, 0});
    const mp::reading stale{44100, 2048, 44100, 9000000};
    EXPECT_EQ(mp::observe(resumed, 10010000, stale).zero_us, resumed.zero_us);
    const mp::reading fresh{46148, 2048, 44100, 10005000};
    EXPECT_NEAR(static_cast<double>(mp::heard_frames(mp::observe(resumed, 10010000, fresh), 10010000)), 44100 + 220, 1.0);
}

TEST(MusicPacing, StallPastTheLimitGoesOnFromWhereItIs) {
    music_loop loop;
    loop.run_for(5 * 1000000);
    const std::int64_t before = loop.t.done;
    loop.now_us += 5000000;
    const mp::plan p = loop.frame(3000);
    EXPECT_TRUE(p.reanchored);
    EXPECT_EQ(p.updates, 1);
    EXPECT_EQ(loop.t.done, before + 1);
    EXPECT_NEAR(static_cast<double>(loop.t.lag), 300.0, 2.0);
    const std::size_t after = loop.distance_ms.size();
    loop.run_for(1000000);
    EXPECT_LT(loop.worst_since(after), 1000.0 / 60.0) << "in step again, with the lag";
}

TEST(MusicPacing, OffsetMovesEveryUpdateLater) {
    music_loop plain;
    music_loop later(100);
    plain.run_for(2 * 1000000);
    later.run_for(2 * 1000000);
    EXPECT_NEAR(static_cast<double>(later.first_update_us - plain.first_update_us), 100000.0, 17000.0);
    EXPECT_NEAR(static_cast<double>(plain.t.done - later.t.done), 6.0, 1.0);
    EXPECT_EQ(mp::offset_frames(-500, 44100), -22050);
}

TEST(MusicPacing, WaitsAreCappedAndTicksDueFromTheFirstFrameHeard) {
    EXPECT_EQ(mp::ticks_due(-1, 44100), 0);
    EXPECT_EQ(mp::ticks_due(0, 44100), 1);
    EXPECT_EQ(mp::ticks_due(734, 44100), 1);
    EXPECT_EQ(mp::ticks_due(735, 44100), 2);
    mp::ticks t{};
    EXPECT_EQ(mp::wait_us(t, -44100, 44100), mp::max_wait_us);
    t.done = 1;
    EXPECT_EQ(mp::wait_us(t, 0, 44100), 16667);
    EXPECT_EQ(mp::wait_us(t, 735, 44100), 0);
}

TEST(MusicPacing, LeadIsATypicalFramesWorkNotAHeldUpOnes) {
    mp::work_lead lead;
    EXPECT_EQ(lead.lead_us(), 0);
    for (int i = 0; i < 20; ++i) lead.add(1500 + (i % 3) * 100);
    EXPECT_EQ(lead.add(30000), 1600) << "one frame held up by the machine";
    for (int i = 0; i < 20; ++i) lead.add(50000);
    EXPECT_EQ(lead.lead_us(), mp::max_lead_us) << "a frame's work is never counted as more than the cap";
}
