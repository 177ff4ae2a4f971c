#pragma once
#include <cstddef>
#include <cstdint>

// The analysis's per-bin series eight bins at a time, for processors with
// AVX: every lane does what the four-lane code does, in the same order, so
// the values are the same bits.
namespace converter::analysis_avx {

struct series_job {
    const float* window_re;  // point k of window j at [k * window_stride + j]
    const float* window_im;
    std::size_t window_stride;
    std::size_t transformed_windows;  // windows after them repeat the first ones
    std::size_t bins;                 // a multiple of 8
    const std::uint32_t* rows;        // the modulation row of each point p of the first quarter
    float w_re, w_im;                 // the second stage's twiddle
    float half_inverse;               // the magnitudes' scale
    double mean_factor;               // 1 / the series' length
    float* modulation_re;             // point j of bin M at [j * bins + M]
    float* modulation_im;
};

// Magnitudes, mean, peak and the normalised series of every bin, written to
// the modulation rows with the transform's first two stages done. The
// series are 64 long.
void frame_magnitudes(const series_job& job);

}  // namespace converter::analysis_avx
