#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "converter/difficulty.hpp"
#include "converter/synthesis.hpp"
#include "converter/wave_sample.hpp"

namespace converter {

// The dynamics edition puts its danger on the moments a listener hears: its
// threats cross the playfield's centre on the song's onsets and beats, as
// many on each as the music is loud there, measured against the song
// itself; a held sound between them is a steady stream, and the first
// threat after a silence flies slowest, so that it is seen coming. The
// standard edition's bursts near each moment choose the threats' angles.
//
// Everything the rule needs of the whole song is measured once, on one
// thread, before any second is analysed: the per-second analysis only reads
// the plan, so the stage is the same on any number of threads.
struct dynamics_moment {
    std::int32_t tick;
    float strength;  // 0 to 1: how hard the hit is against the song's strong ones
    enum kind_t : std::uint8_t { hit, stream, drop } kind;
    // The moment of an earlier bar this one repeats (its index in the
    // plan's moments), whose flights it takes again; -1 for none.
    std::int32_t echo = -1;
};

// A bar (four of the beat tracker's beats) whose onsets repeat those of an
// earlier one: ticks [from, from + length) play again the bar from `first`.
struct dynamics_repeat {
    std::int32_t from, length, first;
};

struct dynamics_plan {
    unsigned groups = 0;
    std::uint32_t seconds = 0;
    // EBU R128 loudness (k_loudness, libebur128's values) of a mono mix of
    // the converted channels at 11025 Hz, in LUFS: -inf when silent.
    double integrated = 0.0;
    std::vector<double> short_term;   // of the 3 s centred on each whole second
    // Per second: 2^(LU above the integrated / 10), the LU rounded to whole
    // ones, 0 within 1.5 of the integrated, at most 10; 0 below the gate.
    std::vector<double> level;
    // Per channel and tick ([group * 60 * seconds + tick]): 0 where the
    // channel is digitally silent or far below the song's level in that game
    // frame, else 0.25 plus the frame's onset strength, at most 1.25.
    std::vector<float> weight;
    // The moments that carry threats, in tick order, each on a sounding tick.
    std::vector<dynamics_moment> moments;
    // The repeated bars, in order; a bar repeats the first of its kind,
    // never a repeat.
    std::vector<dynamics_repeat> repeats;

    float tick_weight(unsigned group, std::int64_t tick) const {
        return weight[static_cast<std::size_t>(group) * seconds * pattern::ticks_per_second +
                      static_cast<std::size_t>(tick)];
    }
};

// Frames this far below the song's level (in dB) fire nothing, nor do
// seconds whose short-term loudness is this far below the integrated.
constexpr double dynamics_gate_db = 40.0;

// The plan for the source's converted channels (the first two at most).
dynamics_plan plan_dynamics(const wave_sample& source);

// The same measures taken as the song arrives, one whole second at a time,
// in order: a converter that streams its source feeds each second here as
// it analyses it and has the plan when the last has come, the very plan
// plan_dynamics makes of the whole song. Holds only the per-frame measures.
class dynamics_meter {
public:
    explicit dynamics_meter(unsigned channels);  // values per frame of the source
    ~dynamics_meter();
    dynamics_meter(const dynamics_meter&) = delete;
    dynamics_meter& operator=(const dynamics_meter&) = delete;

    // One whole second: sample_rate frames of `channels` interleaved values.
    void add_second(const std::int16_t* values);
    // The plan of the seconds added so far; the meter is spent.
    dynamics_plan finish();

private:
    struct state;
    std::unique_ptr<state> st_;
};

// A difficulty's threats on the plan's moments: per group, in tick order,
// the moments that carry any for it. On hard a moment at the song's
// loudness carries three, on normal one, on easy one in two (fewer in
// its first half minute); louder moments carry more (twice at 10 LU up),
// quieter ones fewer (below half a threat a moment, one moment in several
// carries one); a stream's moments a
// third as many. Normal and easy keep the caps' threats per second.
struct dynamics_slot {
    std::int32_t tick;
    std::uint16_t threats;
    float strength;  // the moment's, 0 for a stream or a drop
    std::int32_t echo;  // the tick of the moment whose flights it repeats, or -1
};
using dynamics_slots = std::vector<std::vector<dynamics_slot>>;
dynamics_slots plan_threats(const dynamics_plan& plan, difficulty d);

// Turns one channel-second's records (as append_bursts left them) into the
// threats of its slots: each threat on its slot's tick, at the angle of the
// strongest record of the second whose angle the slot has not yet taken
// (those within 50 ms of the tick count four times), its speed for now the
// slot's strength. Where the records run out, angles are spread over the
// channel's half. Each slot chooses on its own. `slots` are the group's
// (plan_threats), in tick order.
void place_threats(event_queue& events, const std::vector<dynamics_slot>& slots, unsigned group,
                   std::uint32_t second);

// A repeated bar looks as it did the first time: each threat of a slot that
// repeats an earlier moment takes the angle and speed of the threat in the
// same place (group, and order on the tick) of that moment, where it had
// one. On a stage as place_threats left it, in music time, before
// finish_dynamics_stage; `slots` are plan_threats'.
void repeat_flights(stage_events& stage, const dynamics_slots& slots);

// Danger on the beat. An event's tracer flies from the ship out to the
// playfield's edge and only its incoming bullet, flying back along the same
// line, threatens the player: so each event of this edition is fired early
// by that flight, and the bullet crosses the playfield's centre at the
// music moment the event stands for. The speeds are the edition's own, per
// difficulty, so that no flight takes more than about 2 s.

// Updates from the one in which an event fires until the one in which its
// incoming bullet, launched from the playfield's centre, is nearest to the
// centre again, by the game's own motion rules (gametask/bullet_ctor,
// bullet_b and bullet_r): the velocity is float(cos angle) * speed and
// float(sin angle) * speed, every move a float sum, a tracer turns when it
// leaves the open 440-pixel square and its bullet starts from its last
// position inside. A speed too slow to leave the playfield within a minute,
// or not a number, gives a minute.
int beat_flight_ticks(float angle, float speed);

struct dynamics_level {
    // An event's flight from the centre to the edge and back, in seconds:
    // `slowest` for the weakest bursts, `fastest` for the strongest; the
    // speed follows from it and from the distance to the edge along the
    // event's angle, so a diagonal flies as long as a straight line.
    double slowest, fastest;
};
dynamics_level dynamics_level_of(difficulty d);

// Finishes a stage of this edition as place_threats left it, in music
// time: gives each event the speed of its strength at the difficulty, then
// fires each one early by its flight
// (beat_flight_ticks), at tick 0 when its flight is longer than the music
// before it, and orders each group by its new times (equal times keep their
// order).
void finish_dynamics_stage(stage_events& stage, difficulty d);

}  // namespace converter
