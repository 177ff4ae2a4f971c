#pragma once
#include <cstdint>

#include "pattern/bullet_pattern_element.hpp"

// Pacing that follows the music heard. The audio device reports how many
// music frames it has been handed; the speaker is latency_frames behind that,
// and the count moves in whole mixer buffers (tens of milliseconds), far too
// coarse to pace frames by. So the position heard is kept as a line on the
// wall clock, pushed forward when the count shows it is behind what must have
// been played and held back when it runs past what was handed over. Updates
// are then run until the tick count reaches that position. Pure: no clock, no
// audio, no sleeping.
namespace music_pacing {

constexpr std::int64_t ticks_per_second = pattern::ticks_per_second;
constexpr std::int64_t us_per_second = 1000000;
// Behind the music by more than this (a long stall), the run goes on from
// where it is instead of racing through the whole backlog.
constexpr std::int64_t catch_up_limit_ticks = 3 * ticks_per_second;
// Longest single sleep, so that the window keeps answering while a run waits
// for its music (the first buffer, a positive offset).
constexpr std::int64_t max_wait_us = 50000;

// What the playback layer reports.
struct reading {
    std::uint64_t frames;          // music frames handed to the device since the start
    std::uint32_t latency_frames;  // frames the output holds ahead of the speaker
    std::uint32_t rate;            // output frames per second
    std::int64_t handed_at_us = 0;  // wall time the last of them was handed over; 0: unknown
};

// The position heard as a line on the wall clock: frame 0 of the music is
// heard at wall time zero_us.
struct heard_line {
    std::int64_t zero_us = 0;
    std::uint32_t rate = 44100;
    std::int64_t since_us = 0;  // when the line was started: hand-overs before it are not of this playing
};

// The line at the start (or resumption) of playback: what the device already
// holds is heard next, after its latency.
heard_line start_line(std::int64_t now_us, const reading& r);
// The line moved just enough to agree with a new reading. A hand-over time
// makes the reading exact: the buffer handed over last has played since, so
// a look taken long after it (after a stall) counts as much as one taken at
// once.
heard_line observe(const heard_line& line, std::int64_t now_us, const reading& r);
// Music frames heard at now_us, by the line (negative before the start).
std::int64_t heard_frames(const heard_line& line, std::int64_t now_us);

struct ticks {
    std::int64_t done = 0;  // updates run since the music started
    std::int64_t lag = 0;   // ticks given up to stalls longer than the catch-up limit
};

// Updates due at a music position (in output frames, offset applied): the
// update that runs pattern tick n is due once the music heard reaches n/60 s.
std::int64_t ticks_due(std::int64_t position_frames, std::uint32_t rate);

struct plan {
    std::int64_t updates;  // to run now, each one in full
    bool reanchored;       // the backlog was past the limit: lag grew instead
};
// How many updates bring the tick count to the position; t.lag grows when
// the backlog is past the catch-up limit (one update runs then).
plan updates_for(ticks& t, std::int64_t position_frames, std::uint32_t rate);

// How long to sleep until the next update is due, at most max_wait_us; 0 when
// it is due already.
std::int64_t wait_us(const ticks& t, std::int64_t position_frames, std::uint32_t rate);

// How long a frame takes from waking to its picture being handed over (input,
// its update, drawing, the flip): the clock wakes that much before a tick is
// due, so that the picture is shown as the tick begins rather than a frame's
// work after it. The median of the last frames that ran one update each, so
// that a frame held up by a busy machine does not move it; at most
// max_lead_us.
constexpr std::int64_t max_lead_us = 4000;
class work_lead {
public:
    // The time one more frame took; gives the lead from now on.
    std::int64_t add(std::int64_t work_us);
    std::int64_t lead_us() const { return lead_us_; }

private:
    static constexpr int kept = 15;
    std::int64_t work_[kept] = {};
    int count_ = 0;
    int next_ = 0;
    std::int64_t lead_us_ = 0;
};

// The offset in output frames (positive: the music counts as heard later).
std::int64_t offset_frames(int offset_ms, std::uint32_t rate);

}  // namespace music_pacing
