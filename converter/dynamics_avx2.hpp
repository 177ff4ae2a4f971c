#pragma once
#include <cstddef>
#include <cstdint>

// The loudness meter's mix of interleaved stereo for processors with AVX2:
// value j is the sum of frames 4j to 4j + 3 of both channels times `scale`.
// The sums are whole numbers, as in the plain code, so the values are the same.
namespace converter::dynamics_avx2 {

// Values 0 to count - 1 (a multiple of 8) from 8 * count values of `v`.
void stereo_mix(const std::int16_t* v, float scale, float* out, std::size_t count);

}  // namespace converter::dynamics_avx2
