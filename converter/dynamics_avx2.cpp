#include "converter/dynamics_avx2.hpp"

#include <immintrin.h>

namespace converter::dynamics_avx2 {

void stereo_mix(const std::int16_t* v, float scale, float* out, std::size_t count) {
    const __m256i ones = _mm256_set1_epi16(1);
    const __m256 scales = _mm256_set1_ps(scale);
    // The horizontal sums leave value j of each quarter in the other half:
    // this puts the eight in order.
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    for (std::size_t j = 0; j < count; j += 8, v += 64) {
        // Each frame's two values added: eight frames a register.
        const __m256i a = _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v)), ones);
        const __m256i b = _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + 16)), ones);
        const __m256i c = _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + 32)), ones);
        const __m256i d = _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + 48)), ones);
        // Then four frames a value.
        const __m256i sums = _mm256_hadd_epi32(_mm256_hadd_epi32(a, b), _mm256_hadd_epi32(c, d));
        _mm256_storeu_ps(out + j,
                         _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_permutevar8x32_epi32(sums, order)), scales));
    }
}

}  // namespace converter::dynamics_avx2
