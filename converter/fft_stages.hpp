#pragma once
// The butterfly stages of the lane transforms, compiled three times: plain,
// for AVX with FMA and for AVX-512, chosen at run time by the kernel switch
// (kernels.hpp). All give the same bits; only the speed differs.
#include <cstddef>

namespace converter {
namespace fft_stages {

struct lane_set {
    float* re;
    float* im;
    std::size_t stride;  // floats from one point to the next
    std::size_t lanes;   // transforms side by side
    const float* twiddle_re;
    const float* twiddle_im;
};

struct stage_functions {
    // One stage, butterflies spanning 2 half rows, over rows [begin, end).
    void (*single)(const lane_set&, std::size_t half, std::size_t begin, std::size_t end, bool drop_upper);
    // Stages half and 2 half in one pass over rows [begin, end).
    void (*paired)(const lane_set&, std::size_t half, std::size_t begin, std::size_t end, bool drop_upper);
};

extern const stage_functions plain;
extern const stage_functions avx_fma;
extern const stage_functions avx512;

}  // namespace fft_stages
}  // namespace converter
