#pragma once
#include <cstddef>
#include <cstdint>

// The dynamics edition's work for processors with AVX2, giving the plain
// code's values.
namespace converter::dynamics_avx2 {

// The loudness meter's mix of interleaved stereo: value j is the sum of
// frames 4j to 4j + 3 of both channels times `scale`, whole numbers as in
// the plain code. Values 0 to count - 1 (a multiple of 8) from 8 * count
// values of `v`.
void stereo_mix(const std::int16_t* v, float scale, float* out, std::size_t count);

// beat_flight_ticks of eight moving events from their velocities, side by
// side (flights.inc): the same float and double operations in each lane as
// the one-event loop, each lane stopping where it stops. The playfield is
// `side` square with its centre at `middle`; no flight is longer than
// `most_updates`.
void eight_flights(const float* vx, const float* vy, float side, float middle, int most_updates, int* flight);

}  // namespace converter::dynamics_avx2
