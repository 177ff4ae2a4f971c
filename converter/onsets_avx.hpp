#pragma once
#include <cstddef>
#include <cstdint>

// The onset finder's windowing and spectral content eight lanes at a time,
// for processors with AVX2: every lane does what the four-lane code does,
// in the same order, so the values are the same bits.
namespace converter::onsets_avx {

// Whether the processor has AVX2.
bool supported();

// With `re` and `im` holding `lanes` transforms of `size` points (point k of
// lane c at [k * lanes + c]), each the transform of two real frames (a + ib),
// adds a's and b's log-compressed magnitudes, weighted by bin + 1, to `sa`
// and `sb` lane by lane. `lanes` is a multiple of 8.
void split_contents(const float* re, const float* im, std::size_t lanes, std::size_t size, float* sa, float* sb);

// The sum of n squares (n a multiple of 4) in four running sums, of
// values k, k + 4, ..., added at the end: the two-lane code's order.
double sum_of_squares(const float* v, std::size_t n);

// The onset finder's transforms (onset_fft.hpp) eight lanes at a time.
void transform(float* re, float* im, std::size_t stride, std::size_t lanes, const float* twr, const float* twi,
               std::size_t n);

// Eight frames windowed into eight neighbouring lanes: frame i from
// `first + i * gap`, its point n times window[n] stored at
// to[places[n] + i], for n below `size` (a multiple of 8).
void fill_eight_lanes(const float* first, std::size_t gap, const float* window, std::size_t size,
                      const std::uint32_t* places, float* to);

}  // namespace converter::onsets_avx
