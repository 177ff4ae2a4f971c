#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "converter/difficulty.hpp"
#include "converter/synthesis.hpp"
#include "converter/wave_sample.hpp"

namespace converter {

// The dynamics edition keeps the standard edition's bursts and aim but lets
// the music's loudness, measured against the song itself, decide how many of
// each second's records fire, and prefers the records that land on hits.
//
// Everything the rule needs of the whole song is measured once, on one
// thread, before any second is analysed: the per-second analysis only reads
// the plan, so the stage is the same on any number of threads.
struct dynamics_plan {
    unsigned groups = 0;
    std::uint32_t seconds = 0;
    // EBU R128 loudness (k_loudness, libebur128's values) of a mono mix of
    // the converted channels at 11025 Hz, in LUFS: -inf when silent.
    double integrated = 0.0;
    std::vector<double> short_term;   // of the 3 s centred on each whole second
    std::vector<std::uint16_t> budget;  // records each channel may keep in each second
    // Per channel and tick ([group * 60 * seconds + tick]): 0 where the
    // channel is digitally silent or far below the song's level in that game
    // frame, else 0.25 plus the frame's onset strength, at most 1.25.
    std::vector<float> weight;

    float tick_weight(unsigned group, std::int64_t tick) const {
        return weight[static_cast<std::size_t>(group) * seconds * pattern::ticks_per_second +
                      static_cast<std::size_t>(tick)];
    }
};

// Records a channel keeps in a second at the song's integrated loudness; the
// number doubles every 10 LU louder (up to twice this) and halves every 10 LU
// quieter. 10 LU is roughly what a listener hears as twice as loud.
constexpr double dynamics_events_at_reference = 15.0;
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

// Thins the records of one channel and second (as append_bursts left them) to
// the plan's budget: the strongest survive, strength being the record's speed
// (its burst's magnitude) times its tick's weight, halved for every record
// already kept on the same tick so that a second's bullets do not all leave
// at once; ties go to the earlier tick, then to the earlier record. Records
// on a tick of weight 0 never survive. The kept records stay in their order.
void keep_strongest(event_queue& events, const dynamics_plan& plan, unsigned group, std::uint32_t second);

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
// The same for n events at once: flight[i] of angle[i] and speed[i].
void beat_flight_ticks(const float* angle, const float* speed, int* flight, std::size_t n);

struct dynamics_level {
    // An event's flight from the centre to the edge and back, in seconds:
    // `slowest` for the weakest bursts, `fastest` for the strongest; the
    // speed follows from it and from the distance to the edge along the
    // event's angle, so a diagonal flies as long as a straight line.
    double slowest, fastest;
    stage_caps caps;  // how many of the edition's events the difficulty keeps (thin_stage)
};
dynamics_level dynamics_level_of(difficulty d);

// Finishes a stage of this edition as its records were kept (keep_strongest),
// in music time: gives each event the speed of its strength (as
// keep_strongest weighs it, before crowding) at the difficulty, keeps the
// strongest that the difficulty's caps allow (counted in music time, so the
// caps hold the arrivals), then fires each one early by its flight
// (beat_flight_ticks), at tick 0 when its flight is longer than the music
// before it, and orders each group by its new times (equal times keep their
// order). A group's events must lie inside the plan's seconds.
void finish_dynamics_stage(stage_events& stage, const dynamics_plan& plan, difficulty d);

}  // namespace converter
