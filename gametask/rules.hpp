#pragma once
#include <cstdint>

// The numbers the game logic plays by, in playfield pixels and updates.
namespace gametask::rules {

// Raised whenever a change to the update code may change what a replay
// plays to (hits, score, the updates a run takes): a scoreboard server
// verifies its sessions again when the verifier's number differs from the
// one that verified them.
constexpr std::uint32_t logic_version = 1;

constexpr float field_size = 440.0f;       // the playfield runs from 0 to 440 on each axis
constexpr float field_centre = 220.0f;

constexpr float ship_speed = 1.0f;          // per axis and update
constexpr std::int32_t bomb_cost = 2200;    // gauge points per bomb stock
constexpr std::int32_t gauge_max = 16 * bomb_cost;
constexpr std::int32_t bomb_end = 40;       // the bomb timer runs 1..39
constexpr float bomb_reach = 15.0f;         // half-width of the bomb's catch box
constexpr float hit_reach = 1.0f;           // half-width of the hit box around a bullet
constexpr float graze_reach = 15.0f;        // half-width of the graze box around the ship
constexpr int blood_per_hit = 5;
constexpr std::int32_t hurt_face_updates = 120;

constexpr float burst_reach = 10.0f;        // half-width of a bursting bullet's box
constexpr std::int32_t fuse_end = 8;        // chain states 1..8 count down the fuse
constexpr std::int32_t burst_end = 10;      // 9 and 10 burst
constexpr std::int32_t spent_start = -80;   // then -80..-1 cannot be triggered

constexpr std::int32_t exit_mark_updates = 40;

// The open square: a position on a limit is outside.
inline bool inside_field(float x, float y) {
    return 0.0f < x && x < field_size && 0.0f < y && y < field_size;
}

// Truncation towards zero that saturates instead of overflowing; NaN gives 0.
inline std::int32_t truncate_saturated(float v) {
    if (v >= 2147483648.0f) return INT32_MAX;
    if (v <= -2147483648.0f) return INT32_MIN;
    if (!(v == v)) return 0;
    return static_cast<std::int32_t>(v);
}

}  // namespace gametask::rules
