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
constexpr std::uint64_t record_bytes = sizeof(bullet_pattern_element);
constexpr std::uint64_t terminator_bytes = sizeof group_terminator;

// A whole file's size: the count byte, the records, a terminator per group.
constexpr std::uint64_t file_size(std::uint64_t records, unsigned groups) {
    return 1 + records * record_bytes + groups * terminator_bytes;
}
// The records of a whole file of that size and group count.
constexpr std::uint64_t record_count(std::uint64_t size, unsigned groups) {
    return (size - file_size(0, groups)) / record_bytes;
}
}  // namespace pattern
