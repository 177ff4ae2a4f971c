#pragma once
#include <cstdint>

#include "pattern/bullet_pattern_element.hpp"

// Frame pacing at 60 updates per second against absolute deadlines: frame k
// after the anchor ends at anchor + k * 1000 / 60 ms, so rounding never adds
// up. Every 60 frames the anchor moves on by exactly 1000 ms, which keeps the
// numbers small and lets SDL's 32-bit millisecond counter wrap harmlessly.
namespace pacing {

// One update per tick of the pattern file, so events fire in time with the music.
constexpr std::uint32_t updates_per_second = pattern::ticks_per_second;
constexpr std::uint32_t ms_per_second = 1000;
// A frame later than this behind its deadline is a stall (a dragged window, a
// suspended process): the schedule restarts from now instead of racing to
// catch up with every missed frame.
constexpr std::uint32_t stall_limit_ms = 250;

struct state {
    bool anchored = false;
    std::uint32_t anchor_ms = 0;  // tick at which frame 0 of this second ended
    std::uint32_t frame = 0;      // frames ended since the anchor, 0..59
};

struct step {
    state next;
    std::uint32_t delay_ms;  // how long to sleep now; 0 when behind
};

// The deadline of frame k after the anchor, k in 0..60.
constexpr std::uint32_t deadline_offset_ms(std::uint32_t k) { return k * ms_per_second / updates_per_second; }

// What to do at the end of a frame, given the pacing state and the clock. The
// first call only anchors the schedule. Pure: no clock, no sleeping.
step end_frame(const state& s, std::uint32_t now_ms);

}  // namespace pacing

// Sleeps until the current frame's deadline so that updates run at 60 per second.
void frame_wait();
// Starts the wall-clock schedule over from now: the next frame_wait sleeps
// a whole frame. For when the frame loop comes back from another clock.
void frame_wait_restart();
// Back to the schedule of a fresh start: the next frame_wait only anchors it.
void frame_wait_reset();
