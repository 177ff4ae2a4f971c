#pragma once
#include <optional>
#include <string_view>
#include <vector>

#include "pattern/bullet_pattern_element.hpp"

namespace converter {

// Hard is an edition's full density. Normal and easy keep a share of each
// second's events and cap the bullets a stage fires per second and has on
// the playfield at once, whatever the edition: where the edition follows the
// music, so does its easy stage, only sparser.
enum class difficulty { easy, normal, hard };

// "easy", "normal", "hard".
const char* difficulty_name(difficulty d);
std::optional<difficulty> difficulty_from_name(std::string_view name);

struct stage_caps {
    unsigned one_in;      // each second keeps one of every one_in of its events (all groups together); 1: all
    unsigned per_second;  // events fired in one whole second of the stage; 0: no cap
    unsigned in_flight;   // events whose bullets may be on the playfield at once; 0: no cap
};
stage_caps caps_of(difficulty d);

// How long an event's bullet is taken to be on the playfield, in ticks: from
// the centre its tracer flies 220 pixels to the edge and its incoming
// bullet 440 back across, at `speed` pixels per tick. A bullet too slow to
// measure (or not a number) counts for a minute.
int flight_ticks(float speed);

// A stage's events, one vector per group, each in file order.
using stage_events = std::vector<std::vector<bullet_pattern_element>>;

// Keeps, second by second, the strongest events (the fastest: an event's
// speed is its burst's magnitude in every edition) that fit the caps; ties
// go to the earlier tick, then the earlier group, then the earlier event.
// The share's fractions carry from second to second, so a second of two
// events on a one-in-four stage keeps one now and then, not never.
// Every second's choice is made knowing only the seconds before it, so it is
// deterministic and a stage keeps the same events however it was produced.
// The kept events stay in their order.
void thin_stage(stage_events& groups, stage_caps caps);

}  // namespace converter
