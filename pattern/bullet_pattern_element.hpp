#pragma once
#include <cstdint>

// One pattern event as it lies in a pattern file: 12 bytes, little-endian.
struct bullet_pattern_element {
    std::int32_t time;  // tick at which the event fires, 60 per second of audio
    float angle;        // radians, from +x towards +y (y grows downwards)
    float speed;        // pixels per frame
};
static_assert(sizeof(bullet_pattern_element) == 12, "the on-disk record is 12 bytes");

namespace pattern {
constexpr std::int32_t group_terminator = -1;  // ends every group
constexpr int ticks_per_second = 60;  // also the game's updates and the converter's frames per second
constexpr int max_groups = 2;
}  // namespace pattern
