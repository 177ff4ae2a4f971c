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

// The playfield of the beat flights: its side, its centre and the longest
// flight in updates.
struct flight_field {
    float size;
    float centre;
    int longest;
};

// beat_flight_ticks of eight moving events from their velocities, side by
// side: the same float and double operations in each lane as the one-event
// loop, each lane stopping where it stops.
void eight_flights(const float* vx, const float* vy, const flight_field& field, int* flight);

}  // namespace converter::dynamics_avx2
